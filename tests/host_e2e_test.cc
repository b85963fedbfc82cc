// The hxaec-host program end to end: seconds of simulated call.
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
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
  double Erle() const { return After("echo reduction (ERLE) on far-end-only stretches after 2 s: ", -99); }
  // A WAV output's samples; `facts` gets rate, channels, frames, peak.
  std::vector<short> Wav(const char *name, std::vector<long> *facts) const {
    SF_INFO info{};
    SNDFILE *f = sf_open((dir + "/" + name).c_str(), SFM_READ, &info);
    std::vector<short> s(f ? size_t(info.frames * info.channels) : 0);
    if (f) sf_readf_short(f, s.data(), info.frames), sf_close(f);
    long peak = 0;
    for (short v : s) peak = std::max(peak, labs(v));
    *facts = {info.samplerate, info.channels, (long)info.frames, peak};
    return s;
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
  std::vector<long> up_facts, far;
  std::vector<short> up = run.Wav("upstream.wav", &up_facts);
  run.Wav("farend_to_voicepath.wav", &far);
  long unequal = 0;
  for (size_t i = 0; i + 1 < up.size(); i += 2) unequal += up[i] != up[i + 1];
  // Every 480-frame block stored, left == right, loud; 1 s of far end reached the voice path.
  EXPECT_EQ((std::vector<long>{48000, 2, run.Blocks() * 480, 0, 1, 16000, 2, 1, 1}),
            (std::vector<long>{up_facts[0], up_facts[1], up_facts[2], unequal, up_facts[3] > 1000,
                               far[0], far[1], far[2] >= 16000, far[3] > 1000}));
}

// The default call has echo (a laptop's loudspeaker and microphone in a
// room with some noise): the voice path removes it, the report says by how
// much, microphone.wav holds what the microphone heard.
TEST(HostE2e, DefaultEchoPathIsCancelledAndReported) {
  HostRun run("--seconds 5");
  ASSERT_EQ(run.exit_code, 0) << run.text;
  EXPECT_TRUE(run.Has("echo path: 60 ms, -6.0 dB, room RT60 0.30 s, room noise -50 dBFS, drift 0 ppm, "
                      "cancelled by the voice path"))
      << run.text;
  EXPECT_GE(run.Erle(), 20) << run.text;
  std::vector<long> mic;
  run.Wav("microphone.wav", &mic);
  EXPECT_EQ((std::vector<long>{16000, 1, 1, 1}), (std::vector<long>{mic[0], mic[1], mic[2] >= 16000 * 4, mic[3] > 3000}));
}

// Writes a 16-bit WAV; false when it could not.
static bool WriteWav(const std::string &path, const std::vector<short> &s, int rate, int channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  const bool ok = sf_write_short(f, s.data(), (sf_count_t)s.size()) == (sf_count_t)s.size();
  sf_close(f);
  return ok;
}

// A microphone at 8 kHz and a far end at 44.1 kHz with three channels are
// converted, each said in one line, and the call runs on them: the
// microphone's speech reaches the host, as long as the original file lasted.
TEST(HostE2e, InputsOfAnotherRateOrChannelCountAreConvertedAndSaidSo) {
  std::string in = HX_BINARY_DIR "/host-wav-XXXXXX";
  ASSERT_TRUE(mkdtemp(&in[0]));
  SF_INFO info{};
  SNDFILE *f = sf_open(HX_SOURCE_DIR "/tests/data/speech16k.wav", SFM_READ, &info);
  ASSERT_TRUE(f && info.samplerate == 16000 && info.channels == 1);
  std::vector<short> speech(size_t(info.frames));
  sf_read_short(f, speech.data(), info.frames);
  sf_close(f);
  std::vector<short> mic8k, far;
  for (size_t i = 0; i < speech.size() && mic8k.size() < 8000 * 3; i += 2) mic8k.push_back(speech[i]);
  for (int i = 0; i < 44100 * 3; ++i)  // a 440 Hz tone on the first channel of three
    far.insert(far.end(), {short(8000 * sin(2 * M_PI * 440 * i / 44100.0)), 0, 0});
  const std::string mic_path = in + "/mic8k.wav", far_path = in + "/far44k.wav";
  ASSERT_TRUE(WriteWav(mic_path, mic8k, 8000, 1) && WriteWav(far_path, far, 44100, 3));

  HostRun run("--no-echo --mic " + mic_path + " --farend " + far_path);
  std::error_code ec;
  std::filesystem::remove_all(in, ec);
  ASSERT_EQ(run.exit_code, 0) << run.text;
  EXPECT_TRUE(run.Has(("hxaec-host: microphone: converted '" + mic_path +
                       "' from 8000 Hz mono to 16000 Hz mono\n").c_str()) &&
              run.Has(("hxaec-host: far end: converted '" + far_path +
                       "' from 44100 Hz 3 channels to 48000 Hz stereo\n").c_str()) &&
              run.Has(("microphone: " + mic_path + " (3.00 s)").c_str()) &&
              run.Has(("far-end stream 0: " + far_path + " (3.00 s, stereo)").c_str()) &&
              run.Has("note: microphone: converted"))
      << run.text;
  std::vector<long> up;
  run.Wav("upstream.wav", &up);
  EXPECT_GE(run.Blocks(), 200) << run.text;  // ~300 in 3 s
  EXPECT_GT(up[3], 1000) << run.text;
}

// Unknown options and bad values end the program before any call, with the
// usage line and exit status 2; --help exits 0.
TEST(HostE2e, UnknownOptionsAndBadValuesAreRefusedWithTheUsageLine) {
  const std::string usage = "usage: hxaec-host [options] (--help lists the options)\n";
  for (const auto &[args, why] : std::vector<std::pair<std::string, std::string>>{
           {"--bogus", "unknown option '--bogus'"},
           {"--seconds 0", "option --seconds wants a time >= 0.01, not '0'"},
           {"--aec-mode 256", "option --aec-mode wants a whole number 0..255, not '256'"},
           {"--devices alsa", "option --devices wants sim|pulse, not 'alsa'"},
           {"--devices pulse --echo-delay 10", "option --echo-delay applies to --devices sim only"},
       }) {
    HostRun run(args);
    EXPECT_EQ(run.exit_code, 2) << args;
    EXPECT_EQ(run.text, "hxaec-host: " + why + "\n" + usage) << args;
  }
  HostRun help("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.Has("usage: hxaec-host [options]\n") && help.Has("  --echo-delay MS ")) << help.text;
}

// The whole default scenario (14.5 s) has every kind of talk: the report
// says how the far side hears the voice path. The figures themselves are
// the voice path's (tests/voice_room_test.cc holds them to bounds); here,
// that the talk is found where the scenario has it and the lines are there.
TEST(HostE2e, DefaultScenarioReportsTheVoicePathAsHeard) {
  HostRun run("");
  ASSERT_EQ(run.exit_code, 0) << run.text;
  // Far end alone 0.3-4 s and 12-14 s, near end alone 5-8 s, both 8.5-10 s,
  // less the segments' guards.
  const double far = run.After("  far end alone (", 0), both = run.After("  double talk (", 0),
               near = run.After("  near end alone (", 0);
  EXPECT_TRUE(far >= 200 && far <= 280 && both >= 30 && both <= 90 && near >= 110 && near <= 160)
      << "frames far alone " << far << ", double talk " << both << ", near alone " << near << "\n" << run.text;
  EXPECT_GE(run.After("  near end alone (" + std::to_string(long(near)) + " frames): correlation ", 0), 0.8)
      << run.text;
  EXPECT_TRUE(run.Has(" dB over the background, leak ") && run.Has(" %, holes ") &&
              run.Has(" dB against it alone, ") && run.Has(" % of frames clipped\n") &&
              run.Has("  call start: not measured (nobody may talk in the first second)\n"))
      << run.text;
}
