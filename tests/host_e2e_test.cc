// The hxaec-host program end to end: seconds of simulated call, and bad input.
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/shell.h"

// A run in a fresh output folder (removed afterwards): exit code (-1 when the
// program did not exit normally) and stdout + stderr, which hold the report.
struct HostRun {
  std::string dir = HX_BINARY_DIR "/host-e2e-XXXXXX", text;
  int exit_code = -1;
  explicit HostRun(const std::string &args) {
    int status = -1;
    if (mkdtemp(&dir[0])) text = Shell(HX_BINARY_DIR "/bin/hxaec-host --quiet --out " + dir + " " + args, &status);
    if (status != -1 && WIFEXITED(status)) exit_code = WEXITSTATUS(status);
  }
  ~HostRun() { std::error_code ec; std::filesystem::remove_all(dir, ec); }
  bool Has(const char *s) const { return text.find(s) != std::string::npos; }
  double After(const std::string &label, double none) const {  // the figure after `label`
    const size_t at = text.find(label);
    return at == std::string::npos ? none : atof(text.c_str() + at + label.size());
  }
  long Blocks() const { return (long)After("blocks delivered to the host: ", 0); }
  // A WAV output's format, samples and their largest magnitude.
  std::vector<short> Wav(const char *name, SF_INFO *info, long *peak) const {
    SNDFILE *f = sf_open((dir + "/" + name).c_str(), SFM_READ, info);
    std::vector<short> s(f ? size_t(info->frames * info->channels) : 0);
    if (f) sf_readf_short(f, s.data(), info->frames), sf_close(f);
    for (short v : s) *peak = std::max(*peak, labs(v));
    return s;
  }
};

// All four mode flags on, silent system audio: the host gets microphone
// packets (made stereo) plus system audio's left channel on both sides. The
// near end talks from the first second (the default scenario's talker starts
// later, and its echo is cancelled, so its first seconds are near silence).
TEST(HostE2e, CallWithAllModeFlagsOnHandsUpStereoOfEqualChannels) {
  HostRun run("--seconds 3 --mic " HX_SOURCE_DIR "/tests/data/speech16k.wav"
              " --aec-mode 1 --micro-capture 1 --sys-capture 1 --online-sys-capture 1");
  ASSERT_TRUE(run.exit_code == 0 && run.Blocks() >= 100) << run.text;  // ~300 in 3 s
  EXPECT_TRUE(run.Has("voice path, capture + render (Brisa)")) << run.text;
  SF_INFO a{}, b{};
  long unequal = 0, up_peak = 0, far_peak = 0;
  std::vector<short> up = run.Wav("upstream.wav", &a, &up_peak);
  run.Wav("farend_to_voicepath.wav", &b, &far_peak);
  for (size_t i = 0; i + 1 < up.size(); i += 2) unequal += up[i] != up[i + 1];
  // Every 480-frame block stored, left == right, loud; 1 s of far end reached the voice path.
  EXPECT_EQ((std::vector<long>{a.samplerate, a.channels, a.frames, unequal, up_peak > 1000,
                               b.samplerate, b.channels, b.frames >= 16000, far_peak > 1000}),
            (std::vector<long>{48000, 2, run.Blocks() * 480, 0, 1, 16000, 2, 1, 1}));
}

// Unplugging the speaker makes the module fall back to plain capture at its
// next device check (every 2 s); the microphone keeps reaching the host.
TEST(HostE2e, UnpluggedSpeakerSwitchesToPlainCapture) {
  HostRun run("--seconds 3.5 --unplug-speaker-at 0.5s");
  EXPECT_TRUE(!run.exit_code && run.Has("plain capture (Mirel)") && run.Blocks() >= 100) << run.text;
}

// The default call has echo (a laptop's loudspeaker and microphone): the
// voice path removes it, the report says by how much, microphone.wav holds
// what the microphone heard. Without cancelling the echo stays.
TEST(HostE2e, DefaultEchoPathIsCancelledAndReported) {
  auto erle = [](const HostRun &run) {
    return run.After("echo reduction (ERLE) on far-end-only stretches after 2 s: ", -99);
  };
  HostRun run("--seconds 5");
  ASSERT_EQ(run.exit_code, 0) << run.text;
  EXPECT_TRUE(run.Has("echo path: 60 ms, -6.0 dB, short room, drift 0 ppm, cancelled by the voice path"))
      << run.text;
  EXPECT_GE(erle(run), 20) << run.text;
  SF_INFO mic{};
  long peak = 0;
  run.Wav("microphone.wav", &mic, &peak);
  EXPECT_EQ((std::vector<long>{mic.samplerate, mic.channels, mic.frames >= 16000 * 4, peak > 3000}),
            (std::vector<long>{16000, 1, 1, 1}));
  HostRun uncancelled("--seconds 5 --no-cancel");
  ASSERT_EQ(uncancelled.exit_code, 0) << uncancelled.text;
  EXPECT_LT(erle(uncancelled), 15) << uncancelled.text;
}

// Bad input: no crash, exit code 2, a first line "hxaec-host: error: <problem>".
TEST(HostE2e, BadInputIsRefusedWithAClearMessage) {
  const char *const cases[][2] = {
      {"--mic /nonexistent/mic.wav", "microphone: cannot read '/nonexistent/mic.wav'"},
      {"--mic " HX_SOURCE_DIR "/host/scenario/far_end.wav", "16000 Hz is needed"},
      {"--sys " HX_SOURCE_DIR "/host/scenario/far_end.wav", "stereo is needed"},
      {"--module " HX_SOURCE_DIR "/host/CMakeLists.txt", "cannot load module"},
      {"--farend a --farend b --farend c --farend d --farend e", "at most 4"},
      {"--no-such-option", "unknown option"},
      {"--echo-delay 301", "--echo-delay wants a number 0..300"},
      {"--echo-gain loud", "--echo-gain wants a number -60..10"}};
  for (const auto &c : cases) {
    HostRun run(c[0]);
    std::string first = run.text.substr(0, run.text.find('\n'));
    EXPECT_TRUE(run.exit_code == 2 && first.rfind("hxaec-host: error: ", 0) == 0 &&
                first.find(c[1]) != std::string::npos) << run.text;
  }
}
