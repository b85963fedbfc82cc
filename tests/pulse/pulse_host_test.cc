// hxaec-host --devices pulse on a private daemon: a live call writes what
// the microphone heard into upstream.wav and plays the far-end WAV on the
// speaker; with no server it says so in one line and fails.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "pulse_daemon.h"
#include "signal_check.h"
#include "support/shell.h"

using namespace hxtest;

namespace {

// hxaec-host --quiet with `args`: its output (standard error included) and exit code.
std::string RunHost(const std::string &args, int *exit_code) {
  int status;
  std::string text = Shell(HX_HOST_PATH " --quiet " + args, &status);
  *exit_code = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return text;
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
  // The speech goes in a second after the host's voice path starts to record:
  // however slowly the host starts (a sanitizer build), it lands inside the call.
  std::thread feed([&] {
    std::string outputs;
    if (WaitFor([&] { return daemon.Pactl("list short source-outputs", &outputs) == 0 && !outputs.empty(); }, 30))
      usleep(1000000), feeder.Queue(speech);
  });
  int exit_code;
  const std::string text = RunHost(
      "--devices pulse --farend " HX_SOURCE_DIR "/host/scenario/far_end.wav --seconds 8 --out " + out, &exit_code);
  feed.join();
  ASSERT_EQ(exit_code, 0) << text;
  EXPECT_NE(text.find("live (default sink and source"), std::string::npos) << text;
  SF_INFO info;
  std::vector<int16_t> up = ReadWav(out + "/upstream.wav", &info);
  ASSERT_EQ(info.samplerate, 48000);
  ASSERT_GT(up.size(), size_t(3 * 96000)) << text;
  // Half-second parts, each looked for anywhere upstream (median): a packet a
  // slow sanitizer build drops spoils one part only.
  EXPECT_GE(MedianPartNcc(speech, Channel(up, 2, 0, 3), 8000, 8000), 0.9) << "upstream.wav holds the microphone\n" << text;
  EXPECT_GT(Rms(monitor.Take(), 0, 1), 500) << "the far end was played on the speaker";
}

TEST(PulseHost, NoServerIsOneLineNamingItAndAFailure) {
  setenv("PULSE_SERVER", "unix:/nonexistent/hx-test/sock", 1);
  int exit_code;
  const std::string text = RunHost("--devices pulse --seconds 1 --out /nonexistent/hx-out", &exit_code);
  EXPECT_NE(exit_code, 0);
  EXPECT_EQ(text, "hxaec-host: no sound server reachable at unix:/nonexistent/hx-test/sock\n");
}
