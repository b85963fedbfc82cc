// The voice path's echo canceller on a real echo path: the module through
// its exports over the real back-ends, on a private PulseAudio daemon whose
// microphone hears the speaker through a loopback (Microphone::kEchoPath).
// The microphone is recorded beside the module; the echo reduction is its
// power over the power the host's capture callback receives, on far-end-only
// stretches (echo/echo_measure.h).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "echo_call.h"
#include "module_api.h"
#include "pulse_daemon.h"
#include "signal_check.h"
#include "support/log_capture.h"

using namespace hxtest;

namespace {

constexpr int kRate = 16000;
// Under the sanitizers the canceller (several times slower there) cannot be
// trusted to keep real time on two busy cores: those builds check that audio
// flows through a running canceller, the plain build checks how well it
// cancels.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
const std::string kTag = "audio_HXAec::===> ";
const std::string kA1 = kTag + std::string(47, 'A') + "a: to init win7-aec[1]---end";

const bool kListening = FailuresToStderr();

std::string Tail(const std::string &path, size_t lines) {
  std::ifstream f(path);
  std::vector<std::string> all;
  for (std::string l; std::getline(f, l);) all.push_back(l);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    out += "  " + all[i] + "\n";
  return out;
}

class PulseEcho : public ::testing::Test {
 protected:
  PulseEcho() : daemon_(Microphone::kEchoPath) {}
  void SetUp() override {
    std::string error = daemon_.Start();
    ASSERT_EQ(error, "") << "a real-device test needs its private PulseAudio daemon";
    stats_ = daemon_.dir() + "/canceller.txt";
    setenv("HX_BRISA_STATS", stats_.c_str(), 1);
    feeder_.reset(new MicFeeder(daemon_));
    ASSERT_EQ(mic_.Record("mic", kRate, 1), "");
    log_.reset(new LogCapture);
    ASSERT_TRUE(host::LoadModule(HX_MODULE_PATH, &api_, &error)) << error;
    host_.far = SpeechLoop16k();
    ASSERT_GT(host_.far.size(), size_t(5 * kRate));
  }
  void TearDown() override {
    if (api_.handle) {
      api_.DeInit();
      dlclose(api_.handle);
    }
    if (HasFailure() && log_) {
      log_->TailToStderr(30);
      fprintf(stderr, "the canceller's figures (last 20 s):\n%s", Tail(stats_, 20).c_str());
    }
    log_.reset();
    unsetenv("HX_BRISA_STATS");
  }
  // The voice path with capture; no system audio.
  void StartCall() {
    api_.SetDownComCallBackPtr(reinterpret_cast<void *>(&EchoHost::Capture), &host_,
                               reinterpret_cast<void *>(&EchoHost::Play), &host_);
    api_.SetAecMode(1);
    api_.SetMicroCapture(1);
    ASSERT_EQ(api_.Init(), 0);
    ASSERT_TRUE(log_->WaitFor(kA1, 1, 10000)) << "the voice path was not selected";
    ASSERT_TRUE(WaitFor([&] { return host_.blocks > 50; }, 10)) << "no upstream blocks";
  }
  // Waits until the microphone recording holds `samples` and the host has
  // what the module made of them (it may lag behind by `lag`).
  bool WaitForAudio(size_t samples, long lag, double seconds) {
    return WaitFor([&] {
      return mic_.received() >= samples && long(host_.UpFrames() / 3) >= long(samples) + lag + 3200;
    }, seconds);
  }
  // A near-end talker (1 s of speech) on a silent far end: where the
  // microphone recording and the host's audio line up. Also notes how the
  // two counts of received audio then differ (see LagNow).
  Lag Align() {
    std::vector<int16_t> talk(host_.far.begin(), host_.far.begin() + kRate);
    for (int16_t &v : talk) v = int16_t(v / 2);
    const Lag lag = AlignByTalker(*feeder_, rec_, talk, [&] { return host_.UpFrames() / 3; },
                                  [&] { return Channel(host_.Up(), 2, 0, 3); });
    EXPECT_GE(lag.ncc, 0.8) << "the near-end talker was not found upstream";
    if (!calibrated_) {
      lag0_ = lag.lag;
      counts0_ = CountsApart();
      calibrated_ = true;
    }
    return lag;
  }
  // Host samples (16 kHz) minus microphone samples received so far, median
  // of ten looks 10 ms apart.
  long CountsApart() {
    std::vector<long> d;
    for (int i = 0; i < 10; ++i, usleep(10000))
      d.push_back(long(host_.UpFrames() / 3) - long(mic_.received()));
    std::sort(d.begin(), d.end());
    return d[5];
  }
  // The lag now: a restart of the voice path drops the audio of its gap
  // from the host's stream but not from the recording, which shifts the
  // lag by as much as the counts' difference moves. Good to a block or two,
  // which is enough where the near end is silent.
  long LagNow() { return lag0_ + CountsApart() - counts0_; }
  // Echo reduction over the microphone samples [from, to), at the lag now.
  echo_measure::Erle Erle(size_t from, size_t to) {
    const long lag = LagNow();
    return ErleBetween(Recorded(), from, to, host_.Up(), lag);
  }
  // Index of the module that made sink `name`.
  std::string SpeakerModule(const std::string &name) {
    std::string list;
    daemon_.Pactl("list short modules", &list);
    size_t at = list.find("sink_name=" + name + " ");
    if (at == std::string::npos) return "";
    size_t line = list.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    return list.substr(line, list.find('\t', line) - line);
  }
  std::vector<int16_t> Recorded() { return rec_.Recorded(); }
  // Blocks the canceller has processed, from its last line of figures.
  long CancellerBlocks() {
    const std::string last = Tail(stats_, 1);
    const size_t at = last.find(" blocks=");
    return at == std::string::npos ? -1 : atol(last.c_str() + at + 8);
  }

  PulseDaemon daemon_;
  std::string stats_;
  std::unique_ptr<MicFeeder> feeder_;
  SimpleStream mic_;
  MicRecording rec_{&mic_, {}};
  bool calibrated_ = false;
  long lag0_ = 0, counts0_ = 0;
  std::unique_ptr<LogCapture> log_;
  host::ModuleApi api_;
  EchoHost host_;
};

// Speech from the host's play callback plays on the speaker and comes back
// into the microphone (module-loopback, 40 ms); the host receives it
// cancelled: at least 25 dB of echo reduction, the median over the 1 s
// far-end-only stretches after the first 2 s. The median, because with both
// cores busy the loopback now and then drops or adds a few ms of audio (its
// log says so); the echo then jumps and costs a second or two of
// cancellation until the canceller finds it again. The whole run is printed.
TEST_F(PulseEcho, RealEchoIsCancelledByAtLeast25dB) {
  StartCall();
  const Lag lag = Align();
  host_.far_on = true;
  const size_t m0 = mic_.received();
  if (kSanitized) {
    ASSERT_TRUE(WaitForAudio(m0 + size_t(3 * kRate), lag.lag, 30)) << "the far end did not come round";
    EXPECT_TRUE(WaitFor([&] { return CancellerBlocks() > 150; }, 10)) << "the canceller does not run";
    return;
  }
  const size_t end = m0 + size_t(10 * kRate);
  ASSERT_TRUE(WaitForAudio(end, lag.lag, 30)) << "10 s of far end did not come round";
  const std::vector<int16_t> mic = Recorded(), up = host_.Up();
  const echo_measure::Erle e = ErleBetween(mic, m0 + size_t(2 * kRate), end, up, lag.lag);
  fprintf(stderr, "real echo path: ERLE %.1f dB over %zu far-end-only blocks (microphone %.1f dBFS, "
          "host %.1f dBFS; output lag %ld samples, ncc %.2f)\n", e.db, e.blocks, e.mic_dbfs,
          e.out_dbfs, lag.lag, lag.ncc);
  std::vector<double> seconds;
  for (int s = 2; s < 10; ++s) {
    const echo_measure::Erle w =
        ErleBetween(mic, m0 + size_t(s * kRate), m0 + size_t((s + 1) * kRate), up, lag.lag);
    fprintf(stderr, "  %2d-%2d s: %5.1f dB (%zu blocks)\n", s, s + 1, w.db, w.blocks);
    if (w.valid) seconds.push_back(w.db);
  }
  ASSERT_TRUE(e.valid);
  EXPECT_GT(e.blocks, 150u) << "far-end speech reached the microphone too seldom";
  EXPECT_GT(e.mic_dbfs, -40) << "the echo is too faint to measure a reduction";
  ASSERT_GE(seconds.size(), 6u) << "too few seconds held far-end speech";
  std::sort(seconds.begin(), seconds.end());
  EXPECT_GE(seconds[seconds.size() / 2], 25) << "median ERLE of the 1 s stretches";
}

// Mid-call, a second speaker appears with an echo of its own (its loopback
// into the microphone takes 80 ms where the first one's takes 40: a device
// whose latency the server does not report in full). The module's monitor
// restarts the voice path for the new endpoint count; the speaker then
// becomes the default sink, and the voice path's streams, which name no
// device, move to it; then the first speaker goes away, and the monitor
// restarts the voice path once more. With no host action the far end plays
// on the new speaker within 3 s, upstream audio never stops for 3 s and the
// microphone still reaches the host at the end.
//
// The echo reduction after each change is printed, not asserted: it spreads
// too far between runs (docs/performance.md) for a bound that would not flake.
//
// The new null sink is given 3 s before it becomes the default: a null sink
// that was just loaded asks for nothing during its first 2 s (it renders
// its first, maximal latency ahead), so a stream moved onto it at once
// stalls for that long, unlike a sound card's.
TEST_F(PulseEcho, CancellationHoldsWhenSpeakersComeGoAndTheDefaultChanges) {
  StartCall();
  Align();
  host_.far_on = true;
  const size_t m0 = mic_.received();
  ASSERT_TRUE(WaitForAudio(m0 + size_t(5 * kRate), lag0_, 30));
  const echo_measure::Erle steady = Erle(m0 + size_t(2 * kRate), m0 + size_t(5 * kRate));

  std::string sink2, echo2;
  ASSERT_EQ(daemon_.AddSpeaker("spk2", 80, &sink2, &echo2), "");
  ASSERT_TRUE(log_->WaitFor(kA1, 2, 8000)) << "the new speaker did not restart the voice path";
  const size_t m_restart = mic_.received();
  SimpleStream spk2;
  ASSERT_EQ(spk2.Record("spk2.monitor", kRate, 1), "");
  ASSERT_TRUE(WaitForAudio(m_restart + size_t(3 * kRate), lag0_, 30));
  const echo_measure::Erle restarted = Erle(m_restart + size_t(kRate / 2), m_restart + size_t(3 * kRate));

  ASSERT_EQ(daemon_.Pactl("set-default-sink spk2"), 0);
  const double t_switch = Now();
  const size_t m_switch = mic_.received();
  std::vector<int16_t> played;
  const bool plays = WaitFor([&] {
    std::vector<int16_t> more = spk2.Take();
    played.insert(played.end(), more.begin(), more.end());
    return played.size() > 800 &&
           Rms(std::vector<int16_t>(played.end() - 800, played.end()), 0, 1) > 300;
  }, 10);
  const double plays_after = Now() - t_switch;
  ASSERT_TRUE(WaitForAudio(m_switch + size_t(6 * kRate), lag0_, 30));
  const echo_measure::Erle switched = Erle(m_switch, m_switch + size_t(3 * kRate));
  const echo_measure::Erle switched_late = Erle(m_switch + size_t(3 * kRate), m_switch + size_t(6 * kRate));

  const std::string spk = SpeakerModule("spk");
  ASSERT_NE(spk, "");
  ASSERT_EQ(daemon_.Pactl("unload-module " + spk), 0);
  const double t_unload = Now();
  ASSERT_TRUE(log_->WaitFor(kA1, 3, 8000)) << "the speaker's going did not restart the voice path";
  const size_t m_unload = mic_.received();
  ASSERT_TRUE(WaitForAudio(m_unload + size_t(6 * kRate), lag0_, 30));
  const echo_measure::Erle unloaded = Erle(m_unload, m_unload + size_t(3 * kRate));
  const echo_measure::Erle unloaded_late = Erle(m_unload + size_t(3 * kRate), m_unload + size_t(6 * kRate));
  host_.far_on = false;
  const size_t m_quiet = mic_.received();  // the echo dies away before the talker
  ASSERT_TRUE(WaitForAudio(m_quiet + size_t(kRate), lag0_, 30));
  const Lag last = Align();

  fprintf(stderr, "ERLE: steady %.1f dB; 0.5-3 s after the restart for the new speaker %.1f dB; "
          "0-3 / 3-6 s after the switch %.1f / %.1f dB (far end on the new speaker after %.2f s); "
          "0-3 / 3-6 s after the restart for the old speaker's going %.1f / %.1f dB\n", steady.db,
          restarted.db, switched.db, switched_late.db, plays_after, unloaded.db, unloaded_late.db);
  EXPECT_TRUE(plays) << "the far end never reached the new speaker";
  EXPECT_LT(plays_after, 3.0) << "the far end took too long to reach the new speaker";
  EXPECT_LT(host_.LongestGap(t_switch, t_switch + 6), 3.0) << "upstream audio stopped";
  EXPECT_LT(host_.LongestGap(t_unload, t_unload + 3), 3.0) << "upstream audio stopped";
  EXPECT_GE(last.ncc, 0.8) << "the microphone no longer reaches the host";
}

}  // namespace
