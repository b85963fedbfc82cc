// CBlockResample against a literal wing-walk implementation of the same
// algorithm (kept here, deliberately naive), plus the filter table rows,
// output counts, start-up silence, saturation and re-initialisation.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "dsp/block_resample.h"
#include "dsp/block_resample_table.h"

namespace {

const int kNwing = 1536;
const int kNpc = 256;
const int kLpScl = 13128;

// Unsaturated output values are recorded so tests can see saturation happen.
struct RefOut {
  std::vector<int16_t> y;
  std::vector<int64_t> raw;
};

int32_t FilterUp(const int16_t *imp, const int16_t *impd, const int16_t *xp, uint32_t ph, int inc) {
  const int16_t *hp = &imp[ph >> 7];
  const int16_t *hdp = &impd[ph >> 7];
  const int16_t *end = &imp[kNwing];
  int32_t a = ph & 127;
  int32_t v = 0;
  if (inc == 1) {
    --end;
    if (ph == 0) {
      hp += kNpc;
      hdp += kNpc;
    }
  }
  while (hp < end) {
    int32_t t = *hp;
    t += (*hdp * a) >> 7;
    t *= *xp;
    if (t & (1 << 13)) t += (1 << 13);
    t >>= 14;
    v += t;
    hp += kNpc;
    hdp += kNpc;
    xp += inc;
  }
  return v;
}

int32_t FilterUD(const int16_t *imp, const int16_t *impd, const int16_t *xp, uint32_t ph, int inc,
                 uint32_t dhb) {
  uint32_t ho = (ph * dhb) >> 15;
  uint32_t end = kNwing;
  int32_t v = 0;
  if (inc == 1) {
    --end;
    if (ph == 0) ho += dhb;
  }
  while ((ho >> 7) < end) {
    int32_t t = imp[ho >> 7];
    t += (impd[ho >> 7] * (int32_t)(ho & 127)) >> 7;
    t *= *xp;
    if (t & (1 << 13)) t += (1 << 13);
    t >>= 14;
    v += t;
    ho += dhb;
    xp += inc;
  }
  return v;
}

void Emit(int32_t v, int32_t lp_scl, RefOut *out) {
  int64_t w = (int64_t)(v >> 2) * lp_scl;
  w = (w + 4096) >> 13;
  out->raw.push_back(w);
  out->y.push_back((int16_t)std::min<int64_t>(32767, std::max<int64_t>(-32768, w)));
}

// The algorithm as written: buffer with history, wing walks per output
// sample, time restarting at 0 on every call.
class RefResampler {
 public:
  RefResampler(int32_t in_rate, int32_t out_rate, uint32_t frame) : frame_(frame) {
    factor_ = (double)out_rate / (double)in_rate;
    xoff_ = (uint32_t)(std::max(1.0, 1.0 / factor_) * 7.0);
    buf_.assign(frame + 2 * xoff_, 0);
  }
  uint32_t xoff() const { return xoff_; }

  RefOut Process(const int16_t *in) {
    const int16_t *imp = ResampleImp();
    const int16_t *impd = ResampleImpD();
    memcpy(&buf_[2 * xoff_], in, frame_ * sizeof(int16_t));
    const int16_t *x = &buf_[xoff_];
    uint16_t nx = (uint16_t)frame_;
    uint32_t dtb = (uint32_t)((1.0 / factor_) * 32768.0 + 0.5);
    uint32_t end_time = (uint32_t)nx << 15;
    RefOut out;
    if (factor_ >= 1.0) {
      for (uint32_t t = 0; t < end_time; t += dtb) {
        const int16_t *xp = &x[t >> 15];
        int32_t v = FilterUp(imp, impd, xp, t & 0x7FFF, -1);
        v += FilterUp(imp, impd, xp + 1, (0u - t) & 0x7FFF, 1);
        Emit(v, kLpScl, &out);
      }
    } else {
      int16_t lp_scl = (int16_t)(kLpScl * factor_ + 0.5);
      uint16_t dhb = (uint16_t)(std::min(256.0, 256.0 * factor_) * 128.0 + 0.5);
      for (uint32_t t = 0; t < end_time; t += dtb) {
        const int16_t *xp = &x[t >> 15];
        int32_t v = FilterUD(imp, impd, xp, t & 0x7FFF, -1, dhb);
        v += FilterUD(imp, impd, xp + 1, (0u - t) & 0x7FFF, 1, dhb);
        Emit(v, lp_scl, &out);
      }
    }
    memcpy(&buf_[0], in + frame_ - 2 * xoff_, 2 * xoff_ * sizeof(int16_t));
    return out;
  }

 private:
  uint32_t frame_;
  double factor_;
  uint32_t xoff_;
  std::vector<int16_t> buf_;
};

std::vector<int16_t> ProcessOnce(CBlockResample *r, const int16_t *in) {
  std::vector<int16_t> out(4 * r->m_frameSize + 64, 0x5A5A);
  uint32_t n = 0xDEADBEEF;
  EXPECT_EQ(0, r->Process(in, out.data(), &n));
  EXPECT_LT(n, out.size());
  for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(0x5A5A, out[i]) << "wrote past " << n;
  out.resize(n);
  return out;
}

// Streams `blocks` consecutive blocks from `gen` through both
// implementations and requires identical output on every call.
template <typename Gen>
void ExpectSameStream(int32_t in_rate, int32_t out_rate, uint32_t frame, int blocks, Gen gen) {
  SCOPED_TRACE(testing::Message() << in_rate << "->" << out_rate << " frame " << frame);
  CBlockResample fast;
  ASSERT_EQ(0, fast.Init(in_rate, out_rate, frame));
  RefResampler ref(in_rate, out_rate, frame);
  EXPECT_EQ(ref.xoff(), fast.m_xoff);
  std::vector<int16_t> in(frame);
  for (int b = 0; b < blocks; ++b) {
    for (uint32_t i = 0; i < frame; ++i) in[i] = gen();
    RefOut want = ref.Process(in.data());
    std::vector<int16_t> got = ProcessOnce(&fast, in.data());
    ASSERT_EQ(want.y, got) << "block " << b;
  }
}

TEST(BlockResampleTable, MatchesListedRowsAndShape) {
  const int16_t *imp = ResampleImp();
  const int16_t *impd = ResampleImpD();
  struct Row {
    int i, imp, impd;
  } rows[] = {{0, 32767, -1},  {128, 22226, -145}, {256, 3180, -123}, {384, -5257, -8},
              {512, -2096, 40}, {640, 1517, 11},    {768, 1007, -13},  {1024, -322, 3},
              {1280, 56, 0},    {1535, -1, 1}};
  for (const Row &r : rows) {
    EXPECT_EQ(r.imp, imp[r.i]) << "Imp[" << r.i << "]";
    EXPECT_EQ(r.impd, impd[r.i]) << "ImpD[" << r.i << "]";
  }
  for (int i = 0; i + 1 < kNwing; ++i) ASSERT_EQ(imp[i + 1] - imp[i], impd[i]) << i;
  EXPECT_EQ(-imp[kNwing - 1], impd[kNwing - 1]);
  // Sign changes (zero crossings) near 285, 569, 854, 1139, 1419 and no others.
  std::vector<int> crossings;
  for (int i = 1; i < kNwing; ++i)
    if ((imp[i - 1] > 0 && imp[i] <= 0) || (imp[i - 1] < 0 && imp[i] >= 0)) crossings.push_back(i);
  std::vector<int> near = {285, 569, 854, 1139, 1419};
  ASSERT_EQ(near.size(), crossings.size());
  for (size_t k = 0; k < near.size(); ++k) EXPECT_NEAR(near[k], crossings[k], 2);
  EXPECT_EQ(ResampleImp(), imp);  // built once
}

TEST(BlockResample, ConstructionInitAndCounts) {
  CBlockResample r;
  EXPECT_EQ(0u, r.m_frameSize);
  EXPECT_EQ(1.0, r.m_factor);
  EXPECT_EQ(0u, r.m_xoff);
  EXPECT_FALSE(r.HasBuffer());

  std::vector<int16_t> in(480, 1000);
  ASSERT_EQ(0, r.Init(16000, 48000, 320));
  EXPECT_EQ(16000, r.m_inRate);
  EXPECT_EQ(48000, r.m_outRate);
  EXPECT_EQ(320u, r.m_frameSize);
  EXPECT_EQ(3.0, r.m_factor);
  EXPECT_EQ(7u, r.m_xoff);
  EXPECT_TRUE(r.HasBuffer());
  for (int k = 0; k < 3; ++k) EXPECT_EQ(960u, ProcessOnce(&r, in.data()).size());

  ASSERT_EQ(0, r.Init(48000, 44100, 480));  // re-Init of a live instance
  EXPECT_EQ(7u, r.m_xoff);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(441u, ProcessOnce(&r, in.data()).size());

  CBlockResample half;
  ASSERT_EQ(0, half.Init(32000, 16000, 320));
  EXPECT_EQ(14u, half.m_xoff);
  EXPECT_EQ(160u, ProcessOnce(&half, in.data()).size());

  r.Release();
  EXPECT_FALSE(r.HasBuffer());
  r.Release();  // twice is harmless
  EXPECT_EQ(-1, r.Init(0, 48000, 320));
  EXPECT_FALSE(r.HasBuffer());
}

TEST(BlockResample, FirstCallSeesSilentHistory) {
  // 16k->48k: output i sits at input time i*dtb; the block starts at X[7],
  // so outputs 0..3 reach only the silent history, output 4 is the first to
  // reach the block, and an impulse at the first input peaks at output 21.
  CBlockResample r;
  ASSERT_EQ(0, r.Init(16000, 48000, 320));
  std::vector<int16_t> in(320, 20000);
  std::vector<int16_t> y = ProcessOnce(&r, in.data());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(0, y[i]) << i;
  EXPECT_NE(0, y[4]);
  for (int i = 4; i < 21; ++i) EXPECT_LT(y[i], 17000) << "still rising at " << i;
  EXPECT_NEAR(17800, y[60], 200);  // settled: DC gain of about 0.89

  ASSERT_EQ(0, r.Init(16000, 48000, 320));
  std::vector<int16_t> impulse(320, 0);
  impulse[0] = 30000;
  y = ProcessOnce(&r, impulse.data());
  EXPECT_EQ(21, std::max_element(y.begin(), y.end()) - y.begin());
  // The next block carries the impulse's tail from history: the block
  // starts at X[7] again, so its first outputs still feel the impulse.
  std::vector<int16_t> zero(320, 0);
  y = ProcessOnce(&r, zero.data());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(0, y[i]) << "impulse left history at " << i;
  y = ProcessOnce(&r, zero.data());
  EXPECT_EQ(std::vector<int16_t>(960, 0), y);

  // The same holds at 48k->44.1k: the silent start matches the reference.
  ExpectSameStream(48000, 44100, 480, 1, [] { return (int16_t)12345; });
}

TEST(BlockResample, SaturatesInsteadOfWrapping) {
  // Inputs that follow the signs of one output's taps at full scale drive
  // that output beyond the 16-bit range; so do full-scale square waves at
  // frequencies where the filter rings. The reference records the value
  // before saturation.
  for (int dir = 0; dir < 2; ++dir) {
    SCOPED_TRACE(dir ? "48000->44100" : "16000->48000");
    int32_t in_rate = dir ? 48000 : 16000, out_rate = dir ? 44100 : 48000;
    uint32_t frame = dir ? 480 : 320;
    int64_t peak = 0;
    bool hit_high = false, hit_low = false;
    for (int period = 2; period <= 16; ++period) {
      for (int amp : {32767, -32768}) {
        CBlockResample fast;
        ASSERT_EQ(0, fast.Init(in_rate, out_rate, frame));
        RefResampler ref(in_rate, out_rate, frame);
        std::vector<int16_t> in(frame);
        for (int b = 0; b < 3; ++b) {
          for (uint32_t i = 0; i < frame; ++i)
            in[i] = (((b * frame + i) % period) * 2 < (uint32_t)period) ? (int16_t)amp
                                                                        : (int16_t)(-1 - amp);
          RefOut want = ref.Process(in.data());
          ASSERT_EQ(want.y, ProcessOnce(&fast, in.data())) << "period " << period;
          for (size_t i = 0; i < want.raw.size(); ++i) {
            peak = std::max(peak, std::abs(want.raw[i]));
            if (want.raw[i] > 32767) {
              hit_high = true;
              EXPECT_EQ(32767, want.y[i]);
            }
            if (want.raw[i] < -32768) {
              hit_low = true;
              EXPECT_EQ(-32768, want.y[i]);
            }
          }
        }
      }
    }
    EXPECT_TRUE(hit_high) << "peak " << peak;
    EXPECT_TRUE(hit_low) << "peak " << peak;
  }
}

// Full-scale input whose signs follow the filter's taps around input
// `centre`, so the output there sums every tap with the same sign: the
// largest magnitudes the converter can produce (1.15 to 1.3 times full
// scale), and the largest tap sums (|S| above 2^17 when down-converting
// by 2 or more).
std::vector<int16_t> TapSignedBlock(double factor, uint32_t frame, int centre, int sign) {
  const int16_t *imp = ResampleImp();
  double per_input = kNpc * std::min(1.0, factor);  // table entries per input sample
  std::vector<int16_t> in(frame);
  for (uint32_t m = 0; m < frame; ++m) {
    int h = (int)(std::abs((int)m - centre) * per_input + 0.5);
    int c = h < kNwing ? imp[h] : 1;
    in[m] = (c >= 0) == (sign > 0) ? 32767 : -32768;
  }
  return in;
}

TEST(BlockResample, WorstCaseInputsSaturateAndStayExact) {
  struct Case {
    int32_t in_rate, out_rate;
    uint32_t frame;
  } cases[] = {{16000, 48000, 320}, {48000, 44100, 480}, {48000, 16000, 480}, {22050, 8000, 300},
                {32000, 16000, 320}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.in_rate << "->" << c.out_rate);
    double factor = (double)c.out_rate / c.in_rate;
    for (int sign : {1, -1}) {
      CBlockResample fast;
      ASSERT_EQ(0, fast.Init(c.in_rate, c.out_rate, c.frame));
      RefResampler ref(c.in_rate, c.out_rate, c.frame);
      int64_t extreme = 0;
      for (int b = 0; b < 4; ++b) {
        std::vector<int16_t> in = TapSignedBlock(factor, c.frame, (int)c.frame / 2 + 5 * b, sign);
        RefOut want = ref.Process(in.data());
        ASSERT_EQ(want.y, ProcessOnce(&fast, in.data())) << "block " << b;
        for (int64_t v : want.raw) extreme = sign > 0 ? std::max(extreme, v) : std::min(extreme, v);
      }
      if (sign > 0)
        EXPECT_GT(extreme, 36000);  // beyond full scale: saturated
      else
        EXPECT_LT(extreme, -36000);
    }
  }
}

TEST(BlockResample, SecondInitRestartsFromSilence) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> d(-32768, 32767);
  std::vector<int16_t> loud(320), block(320);
  for (auto &s : loud) s = (int16_t)d(rng);
  for (auto &s : block) s = (int16_t)d(rng);

  CBlockResample fresh, reused;
  ASSERT_EQ(0, fresh.Init(16000, 48000, 320));
  ASSERT_EQ(0, reused.Init(16000, 48000, 320));
  ProcessOnce(&reused, loud.data());
  ProcessOnce(&reused, loud.data());
  ASSERT_EQ(0, reused.Init(16000, 48000, 320));
  EXPECT_EQ(ProcessOnce(&fresh, block.data()), ProcessOnce(&reused, block.data()));
  EXPECT_EQ(ProcessOnce(&fresh, loud.data()), ProcessOnce(&reused, loud.data()));
}

TEST(BlockResample, MatchesLiteralAlgorithmOnStreams) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> full(-32768, 32767);
  auto noise = [&] { return (int16_t)full(rng); };
  int phase = 0;
  auto rails = [&] { return (int16_t)((rng() & 1) ? 32767 : -32768); };
  auto chirp = [&] {
    double t = phase++ / 16000.0;
    return (int16_t)(30000.0 * sin(2 * M_PI * (100.0 + 3000.0 * t) * t));
  };

  // The module's two conversions, over many consecutive calls.
  ExpectSameStream(16000, 48000, 320, 300, noise);
  ExpectSameStream(48000, 44100, 480, 300, noise);
  ExpectSameStream(16000, 48000, 320, 50, rails);
  ExpectSameStream(48000, 44100, 480, 50, rails);
  ExpectSameStream(16000, 48000, 320, 50, chirp);
  ExpectSameStream(48000, 44100, 480, 50, [] { return (int16_t)-32768; });
  ExpectSameStream(16000, 48000, 320, 5, [] { return (int16_t)32767; });

  // Other ratios and frame sizes, so nothing is tied to the two above.
  ExpectSameStream(8000, 16000, 160, 40, noise);
  ExpectSameStream(44100, 48000, 441, 40, noise);
  ExpectSameStream(44100, 48000, 441, 20, rails);
  ExpectSameStream(16000, 16000, 160, 20, noise);
  ExpectSameStream(48000, 16000, 480, 40, noise);
  ExpectSameStream(48000, 16000, 480, 20, rails);
  ExpectSameStream(22050, 8000, 300, 20, rails);
  ExpectSameStream(11025, 48000, 100, 40, rails);
  ExpectSameStream(48000, 32000, 37, 40, noise);
}

}  // namespace
