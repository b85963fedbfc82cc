// The play thread with the real engine threads and the simulated voice path:
// pacing in event and timer mode, the far-end reduction, the request counter.
#include "playback/play_stats.h"
#include "support/backend_harness.h"

namespace {

const std::string kStats = kTag + "<+++win7:";

int64_t NowMs() { return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1); }

typedef EngineTest PlayThreadTest;

TEST_F(PlayThreadTest, EventModeRunsOneCyclePerRequestThenTimerModeCatchesUp) {
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  int64_t c0 = -1;  // settled: no cycle for 700 ms
  ASSERT_TRUE(WaitUntil([&] { int64_t c = c0; hx::Sleep(700); return (c0 = host_.Cycles()) == c; }));
  // One request cycle opens the statistics window if no timer-mode cycle
  // did before the voice path started (the monitor may win that race).
  ASSERT_EQ(1, hxsim_pump_play_requests(1));
  ASSERT_TRUE(WaitUntil([&] { return host_.Cycles() == c0 + 1; }, 5000));
  ++c0;
  log_->Clear();
  hx::Sleep(2300);  // no request for over 2 s: no cycle, no statistics
  EXPECT_EQ(c0, host_.Cycles());
  EXPECT_EQ(0, log_->Count(kStats));
  ASSERT_EQ(3, hxsim_pump_play_requests(3));
  ASSERT_TRUE(WaitUntil([&] { return host_.Cycles() == c0 + 3; }, 5000));
  const int64_t t_last = NowMs();
  hx::Sleep(1500);
  EXPECT_TRUE(host_.Cycles() == c0 + 3 && e_->m_req.load() == 0) << host_.Cycles() - c0;
  // The first cycle after the quiet time reports, in event mode.
  EXPECT_EQ(1, log_->Count(kStats));
  EXPECT_EQ(1, log_->Count("] is_waveout_play=0; play_cnt=") * log_->Count("; online_sys_capture=0; is_use_event=1\n"));

  // Timer mode makes up every 10 ms since the last event-mode cycle at once.
  hxsim_set_endpoints(0, 1);
  Kick();
  ASSERT_TRUE(log_->WaitFor(kB2 + "\n"));
  EXPECT_TRUE(WaitUntil([&] { return host_.Cycles() - c0 - 3 >= (NowMs() - t_last) * 8 / 100; },
                        1500)) << host_.Cycles() - c0 << " cycles in " << NowMs() - t_last << " ms";
}

TEST_F(PlayThreadTest, RestartWithoutEndpointsKeepsTenMillisecondsAndReports) {
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  e_->DeInit();  // releases the voice path: the next start must not wait for its requests
  EXPECT_EQ(0, e_->m_is_win7_aec_working.load());
  hxsim_set_endpoints(0, 0);  // no monitor pass selects a back-end
  e_->SetAecMode(1), e_->SetMicroCapture(2), e_->SetOnlineSysCapture(3), e_->SetSysCapture(1);
  ResetPlayStatisticsForTest(), sys_cnt.store(0), g_micCapCount.store(0), log_->Clear();
  e_->Init();
  ASSERT_EQ(5, hxsim_pump_sys(5));
  ASSERT_TRUE(log_->WaitFor(kStats));
  const int64_t c0 = host_.Cycles(), t0 = NowMs();
  hx::Sleep(3000);
  const int64_t cycles = host_.Cycles() - c0, ms = NowMs() - t0;
  EXPECT_TRUE(cycles > ms / 20 && cycles < ms / 10 + 30) << cycles << " cycles in " << ms << " ms";
  Stop();

  // "dumpinfo" at the first cycle and every 500th after it.
  EXPECT_EQ(1 + (host_.Cycles() - 1) / 500,
            log_->Count(kTag + "dumpinfo::  aec_mode=1; micro_capture=2; sys_capture=1; "
                               "online_sys_capture=3 [need_tovan=0]\n"));
  const std::string text = log_->Text();
  const size_t at = text.find(kStats);
  int gap = 0, play_cnt = 0, end = -1;
  ASSERT_EQ(2, sscanf(text.c_str() + at,
                      "audio_HXAec::===> <+++win7:[gap=%d] is_waveout_play=0; play_cnt=%d[req=0]; "
                      "mic_cap=0; sys_cnt=5; online_sys_capture=3; is_use_event=0%n",
                      &gap, &play_cnt, &end));
  EXPECT_TRUE(end > 0 && text[at + end] == '\n') << text.substr(at, 200);
  // No request: gap = -(cycles that reached the host); play_cnt = half the cycles since the first.
  EXPECT_TRUE(gap == -2 * play_cnt || gap == -2 * play_cnt - 1) << gap << " " << play_cnt;
  EXPECT_TRUE(play_cnt > 50 && play_cnt < 115) << play_cnt;
  EXPECT_EQ(0, sys_cnt.load());  // set back by the report
}

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
