// The voice metrics on a made conversation of real speech (tests/data):
// the near end and the far end's echo at the microphone are known exactly,
// and each output stands for one kind of voice path, good or faulty.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/conversation.h"
#include "rig/speech.h"

namespace {

using voice_metrics::Conversation;
using voice_metrics::MeasureVoice;
using voice_metrics::VoiceMetrics;

constexpr int kRate = 16000;
constexpr size_t kFrame = kRate / 50;
const size_t kSamples = size_t(voice_metrics::kConversationSeconds * kRate);

std::vector<float> Float(const std::vector<int16_t> &x) {
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = float(x[i] / 32768.0);
  return y;
}

struct VoiceMetricsTest : ::testing::Test {
  std::vector<float> near, echo;
  void SetUp() override {
    const std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
    ASSERT_FALSE(speech.empty()) << "cannot read tests/data/speech16k.wav";
    // Two different stretches of speech: the far end starts 3.1 s into it. Room noise at
    // -50 dBFS in the near end throughout.
    near = Float(Talker(speech, voice_metrics::Talk::kNear, kRate, 8000));
    const std::vector<float> far = Float(Talker(speech, voice_metrics::Talk::kFar, kRate, 3 * kRate + 1600));
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0, float(std::pow(10, -50 / 20.0)));
    for (float &v : near) v += noise(rng);
    // Echo: 12 ms late, 8 dB down, with a short decaying tail.
    echo.assign(kSamples, 0.f);
    for (size_t i = 0; i < kSamples; ++i)
      for (size_t k = 0; k < 800 && k + 192 <= i; k += 80)
        echo[i] += float(0.4 * std::exp(-double(k) / 300) * far[i - 192 - k]);
  }
  VoiceMetrics Measure(const std::vector<float> &out) {
    return MeasureVoice(Conversation(), near.data(), echo.data(), kSamples, out.data(), out.size(), kRate);
  }
  // `x` with every `every`th 20 ms frame from `from_s` to `to_s` scaled by `gain`.
  std::vector<float> Scaled(std::vector<float> x, double from_s, double to_s, double gain, size_t every = 1) {
    for (size_t f = size_t(from_s * kRate) / kFrame; f < size_t(to_s * kRate) / kFrame; f += every)
      for (size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) x[i] = float(x[i] * gain);
    return x;
  }
};

TEST_F(VoiceMetricsTest, PerfectCancellerKeepsEverything) {
  // A near end delivered 37 ms late is found there.
  std::vector<float> late(592, 0.f);
  late.insert(late.end(), near.begin(), near.end());
  const VoiceMetrics m = Measure(late);
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
  EXPECT_NEAR(m.background_dbfs, -50, 0.5);
  // Every kind of frame was measured, 0.2 s from each boundary: 2.8 s of
  // background from 1 s, 4.6 + 3.6 s far alone, 3.6 s near alone, and
  // double talk.
  EXPECT_EQ(m.background_frames, 140u);
  EXPECT_EQ(m.far_frames, 230u + 180u);
  EXPECT_EQ(m.near_frames, 180u);
  EXPECT_GT(m.double_talk_frames, 20u);
}

TEST_F(VoiceMetricsTest, MutingGateMakesHoles) {
  // Silence wherever the far end talks alone: no echo, and no background.
  const VoiceMetrics m = Measure(Scaled(Scaled(near, 4, 9, 0.0), 18, 22, 0.0));
  ASSERT_TRUE(m.valid);
  EXPECT_GT(m.holes_pct, 99);
  EXPECT_LT(m.residual_db, -100);
  EXPECT_EQ(m.leak_pct, 0);
  EXPECT_EQ(m.clipped_pct, 0);
}

TEST_F(VoiceMetricsTest, EchoLeakingThroughOneFrameInTenIsCounted) {
  std::vector<float> out = near;
  for (size_t f = 4 * kRate / kFrame; f < kSamples / kFrame; f += 10)
    if (f * kFrame < 9u * kRate || f * kFrame >= 18u * kRate)  // the far end alone
      for (size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) out[i] += echo[i];
  const VoiceMetrics m = Measure(out);
  ASSERT_TRUE(m.valid);
  EXPECT_GT(m.leak_pct, 5);
  EXPECT_LE(m.leak_pct, 10.5);
  EXPECT_GT(m.residual_db, 5);
  EXPECT_EQ(m.holes_pct, 0);
}

TEST_F(VoiceMetricsTest, NearEndClippedInDoubleTalkIsCaught) {
  // Every other frame of double talk 20 dB down.
  const VoiceMetrics m = Measure(Scaled(near, 13, 18, 0.1, 2));
  ASSERT_TRUE(m.valid);
  EXPECT_GT(m.clipped_pct, 35);
  EXPECT_LT(m.clipped_pct, 65);
  EXPECT_LT(m.double_talk_db, -1.5);
  EXPECT_GT(m.double_talk_db, -5);
  // The rest is kept.
  EXPECT_EQ(m.holes_pct, 0);
  EXPECT_NEAR(m.near_gain_db, 0, 0.01);
}

}  // namespace
