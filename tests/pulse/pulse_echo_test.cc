// The voice path's echo canceller on a real echo path: the module over the
// real back-ends, on a private sound server whose microphone hears the
// speaker through a loopback (Microphone::kEchoPath). The echo reduction is
// the recorded microphone's power over the upstream audio's, on far-end-only
// stretches.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "module_call.h"

using namespace hxtest;

namespace {

constexpr size_t kRate = 16000;

// A call on the voice path; the far end is speech, off until turned on.
class PulseEcho : public ModuleCall {
 protected:
  PulseEcho() : ModuleCall(Microphone::kEchoPath) {}
  void ServerStarted() override {
    stats_ = daemon_.dir() + "/canceller.txt";
    setenv("HX_BRISA_STATS", stats_.c_str(), 1);
  }
  void SetUp() override {
    ModuleCall::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(mic_.Record("mic", kRate, 1), "");
    host_.far = SpeechLoop16k();
    ASSERT_GT(host_.far.size(), 5 * kRate);
    StartCall(&host_, reinterpret_cast<void *>(&EchoHost::Play), 1);
  }
  void TearDown() override {
    ModuleCall::TearDown();
    feeder_.reset(), mic_.Stop();  // no thread of the test's left to read the environment
    if (HasFailure()) {
      std::ifstream f(stats_);
      fprintf(stderr, "the canceller's figures:\n%s", std::string(std::istreambuf_iterator<char>(f), {}).c_str());
    }
    unsetenv("HX_BRISA_STATS");
  }
  // Where the microphone recording and the host's audio line up.
  Lag Align() {
    std::vector<int16_t> talk(host_.far.begin(), host_.far.begin() + kRate);
    for (int16_t &v : talk) v = int16_t(v / 2);
    return AlignByTalker(*feeder_, rec_, talk, [&] { return host_.UpFrames() / 3; },
                         [&] { return Channel(host_.Up(), 2, 0, 3); });
  }
  // Waits for `samples` more of microphone and what the module made of them.
  bool WaitForMoreAudio(size_t samples, long lag) {
    const size_t want = mic_.received() + samples;
    return WaitFor([&] {
      return mic_.received() >= want && long(host_.UpFrames() / 3) >= long(want) + lag + 3200;
    }, 30);
  }

  std::string stats_;
  SimpleStream mic_;
  MicRecording rec_{&mic_, {}};
  EchoHost host_;
};

// Speech from the host's play callback comes back into the microphone
// (module-loopback, 40 ms); the host receives it cancelled: the median ERLE
// of the 1 s far-end-only stretches from 2 s to 10 s is at least 25 dB (the
// median, because on busy cores the loopback now and then slips a few ms).
//
// Then a second speaker appears with its own 80 ms echo (the voice path
// restarts), becomes the default sink (the streams move to it), and the
// first speaker goes (the voice path restarts again). With no host action
// the far end plays on the new speaker within 3 s, upstream audio never
// stops for 3 s and the microphone still reaches the host. The echo
// reduction after the changes is measured by bench/echo_real. The new null
// sink gets 3 s before it becomes the default: a fresh one asks for nothing
// during its first 2 s.
TEST_F(PulseEcho, RealEchoIsCancelledByAtLeast25dBAndFollowsSpeakerChanges) {
  const Lag lag = Align();
  ASSERT_GE(lag.ncc, 0.8) << "the near-end talker was not found upstream";
  host_.far_on = true;
  const size_t m0 = mic_.received();
  ASSERT_TRUE(WaitForMoreAudio((kSanitized ? 5 : 10) * kRate, lag.lag)) << "the far end did not come round";
  if (!kSanitized) {
    const std::vector<int16_t> mic = rec_.Recorded(), up = host_.Up();
    const echo_measure::Erle e = ErleBetween(mic, m0 + 2 * kRate, m0 + 10 * kRate, up, lag.lag);
    std::vector<double> seconds;
    std::ostringstream parts;
    for (size_t s = 2; s < 10; ++s) {
      const echo_measure::Erle w = ErleBetween(mic, m0 + s * kRate, m0 + (s + 1) * kRate, up, lag.lag);
      if (w.valid) seconds.push_back(w.db), parts << " " << int(w.db);
    }
    fprintf(stderr, "real echo path: ERLE %.1f dB over %zu blocks (microphone %.1f dBFS), 1 s parts:%s\n",
            e.db, e.blocks, e.mic_dbfs, parts.str().c_str());
    EXPECT_TRUE(e.valid && e.blocks > 150u) << "far-end speech reached the microphone too seldom";
    EXPECT_GT(e.mic_dbfs, -40) << "the echo is too faint to measure a reduction";
    EXPECT_GE(seconds.size(), 6u) << "too few seconds held far-end speech";
    std::sort(seconds.begin(), seconds.end());
    EXPECT_GE(seconds.empty() ? 0 : seconds[seconds.size() / 2], 25) << "median ERLE of the 1 s stretches";
  }

  std::string sink2, echo2;
  ASSERT_EQ(daemon_.AddSpeaker("spk2", 80, &sink2, &echo2), "");
  ASSERT_TRUE(log_->WaitFor(kVoicePathSelected, 2, 8000)) << "the new speaker did not restart the voice path";
  SimpleStream spk2;
  ASSERT_EQ(spk2.Record("spk2.monitor", kRate, 1), "");
  ASSERT_TRUE(WaitForMoreAudio(3 * kRate, lag.lag));

  ASSERT_EQ(daemon_.Pactl("set-default-sink spk2"), 0);
  const double t_switch = Now();
  std::vector<int16_t> played;
  EXPECT_TRUE(WaitFor([&] {
    std::vector<int16_t> more = spk2.Take();
    played.insert(played.end(), more.begin(), more.end());
    return played.size() > 800 && Rms(std::vector<int16_t>(played.end() - 800, played.end()), 0, 1) > 300;
  }, 10)) << "the far end never reached the new speaker";
  EXPECT_LT(Now() - t_switch, 3.0) << "the far end took too long to reach the new speaker";
  ASSERT_TRUE(WaitForMoreAudio(6 * kRate, lag.lag));
  EXPECT_LT(host_.LongestGap(t_switch, t_switch + 6), 3.0) << "upstream audio stopped after the switch";

  const std::string spk = daemon_.LaunchModule("sink_name=spk ");
  ASSERT_NE(spk, "");
  ASSERT_EQ(daemon_.Pactl("unload-module " + spk), 0);
  const double t_unload = Now();
  ASSERT_TRUE(log_->WaitFor(kVoicePathSelected, 3, 8000)) << "the speaker's going did not restart the voice path";
  ASSERT_TRUE(WaitForMoreAudio(4 * kRate, lag.lag));
  EXPECT_LT(host_.LongestGap(t_unload, t_unload + 3), 3.0) << "upstream audio stopped after the unload";
  host_.far_on = false;
  ASSERT_TRUE(WaitForMoreAudio(kRate, lag.lag));  // the echo dies away before the talker
  EXPECT_GE(Align().ncc, 0.8) << "the microphone no longer reaches the host";
}

}  // namespace
