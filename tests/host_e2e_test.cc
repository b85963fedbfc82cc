// The hxaec-host program end to end: seconds of simulated call.
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rig/shell.h"
#include "rig/speech.h"

// A fresh output folder (removed afterwards) and a run in it: exit code (-1
// when the program did not exit normally) and stdout + stderr (the report).
struct HostRun {
  std::string dir = HX_BINARY_DIR "/host-e2e-XXXXXX", text;
  int exit_code = -1;
  HostRun() { EXPECT_TRUE(mkdtemp(&dir[0])) << dir; }
  explicit HostRun(const std::string &args) : HostRun() { Run(args); }
  ~HostRun() { std::error_code ec; std::filesystem::remove_all(dir, ec); }
  void Run(const std::string &args) {
    int status = -1;
    text = Shell(HX_BINARY_DIR "/bin/hxaec-host --quiet --out " + dir + " " + args, &status);
    exit_code = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Has(const std::string &s) const { return text.find(s) != std::string::npos; }
  double After(const std::string &label, double none) const {  // the figure after `label`
    const size_t at = text.find(label);
    return at == std::string::npos ? none : atof(text.c_str() + at + label.size());
  }
  long Blocks() const { return (long)After("blocks delivered to the host: ", 0); }
  // A WAV output's rate, channels, frames and peak; its samples in *s.
  std::vector<long> Wav(const char *name, std::vector<short> *s = nullptr) const {
    SF_INFO info{};
    SNDFILE *f = sf_open((dir + "/" + name).c_str(), SFM_READ, &info);
    std::vector<short> x(f ? size_t(info.frames * info.channels) : 0);
    if (f) sf_readf_short(f, x.data(), info.frames), sf_close(f);
    long peak = 0;
    for (short v : x) peak = std::max(peak, labs(v));
    if (s) *s = x;
    return {info.samplerate, info.channels, (long)info.frames, peak};
  }
};

// All four mode flags on, silent system audio: the host gets microphone
// packets (made stereo) plus system audio's left channel on both sides. The
// near end talks from the first second (the default scenario's talker starts
// later, and its echo is cancelled, so its first seconds are near silence).
// The speaker unplugged at 2.5 s makes the module fall back to plain capture
// at its next device check (every 2 s); the microphone keeps reaching the host.
TEST(HostE2e, CallWithAllModeFlagsHandsUpEqualChannelsAndAnUnpluggedSpeakerSwitchesToPlainCapture) {
  HostRun run("--seconds 6 --unplug-speaker-at 2.5s --mic " HX_SOURCE_DIR "/tests/data/speech16k.wav"
              " --aec-mode 1 --micro-capture 1 --sys-capture 1 --online-sys-capture 1");
  ASSERT_TRUE(run.exit_code == 0 && run.Blocks() >= 200) << run.text;  // ~600 in 6 s
  EXPECT_TRUE(run.Has("voice path, capture + render (Brisa)") && run.Has("s  plain capture (Mirel)\n")) << run.text;
  std::vector<short> up;
  const std::vector<long> up_facts = run.Wav("upstream.wav", &up), far = run.Wav("farend_to_voicepath.wav");
  long unequal = 0;
  for (size_t i = 0; i + 1 < up.size(); i += 2) unequal += up[i] != up[i + 1];
  // Every 480-frame block stored, left == right, loud; 1 s of far end reached the voice path.
  EXPECT_EQ((std::vector<long>{48000, 2, run.Blocks() * 480, 0, 1, 16000, 2, 1, 1}),
            (std::vector<long>{up_facts[0], up_facts[1], up_facts[2], unequal, up_facts[3] > 1000,
                               far[0], far[1], far[2] >= 16000, far[3] > 1000}));
}

// A microphone at 8 kHz and a far end at 44.1 kHz with three channels are
// converted, each said in one line, and the call runs on them: the
// microphone's speech reaches the host, as long as the original file lasted.
TEST(HostE2e, InputsOfAnotherRateOrChannelCountAreConvertedAndSaidSo) {
  const std::vector<short> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  ASSERT_FALSE(speech.empty());
  std::vector<short> mic8k, far;
  for (size_t i = 0; i < speech.size() && mic8k.size() < 8000 * 3; i += 2) mic8k.push_back(speech[i]);
  for (int i = 0; i < 44100 * 3; ++i)  // a 440 Hz tone on the first channel of three
    far.insert(far.end(), {short(8000 * sin(2 * M_PI * 440 * i / 44100.0)), 0, 0});
  HostRun run;
  const std::string mic_path = run.dir + "/mic8k.wav", far_path = run.dir + "/far44k.wav";
  const auto write = [](const std::string &path, const std::vector<short> &s, int rate, int channels) {
    SF_INFO info{0, rate, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    const bool ok = f && sf_write_short(f, s.data(), (sf_count_t)s.size()) == (sf_count_t)s.size();
    return f && sf_close(f) == 0 && ok;
  };
  ASSERT_TRUE(write(mic_path, mic8k, 8000, 1) && write(far_path, far, 44100, 3));
  run.Run("--no-echo --mic " + mic_path + " --farend " + far_path);
  ASSERT_EQ(run.exit_code, 0) << run.text;
  EXPECT_TRUE(run.Has("hxaec-host: microphone: converted '" + mic_path + "' from 8000 Hz mono to 16000 Hz mono\n") &&
              run.Has("hxaec-host: far end: converted '" + far_path + "' from 44100 Hz 3 channels to 48000 Hz stereo\n") &&
              run.Has("microphone: " + mic_path + " (3.00 s)") &&
              run.Has("far-end stream 0: " + far_path + " (3.00 s, stereo)") && run.Has("note: microphone: converted"))
      << run.text;
  EXPECT_GE(run.Blocks(), 200) << run.text;  // ~300 in 3 s
  EXPECT_GT(run.Wav("upstream.wav")[3], 1000) << run.text;
}

// A refused option (each refusal of the parser: option_table_test) and the
// program's own check between options end it before any call, with the usage
// line and exit status 2; --help exits 0.
TEST(HostE2e, UnknownOptionsAndBadValuesAreRefusedWithTheUsageLine) {
  for (const auto &[args, why] : std::vector<std::pair<std::string, std::string>>{
           {"--bogus", "unknown option '--bogus'"},
           {"--devices pulse --echo-delay 10", "option --echo-delay applies to --devices sim only"},
       }) {
    HostRun run(args);
    EXPECT_EQ(run.exit_code, 2) << args;
    EXPECT_EQ(run.text, "hxaec-host: " + why + "\nusage: hxaec-host [options] (--help lists the options)\n") << args;
  }
  HostRun help("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.Has("usage: hxaec-host [options]\n") && help.Has("  --echo-delay MS ")) << help.text;
}

// The default call (14.5 s) has echo (a laptop's loudspeaker and microphone in
// a room with some noise) and every kind of talk: the voice path removes the
// echo, the report says by how much and how the far side hears the voice path,
// microphone.wav holds what the microphone heard. The figures themselves are
// the voice path's (tests/voice_room_test.cc holds them to bounds); here, that
// the talk is found where the scenario has it and the lines are there.
TEST(HostE2e, DefaultScenarioCancelsTheEchoAndReportsTheVoicePathAsHeard) {
  // The world runs in real time. On a machine too busy to keep it (seen under
  // ThreadSanitizer beside other tests: 85 play cycles a second, 48 packets
  // dropped for a late mix thread), the world skips blocks and the module
  // drops packets, and the output no longer lines up with the microphone:
  // such a run says nothing about the voice path. It is run again once; a
  // second such run fails, saying why.
  const auto kept_pace = [](const HostRun &r) {
    return r.After("play cycle rate: ", 0) >= 95 &&
           r.After("packets not handed up (refused, or still queued at the stop): ", 99) <= 4;
  };
  HostRun run("");
  if (run.exit_code == 0 && !kept_pace(run)) {
    std::cerr << "the call did not keep real time; running it again:\n" << run.text;
    run.Run("");
  }
  ASSERT_EQ(run.exit_code, 0) << run.text;
  ASSERT_TRUE(kept_pace(run)) << "the machine could not keep the call in real time twice in a row\n" << run.text;
  EXPECT_TRUE(run.Has("echo path: 60 ms, -6.0 dB, room RT60 0.30 s, room noise -50 dBFS, drift 0 ppm, "
                      "cancelled by the voice path"))
      << run.text;
  EXPECT_GE(run.After("echo reduction (ERLE) on far-end-only stretches after 2 s: ", -99), 20) << run.text;
  const std::vector<long> mic = run.Wav("microphone.wav");
  // Every block the world's microphone gave, 14.5 s of them less the start.
  const long mic_blocks = (long)run.After("microphone blocks delivered by the world: ", 0);
  EXPECT_EQ((std::vector<long>{16000, 1, mic_blocks * 320, 1, 1}),
            (std::vector<long>{mic[0], mic[1], mic[2], mic[2] >= 16000 * 14, mic[3] > 3000}));
  // Far end alone 0.3-4 s and 12-14 s, near end alone 5-8 s, both 8.5-10 s,
  // less the segments' guards.
  const double far = run.After("  far end alone (", 0), both = run.After("  double talk (", 0),
               near = run.After("  near end alone (", 0);
  EXPECT_TRUE(far >= 200 && far <= 280 && both >= 30 && both <= 90 && near >= 110 && near <= 160)
      << "frames far alone " << far << ", double talk " << both << ", near alone " << near << "\n" << run.text;
  EXPECT_GE(run.After("  near end alone (" + std::to_string(long(near)) + " frames): correlation ", 0), 0.8)
      << run.text;
  // The background stays under the far end and after it: the voice path
  // puts back what the canceller's own suppression took of it. Before, 76 to
  // 82 % of the far-alone frames were holes and the background came up by
  // 10 dB after each far-end phrase (residual -12 dB).
  EXPECT_LE(run.After(" %, holes ", 100), 2.0) << run.text;
  EXPECT_NEAR(run.After("residual echo ", -99), 0, 3.0) << run.text;
  EXPECT_TRUE(run.Has(" dB over the background, leak ") && run.Has(" %, holes ") &&
              run.Has(" dB against it alone, ") && run.Has(" % of frames clipped\n") &&
              run.Has("  call start: not measured (nobody may talk in the first second)\n"))
      << run.text;
}
