// Double talk: which halves soften the linear stage's own suppression, and
// the softening itself inside WebRTC 0.3's canceller (process-wide: only
// the canceller asked, and the library's own step back when none is left).
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "echo/double_talk_depth.h"
#include "echo/echo_canceller.h"
#include "echo/legacy_aec_exports.h"
#include "rig/speech.h"
#include "support/canceller_latency.h"


namespace {

// Halves as the component judges them: the far end sounding, the
// microphone above a quiet room; voice or not, what the linear filter
// took off the microphone, and the microphone's level over the far end's.
HalfHeard Half(bool voice, double removed_db, bool starting = false, double over_far_db = -20) {
  return HalfHeard{voice, true, true, removed_db, starting, over_far_db};
}

// The far end alone for 3 s, the filter taking `removed_db` off its echo.
void TeachEcho(DoubleTalkDepth *d, double removed_db) {
  for (int h = 0; h < 300; ++h) d->Heard(Half(false, removed_db));
}

float DepthAfter(DoubleTalkDepth *d, const HalfHeard &h) {
  d->Heard(h);
  return d->Next();
}

TEST(DoubleTalkDepth, SoftensVoicedHalvesTheFilterTookClearlyLessOffThanOffTheEcho) {
  const DoubleTalkTuning t;
  DoubleTalkDepth d(t);
  d.Block(false);
  EXPECT_EQ(DepthAfter(&d, Half(true, -10)), 1.0f) << "nothing known yet of what the filter takes off the echo";
  TeachEcho(&d, 15);
  EXPECT_EQ(DepthAfter(&d, Half(false, t.clear_removed_db - 0.1)), 1.0f) << "no voice, and the filter took echo off";
  EXPECT_EQ(DepthAfter(&d, Half(true, t.max_removed_db)), 1.0f) << "the filter took echo off";
  EXPECT_EQ(DepthAfter(&d, Half(true, t.max_removed_db - 0.1)), t.voice_depth);
  EXPECT_EQ(DepthAfter(&d, Half(true, t.clear_removed_db)), t.voice_depth);
  EXPECT_EQ(DepthAfter(&d, Half(true, t.clear_removed_db - 0.1)), t.clear_depth);
  EXPECT_EQ(DepthAfter(&d, Half(true, -3, true)), 1.0f) << "never while the suppressor starts";
  HalfHeard quiet = Half(true, -3);
  quiet.sound = false;
  EXPECT_EQ(DepthAfter(&d, quiet), t.clear_depth) << "a quiet half judged voiced still counts";
}

// A near end that the engine's own cut took out is not heard by the voice
// decision; a filter that took almost nothing off a microphone louder than
// the echo alone makes it, while the far end talked, hears it.
TEST(DoubleTalkDepth, SoftensUnvoicedHalvesTheFilterTookAlmostNothingOffALouderMicrophone) {
  const DoubleTalkTuning t;
  DoubleTalkDepth d(t);
  d.Block(false);
  TeachEcho(&d, 15);  // the echo alone 20 dB under the far end
  const double louder = -20 + t.unheard_over_echo_db + 0.1;
  EXPECT_EQ(DepthAfter(&d, Half(false, t.unheard_removed_db, false, louder)), 1.0f);
  EXPECT_EQ(DepthAfter(&d, Half(false, t.unheard_removed_db - 0.1, false, louder)), t.clear_depth);
  EXPECT_EQ(DepthAfter(&d, Half(false, 0, false, -20 + t.unheard_over_echo_db)), 1.0f)
      << "no louder than the echo alone: a filter that lost the echo";
  EXPECT_EQ(DepthAfter(&d, Half(false, 0, false, kNoFar)), 1.0f) << "the far end in a pause";
  HalfHeard quiet = Half(false, 0, false, louder);
  quiet.sound = false;
  EXPECT_EQ(DepthAfter(&d, quiet), 1.0f) << "a quiet microphone";
  HalfHeard no_far = Half(false, 0, false, louder);
  no_far.far_active = false;
  EXPECT_EQ(DepthAfter(&d, no_far), 1.0f) << "no far end";
  EXPECT_EQ(DepthAfter(&d, Half(false, 0, true, louder)), 1.0f) << "never while the suppressor starts";
  // Halves whose filter took almost nothing off teach what it takes off
  // the echo, not how loud the echo is: a near end the decision missed
  // does not raise the bar it is judged by.
  for (int h = 0; h < 300; ++h) d.Heard(Half(false, 0, false, 0));
  EXPECT_EQ(DepthAfter(&d, Half(false, 0, false, louder)), 1.0f) << "the filter now takes nothing off the echo";
  for (int h = 0; h < 100; ++h) d.Heard(Half(false, 15));  // 13 dB again; a level taught at 0 would be -17
  EXPECT_EQ(DepthAfter(&d, Half(false, 0, false, louder)), t.clear_depth);
}

// How loud the echo alone is must be known first.
TEST(DoubleTalkDepth, UnvoicedHalvesWaitForTheEchosLevel) {
  const DoubleTalkTuning t;
  DoubleTalkDepth d(t);
  d.Block(false);
  for (int h = 0; h < 300; ++h) d.Heard(Half(false, 15, false, kNoFar));  // the far end never loud enough
  EXPECT_EQ(DepthAfter(&d, Half(true, 0)), t.clear_depth) << "voice needs no level";
  EXPECT_EQ(DepthAfter(&d, Half(false, 0, false, 0)), 1.0f);
}

// A filter that diverged takes little off the echo, and its echo reads as
// voice: once the far-alone halves have taught that, nothing is softened.
TEST(DoubleTalkDepth, AFilterThatTakesLittleOffTheEchoIsNotSoftened) {
  const DoubleTalkTuning t;
  DoubleTalkDepth d(t);
  d.Block(false);
  TeachEcho(&d, 15);
  EXPECT_EQ(DepthAfter(&d, Half(true, 1)), t.clear_depth);
  TeachEcho(&d, 3);
  EXPECT_EQ(DepthAfter(&d, Half(true, 1)), 1.0f);
  EXPECT_EQ(DepthAfter(&d, Half(true, 3 - t.below_echo_db - 0.5)), t.clear_depth);
  // Halves without the far end, or with voice, teach nothing.
  for (int h = 0; h < 300; ++h) {
    HalfHeard no_far = Half(false, 15);
    no_far.far_active = false;
    d.Heard(no_far);
    d.Heard(Half(true, 15));
  }
  EXPECT_EQ(DepthAfter(&d, Half(true, 1)), 1.0f);
}

TEST(DoubleTalkDepth, FullDepthForCalmBlocksAfterTheFarEndStarvedOrTheAlignmentMoved) {
  DoubleTalkTuning t;
  t.calm_blocks = 250;
  DoubleTalkDepth d(t);
  TeachEcho(&d, 15);
  d.Block(false);
  EXPECT_EQ(DepthAfter(&d, Half(true, 0)), t.clear_depth);
  d.Block(true);
  EXPECT_EQ(d.Next(), 1.0f);
  for (int b = 1; b < t.calm_blocks; ++b) d.Block(false);
  EXPECT_EQ(d.Next(), 1.0f) << "one block of calm left";
  d.Block(false);
  EXPECT_EQ(d.Next(), t.clear_depth);
  d.Block(true);
  d.Block(true);  // a second loss starts the calm over
  for (int b = 1; b < t.calm_blocks; ++b) d.Block(false);
  EXPECT_EQ(d.Next(), 1.0f);
}

// A jolt of the reported delay holds the full depth for jolt_blocks, and
// never shortens a longer calm.
TEST(DoubleTalkDepth, FullDepthForJoltBlocksAfterTheReportJolted) {
  DoubleTalkTuning t;
  DoubleTalkDepth d(t);
  TeachEcho(&d, 15);
  d.Block(false);
  EXPECT_EQ(DepthAfter(&d, Half(true, 0)), t.clear_depth);
  d.Block(false, true);
  EXPECT_EQ(d.Next(), 1.0f);
  for (int b = 1; b < t.jolt_blocks; ++b) d.Block(false);
  EXPECT_EQ(d.Next(), 1.0f) << "one block of the hold left";
  d.Block(false);
  EXPECT_EQ(d.Next(), t.clear_depth);
  d.Block(true);
  d.Block(false, true);  // within the calm after a loss
  for (int b = 2; b < t.calm_blocks; ++b) d.Block(false);
  EXPECT_EQ(d.Next(), 1.0f) << "the calm after the loss runs its full length";
  d.Block(false);
  EXPECT_EQ(d.Next(), t.clear_depth);
}

// A far talker's echo (-6 dB, 40 ms late) over a faint noise for 4 s, then
// a near talker over it; one engine per depth, fed alike, 10 ms at a time.
// The talkers' files are the live conversation's: the far end talks from
// 13 s on, the near end alone from 9 s.
struct Call {
  static constexpr int kFarAt = 13 * HX_ECHO_RATE, kNearAt = 9 * HX_ECHO_RATE;
  static constexpr int kEchoDelay = 640, kNearFrom = 4 * HX_ECHO_RATE, kLength = 8 * HX_ECHO_RATE;
  std::vector<int16_t> far = Part(ReadMono(HX_SOURCE_DIR "/tests/data/far_talker16k.wav"), kFarAt, kLength);
  std::vector<int16_t> near =
      Part(ReadMono(HX_SOURCE_DIR "/tests/data/near_talker16k.wav"), kNearAt, kLength - kNearFrom);
  static std::vector<int16_t> Part(const std::vector<int16_t> &x, int from, int n) {
    return x.size() >= size_t(from + n) ? std::vector<int16_t>(x.begin() + from, x.begin() + from + n)
                                        : std::vector<int16_t>();
  }
  bool ok() const { return !far.empty() && !near.empty(); }
  // Output power while the near end talks.
  double Run(EchoCanceller *c, float depth_in_double_talk) const {
    std::vector<int16_t> mic(kEchoHalf), out(kEchoHalf);
    uint32_t seed = 5;
    double heard = 0;
    for (int at = 0; at + kEchoHalf <= kLength; at += kEchoHalf) {
      for (int i = 0; i < kEchoHalf; ++i) {
        const int n = at + i;
        seed = seed * 1664525u + 1013904223u;
        const int echo = n >= kEchoDelay ? far[n - kEchoDelay] / 2 : 0;
        const int talker = n >= kNearFrom ? near[n - kNearFrom] : 0;
        mic[i] = int16_t(std::max(-32768, std::min(32767, echo + talker + int(seed >> 29) - 4)));
      }
      c->SetSuppressionDepth(at >= kNearFrom ? depth_in_double_talk : 1.0f);
      c->Render(&far[at]);
      c->Capture(mic.data(), out.data());
      if (at >= kNearFrom)
        for (int16_t v : out) heard += double(v) * v;
    }
    return heard;
  }
};

TEST(LegacySuppressionDepth, SoftensOnlyTheCancellerAskedAndDepthOneIsTheLibrarysOwn) {
  const Call call;
  ASSERT_TRUE(call.ok()) << "cannot read tests/data/far_talker16k.wav and near_talker16k.wav";
  const char *why = nullptr;
  std::unique_ptr<EchoCanceller> soft = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  ASSERT_NE(soft, nullptr) << why;
  std::unique_ptr<EchoCanceller> full = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  ASSERT_NE(full, nullptr) << why;
  const double softened = call.Run(soft.get(), 0.0f);
  const double kept = call.Run(full.get(), 1.0f);
  // A canceller alone in the process, never softened: the reference.
  soft.reset();
  full.reset();
  std::unique_ptr<EchoCanceller> alone = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  ASSERT_NE(alone, nullptr) << why;
  const double reference = call.Run(alone.get(), 1.0f);
  EXPECT_EQ(kept, reference) << "depth 1, or a neighbour softened, must change nothing";
  EXPECT_GT(10 * std::log10(softened / kept), 1.0) << "no softening in double talk";
}

// A fresh engine over the call's first kNearFrom samples: the far end's echo
// alone (`echo`), or the near talker alone with a silent far end. After
// each half, `read(engine, microphone's mean square)` gives a figure (NaN:
// none); returns their median over the halves with sound from 2 s on, NaN
// when there are fewer than 20 or no engine.
template <typename Read>
double MedianPerHalf(const Call &call, bool echo, Read read) {
  const char *why = nullptr;
  std::unique_ptr<EchoCanceller> c = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  EXPECT_NE(c, nullptr) << why;
  if (!c) return NAN;
  std::vector<int16_t> silent(kEchoHalf, 0), mic(kEchoHalf), out(kEchoHalf);
  std::vector<double> figures;
  for (int at = 0; at + kEchoHalf <= Call::kNearFrom; at += kEchoHalf) {
    double square = 0;
    for (int i = 0; i < kEchoHalf; ++i) {
      const int n = at + i;
      mic[i] = echo ? (n >= Call::kEchoDelay ? call.far[n - Call::kEchoDelay] / 2 : 0) : call.near[n];
      square += double(mic[i]) * mic[i] / kEchoHalf;
    }
    c->Render(echo ? &call.far[at] : silent.data());
    c->Capture(mic.data(), out.data());
    const double figure = read(c.get(), square);
    if (at >= 2 * HX_ECHO_RATE && square > 1e4 && !std::isnan(figure)) figures.push_back(figure);
  }
  if (figures.size() < 20) return NAN;
  std::nth_element(figures.begin(), figures.begin() + figures.size() / 2, figures.end());
  return figures[figures.size() / 2];
}

// What the linear filter left, as the step reads it from its error spectra:
// all of a near end with nothing to cancel, and well under an echo it has
// learnt (median over the halves with sound).
TEST(LegacySuppressionDepth, SaysWhatTheLinearFilterTookOff) {
  const Call call;
  ASSERT_TRUE(call.ok()) << "cannot read tests/data/far_talker16k.wav and near_talker16k.wav";
  const auto removed_db = [](EchoCanceller *c, double square) {
    const float left = c->LinearMeanSquare();
    return left >= 0 ? 10 * std::log10(square / (left + 1)) : NAN;
  };
  EXPECT_NEAR(MedianPerHalf(call, false, removed_db), 0.0, 1.5) << "nothing to cancel";
  EXPECT_GT(MedianPerHalf(call, true, removed_db), 10.0) << "an echo it has learnt";
}

// What its own suppression kept of each band of the filter's output: all of
// a near end with nothing to cancel, little of an echo it has learnt (the
// median over the halves with sound of the mean over the bands up to 6 kHz).
TEST(LegacySuppressionDepth, SaysWhatItsOwnSuppressionKept) {
  const Call call;
  ASSERT_TRUE(call.ok()) << "cannot read tests/data/far_talker16k.wav and near_talker16k.wav";
  const auto kept_to_6khz = [](EchoCanceller *c, double) {
    float bands[kEngineKeptBands];
    if (!c->EngineKept(bands)) return double(NAN);
    double sum = 0;
    for (int b = 0; b < kEngineKeptBands; ++b) {
      EXPECT_TRUE(bands[b] >= 0 && bands[b] <= 1) << bands[b] << " in band " << b;
      if (b < 49) sum += bands[b];
    }
    return sum / 49;
  };
  EXPECT_GT(MedianPerHalf(call, false, kept_to_6khz), 0.95) << "nothing to cancel";
  EXPECT_LT(MedianPerHalf(call, true, kept_to_6khz), 0.3) << "an echo it has learnt";
}

TEST(LegacySuppressionDepth, TheLastCancellerGoneLeavesTheLibrarysOwnStep) {
  // What the library's own initialisation puts there.
  void *raw = WebRtcAec_Create();
  ASSERT_NE(raw, nullptr);
  ASSERT_EQ(WebRtcAec_Init(raw, HX_ECHO_RATE, HX_ECHO_RATE), 0);
  const AecSuppressStep library = WebRtcAec_OverdriveAndSuppress;
  WebRtcAec_Free(raw);
  ASSERT_NE(library, nullptr);
  const char *why = nullptr;
  std::unique_ptr<EchoCanceller> a = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  ASSERT_NE(a, nullptr) << why;
  std::unique_ptr<EchoCanceller> b = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  ASSERT_NE(b, nullptr) << why;
  const AecSuppressStep ours = WebRtcAec_OverdriveAndSuppress;
  EXPECT_NE(ours, library);
  a.reset();
  EXPECT_EQ(WebRtcAec_OverdriveAndSuppress, ours) << "one canceller still uses it";
  b.reset();
  EXPECT_EQ(WebRtcAec_OverdriveAndSuppress, library);
  // A library initialisation put its own step back under a live canceller:
  // the next depth set puts ours in front again.
  std::unique_ptr<EchoCanceller> c = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  ASSERT_NE(c, nullptr) << why;
  raw = WebRtcAec_Create();
  ASSERT_EQ(WebRtcAec_Init(raw, HX_ECHO_RATE, HX_ECHO_RATE), 0);
  WebRtcAec_Free(raw);
  EXPECT_EQ(WebRtcAec_OverdriveAndSuppress, library);
  c->SetSuppressionDepth(0.5f);
  EXPECT_EQ(WebRtcAec_OverdriveAndSuppress, ours);
}

}  // namespace
