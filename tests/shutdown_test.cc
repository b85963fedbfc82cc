// Stopping and destroying the engine while its threads and the back-ends'
// callbacks are busy: no voice-path call after the library is released, no
// callback into a stopped processor or a destroyed engine, no thread left.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/hx_aec_impl.h"
#include "support/backend_harness.h"

namespace {


// Voice-path calls after the shutdown pair "BrisaApi_Stop()",
// "BrisaApi_Uninit()"; -1 when the pair is missing.
int BrisaCallsAfterRelease(const std::vector<std::string> &calls) {
  int stop = -1;
  for (int i = 0; i < (int)calls.size(); ++i)
    if (calls[i] == "BrisaApi_Stop()") stop = i;
  if (stop < 0 || stop + 1 >= (int)calls.size() || calls[stop + 1] != "BrisaApi_Uninit()")
    return -1;
  int after = 0;
  for (int i = stop + 2; i < (int)calls.size(); ++i)
    if (calls[i].rfind("BrisaApi_", 0) == 0) ++after;
  return after;
}

class ShutdownTest : public EngineTest {
 protected:
  void SetUp() override {
    hxsim_reset();
    WarmWorldThreads();
    EngineTest::SetUp();
    hxsim_clear_call_log();
  }
  void TearDown() override {
    EngineTest::TearDown();
    hxsim_set_manual(1);
  }
};

TEST_F(ShutdownTest, StopDuringAReinitialisationReleasesTheVoicePathLast) {
  Create();
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    hxsim_clear_call_log();
    log_->Clear();
    e_->Init();
    ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
    // Ask for a re-initialisation and stop while it may be under way.
    hxsim_set_brisa_switch_to_wave(1);
    e_->m_monitorWake.Set();
    std::this_thread::sleep_for(std::chrono::microseconds(round * 700));
    e_->DeInit();
    EXPECT_EQ(0, hxsim_brisa_loaded());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::vector<std::string> calls = CallLog();
    EXPECT_EQ(0, BrisaCallsAfterRelease(calls)) << ::testing::PrintToString(calls);
    EXPECT_TRUE(EngineThreads().empty());
  }
}

TEST_F(ShutdownTest, MonitorStuckPastItsWaitNeverCallsTheReleasedLibrary) {
  Create();
  e_->Init();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  hxsim_clear_call_log();
  std::thread stopper;
  auto t0 = std::chrono::steady_clock::now();
  {
    // The monitor's next re-initialisation blocks in its system-audio step,
    // holding the voice-path lock, for longer than the stop waits for it.
    hx::Lock hold(e_->m_tovanLock);
    hxsim_set_brisa_switch_to_wave(1);
    e_->m_monitorWake.Set();
    ASSERT_TRUE(log_->WaitFor(kTag + "ready to re-init audio system", 2));
    stopper = std::thread([this] { e_->DeInit(); });
    // The stop gives up waiting for the monitor and goes on to the release,
    // which waits for the pass to end.
    EXPECT_TRUE(log_->WaitFor("DeInit[0---1]", 1, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, log_->Count("enter g_win7_aec_uninit [0]"));
    EXPECT_EQ(1, hxsim_brisa_loaded());
  }
  stopper.join();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  EXPECT_EQ(0, hxsim_brisa_loaded());
  // The pass finished before the release, and nothing followed it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<std::string> calls = CallLog();
  EXPECT_EQ((std::vector<std::string>{"fnMirelDll_UnInit()", "BrisaApi_Uninit()",
                                      "BrisaApi_Init(0)", "BrisaApi_Start(1)",
                                      "BrisaApi_AddPlayChannel(0)", "BrisaApi_Stop()",
                                      "BrisaApi_Uninit()"}),
            calls);
  EXPECT_TRUE(WaitUntil([] { return EngineThreads().empty(); }, 5000));
  // A new start works after a late worker.
  e_->Init();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n", 3));
  e_->DeInit();
  EXPECT_TRUE(EngineThreads().empty());
}

TEST_F(ShutdownTest, PlayThreadStuckInTheHostNeverReachesTheReleasedLibrary) {
  hxsim_set_endpoints(0, 0);  // timer mode: the host is pulled every 10 ms
  Create();
  e_->Init();
  ASSERT_TRUE(WaitUntil([] { return SimStatus().put_play_calls > 0; }));
  host_.block_play.store(true);
  ASSERT_TRUE(WaitUntil([&] { return host_.play_blocked.load(); }));
  auto t0 = std::chrono::steady_clock::now();
  e_->DeInit();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
  EXPECT_EQ(0, hxsim_brisa_loaded());
  EXPECT_EQ(0, log_->Count("exit win7_PlayProc thread"));
  int64_t put_calls = SimStatus().put_play_calls;
  host_.block_play.store(false);
  ASSERT_TRUE(log_->WaitFor(kTag + "exit win7_PlayProc thread !!!!\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(put_calls, SimStatus().put_play_calls);
  EXPECT_TRUE(WaitUntil([] { return EngineThreads().empty(); }, 5000));
}

TEST_F(ShutdownTest, CallbacksKeepFlowingThroughStopsAndEndAtDestruction) {
  hxsim_set_manual(0);  // the world's threads deliver in real time
  hxsim_set_endpoints(0, 1);
  hxsim_set_os_version(6, 1, 7601);  // a microphone alone allows system audio
  std::vector<int16_t> mic(16000);
  for (size_t i = 0; i < mic.size(); ++i) mic[i] = (int16_t)((i * 2654435761u) >> 20) - 2048;
  hxsim_set_mic_pcm(mic.data(), mic.size(), 1);
  Create();
  e_->SetMicroCapture(1);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    e_->Init();
    e_->SetSysCapture(1);
    ASSERT_TRUE(log_->WaitFor(kB2 + "\n", round + 1));
    int64_t mic0 = SimStatus().mic_blocks;
    ASSERT_TRUE(WaitUntil([&] { return SimStatus().mic_blocks >= mic0 + 5; }));
    e_->DeInit();
    // The plain capture and the system audio go on after a stop; their
    // blocks meet freed processors and a closed ring without harm.
    int64_t mic1 = SimStatus().mic_blocks, sys1 = SimStatus().sys_blocks;
    EXPECT_TRUE(WaitUntil([&] {
      return SimStatus().mic_blocks >= mic1 + 3 && SimStatus().sys_blocks >= sys1 + 3;
    }));
  }
  // Destroyed while running, without a stop.
  e_->Init();
  ASSERT_TRUE(log_->WaitFor(kB2 + "\n", 5));
  ASSERT_TRUE(WaitUntil([&] { return SimStatus().mic_blocks > 10; }));
  delete e_;
  e_ = nullptr;
  EXPECT_EQ("", LeftRunning(200));
  EXPECT_EQ(1, log_->Count(kTag + "exit ......~Hx_AEC_Impl\n"));
}

// The whole module, loaded and unloaded by a host that never stops it.
// Empty when the unload left nothing running; otherwise what went wrong.
std::string UnloadWithoutStop() {
  hxsim_reset();
  WarmWorldThreads();
  hxsim_set_manual(0);
  hxsim_set_endpoints(1, 1);
  LogCapture log;
  ModuleApi m;
  if (!m.Load(HX_MODULE_PATH)) return "module not loaded";
  static FakeHost host;
  m.SetDownComCallBackPtr((void *)&FakeHost::Capture, &host, (void *)&FakeHost::Play, &host);
  m.SetMicroCapture(1);
  m.SetAecMode(1);
  m.Init();
  m.SetSysCapture(1);
  if (!log.WaitFor(kA1 + "\n")) return "voice path not selected";
  if (!WaitUntil([] { return SimStatus().mic_blocks > 10 && SimStatus().play_requests > 10; }))
    return "no audio flowing";
  m.Unload();
  if (log.Count(kTag + "exit ......~Hx_AEC_Impl\n") != 1) return "engine not destroyed";
  return LeftRunning();
}

TEST(ShutdownDeathTest, UnloadWithoutStopLeavesNothingRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string what = UnloadWithoutStop();
        fprintf(stderr, "unload: %s\n", what.empty() ? "clean" : what.c_str());
        fflush(stderr);
        _exit(what.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "unload: clean");
}

}  // namespace
