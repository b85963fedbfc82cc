// Stopping and destroying the engine while its threads and the back-ends'
// callbacks are busy: no voice-path call after the library is released, no
// callback into a stopped processor or a destroyed engine, no thread left.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backends/api/tovan_dll.h"
#include "engine/hx_aec_impl.h"
#include "hx_aec_mod.h"
#include "hxsim.h"
#include "support/backend_harness.h"
#include "support/log_capture.h"

namespace {

const std::string P = "audio_HXAec::===> ";
const std::string kA1 =
    P + "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAa: to init win7-aec[1]---end\n";
const std::string kB2 =
    P + "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBb: to init win-in[2]---end\n";

// The world's delivery threads are created on first use and take the name
// of the creating thread; create them here so they never carry an engine
// thread's name.
void WarmWorldThreads() {
  tovan_init([](uint8_t *, int32_t) {});
  tovan_uninit();
}

// Names of this process's threads that belong to the engine.
std::vector<std::string> EngineThreads() {
  std::vector<std::string> names;
  DIR *d = opendir("/proc/self/task");
  if (!d) return names;
  while (dirent *ent = readdir(d)) {
    if (ent->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + ent->d_name + "/comm");
    std::string name;
    std::getline(f, name);
    if (name == "hx-mix" || name == "hx-play" || name == "hx-monitor") names.push_back(name);
  }
  closedir(d);
  return names;
}

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

hxsim_status Status() {
  hxsim_status st;
  hxsim_get_status(&st);
  return st;
}

class ShutdownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hxsim_reset();
    WarmWorldThreads();
    hxsim_clear_call_log();
    hxsim_set_manual(1);
    log_.reset(new LogCapture);
  }
  void TearDown() override {
    if (e_) {
      e_->DeInit();
      delete e_;
    }
    std::string text = log_->Text();
    log_.reset();
    hxsim_set_manual(1);
    if (HasFailure()) {
      std::string tail = text.size() > 20000 ? text.substr(text.size() - 20000) : text;
      fprintf(stderr, "---- module log (tail) ----\n%s\n", tail.c_str());
    }
  }
  void Create() {
    e_ = new Hx_AEC_Impl;
    e_->SetDownComCallBackPtr((void *)&FakeHost::Capture, &host_, (void *)&FakeHost::Play,
                              &host_);
  }

  std::unique_ptr<LogCapture> log_;
  FakeHost host_;
  Hx_AEC_Impl *e_ = nullptr;
};

TEST_F(ShutdownTest, StopDuringAReinitialisationReleasesTheVoicePathLast) {
  Create();
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    hxsim_clear_call_log();
    log_->Clear();
    e_->Init();
    ASSERT_TRUE(log_->WaitFor(kA1));
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
  ASSERT_TRUE(log_->WaitFor(kA1));
  hxsim_clear_call_log();
  std::thread stopper;
  auto t0 = std::chrono::steady_clock::now();
  {
    // The monitor's next re-initialisation blocks in its system-audio step,
    // holding the voice-path lock, for longer than the stop waits for it.
    hx::Lock hold(e_->m_tovanLock);
    hxsim_set_brisa_switch_to_wave(1);
    e_->m_monitorWake.Set();
    ASSERT_TRUE(log_->WaitFor(P + "ready to re-init audio system", 2));
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
  ASSERT_TRUE(log_->WaitFor(kA1, 3));
  e_->DeInit();
  EXPECT_TRUE(EngineThreads().empty());
}

TEST_F(ShutdownTest, PlayThreadStuckInTheHostNeverReachesTheReleasedLibrary) {
  hxsim_set_endpoints(0, 0);  // timer mode: the host is pulled every 10 ms
  Create();
  e_->Init();
  ASSERT_TRUE(WaitUntil([] { return Status().put_play_calls > 0; }));
  host_.block_play.store(true);
  ASSERT_TRUE(WaitUntil([&] { return host_.play_blocked.load(); }));
  auto t0 = std::chrono::steady_clock::now();
  e_->DeInit();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
  EXPECT_EQ(0, hxsim_brisa_loaded());
  EXPECT_EQ(0, log_->Count("exit win7_PlayProc thread"));
  int64_t put_calls = Status().put_play_calls;
  host_.block_play.store(false);
  ASSERT_TRUE(log_->WaitFor(P + "exit win7_PlayProc thread !!!!\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(put_calls, Status().put_play_calls);
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
    ASSERT_TRUE(log_->WaitFor(kB2, round + 1));
    int64_t mic0 = Status().mic_blocks;
    ASSERT_TRUE(WaitUntil([&] { return Status().mic_blocks >= mic0 + 5; }));
    e_->DeInit();
    // The plain capture and the system audio go on after a stop; their
    // blocks meet freed processors and a closed ring without harm.
    int64_t mic1 = Status().mic_blocks, sys1 = Status().sys_blocks;
    EXPECT_TRUE(WaitUntil([&] {
      return Status().mic_blocks >= mic1 + 3 && Status().sys_blocks >= sys1 + 3;
    }));
  }
  // Destroyed while running, without a stop.
  e_->Init();
  ASSERT_TRUE(log_->WaitFor(kB2, 5));
  ASSERT_TRUE(WaitUntil([&] { return Status().mic_blocks > 10; }));
  delete e_;
  e_ = nullptr;
  hxsim_status st = Status();
  EXPECT_EQ(0, st.mirel_running);
  EXPECT_EQ(0, st.tovan_running);
  EXPECT_EQ(0, st.brisa_initialised);
  EXPECT_EQ(0, hxsim_brisa_loaded());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(st.mic_blocks, Status().mic_blocks);
  EXPECT_EQ(st.sys_blocks, Status().sys_blocks);
  EXPECT_TRUE(EngineThreads().empty());
  EXPECT_EQ(1, log_->Count(P + "exit ......~Hx_AEC_Impl\n"));
}

// The whole module, loaded and unloaded by a host that never stops it.
int UnloadWithoutStop() {
  hxsim_reset();
  WarmWorldThreads();
  hxsim_set_manual(0);
  hxsim_set_endpoints(1, 1);
  LogCapture log;
  void *h = dlopen(HX_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!h) return 10;
#define EXPORT(name) reinterpret_cast<decltype(&::name)>(dlsym(h, #name))
  auto init = EXPORT(Hx_Aec_Init);
  auto set_cb = EXPORT(Hx_Aec_SetDownComCallBackPtr);
  auto set_mic = EXPORT(Hx_Aec_SetMicroCapture);
  auto set_sys = EXPORT(Hx_Aec_SetSysCapture);
  auto set_aec = EXPORT(Hx_Aec_SetAecMode);
#undef EXPORT
  if (!init || !set_cb || !set_mic || !set_sys || !set_aec) return 11;
  static FakeHost host;
  set_cb((void *)&FakeHost::Capture, &host, (void *)&FakeHost::Play, &host);
  set_mic(1);
  set_aec(1);
  init();
  set_sys(1);
  if (!log.WaitFor(kA1)) return 12;
  if (!WaitUntil([] { return Status().mic_blocks > 10 && Status().play_requests > 10; }))
    return 13;
  dlclose(h);
  if (log.Count(P + "exit ......~Hx_AEC_Impl\n") != 1) return 14;  // really unloaded
  hxsim_status st = Status();
  if (st.brisa_started || st.brisa_initialised || st.mirel_running || st.tovan_running) return 15;
  if (hxsim_brisa_loaded()) return 16;
  if (!EngineThreads().empty()) return 17;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  hxsim_status later = Status();
  if (later.mic_blocks != st.mic_blocks || later.sys_blocks != st.sys_blocks ||
      later.play_requests != st.play_requests)
    return 18;
  return 0;
}

TEST(ShutdownDeathTest, UnloadWithoutStopLeavesNothingRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int rc = UnloadWithoutStop();
        fprintf(stderr, "unload result %d\n", rc);
        fflush(stderr);
        _exit(rc);
      },
      ::testing::ExitedWithCode(0), "unload result 0");
}

}  // namespace
