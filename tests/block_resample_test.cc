// CBlockResample against a literal, deliberately naive wing-walk reference:
// every kernel, saturation.
#include <gtest/gtest.h>

#include <random>

#include "dsp/block_resample.h"
#include "support/resample_reference.h"

namespace {

using namespace resample_ref;

// One call; checks that nothing is written past the reported count.
std::vector<int16_t> ProcessOnce(CBlockResample *r, const int16_t *in) {
  std::vector<int16_t> out(4 * r->m_frameSize + 64, 0x5A5A);
  uint32_t n = 0xDEADBEEF;
  EXPECT_EQ(0, r->Process(in, out.data(), &n));
  EXPECT_LT(n, out.size());
  for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(0x5A5A, out[i]) << "wrote past " << n;
  return out.resize(n), out;
}

struct Pair { int32_t in_rate, out_rate; uint32_t frame; };
// The module's two conversions (16-tap rows), a 32-tap halving, a 48-tap
// table stretch and an odd frame (24 taps).
const Pair kPairs[] = {{16000, 48000, 320}, {48000, 44100, 480}, {48000, 24000, 480},
                       {48000, 16000, 480}, {48000, 32000, 37}};
const char *const kKernelNames[] = {"scalar", "SSE2", "AVX2"};

// Streams `blocks` blocks of sample(block, index) through both, requiring equal
// output on every call. Returns the reference's extremes before saturation.
template <typename Sample>
std::pair<int64_t, int64_t> ExpectSameStream(Pair p, int blocks, Sample sample, int kernel = -1, uint32_t taps = 0) {
  SCOPED_TRACE(testing::Message() << p.in_rate << "->" << p.out_rate << " frame " << p.frame
                                  << " kernel " << kernel);
  CBlockResample fast;
  EXPECT_EQ(0, fast.Init(p.in_rate, p.out_rate, p.frame));
  EXPECT_TRUE(kernel < 0 || fast.ForceKernelForTest(kernel, taps));
  RefResampler ref(p.in_rate, p.out_rate, p.frame);
  EXPECT_EQ(ref.xoff, fast.m_xoff);
  std::vector<int16_t> in(p.frame), want;
  int64_t lo = 0, hi = 0;
  for (int b = 0; b < blocks && !testing::Test::HasFailure(); ++b) {
    for (int i = 0; i < (int)p.frame; ++i) in[i] = (int16_t)sample(b, i);
    want.clear();
    for (int64_t v : ref.Process(in.data())) {
      lo = std::min(lo, v), hi = std::max(hi, v);
      want.push_back(RefResampler::Saturate(v));
    }
    EXPECT_EQ(want, ProcessOnce(&fast, in.data())) << "block " << b;
  }
  return {lo, hi};
}

TEST(BlockResample, MatchesLiteralAlgorithmAndSaturates) {
  std::mt19937 rng(12345);
  for (Pair p : kPairs) {
    ExpectSameStream(p, p.frame == 37 ? 60 : 200, [&](int, int) { return (int16_t)rng(); });
    ExpectSameStream(p, 40, [&](int, int) { return rng() & 1 ? 32767 : -32768; });
    // Full-scale input whose signs follow the taps around one input: the output
    // there sums every tap with one sign (tap sums above 2^17 at 48k->16k).
    double per_input = kNpc * std::min(1.0, (double)p.out_rate / p.in_rate);
    for (int sign : {1, -1}) {
      const std::pair<int64_t, int64_t> range = ExpectSameStream(p, 4, [&](int b, int m) {
        int h = (int)(std::abs(m - (int)p.frame / 2 - 5 * b) * per_input + 0.5);
        return ((h < kNwing ? RefTable().imp[h] : 1) >= 0) == (sign > 0) ? 32767 : -32768;
      });
      EXPECT_GT(sign > 0 ? range.second : -range.first, 36000) << p.in_rate << "->" << p.out_rate;
    }
  }
}

// Every kernel, with every row length it serves, runs on every machine
// that can execute it, not only the one Init picks: rows are padded with
// zero weights to the length under test.
TEST(BlockResample, EveryKernelThatRunsHereMatchesTheReference) {
  std::mt19937 rng(99);
  const struct { int kernel; uint32_t taps; } kRuns[] = {
      {0, 0}, {0, 24}, {1, 16}, {1, 24}, {1, 32}, {2, 16}, {2, 32}};
  std::vector<std::string> ran;
  for (Pair p : {kPairs[0], kPairs[1]})
    for (auto run : kRuns) {
      CBlockResample probe;
      ASSERT_EQ(0, probe.Init(p.in_rate, p.out_rate, p.frame));
      if (!probe.ForceKernelForTest(run.kernel, run.taps)) continue;
      ran.push_back(std::string(kKernelNames[run.kernel]) + "/" + std::to_string(probe.Taps()));
      ExpectSameStream(p, 50, [&](int, int) { return (int16_t)rng(); }, run.kernel, run.taps);
      ExpectSameStream(p, 20, [&](int, int) { return rng() & 1 ? 32767 : -32768; }, run.kernel, run.taps);
    }
  const std::string list = testing::PrintToString(ran);
  auto has = [&](const std::string &k) { return std::count(ran.begin(), ran.end(), k) == 2; };
  EXPECT_TRUE(has("scalar/16") && has("scalar/24")) << list;
#if defined(__SSE2__)
  EXPECT_TRUE(has("SSE2/16") && has("SSE2/24") && has("SSE2/32")) << list;
#endif
  EXPECT_TRUE(!__builtin_cpu_supports("avx2") || (has("AVX2/16") && has("AVX2/32"))) << list;
}

}  // namespace
