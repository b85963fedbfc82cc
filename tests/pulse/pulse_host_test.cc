// hxaec-host --devices pulse on a private daemon: a live call writes what
// the microphone heard into upstream.wav and plays the far-end WAV on the
// speaker; with no server it says so in one line and fails.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pulse_daemon.h"
#include "signal_check.h"

using namespace hxtest;

namespace {

struct HostRun {
  int exit_code = -1;
  std::string text;
  explicit HostRun(const std::string &args) {
    FILE *p = popen((HX_HOST_PATH " --quiet " + args + " 2>&1").c_str(), "r");
    for (int c; p && (c = fgetc(p)) != EOF;) text += char(c);
    int status = p ? pclose(p) : -1;
    if (status != -1 && WIFEXITED(status)) exit_code = WEXITSTATUS(status);
  }
};

std::vector<int16_t> ReadWav(const std::string &path, SF_INFO *info) {
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, info);
  std::vector<int16_t> x(f ? size_t(info->frames * info->channels) : 0);
  if (f) sf_read_short(f, x.data(), sf_count_t(x.size())), sf_close(f);
  return x;
}

}  // namespace

TEST(PulseHost, LiveCallRecordsTheMicrophoneAndPlaysTheFarEnd) {
  PulseDaemon daemon;
  ASSERT_EQ(daemon.Start(), "") << "a real-device test needs its private PulseAudio daemon";
  MicFeeder feeder(daemon.fifo());
  std::vector<int16_t> speech = Speech16k();
  ASSERT_GT(speech.size(), 32000u);
  for (int16_t &v : speech) v = int16_t(v / 2);
  SimpleStream monitor;
  ASSERT_EQ(monitor.Record("spk.monitor", 48000, 2), "");
  const std::string out = daemon.dir() + "/out";
  // The speech goes in a second after the host's voice path starts to
  // record: however slowly the host starts (a sanitizer build), it lands
  // inside the call and after the start-up.
  std::thread feed([&] {
    std::string outputs;
    if (WaitFor([&] {
          return daemon.Pactl("list short source-outputs", &outputs) == 0 && !outputs.empty();
        }, 30)) {
      usleep(1000000);
      feeder.Queue(speech);
    }
  });
  HostRun run("--devices pulse --farend " HX_SOURCE_DIR "/host/scenario/far_end.wav --seconds 8 --out " + out);
  feed.join();
  ASSERT_EQ(run.exit_code, 0) << run.text;
  EXPECT_NE(run.text.find("live (default sink and source"), std::string::npos) << run.text;
  SF_INFO info{};
  std::vector<int16_t> up = ReadWav(out + "/upstream.wav", &info);
  ASSERT_EQ(info.samplerate, 48000);
  ASSERT_GT(up.size(), size_t(3 * 96000)) << run.text;
  std::vector<int16_t> up16 = Channel(up, 2, 0, 3);
  // Half-second parts, each looked for anywhere upstream (median): a slow
  // sanitizer build may drop a packet, which spoils one part only.
  const double best = MedianPartNcc(speech, up16, 8000, 8000);
  EXPECT_GE(best, 0.9) << "upstream.wav holds what the microphone heard\n" << run.text;
  std::vector<int16_t> played = monitor.Take();
  EXPECT_GT(Rms(played, 0, 1), 500) << "the far end was played on the speaker";
}

TEST(PulseHost, NoServerIsOneLineNamingItAndAFailure) {
  setenv("PULSE_SERVER", "unix:/nonexistent/hx-test/sock", 1);
  HostRun run("--devices pulse --seconds 1 --out /nonexistent/hx-out");
  EXPECT_NE(run.exit_code, 0);
  EXPECT_EQ(run.text, "hxaec-host: no sound server reachable at unix:/nonexistent/hx-test/sock\n");
}
