// The voice path's echo canceller on a real echo path: the module through
// its exports over the real back-ends, on a private PulseAudio daemon whose
// microphone hears the speaker through a loopback (Microphone::kEchoPath).
// The microphone is recorded beside the module; the echo reduction is its
// power over the power the host's capture callback receives, on far-end-only
// stretches (echo/echo_measure.h).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

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
const std::string kTag = "audio_HXAec::===> ";
const std::string kA1 = kTag + std::string(47, 'A') + "a: to init win7-aec[1]---end";

// Failures go to standard error: standard output carries the module's log.
struct FailuresToStderr : testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult &r) override {
    if (r.failed()) fprintf(stderr, "%s:%d: Failure\n%s\n", r.file_name(), r.line_number(), r.summary());
  }
};
const bool kListening = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStderr);
  return true;
}();

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
      std::vector<std::string> lines = log_->Lines();
      fprintf(stderr, "module log (last 30 lines):\n");
      for (size_t i = lines.size() > 30 ? lines.size() - 30 : 0; i < lines.size(); ++i)
        fprintf(stderr, "  %s\n", lines[i].c_str());
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
  // microphone recording and the host's audio line up.
  Lag Align() {
    std::vector<int16_t> talk(host_.far.begin(), host_.far.begin() + kRate);
    for (int16_t &v : talk) v = int16_t(v / 2);
    const size_t from = mic_.received();
    feeder_->Queue(talk);
    EXPECT_TRUE(WaitFor([&] { return mic_.received() > from + size_t(2 * kRate); }, 20));
    const size_t at = mic_.received();
    EXPECT_TRUE(WaitFor([&] { return host_.UpFrames() / 3 > at + size_t(kRate); }, 20));
    std::vector<int16_t> mic = Recorded();
    Lag lag = FindLag(mic, from, 2 * kRate, Channel(host_.Up(), 2, 0, 3));
    EXPECT_GE(lag.ncc, 0.8) << "the near-end talker was not found upstream";
    return lag;
  }
  std::vector<int16_t> Recorded() {
    std::vector<int16_t> more = mic_.Take();
    recorded_.insert(recorded_.end(), more.begin(), more.end());
    return recorded_;
  }

  PulseDaemon daemon_;
  std::string stats_;
  std::unique_ptr<MicFeeder> feeder_;
  SimpleStream mic_;
  std::vector<int16_t> recorded_;
  std::unique_ptr<LogCapture> log_;
  host::ModuleApi api_;
  EchoHost host_;
};

// Speech from the host's play callback plays on the speaker and comes back
// into the microphone (module-loopback, 40 ms); the host receives it
// cancelled: at least 25 dB of echo reduction on the far-end-only stretches
// after the first 2 s.
TEST_F(PulseEcho, RealEchoIsCancelledByAtLeast25dB) {
  StartCall();
  const Lag lag = Align();
  host_.far_on = true;
  const size_t m0 = mic_.received();
  const size_t end = m0 + size_t(10 * kRate);
  ASSERT_TRUE(WaitForAudio(end, lag.lag, 30)) << "10 s of far end did not come round";
  const std::vector<int16_t> mic = Recorded(), up = host_.Up();
  const echo_measure::Erle e = ErleBetween(mic, m0 + size_t(2 * kRate), end, up, lag.lag);
  fprintf(stderr, "real echo path: ERLE %.1f dB over %zu far-end-only blocks (microphone %.1f dBFS, "
          "host %.1f dBFS; output lag %ld samples, ncc %.2f)\n", e.db, e.blocks, e.mic_dbfs,
          e.out_dbfs, lag.lag, lag.ncc);
  for (double s = 0; s < 10; s += 1) {
    const echo_measure::Erle w =
        ErleBetween(mic, m0 + size_t(s * kRate), m0 + size_t((s + 1) * kRate), up, lag.lag);
    fprintf(stderr, "  %2.0f-%2.0f s: %5.1f dB (%zu blocks)\n", s, s + 1, w.db, w.blocks);
  }
  ASSERT_TRUE(e.valid);
  EXPECT_GT(e.blocks, 150u) << "far-end speech reached the microphone too seldom";
  EXPECT_GT(e.mic_dbfs, -40) << "the echo is too faint to measure a reduction";
  EXPECT_GE(e.db, 25);
}

}  // namespace
