// The voice metrics on a made conversation of real speech (tests/data):
// the near end and the far end's echo at the microphone are known exactly,
// and each output stands for one kind of voice path, good or faulty.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "measure/voice_metrics.h"
#include "support/speech.h"

namespace {

using voice_metrics::Conversation;
using voice_metrics::MeasureVoice;
using voice_metrics::VoiceMetrics;

constexpr int kRate = 16000;
constexpr size_t kFrame = kRate / 50;
const size_t kSamples = size_t(voice_metrics::kConversationSeconds * kRate);

// The conversation's segments: near end 9-18 s, far end 4-9 and 13-22 s.
bool FarTalks(double t) { return (t >= 4 && t < 9) || t >= 13; }
bool NearTalks(double t) { return t >= 9 && t < 18; }

struct Call {
  std::vector<float> near, echo, mic;
};

// Speech (its loud part, looped) wherever `talks` holds, at `gain`.
std::vector<float> Talker(const std::vector<int16_t> &speech, bool (*talks)(double), double gain,
                          size_t offset) {
  std::vector<float> x(kSamples, 0.f);
  size_t pos = offset;
  for (size_t i = 0; i < kSamples; ++i)
    if (talks(double(i) / kRate)) x[i] = float(gain * speech[pos++ % speech.size()] / 32768.0);
  return x;
}

Call MakeCall() {
  const std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  Call c;
  if (speech.empty()) return c;
  // Two different stretches of speech: the far end starts 3.1 s into it.
  c.near = Talker(speech, NearTalks, 1.0, 8000);
  const std::vector<float> far = Talker(speech, FarTalks, 1.0, 3 * kRate + 1600);
  // Room noise at -50 dBFS in the near end throughout.
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0, float(std::pow(10, -50 / 20.0)));
  for (float &v : c.near) v += noise(rng);
  // Echo: 12 ms late, 8 dB down, with a short decaying tail.
  c.echo.assign(kSamples, 0.f);
  for (size_t i = 0; i < kSamples; ++i)
    for (size_t k = 0; k < 800 && k + 192 <= i; k += 80)
      c.echo[i] += float(0.4 * std::exp(-double(k) / 300) * far[i - 192 - k]);
  c.mic.resize(kSamples);
  for (size_t i = 0; i < kSamples; ++i) c.mic[i] = c.near[i] + c.echo[i];
  return c;
}

// `out` delayed by `lag` samples, as a voice path's processing would.
std::vector<float> Delayed(const std::vector<float> &x, size_t lag) {
  std::vector<float> y(lag, 0.f);
  y.insert(y.end(), x.begin(), x.end());
  return y;
}

struct VoiceMetricsTest : ::testing::Test {
  Call call = MakeCall();
  void SetUp() override { ASSERT_FALSE(call.near.empty()) << "cannot read tests/data/speech16k.wav"; }
  VoiceMetrics Measure(const std::vector<float> &out) {
    return MeasureVoice(Conversation(), call.near.data(), call.echo.data(), kSamples, out.data(),
                        out.size(), kRate);
  }
  // The frames of segment kind `who` that a function keeps; the rest as is.
  std::vector<float> Scaled(std::vector<float> x, double from_s, double to_s, double gain,
                            size_t every = 1) {
    for (size_t f = size_t(from_s * kRate) / kFrame; f < size_t(to_s * kRate) / kFrame; f += every)
      for (size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) x[i] = float(x[i] * gain);
    return x;
  }
};

TEST_F(VoiceMetricsTest, NothingRemovedLeavesTheEchoOverTheBackground) {
  const VoiceMetrics m = Measure(call.mic);
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.lag, 0);
  EXPECT_GT(m.residual_db, 20);
  EXPECT_GT(m.leak_pct, 60);
  EXPECT_EQ(m.holes_pct, 0);
  // The echo adds to the near end: no loss, nothing clipped.
  EXPECT_GE(m.double_talk_db, 0);
  EXPECT_EQ(m.clipped_pct, 0);
  EXPECT_GT(m.near_correlation, 0.99);
  EXPECT_NEAR(m.background_dbfs, -50, 0.5);
}

TEST_F(VoiceMetricsTest, PerfectCancellerKeepsEverything) {
  // A near end delivered 37 ms late is found there.
  const VoiceMetrics m = Measure(Delayed(call.near, 592));
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.lag, 592);
  EXPECT_NEAR(m.residual_db, 0, 0.5);
  EXPECT_EQ(m.leak_pct, 0);
  EXPECT_EQ(m.holes_pct, 0);
  EXPECT_NEAR(m.double_talk_db, 0, 0.01);
  EXPECT_EQ(m.clipped_pct, 0);
  EXPECT_NEAR(m.near_gain_db, 0, 0.01);
  EXPECT_GT(m.near_correlation, 0.999);
  EXPECT_NEAR(m.start_db, 0, 0.5);
  // Every kind of frame was measured, 0.2 s from each boundary: 2.8 s of
  // background from 1 s, 4.6 + 3.6 s far alone, 3.6 s near alone, and
  // double talk.
  EXPECT_EQ(m.background_frames, 140u);
  EXPECT_EQ(m.far_frames, 230u + 180u);
  EXPECT_EQ(m.near_frames, 180u);
  EXPECT_GT(m.double_talk_frames, 20u);
}

TEST_F(VoiceMetricsTest, OutputAheadOfTheMicrophoneIsFoundToo) {
  const std::vector<float> ahead(call.near.begin() + 160, call.near.end());
  const VoiceMetrics m = Measure(ahead);
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.lag, -160);
  EXPECT_NEAR(m.residual_db, 0, 0.5);
}

TEST_F(VoiceMetricsTest, MutingGateMakesHoles) {
  // Silence wherever the far end talks alone: no echo, and no background.
  std::vector<float> out = Scaled(call.near, 4, 9, 0.0);
  out = Scaled(out, 18, 22, 0.0);
  const VoiceMetrics m = Measure(out);
  ASSERT_TRUE(m.valid);
  EXPECT_GT(m.holes_pct, 99);
  EXPECT_LT(m.residual_db, -100);
  EXPECT_EQ(m.leak_pct, 0);
  EXPECT_EQ(m.clipped_pct, 0);
}

TEST_F(VoiceMetricsTest, EchoLeakingThroughOneFrameInTenIsCounted) {
  std::vector<float> out = call.near;
  for (size_t f = 4 * kRate / kFrame; f < kSamples / kFrame; f += 10)
    if (FarTalks(double(f * kFrame) / kRate) && !NearTalks(double(f * kFrame) / kRate))
      for (size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) out[i] += call.echo[i];
  const VoiceMetrics m = Measure(out);
  ASSERT_TRUE(m.valid);
  EXPECT_GT(m.leak_pct, 5);
  EXPECT_LE(m.leak_pct, 10.5);
  EXPECT_GT(m.residual_db, 5);
  EXPECT_EQ(m.holes_pct, 0);
}

TEST_F(VoiceMetricsTest, NearEndClippedInDoubleTalkIsCaught) {
  // Every other frame of double talk 20 dB down.
  const VoiceMetrics m = Measure(Scaled(call.near, 13, 18, 0.1, 2));
  ASSERT_TRUE(m.valid);
  EXPECT_GT(m.clipped_pct, 35);
  EXPECT_LT(m.clipped_pct, 65);
  EXPECT_LT(m.double_talk_db, -1.5);
  EXPECT_GT(m.double_talk_db, -5);
  // The rest is kept.
  EXPECT_EQ(m.holes_pct, 0);
  EXPECT_NEAR(m.near_gain_db, 0, 0.01);
}

TEST_F(VoiceMetricsTest, QuietCallStartAndOverallGainAreReported) {
  std::vector<float> out = Scaled(call.near, 0, 1, 0.1);
  out = Scaled(out, 1, 22, 0.5);
  const VoiceMetrics m = Measure(out);
  ASSERT_TRUE(m.valid);
  EXPECT_NEAR(m.start_db, -14, 0.5);  // -20 dB against -6 dB later
  EXPECT_NEAR(m.near_gain_db, -6.02, 0.05);
  EXPECT_NEAR(m.double_talk_db, -6.02, 0.05);
  EXPECT_NEAR(m.residual_db, 0, 0.5);  // against the background at the same gain
}

TEST_F(VoiceMetricsTest, OutputThatDoesNotLineUpIsNotValid) {
  const VoiceMetrics silent = Measure(std::vector<float>(kSamples, 0.f));
  EXPECT_FALSE(silent.valid);
  EXPECT_EQ(silent.near_correlation, 0);
  // Only the echo: nothing of the near end to line up with.
  std::vector<float> noise(kSamples);
  std::mt19937 rng(9);
  std::normal_distribution<float> g(0, 0.01f);
  for (float &v : noise) v = g(rng);
  EXPECT_FALSE(Measure(noise).valid);
  // Too short to reach the measured frames.
  const std::vector<float> stub(call.near.begin(), call.near.begin() + kRate);
  EXPECT_FALSE(Measure(stub).valid);
}

}  // namespace
