// End-to-end runs of the hxaec-host program on its default scenario: the
// program loads the module, runs a few seconds of simulated call in real
// time and writes its outputs; these tests check those outputs and the
// program's handling of bad input.
#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kHost = std::string(HX_BINARY_DIR) + "/bin/hxaec-host";
const std::string kScenario = std::string(HX_SOURCE_DIR) + "/host/scenario";

struct RunOutput {
  int exit_code = -1;  // -1: did not exit normally (crash, signal)
  std::string text;    // stdout and stderr
};

RunOutput RunHost(const std::string &args) {
  RunOutput out;
  std::string cmd = "'" + kHost + "' " + args + " 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.text.append(buf, n);
  int status = pclose(p);
  if (WIFEXITED(status)) out.exit_code = WEXITSTATUS(status);
  return out;
}

// A fresh output folder under the build tree, removed at the end of scope.
struct TempDir {
  TempDir() {
    std::string tmpl = std::string(HX_BINARY_DIR) + "/host-e2e-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

std::string ReadFile(const std::string &path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The number after `label` in the report, -1 when absent.
long ReportNumber(const std::string &report, const std::string &label) {
  size_t at = report.find(label);
  if (at == std::string::npos) return -1;
  return strtol(report.c_str() + at + label.size(), nullptr, 10);
}

struct Wav {
  SF_INFO info{};
  std::vector<short> samples;
};

bool ReadWav(const std::string &path, Wav *w) {
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &w->info);
  if (!f) return false;
  w->samples.resize(static_cast<size_t>(w->info.frames) * w->info.channels);
  sf_readf_short(f, w->samples.data(), w->info.frames);
  sf_close(f);
  return true;
}

// All four mode flags on with the world's (silent) system audio: the mix
// thread hands up microphone packets (duplicated to stereo) plus the left
// channel of system audio on both sides, so left == right in every frame.
TEST(HostE2e, CallWithAllModeFlagsOnHandsUpStereoOfEqualChannels) {
  TempDir tmp;
  const std::string &dir = tmp.path;
  ASSERT_FALSE(dir.empty());
  RunOutput run = RunHost("--quiet --seconds 3 --out '" + dir +
                          "' --aec-mode 1 --micro-capture 1 --sys-capture 1 "
                          "--online-sys-capture 1");
  ASSERT_EQ(run.exit_code, 0) << run.text;

  std::string report = ReadFile(dir + "/report.txt");
  ASSERT_FALSE(report.empty());
  EXPECT_NE(run.text.find("==== hxaec-host report ===="), std::string::npos);
  long blocks = ReportNumber(report, "blocks delivered to the host: ");
  EXPECT_GE(blocks, 100) << report;  // about 300 in 3 s; generous for slow builds
  EXPECT_NE(report.find("voice path, capture + render (Brisa)"), std::string::npos) << report;
  EXPECT_NE(report.find("play cycle rate: "), std::string::npos);
  EXPECT_NE(report.find("noise (non-speech"), std::string::npos) << report;

  Wav up;
  ASSERT_TRUE(ReadWav(dir + "/upstream.wav", &up));
  EXPECT_EQ(up.info.samplerate, 48000);
  EXPECT_EQ(up.info.channels, 2);
  EXPECT_EQ(up.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(up.info.frames, blocks * 480);  // every block stored, 480 frames each
  ASSERT_GE(up.info.frames, 48000);         // at least 1 s
  int peak = 0;
  size_t unequal = 0;
  for (sf_count_t i = 0; i < up.info.frames; ++i) {
    short l = up.samples[2 * i], r = up.samples[2 * i + 1];
    if (l != r) ++unequal;
    peak = std::max(peak, std::abs(static_cast<int>(l)));
  }
  EXPECT_EQ(unequal, 0u);
  EXPECT_GT(peak, 1000) << "upstream audio is (nearly) silent";

  Wav far;
  ASSERT_TRUE(ReadWav(dir + "/farend_to_voicepath.wav", &far));
  EXPECT_EQ(far.info.samplerate, 16000);
  EXPECT_EQ(far.info.channels, 2);
  EXPECT_GE(far.info.frames, 16000);  // the voice path got at least 1 s
  int far_peak = 0;
  for (short s : far.samples) far_peak = std::max(far_peak, std::abs(static_cast<int>(s)));
  EXPECT_GT(far_peak, 1000) << "the far-end talker did not reach the voice path";
}

// Unplugging the speaker makes the module fall back to plain capture at its
// next device check (every 2 s); the microphone keeps reaching the host.
TEST(HostE2e, UnpluggedSpeakerSwitchesToPlainCapture) {
  TempDir tmp;
  const std::string &dir = tmp.path;
  ASSERT_FALSE(dir.empty());
  RunOutput run = RunHost("--quiet --seconds 3.5 --unplug-speaker-at 0.5s --out '" + dir + "'");
  ASSERT_EQ(run.exit_code, 0) << run.text;
  std::string report = ReadFile(dir + "/report.txt");
  EXPECT_NE(report.find("device event at"), std::string::npos) << report;
  EXPECT_NE(report.find("unplug speaker"), std::string::npos) << report;
  EXPECT_NE(report.find("plain capture (Mirel)"), std::string::npos) << report;
  EXPECT_GE(ReportNumber(report, "blocks delivered to the host: "), 100) << report;
}

// Bad input ends with exit code 2 and one "hxaec-host: error:" line that
// names the problem; nothing crashes.
TEST(HostE2e, BadInputIsRefusedWithAClearMessage) {
  TempDir tmp;
  const std::string &dir = tmp.path;
  ASSERT_FALSE(dir.empty());
  const std::string out = " --out '" + dir + "'";
  const struct {
    std::string args;
    std::string message;
  } cases[] = {
      {"--mic /nonexistent/mic.wav", "microphone: cannot read '/nonexistent/mic.wav'"},
      {"--mic '" + std::string(HX_SOURCE_DIR) + "/host/CMakeLists.txt'", "microphone: cannot read"},
      {"--mic '" + kScenario + "/far_end.wav'", "16000 Hz is needed"},
      {"--farend '" + kScenario + "/near_end.wav'", "far end: "},
      {"--sys '" + kScenario + "/far_end.wav'", "stereo is needed"},
      {"--module /nonexistent/libHx_Aec_Mod.so", "not found"},
      {"--module '" + std::string(HX_SOURCE_DIR) + "/host/CMakeLists.txt'", "cannot load module"},
      {"--seconds -1", "--seconds"},
      {"--farend a --farend b --farend c --farend d --farend e", "at most 4"},
      {"--no-such-option", "unknown option"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args);
    RunOutput run = RunHost("--quiet " + c.args + out);
    EXPECT_EQ(run.exit_code, 2) << run.text;
    EXPECT_EQ(run.text.rfind("hxaec-host: error: ", 0), 0u) << run.text;
    std::string first_line = run.text.substr(0, run.text.find('\n'));
    EXPECT_NE(first_line.find(c.message), std::string::npos) << run.text;
  }
}

}  // namespace
