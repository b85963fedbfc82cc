#include "dsp/ns_agc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "support/chain_quality.h"

extern "C" int WebRtcAgc_get_config(void *agc, WebRtcAgcConfig *config);

namespace {

const int kBlock = 320;

std::vector<int16_t> NoisyTone(size_t blocks, uint32_t seed) {
  std::vector<int16_t> x(blocks * kBlock);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < x.size(); ++i) {
    double v = 3000 * std::sin(2 * M_PI * 440 * i / 16000.0) + (int)(rng() % 2001) - 1000;
    x[i] = (int16_t)std::lround(v);
  }
  return x;
}

void FreeAll() {
  ns_free();
  agc_free();
}

class Chain : public ::testing::Test {
 protected:
  void SetUp() override { FreeAll(); }
  void TearDown() override { FreeAll(); }
};

// The suppressor run the way the wrapper must run it, straight on the
// library: filter each half, analyse then process it as floats.
struct DirectNs {
  NsHandle *ns = WebRtcNs_Create();
  HpfState hpf;
  DirectNs() {
    WebRtcNs_Init(ns, 16000);
    WebRtcNs_set_policy(ns, 2);
    hpf_init(&hpf, 16000);
  }
  ~DirectNs() { WebRtcNs_Free(ns); }
  void Block(const int16_t *in, int16_t *out) {
    for (int k = 0; k < 2; ++k) {
      int16_t w[160];
      std::copy(in + 160 * k, in + 160 * k + 160, w);
      hpf_filter(&hpf, w, 160);
      float fi[160], fo[160];
      for (int i = 0; i < 160; ++i) fi[i] = w[i];
      const float *ib[1] = {fi};
      float *ob[1] = {fo};
      WebRtcNs_Analyze(ns, fi);
      WebRtcNs_Process(ns, ib, 1, ob);
      for (int i = 0; i < 160; ++i)
        out[160 * k + i] = (int16_t)std::lrint(std::min(32767.f, std::max(-32768.f, fo[i])));
    }
  }
};

struct DirectAgc {
  void *agc = WebRtcAgc_Create();
  DirectAgc() {
    WebRtcAgc_Init(agc, 0, 255, 1, 16000);
    WebRtcAgcConfig c = {3, 12, 1};
    WebRtcAgc_set_config(agc, c);
  }
  ~DirectAgc() { WebRtcAgc_Free(agc); }
  void Block(const int16_t *in, int16_t *out) {
    for (int k = 0; k < 2; ++k) {
      const int16_t *ib[1] = {in + 160 * k};
      int16_t *ob[1] = {out + 160 * k};
      int32_t level = 0;
      uint8_t warn = 0;
      WebRtcAgc_Process(agc, ib, 1, 160, ob, 0, &level, 0, &warn);
    }
  }
};

TEST_F(Chain, CreateSetsUpProcessorsAndFreeTwiceIsHarmless) {
  EXPECT_EQ(g_ns, nullptr);
  EXPECT_EQ(g_hpf, nullptr);
  EXPECT_EQ(g_agc, nullptr);
  ns_create();
  agc_create(16000);
  ASSERT_NE(g_ns, nullptr);
  ASSERT_NE(g_hpf, nullptr);
  ASSERT_NE(g_agc, nullptr);
  EXPECT_EQ(g_hpf->ba[0], 4012);  // 16 kHz: default table
  for (int k = 0; k < 4; ++k) EXPECT_EQ(g_hpf->y[k], 0);
  WebRtcAgcConfig c = {};
  ASSERT_EQ(WebRtcAgc_get_config(g_agc, &c), 0);
  EXPECT_EQ(c.targetLevelDbfs, 3);
  EXPECT_EQ(c.compressionGaindB, 12);
  EXPECT_EQ(c.limiterEnable, 1);
  for (int i = 0; i < 2; ++i) {
    ns_free();
    agc_free();
    EXPECT_EQ(g_ns, nullptr);
    EXPECT_EQ(g_hpf, nullptr);
    EXPECT_EQ(g_agc, nullptr);
  }
}

TEST_F(Chain, AbsentProcessorsWriteNothingAndCheckNothing) {
  int16_t in[480], out[480];
  for (int i = 0; i < 480; ++i) in[i] = (int16_t)(i * 37);
  auto check_untouched = [&]() {
    for (int32_t len : {640, 320, 960, 0, -1}) {
      std::fill(out, out + 480, (int16_t)0x5a5a);
      ns_process(in, len, out);
      agc_process(in, len, out, len);
      agc_process(in, 640, out, 960);
      for (int i = 0; i < 480; ++i) ASSERT_EQ(out[i], 0x5a5a) << "len " << len;
    }
  };
  check_untouched();  // before any start-up
  ns_create();
  agc_create(16000);
  FreeAll();
  check_untouched();  // after shut-down
}

TEST_F(Chain, MatchesDirectLibraryUseHalfByHalf) {
  std::vector<int16_t> in = NoisyTone(60, 3);
  DirectNs ns_ref;
  DirectAgc agc_ref;
  ns_create();
  agc_create(16000);
  for (size_t b = 0; b < 60; ++b) {
    const int16_t *blk = &in[b * kBlock];
    int16_t ns_out[kBlock], agc_out[kBlock], ns_exp[kBlock], agc_exp[kBlock];
    ns_process(const_cast<int16_t *>(blk), 640, ns_out);
    agc_process(ns_out, 640, agc_out, 640);
    ns_ref.Block(blk, ns_exp);
    agc_ref.Block(ns_exp, agc_exp);
    ASSERT_TRUE(std::equal(ns_out, ns_out + kBlock, ns_exp)) << "ns block " << b;
    ASSERT_TRUE(std::equal(agc_out, agc_out + kBlock, agc_exp)) << "agc block " << b;
    // The filter saw the whole block, first half then second.
    EXPECT_TRUE(std::equal(ns_ref.hpf.y, ns_ref.hpf.y + 4, g_hpf->y));
    EXPECT_EQ(g_hpf->x[0], blk[319]);
    EXPECT_EQ(g_hpf->x[1], blk[318]);
  }
}

TEST_F(Chain, StateRunsAcrossBlocksAndRestartsAtCreate) {
  std::vector<int16_t> in = NoisyTone(40, 9);
  auto run = [&](bool in_place) {
    std::vector<int16_t> out(in.size());
    ns_create();
    agc_create(16000);
    for (size_t b = 0; b < 40; ++b) {
      int16_t buf[kBlock], ns_out[kBlock];
      std::copy(&in[b * kBlock], &in[b * kBlock] + kBlock, buf);
      if (in_place) {
        ns_process(buf, 640, buf);
        agc_process(buf, 640, buf, 640);
        std::copy(buf, buf + kBlock, &out[b * kBlock]);
      } else {
        ns_process(buf, 640, ns_out);
        agc_process(ns_out, 640, &out[b * kBlock], 640);
      }
    }
    FreeAll();
    return out;
  };
  std::vector<int16_t> first = run(false);
  EXPECT_EQ(run(false), first);  // a new start-up starts from clean state
  EXPECT_EQ(run(true), first);   // in == out gives the same result
  // The same block fed twice gives different output: history is carried.
  ns_create();
  int16_t a[kBlock], b[kBlock];
  ns_process(&in[0], 640, a);
  ns_process(&in[0], 640, b);
  EXPECT_FALSE(std::equal(a, a + kBlock, b));
}

TEST_F(Chain, WrongLengthsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ns_create();
  agc_create(16000);
  int16_t in[480] = {}, out[480] = {};
  EXPECT_DEATH(ns_process(in, 960, out), "Hx_Aec_Impl:569: .*Assertion `len == 640' failed");
  EXPECT_DEATH(ns_process(in, 320, out), "Hx_Aec_Impl:569: .*Assertion `len == 640' failed");
  EXPECT_DEATH(agc_process(in, 320, out, 640),
               "Hx_Aec_Impl:614: .*Assertion `inlen == 640' failed");
  EXPECT_DEATH(agc_process(in, 640, out, 960),
               "Hx_Aec_Impl:615: .*Assertion `outlen == 640' failed");
  EXPECT_DEATH(agc_process(in, 960, out, 320),
               "Hx_Aec_Impl:614: .*Assertion `inlen == 640' failed");
}

// A capture thread keeps processing while the main thread stops and starts
// the processors: no block may run on a freed processor.
TEST_F(Chain, FreeAndCreateExcludeProcessing) {
  std::vector<int16_t> in = NoisyTone(10, 4);
  ns_create();
  agc_create(16000);
  std::atomic<bool> stop{false};
  std::atomic<long> blocks{0};
  std::thread capture([&]() {
    int16_t ns_out[kBlock], agc_out[kBlock];
    size_t b = 0;
    while (!stop.load()) {
      ns_process(&in[b * kBlock], 640, ns_out);
      agc_process(ns_out, 640, agc_out, 640);
      b = (b + 1) % 10;
      blocks.fetch_add(1);
    }
  });
  for (int i = 0; i < 300; ++i) {
    ns_free();
    agc_free();
    std::this_thread::yield();
    ns_create();
    agc_create(16000);
    std::this_thread::yield();
  }
  stop = true;
  capture.join();
  EXPECT_GT(blocks.load(), 0);
}

// The hand-written declarations against the installed library.
TEST(WebRtcLegacyDeclarations, MatchTheLibrary) {
  NsHandle *ns = WebRtcNs_Create();
  ASSERT_NE(ns, nullptr);
  EXPECT_EQ(WebRtcNs_Init(ns, 16000), 0);
  EXPECT_EQ(WebRtcNs_set_policy(ns, 2), 0);
  EXPECT_EQ(WebRtcNs_set_policy(ns, 4), -1);
  std::vector<int16_t> tone = NoisyTone(20, 11);
  float fi[160], fo[160];
  for (int f = 0; f < 40; ++f) {
    for (int i = 0; i < 160; ++i) fi[i] = tone[f * 160 + i];
    const float *ib[1] = {fi};
    float *ob[1] = {fo};
    WebRtcNs_Analyze(ns, fi);
    WebRtcNs_Process(ns, ib, 1, ob);
  }
  double e = 0;
  for (int i = 0; i < 160; ++i) e += fo[i] * fo[i];
  EXPECT_GT(e, 0);  // the tone survives
  WebRtcNs_Free(ns);
  ns = WebRtcNs_Create();
  EXPECT_EQ(WebRtcNs_Init(ns, 44100), -1);
  WebRtcNs_Free(ns);

  // Gain controller: the configuration passed by value is the one kept, and
  // it changes the gain applied (fixed digital mode, quiet tone).
  auto gain_db = [&](int16_t compression) {
    void *agc = WebRtcAgc_Create();
    EXPECT_EQ(WebRtcAgc_Init(agc, 0, 255, 3, 16000), 0);
    WebRtcAgcConfig c = {7, compression, 0};
    EXPECT_EQ(WebRtcAgc_set_config(agc, c), 0);
    WebRtcAgcConfig back = {};
    EXPECT_EQ(WebRtcAgc_get_config(agc, &back), 0);
    EXPECT_EQ(back.targetLevelDbfs, 7);
    EXPECT_EQ(back.compressionGaindB, compression);
    EXPECT_EQ(back.limiterEnable, 0);
    double in_e = 0, out_e = 0;
    for (int f = 0; f < 100; ++f) {
      int16_t in[160], out[160];
      for (int i = 0; i < 160; ++i)
        in[i] = (int16_t)std::lround(300 * std::sin(2 * M_PI * 500 * (f * 160 + i) / 16000.0));
      const int16_t *ib[1] = {in};
      int16_t *ob[1] = {out};
      int32_t level = 0;
      uint8_t warn = 0;
      EXPECT_EQ(WebRtcAgc_Process(agc, ib, 1, 160, ob, 0, &level, 0, &warn), 0);
      if (f >= 50)
        for (int i = 0; i < 160; ++i) {
          in_e += (double)in[i] * in[i];
          out_e += (double)out[i] * out[i];
        }
    }
    WebRtcAgc_Free(agc);
    return 10 * std::log10(out_e / in_e);
  };
  double g0 = gain_db(0), g20 = gain_db(20);
  EXPECT_GT(g20 - g0, 10) << "gain 0 dB: " << g0 << ", gain 20 dB: " << g20;

  webrtc::Resampler rs;
  ASSERT_EQ(rs.Reset(16000, 48000, 1), 0);
  std::vector<int16_t> out(480 * 2);
  for (int f = 0; f < 20; ++f) {
    size_t out_len = 0;
    ASSERT_EQ(rs.Push(&tone[f * 160], 160, out.data(), out.size(), out_len), 0);
    ASSERT_EQ(out_len, 480u);
  }
  double re = 0;
  for (int i = 0; i < 480; ++i) re += (double)out[i] * out[i];
  EXPECT_GT(re / 480, 1e6);  // a ~3000-amplitude tone came through
  EXPECT_EQ(rs.Reset(48000, 44100, 1), -1);
  EXPECT_EQ(rs.Reset(48000, 16000, 1), 0);  // brought back to a supported pair
}

TEST(ChainQuality, SuppressesNoiseInSpeechPauses) {
  std::vector<int16_t> speech;
  ASSERT_TRUE(chain_quality::LoadSpeech(HX_SOURCE_DIR "/tests/data/speech16k.wav", &speech));
  FreeAll();
  chain_quality::Result r = chain_quality::Measure(speech, 10.0, 1234);
  printf("pause noise: input %.2f dBFS, after NS %.2f dBFS, after AGC %.2f dBFS\n",
         r.pause_in_db, r.pause_ns_db, r.pause_agc_db);
  printf("speech: input %.2f dBFS, after NS %.2f dBFS, after AGC %.2f dBFS\n", r.speech_in_db,
         r.speech_ns_db, r.speech_agc_db);
  EXPECT_NEAR(r.snr_db, 10.0, 0.2);
  EXPECT_GT(r.pause_blocks, 40);
  EXPECT_GT(r.speech_blocks, 100);
  EXPECT_GE(r.pause_in_db - r.pause_ns_db, 6.0);
  // Speech itself is kept: it loses far less than the noise does.
  EXPECT_GT(r.speech_ns_db, r.speech_in_db - 6.0);
}

}  // namespace
