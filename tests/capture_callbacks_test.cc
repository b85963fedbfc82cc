// The back-end callbacks called directly on an engine that is not started
// (processors and converter set up by hand), into the packet queue or the ring.
#include <math.h>
#include <unistd.h>

#include "backends/backends.h"
#include "dsp/ns_agc.h"
#include "support/backend_harness.h"

namespace {

// A 20 ms block with the voice flag in bit 0 of samples 0 and 1.
std::vector<int16_t> Block(int index, int flag) {
  std::vector<int16_t> b(320);
  for (int i = 0; i < 320; ++i)
    b[i] = (int16_t)lrint(6000 * sin(0.1728 * (index * 320 + i)) + 1500 * sin(0.734 * i + index));
  for (int k = 0; k < 2; ++k) b[k] = (int16_t)((b[k] & ~1) | ((flag >> k) & 1));
  return b;
}

class CallbacksTest : public EngineTest {
 protected:
  void SetUp() override { EngineTest::SetUp(); Fresh(); }
  void TearDown() override { EngineTest::TearDown(), ns_free(), agc_free(); }
  // A new engine and new processors, so the chain starts from the same state;
  // the host is registered (packets are queued only for one), never called.
  void Fresh() {
    delete e_;
    ns_free(), agc_free(), ns_create(), agc_create(16000), Create();
    ASSERT_EQ(0, e_->m_resample_16to48.Init(16000, 48000, 320));
    e_->micro_capture.store(1);
  }
  size_t Drain(std::vector<int16_t> *out) {  // appends the packets queued so far
    const size_t n = out->size();
    AudioPacket p;
    for (int32_t before; e_->TakeMicPacket(&p, &before); e_->m_micPool.Release(p.data))
      out->insert(out->end(), p.data, p.data + p.frames * p.channels);
    return out->size() - n;
  }
};

TEST_F(CallbacksTest, WrongSizesAreLoggedAndDropped) {
  std::vector<int16_t> b = Block(0, 1);
  uint8_t *bytes = reinterpret_cast<uint8_t *>((b.resize(400), b.data()));
  for (int n : {319, 321}) g_win7_get_aec_callback(b.data(), n, 0, e_);
  for (int n : {639, 0}) g_Mirel_RecvMicData(bytes, n);
  e_->micro_capture.store(0);  // off: right sizes are neither logged nor delivered
  g_win7_get_aec_callback(b.data(), 320, 0, e_);
  g_Mirel_RecvMicData(bytes, 640);
  const std::string aec = kTag + std::string(20, '*') + "enter g_win7_get_aec_callback samples isn't 320;   len=",
                    mirel = kTag + "enter g_Mirel_RecvMicData len isn't 640!!!!!!!!!!!: ";
  EXPECT_EQ((std::vector<std::string>{aec + "319", aec + "321", mirel + "639", mirel + "0"}), log_->Lines());
  EXPECT_EQ(0u, Drain(&b));
}

// 20 voice and 10 non-voice blocks on the voice path, then 12 on the plain path (any
// alignment), against a fresh chain by hand: suppression, then gain control if `agc`.
TEST_F(CallbacksTest, GainControlOnlyForVoiceOnTheVoicePathAndAlwaysOnThePlainPath) {
  std::vector<int16_t> via_callbacks, by_hand;
  auto agc = [](int i) { return i < 20 || i >= 30; };
  auto block = [](int i) { return Block(i, i < 20 || (i >= 30 && i % 2)); };  // flag: voice
  for (int i = 0; i < 42; ++i) {
    std::vector<int16_t> b = block(i), kept = b;
    uint8_t bytes[641];
    memcpy(bytes + 1, b.data(), 640);
    i < 30 ? g_win7_get_aec_callback(b.data(), 320, 0, e_) : g_Mirel_RecvMicData(bytes + 1, 640);
    EXPECT_EQ(kept, b);
    ASSERT_EQ(1920u, Drain(&via_callbacks)) << "block " << i;
  }
  EXPECT_EQ((std::vector<int>{2, 1}), (std::vector<int>{log_->Count("isVoice=1\n"), log_->Count("isVoice=0\n")}));  // 1 in 10
  Fresh();
  for (int i = 0; i < 42; ++i) {
    int16_t ns[320], cleaned[320];
    ns_process(block(i).data(), 640, ns);
    agc(i) ? agc_process(ns, 640, cleaned, 640) : (void)memcpy(cleaned, ns, sizeof cleaned);
    e_->DeliverMicData(cleaned, 320), Drain(&by_hand);
  }
  EXPECT_EQ(by_hand, via_callbacks);
}

TEST_F(CallbacksTest, SystemAudioIsScaledIntoTheRing) {
  Hx_AEC_Impl *run_before = g_aecImplRun.exchange(e_);
  ASSERT_TRUE(DgtlStoreBuffer_Open(&e_->m_captureRing, 9600, "capture"));
  const int32_t cnt0 = (e_->m_sysEvent.Reset(), sys_cnt.load());
  uint8_t data[13], ring[13];
  for (int i = 0; i < 200; ++i) g_Tovan_RecvSysData(data, 13);  // off: dropped, one line per 200
  EXPECT_EQ(1, log_->Count(kTag + "aec_mode=0; micro_capture=1; sys_capture=0; "
                                  "online_sys_capture=0; sys_pak=13\n"));
  EXPECT_TRUE(DgtlStoreBuffer_DataSize(&e_->m_captureRing) == 0 && !e_->m_sysEvent.Wait(0) && cnt0 == sys_cnt.load());
  // On: 8/10 truncated toward zero, in the caller's buffer too; an odd last byte is kept.
  e_->sys_capture.store(1);
  const int16_t in[6] = {10, -1, 32767, -32768, 5, -5}, want[6] = {8, 0, 26213, -26214, 4, -4};
  memcpy(data, in, 12), data[12] = 0x7b;
  g_Tovan_RecvSysData(data, 13);
  EXPECT_TRUE(cnt0 + 1 == sys_cnt.load() && e_->m_sysEvent.Wait(0));
  ASSERT_EQ(13u, DgtlStoreBuffer_DataSize(&e_->m_captureRing));
  ASSERT_TRUE(DgtlStoreBuffer_Read(&e_->m_captureRing, ring, 13));
  EXPECT_TRUE(memcmp(ring, want, 12) == 0 && memcmp(ring, data, 13) == 0 && ring[12] == 0x7b);
  DgtlStoreBuffer_Close(&e_->m_captureRing), g_aecImplRun.store(run_before);
}

TEST_F(CallbacksTest, BrokenVoiceFlagIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int flag : {2, 3}) {
    std::vector<int16_t> b = Block(0, flag);
    EXPECT_DEATH({ dup2(2, 1); g_win7_get_aec_callback(b.data(), 320, 0, e_); },  // log to fd 2
                 "\n\n####: kzr_assert fail: file=capture_callbacks\\.cc; line=184\n\n") << flag;
  }
}

}  // namespace
