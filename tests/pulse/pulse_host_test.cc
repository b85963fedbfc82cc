// hxaec-host --devices pulse: with no server it says so in one line and
// fails; on a private daemon with an echo path its report describes the live
// voice path and nothing of the simulated one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>

#include "rig/pulse_daemon.h"
#include "rig/shell.h"

TEST(PulseHost, NoServerIsOneLineNamingItAndAFailure) {
  int status;
  const std::string text = Shell("PULSE_SERVER=unix:/nonexistent/hx-test/sock " HX_HOST_PATH
                                 " --quiet --devices pulse --seconds 1 --out /nonexistent/hx-out", &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(text, "hxaec-host: no sound server reachable at unix:/nonexistent/hx-test/sock\n");
}

// The figure after `label` in text, NAN when the label is missing.
static double After(const std::string &text, const std::string &label) {
  const size_t at = text.find(label);
  return at == std::string::npos ? NAN : atof(text.c_str() + at + label.size());
}

// Speech plays to the speaker all along (the test speech, looped; a 16 kHz
// WAV the host converts) and its echo (40 ms loopback) reaches the
// microphone: the report gives the canceller's delay and drift, the levels
// it saw, underruns and far end dropped, and the back-end selections; no
// line of the simulated path.
TEST(PulseHost, LiveReportGivesTheVoicePathsFiguresAndNoSimulatedLines) {
  hxtest::PulseDaemon daemon(hxtest::Microphone::kEchoPath);
  ASSERT_EQ(daemon.Start(), "") << "a real-device test needs its private PulseAudio daemon";
  int status;
  const std::string text =
      Shell(HX_HOST_PATH " --quiet --devices pulse --seconds 8 --loop --farend " HX_SOURCE_DIR
                         "/tests/data/speech16k.wav --out " + daemon.dir() + "/host-out",
            &status);
  ASSERT_EQ(status, 0) << text;
  for (const char *simulated : {"simulated", "--no-echo", "--no-cancel", "noise before and after",
                                "world status", "microphone.wav", "library calls"})
    EXPECT_EQ(text.find(simulated), std::string::npos) << simulated << " in\n" << text;
  for (const char *line : {"hxaec-host: far end: converted '", "\n-- voice path (live) --\n",
                           "echo (the canceller's own figures): echo return loss ", "voice_path.txt"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " missing in\n" << text;
  for (const char *label : {"clock drift tracked: ", "loudspeaker: ", "underruns, "})
    EXPECT_TRUE(std::isfinite(After(text, label))) << label << " has no figure in\n" << text;
  // Delay: the streams' latencies and the loopback's 40 ms, well inside a second.
  const double applied = After(text, "canceller delay: far end aligned by ");
  const double reported = After(text, "ms (reported with the microphone blocks ");
  EXPECT_TRUE(applied > 0 && applied < 1000 && reported > 0 && reported < 1000) << text;
  // The microphone hears the far end's echo; both are well above silence.
  const double mic = After(text, "levels: microphone "), far = After(text, "far end played ");
  EXPECT_TRUE(mic < 0 && mic > -90 && far < 0 && far > -60) << text;
  // The voice path was selected, at a time in the call (its file is named).
  const size_t selections = text.find("-- back-end selections (module log) --\n");
  ASSERT_NE(selections, std::string::npos) << text;
  EXPECT_EQ(text.find("(none logged)", selections), std::string::npos) << text;
}
