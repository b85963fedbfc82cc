// The play thread through the real engine threads and the simulated voice
// path: pacing in event and timer mode, the far-end reduction, the request
// counter and its log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/hx_aec_impl.h"
#include "playback/play_stats.h"
#include "support/backend_harness.h"

namespace {

const std::string kStats = kTag + "<+++win7:";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class PlayThreadTest : public EngineTest {
 protected:
  // Waits until no cycle has run for `quiet_ms`.
  bool Settle(int quiet_ms = 700) {
    return WaitUntil(
        [&] {
          int64_t c = host_.Cycles();
          std::this_thread::sleep_for(std::chrono::milliseconds(quiet_ms));
          return host_.Cycles() == c;
        },
        15000);
  }
};

TEST_F(PlayThreadTest, EventModeRunsExactlyOneCyclePerRequest) {
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  ASSERT_TRUE(Settle());
  // No requests for well over 2 s: no host call, no statistics line.
  log_->Clear();
  int64_t c0 = host_.Cycles();
  std::this_thread::sleep_for(std::chrono::milliseconds(2300));
  EXPECT_EQ(c0, host_.Cycles());
  EXPECT_EQ(0, log_->Count(kStats));

  ASSERT_EQ(3, hxsim_pump_play_requests(3));
  ASSERT_TRUE(WaitUntil([&] { return host_.Cycles() == c0 + 3; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(c0 + 3, host_.Cycles());
  EXPECT_EQ(0, e_->m_req.load());
  // The first cycle after the quiet time reports, in event mode.
  std::vector<std::string> stats = LinesWith(log_->Text(), kStats);
  ASSERT_EQ(1u, stats.size());
  const std::string tail = "; online_sys_capture=0; is_use_event=1";
  EXPECT_NE(std::string::npos, stats[0].find("] is_waveout_play=0; play_cnt="));
  EXPECT_EQ(tail, stats[0].substr(stats[0].size() - std::min(stats[0].size(), tail.size())))
      << stats[0];
  hxsim_status st = SimStatus();
  EXPECT_EQ(3, st.play_requests);
}

TEST_F(PlayThreadTest, TimerModeKeepsTenMillisecondsAndReports) {
  hxsim_set_endpoints(0, 0);  // no voice path: timer mode throughout
  Create();
  e_->SetAecMode(1);
  e_->SetMicroCapture(2);
  e_->SetOnlineSysCapture(3);
  e_->SetSysCapture(1);
  ResetPlayStatisticsForTest();
  sys_cnt.store(0);
  g_micCapCount.store(0);
  Start();
  ASSERT_EQ(5, hxsim_pump_sys(5));

  ASSERT_TRUE(log_->WaitFor(kStats, 1, 10000));
  int64_t c0 = host_.Cycles();
  int64_t t0 = NowMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  int64_t cycles = host_.Cycles() - c0;
  int64_t ms = NowMs() - t0;
  EXPECT_GT(cycles, ms / 10 / 2);
  EXPECT_LT(cycles, ms / 10 + 30);
  Stop();

  std::string text = log_->Text();
  std::vector<std::string> dump = LinesWith(text, kTag + "dumpinfo::");
  ASSERT_GE(dump.size(), 1u);
  EXPECT_EQ(kTag + "dumpinfo::  aec_mode=1; micro_capture=2; sys_capture=1; online_sys_capture=3 "
                "[need_tovan=0]",
            dump[0]);
  // One per 500 cycles: the first at the first cycle, the next after ~5 s.
  int64_t total = host_.Cycles();
  EXPECT_EQ((size_t)(1 + (total - 1) / 500), dump.size()) << total << " cycles";

  std::vector<std::string> stats = LinesWith(text, kStats);
  ASSERT_GE(stats.size(), 1u);
  int gap = 0, play_cnt = 0, consumed = -1;
  ASSERT_EQ(2, sscanf(stats[0].c_str(),
                      "audio_HXAec::===> <+++win7:[gap=%d] is_waveout_play=0; play_cnt=%d[req=0]; "
                      "mic_cap=0; sys_cnt=5; online_sys_capture=3; is_use_event=0%n",
                      &gap, &play_cnt, &consumed))
      << stats[0];
  EXPECT_EQ((int)stats[0].size(), consumed) << stats[0];
  // No request ever: gap = -(cycles that reached the host); play_cnt is
  // half the cycles since the first one.
  EXPECT_TRUE(gap == -2 * play_cnt || gap == -2 * play_cnt - 1) << gap << " " << play_cnt;
  EXPECT_GT(play_cnt, 50);
  EXPECT_LT(play_cnt, 115);
  EXPECT_EQ(0, sys_cnt.load());  // set back by the report
}

TEST_F(PlayThreadTest, TimerModeCatchesUpAfterEventMode) {
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  ASSERT_TRUE(Settle());
  int64_t c0 = host_.Cycles();
  ASSERT_EQ(1, hxsim_pump_play_requests(1));
  ASSERT_TRUE(WaitUntil([&] { return host_.Cycles() == c0 + 1; }, 5000));
  int64_t t_last = NowMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(c0 + 1, host_.Cycles());

  hxsim_set_endpoints(0, 1);
  Kick();
  ASSERT_TRUE(log_->WaitFor(kB2 + "\n"));
  // The schedule restarts from the last event-mode cycle: every 10 ms since
  // then is made up at once, not only the time since the switch.
  EXPECT_TRUE(WaitUntil(
      [&] { return host_.Cycles() - (c0 + 1) >= (NowMs() - t_last) / 10 * 8 / 10; }, 1500))
      << host_.Cycles() - c0 << " cycles in " << NowMs() - t_last << " ms";
}

// Expected 320 values of one cycle, from the host's streams with the given
// results.
std::vector<int16_t> ExpectedBlock(const int32_t result[4], bool silence_left) {
  std::vector<int16_t> mix(960);
  for (int j = 0; j < 960; ++j) {
    int32_t s = 0;
    for (int i = 0; i < 4; ++i)
      if (result[i] > 0) s += FakeHost::Sample(i, j);
    mix[j] = (int16_t)(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
  }
  std::vector<int16_t> out(320);
  for (int k = 0; k < 320; ++k) out[k] = mix[3 * k];
  if (silence_left)
    for (int j = 0; j < 160; ++j) out[2 * j] = 0;
  return out;
}

TEST_F(PlayThreadTest, HandsTheReducedSaturatedMixToTheVoicePath) {
  hxsim_set_endpoints(0, 0);
  host_.result[1].store(0);   // writes into its buffer, but has no audio
  host_.result[3].store(-1);  // failed pull
  Start();
  ASSERT_TRUE(WaitUntil([] { return SimStatus().put_play_calls > 0; }));
  int32_t result[4] = {1920, 0, 1920, -1};
  struct Case {
    uint8_t sys, aec;
  } cases[] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 0}};
  std::vector<int16_t> got(1600);
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "sys_capture=" << (int)c.sys << " aec_mode=" << (int)c.aec);
    e_->sys_capture.store(c.sys);
    e_->aec_mode.store(c.aec);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<int16_t> drop(1 << 16);
    hxsim_take_played(drop.data(), drop.size());
    size_t have = 0;
    ASSERT_TRUE(WaitUntil([&] {
      have += hxsim_take_played(got.data() + have, got.size() - have);
      return have == got.size();
    }));
    std::vector<int16_t> want = ExpectedBlock(result, c.sys && c.aec);
    EXPECT_EQ(32767, ExpectedBlock(result, false)[0]);  // 30000 + 10000 saturates
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(want[i % 320], got[i]) << "value " << i;
    }
  }
  hxsim_status st = SimStatus();
  EXPECT_EQ(st.put_play_calls * 320, st.put_play_samples);
}

TEST_F(PlayThreadTest, CheckPlayReqCutsLongBacklogsToOne) {
  Create();  // not started: the counter alone
  for (int i = 1; i <= 9; ++i) e_->AddPlayReq(100 + i);
  EXPECT_EQ(109, g_playReqNo.load());
  EXPECT_TRUE(e_->m_playEvent.Wait(0));
  e_->CheckPlayReq();
  EXPECT_EQ(1, e_->m_req.load());
  EXPECT_TRUE(e_->m_playEvent.Wait(0));
  EXPECT_EQ(1, log_->Count(kTag + "req=9 is too long, so to reset !^^^^^^^^^^^^^\n"));

  for (int i = 0; i < 7; ++i) e_->AddPlayReq(i);
  ASSERT_EQ(8, e_->m_req.load());
  EXPECT_TRUE(e_->m_playEvent.Wait(0));
  e_->CheckPlayReq();
  EXPECT_EQ(8, e_->m_req.load());
  EXPECT_FALSE(e_->m_playEvent.Wait(0));
  EXPECT_EQ(1, log_->Count("is too long"));
}

TEST_F(PlayThreadTest, ReinitialisationLeavesOneOfALongBacklog) {
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  ASSERT_TRUE(Settle());
  int64_t c0 = host_.Cycles();
  {
    // Hold the host's play lock: the thread takes one request and waits.
    hx::Lock hold(e_->m_playLock);
    ASSERT_EQ(11, hxsim_pump_play_requests(11));
    ASSERT_TRUE(WaitUntil([&] { return e_->m_req.load() == 10; }, 5000));
    hxsim_set_brisa_switch_to_wave(1);
    Kick();
    ASSERT_TRUE(log_->WaitFor(kA1 + "\n", 2));
    EXPECT_EQ(1, log_->Count(kTag + "req=10 is too long, so to reset !^^^^^^^^^^^^^\n"));
    EXPECT_EQ(1, e_->m_req.load());
  }
  // The cycle that waited, and one more for the request left.
  ASSERT_TRUE(WaitUntil([&] { return host_.Cycles() == c0 + 2; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(c0 + 2, host_.Cycles());
  EXPECT_EQ(0, e_->m_req.load());
}

TEST_F(PlayThreadTest, RestartWithoutEndpointsPlaysOnTheTimer) {
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  ASSERT_EQ(1, e_->m_is_win7_aec_working.load());
  e_->DeInit();
  // The stop released the voice path: the play thread of the next start
  // must not wait for its requests, even when no monitor pass selects a
  // back-end (no endpoint: the picture never changes).
  EXPECT_EQ(0, e_->m_is_win7_aec_working.load());
  hxsim_set_endpoints(0, 0);
  int64_t c0 = host_.Cycles();
  e_->Init();
  EXPECT_TRUE(WaitUntil([&] { return host_.Cycles() >= c0 + 20; }, 5000));
}

TEST_F(PlayThreadTest, UnregisteredHostIsReportedEveryPass) {
  hxsim_set_endpoints(0, 0);
  Create();
  e_->SetDownComCallBackPtr(nullptr, nullptr, (void *)&FakeHost::Play, nullptr);  // no context
  e_->Init();
  ASSERT_TRUE(log_->WaitFor(kTag + "m_fnPlay is null .............\n", 20, 10000));
  EXPECT_EQ(0, host_.play_calls.load());
  e_->SetDownComCallBackPtr(nullptr, nullptr, (void *)&FakeHost::Play, &host_);
  EXPECT_TRUE(WaitUntil([&] { return host_.Cycles() >= 5; }));
}

}  // namespace
