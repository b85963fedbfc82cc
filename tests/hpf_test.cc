// The high-pass filter against a literal reference (its null-record assertion: Chain.WrongLengths…).
#include "dsp/hpf.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

const int16_t kBa8k[5] = {3798, -7596, 3798, 7807, -3733}, kBaDefault[5] = {4012, -8024, 4012, 8002, -3913};

// The filter one operation at a time, in 64-bit where the production code
// relies on 32-bit behaviour; counts the outputs it clamps high and low.
struct RefHpf {
  explicit RefHpf(int32_t rate) : ba(rate == 8000 ? kBa8k : kBaDefault) {}
  int16_t y[4] = {}, x[2] = {};
  const int16_t *ba;
  int clamped[2] = {};
  int overflows = 0;  // samples whose accumulator left the 32-bit range
  void Filter(int16_t *data, int n) {
    for (int i = 0; i < n; ++i) {
      int64_t acc = ((int64_t)y[1] * ba[3] + (int64_t)y[3] * ba[4]) >> 15;
      acc += (int64_t)y[0] * ba[3] + (int64_t)y[2] * ba[4];
      acc = (int32_t)(uint32_t)((uint64_t)acc << 1);
      acc = acc + (int64_t)data[i] * ba[0] + (int64_t)x[0] * ba[1] + (int64_t)x[1] * ba[2];
      overflows += acc != (int32_t)acc;
      x[1] = x[0], x[0] = data[i], y[2] = y[0], y[3] = y[1];
      y[0] = (int16_t)(acc >> 13);
      y[1] = (int16_t)((acc - (int64_t)y[0] * 8192) * 4);
      acc = acc + 2048;
      if (acc > 134217727) acc = 134217727, ++clamped[0];
      if (acc < -134217728) acc = -134217728, ++clamped[1];
      data[i] = (int16_t)(acc >> 12);
    }
  }
};

// Filters `in` in random-sized blocks (0 included), each followed by an empty
// call, and compares with the per-sample reference after every block.
void Compare(const std::vector<int16_t> &in, int32_t rate, uint32_t seed, RefHpf *r) {
  HpfState s = {{77, 77, 77, 77}, {-5, -5}, nullptr};  // Init clears history
  ASSERT_EQ(hpf_init(&s, rate), 0);
  ASSERT_TRUE(std::equal(r->ba, r->ba + 5, s.ba));
  std::vector<int16_t> a = in, b = in;
  std::mt19937 rng(seed);
  for (size_t pos = 0, n = 0; pos < in.size(); pos += n) {
    n = std::min<size_t>(rng() % 400, in.size() - pos);
    ASSERT_EQ(hpf_filter(&s, &a[pos], (int32_t)n), 0);
    ASSERT_EQ(hpf_filter(&s, &a[pos], 0), 0);
    r->Filter(&b[pos], (int)n);
    ASSERT_TRUE(std::equal(r->y, r->y + 4, s.y) && std::equal(r->x, r->x + 2, s.x)) << pos;
  }
  EXPECT_EQ(a, b);
}

TEST(Hpf, BitExactSplitAndSaturating) {
  std::mt19937 rng(42);
  std::vector<int16_t> random(48000), loud(48000);
  for (auto &v : random) v = (int16_t)rng();
  // Full-scale swings, runs of 1 to 7: the accumulator's widest range.
  for (size_t i = 0; i < loud.size(); ++i) loud[i] = ((i / (1 + rng() % 7)) & 1) ? 32767 : -32768;
  for (int32_t rate : {16000, 8000, 48000, 0}) {
    SCOPED_TRACE(rate);
    RefHpf r(rate), r_loud(rate);
    Compare(random, rate, 1, &r);
    Compare(loud, rate, 2, &r_loud);
    EXPECT_TRUE(r_loud.clamped[0] > 0 && r_loud.clamped[1] > 0);  // both rails, no wrap
    EXPECT_EQ(0, r.overflows + r_loud.overflows) << "accumulator left the 32-bit range";
  }
}

}  // namespace
