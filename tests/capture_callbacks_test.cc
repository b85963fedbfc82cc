// The four callbacks handed to the back-end libraries, called directly on an
// engine that is not started (its processors and converter set up by hand),
// so every block can be followed into the queue or the ring.
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "backends/backends.h"
#include "dsp/ns_agc.h"
#include "engine/hx_aec_impl.h"
#include "playback/play_stats.h"
#include "support/log_capture.h"

namespace {

const std::string P = "audio_HXAec::===> ";

// A 20 ms block with the voice flag in bit 0 of samples 0 and 1.
std::vector<int16_t> Block(int index, int flag) {
  std::vector<int16_t> b(320);
  for (int i = 0; i < 320; ++i) {
    double t = (index * 320 + i) / 16000.0;
    double v = 6000 * sin(2 * M_PI * 440 * t) + 1500 * sin(2 * M_PI * 1870 * t + index);
    b[i] = (int16_t)lrint(v);
  }
  b[0] = (int16_t)((b[0] & ~1) | (flag & 1));
  b[1] = (int16_t)((b[1] & ~1) | ((flag >> 1) & 1));
  return b;
}

// Everything queued so far, packet after packet.
std::vector<int16_t> Drain(Hx_AEC_Impl *e) {
  std::vector<int16_t> out;
  AudioPacket p;
  int32_t before;
  while (e->TakeMicPacket(&p, &before)) {
    out.insert(out.end(), p.data, p.data + p.frames * p.channels);
    free(p.data);
  }
  return out;
}

class CallbacksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.reset(new LogCapture);
    Fresh();
  }
  void TearDown() override {
    ns_free();
    agc_free();
    delete e_;
    e_ = nullptr;
    std::string text = log_->Text();
    log_.reset();
    if (HasFailure()) fprintf(stderr, "---- module log ----\n%s\n", text.c_str());
  }
  // A new engine with new processors: the chain starts from the same state.
  void Fresh() {
    ns_free();
    agc_free();
    delete e_;
    e_ = new Hx_AEC_Impl;
    ns_create();
    agc_create(16000);
    ASSERT_EQ(0, e_->m_resample_16to48.Init(16000, 48000, 320));
    e_->micro_capture.store(1);
    // Packets are queued only for a registered host; no thread runs here,
    // so the host is never called.
    e_->SetDownComCallBackPtr((void *)&NoCapture, this, nullptr, nullptr);
  }
  static int32_t NoCapture(void *, int16_t *, int32_t) { return 0; }
  // The blocks cleaned by hand through a fresh chain: suppression, then gain
  // control where `agc[i]` is set, else the suppressed block unchanged.
  std::vector<int16_t> CleanByHand(const std::vector<std::vector<int16_t>> &blocks,
                                   const std::vector<bool> &agc) {
    Fresh();
    std::vector<int16_t> out;
    for (size_t i = 0; i < blocks.size(); ++i) {
      std::vector<int16_t> b = blocks[i];
      int16_t ns[320], cleaned[320];
      ns_process(b.data(), 640, ns);
      if (agc[i])
        agc_process(ns, 640, cleaned, 640);
      else
        memcpy(cleaned, ns, sizeof cleaned);
      e_->DeliverMicData(cleaned, 320);
      std::vector<int16_t> got = Drain(e_);
      out.insert(out.end(), got.begin(), got.end());
    }
    return out;
  }

  std::unique_ptr<LogCapture> log_;
  Hx_AEC_Impl *e_ = nullptr;
};

TEST_F(CallbacksTest, WrongSizesAreLoggedAndDropped) {
  std::vector<int16_t> b = Block(0, 1);
  b.resize(400);
  g_win7_get_aec_callback(b.data(), 319, 0, e_);
  g_win7_get_aec_callback(b.data(), 321, 0, e_);
  g_Mirel_RecvMicData(reinterpret_cast<uint8_t *>(b.data()), 639);
  g_Mirel_RecvMicData(reinterpret_cast<uint8_t *>(b.data()), 0);
  EXPECT_EQ(1, log_->Count(P + "********************enter g_win7_get_aec_callback samples isn't "
                               "320;   len=319\n"));
  EXPECT_EQ(1, log_->Count(P + "********************enter g_win7_get_aec_callback samples isn't "
                               "320;   len=321\n"));
  EXPECT_EQ(1, log_->Count(P + "enter g_Mirel_RecvMicData len isn't 640!!!!!!!!!!!: 639\n"));
  EXPECT_EQ(1, log_->Count(P + "enter g_Mirel_RecvMicData len isn't 640!!!!!!!!!!!: 0\n"));
  EXPECT_EQ(4u, log_->Lines().size());
  EXPECT_TRUE(Drain(e_).empty());

  // Microphone off: right-sized blocks are neither logged nor delivered.
  e_->micro_capture.store(0);
  g_win7_get_aec_callback(b.data(), 320, 0, e_);
  g_Mirel_RecvMicData(reinterpret_cast<uint8_t *>(b.data()), 640);
  EXPECT_EQ(4u, log_->Lines().size());
  EXPECT_TRUE(Drain(e_).empty());
}

TEST_F(CallbacksTest, VoicePathCleansVoiceWithGainControlOnly) {
  // 20 voice blocks, then 10 without voice, through the callback.
  const int kVoice = 20, kQuiet = 10;
  std::vector<std::vector<int16_t>> blocks;
  std::vector<bool> voice;
  std::vector<int16_t> via_callback;
  for (int i = 0; i < kVoice + kQuiet; ++i) {
    blocks.push_back(Block(i, i < kVoice ? 1 : 0));
    voice.push_back(i < kVoice);
    std::vector<int16_t> b = blocks.back();
    g_win7_get_aec_callback(b.data(), 320, 0, e_);
    EXPECT_EQ(blocks.back(), b);  // the flag bits are not cleared, the input is kept
    std::vector<int16_t> got = Drain(e_);
    ASSERT_EQ(1920u, got.size()) << "block " << i;
    via_callback.insert(via_callback.end(), got.begin(), got.end());
  }
  // Exactly one accepted block in ten logs its flag.
  EXPECT_EQ(2, log_->Count("isVoice=1\n"));
  EXPECT_EQ(1, log_->Count("isVoice=0\n"));
  EXPECT_EQ(CleanByHand(blocks, voice), via_callback);
}

TEST_F(CallbacksTest, PlainCapturePathAlwaysRunsGainControl) {
  std::vector<std::vector<int16_t>> blocks;
  std::vector<int16_t> via_callback;
  for (int i = 0; i < 12; ++i) {
    blocks.push_back(Block(i, i % 2));
    // Any byte alignment is accepted.
    std::vector<uint8_t> bytes(641);
    memcpy(bytes.data() + 1, blocks.back().data(), 640);
    g_Mirel_RecvMicData(bytes.data() + 1, 640);
    std::vector<int16_t> got = Drain(e_);
    ASSERT_EQ(1920u, got.size());
    via_callback.insert(via_callback.end(), got.begin(), got.end());
  }
  EXPECT_EQ(0, log_->Count("isVoice"));
  EXPECT_EQ(CleanByHand(blocks, std::vector<bool>(blocks.size(), true)), via_callback);
}

TEST_F(CallbacksTest, SystemAudioIsScaledIntoTheRing) {
  Hx_AEC_Impl *run_before = g_aecImplRun.load();
  g_aecImplRun.store(e_);
  ASSERT_TRUE(DgtlStoreBuffer_Open(&e_->m_captureRing, 9600, "capture"));
  e_->m_sysEvent.Reset();

  // Off: dropped, but the log pacing counts the call: one line per 200.
  e_->sys_capture.store(0);
  int32_t cnt0 = sys_cnt.load();
  uint8_t data[13];
  for (int i = 0; i < 200; ++i) g_Tovan_RecvSysData(data, 13);
  EXPECT_EQ(1, log_->Count(P + "aec_mode=0; micro_capture=1; sys_capture=0; online_sys_capture=0; "
                               "sys_pak=13\n"));
  EXPECT_EQ(0u, DgtlStoreBuffer_DataSize(&e_->m_captureRing));
  EXPECT_FALSE(e_->m_sysEvent.Wait(0));
  EXPECT_EQ(cnt0, sys_cnt.load());

  // On: 8/10 with truncation toward zero; an odd trailing byte is kept.
  e_->sys_capture.store(1);
  const int16_t in[6] = {10, -1, 32767, -32768, 5, -5};
  const int16_t want[6] = {8, 0, 26213, -26214, 4, -4};
  memcpy(data, in, 12);
  data[12] = 0x7b;
  g_Tovan_RecvSysData(data, 13);
  EXPECT_EQ(cnt0 + 1, sys_cnt.load());
  EXPECT_TRUE(e_->m_sysEvent.Wait(0));
  ASSERT_EQ(13u, DgtlStoreBuffer_DataSize(&e_->m_captureRing));
  uint8_t ring[13];
  ASSERT_TRUE(DgtlStoreBuffer_Read(&e_->m_captureRing, ring, 13));
  int16_t got[6];
  memcpy(got, ring, 12);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(want[i], got[i]) << i;
  EXPECT_EQ(0x7b, ring[12]);
  EXPECT_EQ(0, memcmp(ring, data, 13));  // scaled in the caller's buffer too

  DgtlStoreBuffer_Close(&e_->m_captureRing);
  g_aecImplRun.store(run_before);
}

TEST_F(CallbacksTest, PlayRequestsReachTheEngine) {
  e_->m_req.store(0);
  g_win7_get_play_callback(41);
  g_win7_get_play_callback(42);
  EXPECT_EQ(2, e_->m_req.load());
  EXPECT_EQ(42, g_playReqNo.load());
  EXPECT_TRUE(e_->m_playEvent.Wait(0));
}

TEST_F(CallbacksTest, BrokenVoiceFlagIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int flag : {2, 3}) {
    std::vector<int16_t> b = Block(0, flag);
    // The log writes to fd 1; death tests read fd 2.
    EXPECT_DEATH(
        {
          dup2(2, 1);
          g_win7_get_aec_callback(b.data(), 320, 0, e_);
        },
        "\n\n####: kzr_assert fail: file=capture_callbacks\\.cc; line=184\n\n")
        << "flag " << flag;
  }
}

}  // namespace
