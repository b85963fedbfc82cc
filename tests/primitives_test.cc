// Power measure and saturating mixers at their edges.
#include <vector>

#include "gtest/gtest.h"
#include "upstream/primitives.h"

TEST(CalcPower, EdgeValues) {
  std::vector<int16_t> v(960, -32768);
  EXPECT_EQ(32768u, CalcPower(v.data(), 960));
  std::fill(v.begin(), v.end(), 0);
  EXPECT_EQ(0u, CalcPower(v.data(), 960));
  for (size_t i = 0; i < v.size(); i += 8) v[i] = 1600;
  EXPECT_EQ(1600u, CalcPower(v.data(), 960));
  // Only every eighth value counts.
  for (size_t i = 1; i < v.size(); i += 8) v[i] = 30000;
  EXPECT_EQ(1600u, CalcPower(v.data(), 960));
}

TEST(CalcPower, SpansNotMultipleOfEight) {
  std::vector<int16_t> v(16, 0);
  v[0] = 100;
  v[8] = -50;
  // 12 values: x[0] and x[8] summed, divided by 12 / 8 = 1.
  EXPECT_EQ(150u, CalcPower(v.data(), 12));
  EXPECT_EQ(75u, CalcPower(v.data(), 16));
  // Fewer than 8 values: x[0] alone over a divisor of 1; nothing past n read.
  std::vector<int16_t> tiny = {-7, 9, 9};  // heap, exact size
  EXPECT_EQ(7u, CalcPower(tiny.data(), 3));
  EXPECT_EQ(0u, CalcPower(tiny.data(), 0));
}

TEST(MixFour, SaturatesAndHonoursEnables) {
  std::vector<int16_t> hi(960, 32767), lo(960, -32768), out(960, 1);
  const uint8_t all[4] = {1, 1, 1, 1};
  MixFour(hi.data(), hi.data(), hi.data(), hi.data(), out.data(), all, 960);
  for (int16_t s : out) ASSERT_EQ(32767, s);
  MixFour(lo.data(), lo.data(), lo.data(), lo.data(), out.data(), all, 960);
  for (int16_t s : out) ASSERT_EQ(-32768, s);

  std::vector<int16_t> b(960);
  for (int i = 0; i < 960; ++i) b[i] = (int16_t)(i * 67 - 30000);
  const uint8_t only_b[4] = {0, 1, 0, 0};
  // Disabled sources are never read: null pointers must be fine.
  MixFour(nullptr, b.data(), nullptr, nullptr, out.data(), only_b, 960);
  EXPECT_EQ(b, out);
  const uint8_t none[4] = {0, 0, 0, 0};
  MixFour(nullptr, nullptr, nullptr, nullptr, out.data(), none, 960);
  for (int16_t s : out) ASSERT_EQ(0, s);
}

TEST(MixTwo, SaturatesBothWays) {
  int16_t a[3] = {30000, -30000, 100}, b[3] = {10000, -10000, -300}, out[3];
  MixTwo(out, a, b, 3);
  EXPECT_EQ(32767, out[0]);
  EXPECT_EQ(-32768, out[1]);
  EXPECT_EQ(-200, out[2]);
  int16_t untouched = 5;
  MixTwo(&untouched, a, b, 0);
  EXPECT_EQ(5, untouched);
}
