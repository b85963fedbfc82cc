// Power measure and saturating mixers at their edges.
#include <vector>

#include "gtest/gtest.h"
#include "upstream/primitives.h"

TEST(CalcPower, EveryEighthValueOverCountDividedByEight) {
  std::vector<int16_t> v(960, -32768);
  EXPECT_EQ(32768u, CalcPower(v.data(), 960));
  std::fill(v.begin(), v.end(), 0);
  for (size_t i = 0; i < v.size(); i += 8) v[i] = 1600, v[i + 1] = 30000;  // v[i+1] not read
  EXPECT_EQ(1600u, CalcPower(v.data(), 960));
  // 12 values: x[0] and x[8] over 12 / 8 = 1; fewer than 8: x[0] over 1.
  v[8] = -50, v[0] = 100;
  std::vector<int16_t> tiny = {-7, 9, 9};  // heap, exact size: nothing past n read
  EXPECT_EQ((std::vector<uint32_t>{150, 7, 0}),
            (std::vector<uint32_t>{CalcPower(v.data(), 12), CalcPower(tiny.data(), 3), CalcPower(tiny.data(), 0)}));
}

TEST(Mixers, SaturateAndSkipDisabledSources) {
  std::vector<int16_t> hi(960, 32767), lo(960, -32768), out(960, 1), b(960);
  const uint8_t all[4] = {1, 1, 1, 1}, only_b[4] = {0, 1, 0, 0};
  MixFour(hi.data(), hi.data(), hi.data(), hi.data(), out.data(), all, 960);
  EXPECT_EQ(out, hi);
  MixFour(lo.data(), lo.data(), lo.data(), lo.data(), out.data(), all, 960);
  EXPECT_EQ(out, lo);
  for (int i = 0; i < 960; ++i) b[i] = (int16_t)(i * 67 - 30000);
  MixFour(nullptr, b.data(), nullptr, nullptr, out.data(), only_b, 960);  // nulls never read
  EXPECT_EQ(b, out);
  int16_t x[3] = {30000, -30000, 100}, y[3] = {10000, -10000, -300}, sum[4] = {0, 0, 0, 5};
  MixTwo(sum, x, y, 3);
  EXPECT_EQ((std::vector<int16_t>(sum, sum + 4)), (std::vector<int16_t>{32767, -32768, -200, 5}));
}
