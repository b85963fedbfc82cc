// The play thread with the real engine threads and the simulated voice path:
// the far-end reduction and the request counter.
#include "support/backend_harness.h"

namespace {

typedef EngineTest PlayThreadTest;

TEST_F(PlayThreadTest, HandsTheReducedSaturatedMixToTheVoicePath) {
  hxsim_set_endpoints(0, 0);
  host_.result[1].store(0);   // wrote into its buffer, but has no audio
  host_.result[3].store(-1);  // failed pull
  Start();
  ASSERT_TRUE(WaitUntil([] { return SimStatus().put_play_calls > 0; }));
  // Streams 0 and 2 summed with saturation, every third of the 960 values.
  std::vector<int16_t> want(320), got(1600), drop(1 << 16);
  for (int k = 0; k < 320; ++k)
    want[k] = std::clamp(FakeHost::Sample(0, 3 * k) + FakeHost::Sample(2, 3 * k), -32768, 32767);
  ASSERT_EQ(32767, want[0]);  // 30000 + 10000 saturates
  for (int sys_aec : {0, 1, 2, 3, 0}) {  // bit 0: sys_capture, bit 1: aec_mode
    e_->sys_capture.store(sys_aec & 1);
    e_->aec_mode.store(sys_aec >> 1);
    // The cycle under way may have read the old flags; the one after it has not.
    const int64_t c0 = SimStatus().put_play_calls;
    ASSERT_TRUE(WaitUntil([&] { return SimStatus().put_play_calls >= c0 + 2; }));
    hxsim_take_played(drop.data(), drop.size());
    size_t have = 0;
    ASSERT_TRUE(WaitUntil([&] { return (have += hxsim_take_played(&got[have], got.size() - have)) == got.size(); }));
    for (size_t i = 0; i < got.size(); ++i)  // both on: the left channel silenced
      ASSERT_EQ(sys_aec == 3 && i % 2 == 0 ? 0 : want[i % 320], got[i]) << sys_aec << " at " << i;
  }
  EXPECT_EQ(SimStatus().put_play_calls * 320, SimStatus().put_play_samples);
}

TEST_F(PlayThreadTest, CheckPlayReqCutsBacklogsOverEightToOne) {
  Create();  // not started: the counter alone
  for (int i = 1; i <= 9; ++i) e_->AddPlayReq(100 + i);
  EXPECT_TRUE(e_->m_playEvent.Wait(0));
  e_->CheckPlayReq();
  EXPECT_TRUE(e_->m_req.load() == 1 && e_->m_playEvent.Wait(0)) << e_->m_req.load();
  EXPECT_EQ(1, log_->Count(kTag + "req=9 is too long, so to reset !^^^^^^^^^^^^^\n"));
  for (int i = 0; i < 7; ++i) e_->AddPlayReq(i);
  ASSERT_TRUE(e_->m_req.load() == 8 && e_->m_playEvent.Wait(0));
  e_->CheckPlayReq();
  EXPECT_TRUE(e_->m_req.load() == 8 && !e_->m_playEvent.Wait(0) && log_->Count("is too long") == 1);
}

}  // namespace
