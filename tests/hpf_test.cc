#include "dsp/hpf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

const int16_t kRef8k[5] = {3798, -7596, 3798, 7807, -3733};
const int16_t kRefDefault[5] = {4012, -8024, 4012, 8002, -3913};

// Independent reference: the filter written out one operation at a time,
// in 64-bit where the production code relies on 32-bit behaviour, so any
// divergence in intermediate ranges shows up.
struct RefHpf {
  int16_t y[4] = {0, 0, 0, 0};
  int16_t x[2] = {0, 0};
  const int16_t *ba = kRefDefault;

  void Filter(int16_t *data, int n) {
    for (int i = 0; i < n; ++i) {
      int16_t in = data[i];
      int64_t acc = (int64_t)y[1] * ba[3] + (int64_t)y[3] * ba[4];
      acc = acc >> 15;
      acc = acc + (int64_t)y[0] * ba[3] + (int64_t)y[2] * ba[4];
      acc = (int32_t)(uint32_t)((uint64_t)acc << 1);
      acc = acc + (int64_t)in * ba[0] + (int64_t)x[0] * ba[1] + (int64_t)x[1] * ba[2];
      EXPECT_EQ(acc, (int32_t)acc) << "accumulator left the 32-bit range";
      x[1] = x[0];
      x[0] = in;
      y[2] = y[0];
      y[3] = y[1];
      y[0] = (int16_t)(acc >> 13);
      y[1] = (int16_t)((acc - (int64_t)y[0] * 8192) * 4);
      acc = acc + 2048;
      if (acc > 134217727) acc = 134217727;
      if (acc < -134217728) acc = -134217728;
      data[i] = (int16_t)(acc >> 12);
    }
  }
};

void ExpectSameState(const HpfState &s, const RefHpf &r) {
  for (int k = 0; k < 4; ++k) EXPECT_EQ(s.y[k], r.y[k]) << "y[" << k << "]";
  for (int k = 0; k < 2; ++k) EXPECT_EQ(s.x[k], r.x[k]) << "x[" << k << "]";
}

// Filters `in` through both in blocks of random sizes (0 included) and
// compares every output sample and the history after every block.
void CompareWithReference(const std::vector<int16_t> &in, int32_t rate, uint32_t seed) {
  HpfState s;
  ASSERT_EQ(hpf_init(&s, rate), 0);
  RefHpf r;
  r.ba = rate == 8000 ? kRef8k : kRefDefault;
  std::vector<int16_t> a = in, b = in;
  std::mt19937 rng(seed);
  size_t pos = 0;
  while (pos < in.size()) {
    int n = std::min<int>((int)(rng() % 400), (int)(in.size() - pos));
    ASSERT_EQ(hpf_filter(&s, &a[pos], n), 0);
    r.Filter(&b[pos], n);
    ExpectSameState(s, r);
    pos += n;
  }
  ASSERT_EQ(a, b);
}

TEST(Hpf, BitExactOnRandomAndFullScaleInput) {
  std::mt19937 rng(42);
  std::vector<int16_t> random(48000), loud(48000), extremes(48000);
  for (auto &v : random) v = (int16_t)(rng() & 0xffff);
  // Large swings with long runs: drives the accumulator to its widest range.
  for (size_t i = 0; i < loud.size(); ++i) loud[i] = ((i / (1 + rng() % 7)) & 1) ? 32767 : -32768;
  for (size_t i = 0; i < extremes.size(); ++i) extremes[i] = (i & 1) ? 32767 : -32768;
  for (int32_t rate : {16000, 8000}) {
    CompareWithReference(random, rate, 1);
    CompareWithReference(loud, rate, 2);
    CompareWithReference(extremes, rate, 3);
  }
}

TEST(Hpf, InitSelectsTableAndClearsHistory) {
  HpfState s;
  std::fill(s.y, s.y + 4, 77);
  std::fill(s.x, s.x + 2, -5);
  EXPECT_EQ(hpf_init(&s, 8000), 0);
  EXPECT_TRUE(std::equal(kRef8k, kRef8k + 5, s.ba));
  for (int k = 0; k < 4; ++k) EXPECT_EQ(s.y[k], 0);
  for (int k = 0; k < 2; ++k) EXPECT_EQ(s.x[k], 0);
  for (int32_t rate : {16000, 48000, 44100, 8001, 0, -8000}) {
    hpf_init(&s, rate);
    EXPECT_TRUE(std::equal(kRefDefault, kRefDefault + 5, s.ba)) << rate;
  }
  // Re-initialising clears history that filtering left behind.
  int16_t d[4] = {1000, -2000, 3000, 4000};
  hpf_filter(&s, d, 4);
  hpf_init(&s, 16000);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(s.y[k], 0);
  for (int k = 0; k < 2; ++k) EXPECT_EQ(s.x[k], 0);
}

TEST(Hpf, ZeroLengthChangesNothing) {
  HpfState s;
  hpf_init(&s, 16000);
  int16_t warm[50];
  for (int i = 0; i < 50; ++i) warm[i] = (int16_t)(i * 517 - 9000);
  hpf_filter(&s, warm, 50);
  HpfState before = s;
  int16_t data[3] = {11, 22, 33};
  EXPECT_EQ(hpf_filter(&s, data, 0), 0);
  EXPECT_EQ(data[0], 11);
  EXPECT_EQ(data[1], 22);
  EXPECT_EQ(data[2], 33);
  EXPECT_TRUE(std::equal(before.y, before.y + 4, s.y));
  EXPECT_TRUE(std::equal(before.x, before.x + 2, s.x));
  EXPECT_EQ(before.ba, s.ba);
}

TEST(Hpf, ConstantInputDecaysToZero) {
  for (int16_t dc : {10000, -32768, 32767, 1}) {
    HpfState s;
    hpf_init(&s, 16000);
    std::vector<int16_t> d(16000, dc);  // one second
    hpf_filter(&s, d.data(), (int32_t)d.size());
    for (size_t i = d.size() - 1600; i < d.size(); ++i) ASSERT_LE(std::abs(d[i]), 1) << dc;
  }
}

TEST(Hpf, TwoHalvesEqualOneBlock) {
  std::mt19937 rng(5);
  for (int rep = 0; rep < 20; ++rep) {
    HpfState one, two;
    hpf_init(&one, 16000);
    hpf_init(&two, 16000);
    for (int block = 0; block < 10; ++block) {
      int16_t a[320], b[320];
      for (int i = 0; i < 320; ++i) a[i] = b[i] = (int16_t)(rng() & 0xffff);
      hpf_filter(&one, a, 320);
      hpf_filter(&two, b, 160);
      hpf_filter(&two, b + 160, 160);
      ASSERT_TRUE(std::equal(a, a + 320, b));
      ASSERT_TRUE(std::equal(one.y, one.y + 4, two.y));
      ASSERT_TRUE(std::equal(one.x, one.x + 2, two.x));
    }
  }
}

TEST(Hpf, FullScaleStepSaturatesInsteadOfWrapping) {
  HpfState s;
  hpf_init(&s, 16000);
  // Rising full-scale step: the first output sample would be just above
  // full scale; a swing between the extremes overshoots further.
  std::vector<int16_t> d(40, -32768);
  for (int i = 20; i < 40; ++i) d[i] = 32767;
  std::vector<int16_t> in = d;
  hpf_filter(&s, d.data(), (int32_t)d.size());
  EXPECT_EQ(d[20], 32767);
  std::vector<int16_t> alt(64);
  for (int i = 0; i < 64; ++i) alt[i] = (i & 1) ? 32767 : -32768;
  hpf_init(&s, 16000);
  hpf_filter(&s, alt.data(), 64);
  bool hit_max = false, hit_min = false;
  for (int i = 2; i < 64; ++i) {
    // The alternation passes the filter with gain above 1: the sign of every
    // output follows the input, and both rails are reached.
    EXPECT_EQ(alt[i] > 0, (i & 1) == 1) << i;
    hit_max |= alt[i] == 32767;
    hit_min |= alt[i] == -32768;
  }
  EXPECT_TRUE(hit_max);
  EXPECT_TRUE(hit_min);
}

TEST(HpfDeathTest, NullRecordAsserts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(hpf_init(nullptr, 16000), "Hx_Aec_Impl:445: .*Assertion `hpf != NULL' failed");
  int16_t d[4] = {};
  EXPECT_DEATH(hpf_filter(nullptr, d, 4), "Hx_Aec_Impl:464: .*Assertion `hpf != NULL' failed");
}

}  // namespace
