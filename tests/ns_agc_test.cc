// Microphone chain: direct library use, lengths, speech. (Every
// test frees absent processors in its set-up: harmless.)
#include "dsp/ns_agc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "support/chain_quality.h"
#include "support/log_capture.h"

extern "C" int WebRtcAgc_get_config(void *agc, WebRtcAgcConfig *config);

namespace {

class Chain : public ::testing::Test {
 protected:
  void SetUp() override { ns_free(), agc_free(); }
  void TearDown() override { ns_free(), agc_free(); }
};

// The declarations, used on the installed library as the chain must (per half:
// filter, analyse, suppress as floats, gain control), match it bit for bit.
TEST_F(Chain, MatchesDirectUseOfTheLibrary) {
  NsHandle *ns = WebRtcNs_Create();
  void *agc = WebRtcAgc_Create();
  ASSERT_TRUE(ns && agc && WebRtcNs_Init(ns, 16000) == 0 && WebRtcNs_set_policy(ns, 4) == -1);
  ASSERT_TRUE(WebRtcNs_set_policy(ns, 2) == 0 && WebRtcAgc_Init(agc, 0, 255, 1, 16000) == 0);
  HpfState hpf;
  ASSERT_TRUE(WebRtcAgc_set_config(agc, WebRtcAgcConfig{3, 12, 1}) == 0 && hpf_init(&hpf, 16000) == 0);
  ns_create(), agc_create(16000);
  WebRtcAgcConfig c = {};
  ASSERT_EQ(WebRtcAgc_get_config(g_agc, &c), 0);
  EXPECT_TRUE(c.targetLevelDbfs == 3 && c.compressionGaindB == 12 && c.limiterEnable == 1);
  std::vector<int16_t> in(60 * 320);
  for (size_t i = 0; i < in.size(); ++i)  // a 440 Hz tone in noise
    in[i] = (int16_t)(3000 * std::sin(M_PI * 880 * i / 16000) + (int)(i * 7919 % 2001) - 1000);
  std::vector<int16_t> got = in;
  int32_t level = 0;
  uint8_t warn = 0;
  for (size_t b = 0; b < 60; ++b) {
    int16_t *h = &in[b * 320], *g = &got[b * 320], want[320];
    ns_process(g, 640, g), agc_process(g, 640, g, 640);
    for (int k = 0; k < 2; ++k, h += 160) {
      hpf_filter(&hpf, h, 160);
      float fi[160], fo[160], *ob[1] = {fo};
      const float *ib[1] = {fi};
      std::copy(h, h + 160, fi);
      // The chain analyses its first 15 halves twice (a quicker start).
      for (int pass = b * 2 + k < 15 ? 2 : 1; pass > 0; --pass) WebRtcNs_Analyze(ns, fi);
      WebRtcNs_Process(ns, ib, 1, ob);
      for (int i = 0; i < 160; ++i) h[i] = (int16_t)std::lrint(std::min(32767.f, std::max(-32768.f, fo[i])));
      const int16_t *ai[1] = {h};
      int16_t *ao[1] = {want + 160 * k};
      ASSERT_EQ(WebRtcAgc_Process(agc, ai, 1, 160, ao, 0, &level, 0, &warn), 0);
    }
    ASSERT_TRUE(std::equal(g, g + 320, want)) << "block " << b;
  }
  WebRtcNs_Free(ns), WebRtcAgc_Free(agc);
}

TEST_F(Chain, WrongLengthsOrANullFilterEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ns_create(), agc_create(16000);
  int16_t x[480] = {}, y[480] = {};
  EXPECT_DEATH(ns_process(x, 960, y), "Hx_Aec_Impl:569: .*Assertion `len == 640' failed");
  EXPECT_DEATH(agc_process(x, 320, y, 640), "Hx_Aec_Impl:614: .*Assertion `inlen == 640' failed");
  EXPECT_DEATH(agc_process(x, 640, y, 960), "Hx_Aec_Impl:615: .*Assertion `outlen == 640' failed");
  EXPECT_DEATH(hpf_init(nullptr, 16000), "Hx_Aec_Impl:445: .*Assertion `hpf != NULL' failed");
  EXPECT_DEATH(hpf_filter(nullptr, x, 4), "Hx_Aec_Impl:464: .*Assertion `hpf != NULL' failed");
}

TEST(ChainQuality, SuppressesNoiseInSpeechPauses) {
  std::vector<int16_t> speech;
  ASSERT_TRUE(chain_quality::LoadSpeech(HX_SOURCE_DIR "/tests/data/speech16k.wav", &speech));
  chain_quality::Result r = chain_quality::Measure(speech, 10.0, 1234);
  EXPECT_TRUE(std::abs(r.snr_db - 10.0) < 0.2 && r.pause_blocks > 40 && r.speech_blocks > 100);
  EXPECT_GE(r.pause_db[chain_quality::kInput] - r.pause_db[chain_quality::kNs], 6.0);
  EXPECT_GT(r.speech_db[chain_quality::kNs], r.speech_db[chain_quality::kInput] - 6.0);
}

// Noise-suppressor output level (dBFS) per 100 ms of `in` after its first
// `skip` samples; the chain made afresh.
std::vector<double> NsLevels(const std::vector<int16_t> &in, size_t skip) {
  ns_create();
  std::vector<int16_t> out(in.size());
  for (size_t b = 0; b + 320 <= in.size(); b += 320) ns_process(const_cast<int16_t *>(&in[b]), 640, &out[b]);
  ns_free();
  std::vector<double> levels;
  for (size_t at = skip; at + 1600 <= out.size(); at += 1600)
    levels.push_back(chain_quality::LevelDb(std::inner_product(&out[at], &out[at] + 1600, &out[at], 0.0), 1600));
  return levels;
}

// A microphone that opens on digital silence ending in a resampler's ringing
// (one sample of -1), or on half a second of +-1 LSB, has its background
// suppressed from the first 100 ms of it as much as one whose stream starts
// with the background. The suppressor's start-up on the near-silent halves
// let the background through 11 dB louder at first, settling over 0.4 s.
TEST_F(Chain, AStreamThatOpensOnNearSilenceIsSuppressedFromItsFirstSound) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 32768 * std::pow(10, -50 / 20.0));
  std::vector<int16_t> background(150 * 320);
  for (int16_t &v : background) v = int16_t(std::lrint(noise(rng)));
  const size_t quiet = 25 * 320 + 200;  // the sound starts within a half
  std::vector<int16_t> silent(quiet, 0), dither(quiet);
  silent.back() = -1;
  for (size_t i = 0; i < quiet; ++i) dither[i] = int16_t(int(rng() % 3) - 1);
  const std::vector<double> plain = NsLevels(background, 0);
  for (const auto &opening : {silent, dither}) {
    std::vector<int16_t> in = opening;
    in.insert(in.end(), background.begin(), background.end());
    const std::vector<double> got = NsLevels(in, quiet);
    for (size_t i = 0; i < 5; ++i)
      EXPECT_NEAR(got[i], plain[i], 1.5) << (opening.back() == -1 ? "silence" : "dither") << ", 100 ms part " << i;
  }
}

}  // namespace
