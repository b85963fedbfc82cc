// Stop and destruction while threads and back-end callbacks are busy: no voice-path call
// after its release, no callback into freed state, no thread left.
#include "support/backend_harness.h"

namespace {

// Voice-path calls after the last "BrisaApi_Stop()", "BrisaApi_Uninit()"; -1 without the pair.
int BrisaCallsAfterRelease(const std::vector<std::string> &calls) {
  auto it = std::find(calls.rbegin(), calls.rend(), "BrisaApi_Stop()").base();  // after it
  if (it == calls.begin() || it == calls.end() || *it != "BrisaApi_Uninit()") return -1;
  return (int)std::count_if(it + 1, calls.end(), [](auto &c) { return !c.rfind("BrisaApi_", 0); });
}

class ShutdownTest : public EngineTest {
 protected:
  void SetUp() override { hxsim_reset(); WarmWorldThreads(); EngineTest::SetUp(); Create(); }
  void TearDown() override { EngineTest::TearDown(); hxsim_set_manual(1); }
};

TEST_F(ShutdownTest, StopDuringAReinitialisationReleasesTheVoicePathLast) {
  for (int round = 0; round < 12; ++round) {
    hxsim_clear_call_log();
    const int started = log_->Count(kA1 + "\n");  // a round may log it twice
    e_->Init();
    ASSERT_TRUE(log_->WaitFor(kA1 + "\n", started + 1)) << round;
    hxsim_set_brisa_switch_to_wave(1);  // a re-initialisation; the stop comes while it may run
    Kick();
    std::this_thread::sleep_for(std::chrono::microseconds(round * 700));
    e_->DeInit();
    EXPECT_TRUE(!hxsim_brisa_loaded() && WaitUntil([] { return !ModuleThreads(); }, 5000)) << round;
    EXPECT_EQ(0, BrisaCallsAfterRelease(CallLog())) << round << testing::PrintToString(CallLog());
  }
}

TEST_F(ShutdownTest, MonitorStuckPastItsWaitNeverCallsTheReleasedLibrary) {
  e_->Init();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  hxsim_clear_call_log();
  std::thread stopper;
  {
    // The next re-initialisation blocks in its system-audio step, holding
    // the voice-path lock, for longer than the stop waits for the monitor.
    hx::Lock hold(e_->m_tovanLock);
    hxsim_set_brisa_switch_to_wave(1), Kick();
    ASSERT_TRUE(log_->WaitFor(kTag + "ready to re-init audio system", 2));
    stopper = std::thread([this] { e_->DeInit(); });
    // The stop does not wait for the monitor; its release waits for the pass.
    EXPECT_TRUE(log_->WaitFor("DeInit[0---1]", 1, 8000));
    hx::Sleep(100);
    EXPECT_TRUE(log_->Count("enter g_win7_aec_uninit [0]") == 0 && hxsim_brisa_loaded() == 1);
  }
  stopper.join();
  EXPECT_EQ(0, hxsim_brisa_loaded());
  hx::Sleep(200);  // the pass ended before the release, and nothing followed it
  EXPECT_EQ((std::vector<std::string>{"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)", "BrisaApi_Start(1)",
                                      "BrisaApi_AddPlayChannel(0)", "BrisaApi_Stop()", "BrisaApi_Uninit()"}),
            CallLog());
  EXPECT_TRUE(WaitUntil([] { return !ModuleThreads(); }, 5000));
  e_->Init();  // a new start works after a late worker
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n", 3));
}

TEST_F(ShutdownTest, PlayThreadStuckInTheHostNeverReachesTheReleasedLibrary) {
  hxsim_set_endpoints(0, 0);  // timer mode: the host is pulled every 10 ms
  e_->Init();
  ASSERT_TRUE(WaitUntil([] { return SimStatus().put_play_calls > 0; }));
  host_.block_play.store(true);
  ASSERT_TRUE(WaitUntil([&] { return host_.play_blocked.load(); }));
  const auto t0 = std::chrono::steady_clock::now();
  e_->DeInit();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
  EXPECT_TRUE(!hxsim_brisa_loaded() && !log_->Count("exit win7_PlayProc thread"));
  const int64_t put_calls = SimStatus().put_play_calls;
  host_.block_play.store(false);
  ASSERT_TRUE(log_->WaitFor(kTag + "exit win7_PlayProc thread !!!!\n"));
  hx::Sleep(100);
  EXPECT_EQ(put_calls, SimStatus().put_play_calls);
  EXPECT_TRUE(WaitUntil([] { return !ModuleThreads(); }, 5000));
}

TEST_F(ShutdownTest, CallbacksKeepFlowingThroughStopsAndEndAtDestruction) {
  // Real time; a microphone alone, on Windows 7, allows system audio.
  hxsim_set_manual(0), hxsim_set_endpoints(0, 1), hxsim_set_os_version(6, 1, 7601);
  std::vector<int16_t> mic(16000);
  for (size_t i = 0; i < mic.size(); ++i) mic[i] = (int16_t)((i * 2654435761u) >> 20) - 2048;
  hxsim_set_mic_pcm(mic.data(), mic.size(), 1), e_->SetMicroCapture(1);
  for (int round = 0; round < 5; ++round) {
    e_->Init(), e_->SetSysCapture(1);
    ASSERT_TRUE(log_->WaitFor(kB2 + "\n", round + 1));
    const int64_t mic0 = SimStatus().mic_blocks;
    ASSERT_TRUE(WaitUntil([&] { return SimStatus().mic_blocks >= mic0 + 5; }));
    if (round == 4) break;
    e_->DeInit();
    // Plain and system capture go on after a stop: their blocks meet freed
    // processors and a closed ring without harm.
    const hxsim_status a = SimStatus();
    EXPECT_TRUE(WaitUntil([&] { return SimStatus().mic_blocks >= a.mic_blocks + 3 && SimStatus().sys_blocks >= a.sys_blocks + 3; }))
        << round;
  }
  delete e_, e_ = nullptr;  // destroyed while running, without a stop
  EXPECT_EQ("", LeftRunning(200));
  EXPECT_EQ(1, log_->Count(kTag + "exit ......~Hx_AEC_Impl\n"));
}

}  // namespace
