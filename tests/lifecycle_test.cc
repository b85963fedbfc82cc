// Module load/unload, engine start/stop sequences, setters, exports and the
// fatal assertion.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/hx_aec_impl.h"
#include "engine/log.h"
#include "gtest/gtest.h"
#include "hxsim.h"
#include "support/backend_harness.h"
#include "support/log_capture.h"

namespace {

const char kF[] = "audio_HXAec::===> FFFFFFFFFFFFFFFFFFFFFFFFFFFFF:: ";

struct ProcessResult {
  int status = -1;
  std::string out;
};

// Runs a command with an optional extra environment entry; collects stdout.
ProcessResult RunCommand(const std::string &cmd) {
  ProcessResult r;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  r.status = pclose(p);
  return r;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  return lines;
}

// Each expected line appears, in this order, among `lines` (other lines may
// come between them).
::testing::AssertionResult InOrder(const std::vector<std::string> &lines,
                                   const std::vector<std::string> &expected) {
  size_t at = 0;
  for (const std::string &want : expected) {
    while (at < lines.size() && lines[at] != want) ++at;
    if (at == lines.size()) return ::testing::AssertionFailure() << "missing or out of order: " << want;
    ++at;
  }
  return ::testing::AssertionSuccess();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer runtimes intercept dlopen, which then misses the module's RUNPATH.
const std::string kLibPath = std::string("LD_LIBRARY_PATH=") + HX_LIB_DIR;
#else
// Without the library path the module must find its siblings by RUNPATH.
const std::string kLibPath = "env -u LD_LIBRARY_PATH";
#endif

std::string Probe(const char *scenario, const std::string &env = kLibPath) {
  return env + " " + HX_PROBE_PATH + " " + HX_MODULE_PATH + " " + scenario + " 2>&1";
}

TEST(ModuleProcess, InitThenDeInitThenUnloadLogsEverySequenceAndLeavesNoThread) {
  ProcessResult r = RunCommand(Probe("init-deinit"));
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> lines = SplitLines(r.out);
  EXPECT_TRUE(InOrder(lines, {
      "-------CHx_Aec_ModApp::InitInstance---------",
      "-------Hx_Aec_Init begin---------",
      "audio_HXAec::===>  The os version: major=10; minor=0",
      "audio_HXAec::===> recp_ret=0",
      std::string(kF) + "DeInit[0]",
      "audio_HXAec::===> exit win7_PlayProc thread !!!!",
      std::string(kF) + "DeInit[0---1]",
      "audio_HXAec::===> enter g_win7_aec_uninit [0]",
      "audio_HXAec::===> enter g_win7_aec_uninit [1]",
      "audio_HXAec::===> enter g_win7_aec_uninit [2]",
      "audio_HXAec::===> leave g_win7_aec_uninit ",
      std::string(kF) + "DeInit[0---2]",
      "audio_HXAec::===> exit MicProc thread ..............[1]",
      std::string(kF) + "DeInit[1]",
      std::string(kF) + "DeInit[2]",
      std::string(kF) + "DeInit[3]",
      std::string(kF) + "DeInit[4]",
      "audio_HXAec::===> exit ......~Hx_AEC_Impl",
  })) << r.out;
  // Each worker logs its priority request once: 1 granted, 0 refused.
  for (const char *thread : {"DoRenderThread", "g_win7_MoniterProc"}) {
    std::string line = std::string(thread) + ":: SetThreadPriority ret=";
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), line + "1") +
                     std::count(lines.begin(), lines.end(), line + "0"))
        << r.out;
  }
  // No thread of the module is left (the simulated devices keep their own).
  EXPECT_NE(r.out.find("module=0\n"), std::string::npos) << r.out;
}

TEST(ModuleProcess, UnloadWithoutDeInitStopsEveryThreadFirst) {
  ProcessResult r = RunCommand(Probe("no-deinit"));
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> lines = SplitLines(r.out);
  EXPECT_NE(r.out.find("PROBE module threads running before unload"), std::string::npos);
  // The destructor runs the whole stop before it ends the mix thread.
  EXPECT_TRUE(InOrder(lines, {std::string(kF) + "DeInit[0]",
                              "audio_HXAec::===> leave g_win7_aec_uninit ",
                              std::string(kF) + "DeInit[4]",
                              "audio_HXAec::===> exit ......~Hx_AEC_Impl"}))
      << r.out;
  EXPECT_NE(r.out.find("module=0\n"), std::string::npos) << r.out;
}

TEST(ModuleProcess, LibraryEarlierInLibraryPathReplacesTheProjectsOwn) {
  ProcessResult r =
      RunCommand(Probe("init-deinit", std::string("LD_LIBRARY_PATH=") + HX_REPLACEMENT_DIR + ":" +
                                          HX_LIB_DIR));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("audio_HXAec::===>  The os version: major=7; minor=9\n"),
            std::string::npos)
      << r.out;
}

TEST(ModuleProcess, ExportsExactlyTheEightFunctions) {
  ProcessResult r = RunCommand(std::string("nm -D --defined-only ") + HX_MODULE_PATH);
  ASSERT_EQ(r.status, 0);
  std::vector<std::string> names;
  for (const std::string &line : SplitLines(r.out)) {
    size_t sp = line.rfind(' ');
    names.push_back(line.substr(sp + 1));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{
                       "HX_Aec_SetOnlineCapSys", "Hx_Aec_DeInit", "Hx_Aec_GetUpComCallBackPtr",
                       "Hx_Aec_Init", "Hx_Aec_SetAecMode", "Hx_Aec_SetDownComCallBackPtr",
                       "Hx_Aec_SetMicroCapture", "Hx_Aec_SetSysCapture"}));
  ProcessResult d = RunCommand(std::string("readelf -d ") + HX_MODULE_PATH);
  EXPECT_NE(d.out.find("(RUNPATH)"), std::string::npos);
  EXPECT_EQ(d.out.find("(RPATH)"), std::string::npos);
}

TEST(ModuleExports, CallbackExchangeAndSettersWorkBeforeInit) {
  LogCapture log;
  ModuleApi m;
  ASSERT_TRUE(m.Load(HX_MODULE_PATH)) << dlerror();
  void *v[4] = {}, *w[4] = {};
  ASSERT_EQ(m.GetUpComCallBackPtr(&v[0], &v[1], &v[2], &v[3]), 0);
  ASSERT_EQ(m.GetUpComCallBackPtr(&w[0], &w[1], &w[2], &w[3]), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(v[i], w[i]);
  EXPECT_EQ(v[1], v[3]);
  EXPECT_NE(v[0], v[2]);
  // A null context is refused by both entry points before anything else.
  EXPECT_EQ(reinterpret_cast<UpComPushMicDataFn>(v[0])(nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0),
            -1);
  EXPECT_EQ(reinterpret_cast<UpComPullPlayDataFn>(v[2])(nullptr, 480, 0, 2, 48000, nullptr,
                                                        nullptr),
            -1);
  EXPECT_EQ(m.SetDownComCallBackPtr(nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(m.SetAecMode(2), 0);
  EXPECT_EQ(m.SetMicroCapture(1), 0);
  EXPECT_EQ(m.SetOnlineCapSys(0), 0);
  EXPECT_EQ(m.DeInit(), 0);
  m.Unload();
  EXPECT_TRUE(InOrder(log.Lines(), {"-------CHx_Aec_ModApp::InitInstance---------",
                                    "audio_HXAec::===> SetAecMode=2",
                                    "audio_HXAec::===> SetMicroCapture=1",
                                    "audio_HXAec::===> SetOnlineSysCapture=0",
                                    std::string(kF) + "DeInit[0]",
                                    "audio_HXAec::===> !!!!!!!!!!!Hx_AEC_Impl isn't in run status ......",
                                    "audio_HXAec::===> exit ......~Hx_AEC_Impl"}))
      << log.Text();
}

class EngineLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    hxsim_reset();
    hxsim_set_manual(1);
  }
};

TEST_F(EngineLifecycle, SecondInitOnlyLogsAndDeInitBeforeInitOnlyLogs) {
  LogCapture log;
  Hx_AEC_Impl engine;
  EXPECT_EQ(engine.DeInit(), 0);
  EXPECT_TRUE(InOrder(log.Lines(),
                      {std::string(kF) + "DeInit[0]",
                       "audio_HXAec::===> !!!!!!!!!!!Hx_AEC_Impl isn't in run status ......"}));
  EXPECT_EQ(engine.Init(), 0);
  hx::Thread *mix = engine.m_micProcTid, *play = engine.m_playProcTid,
             *monitor = engine.m_monitorProcTid;
  ASSERT_NE(mix, nullptr);
  ASSERT_NE(play, nullptr);
  ASSERT_NE(monitor, nullptr);
  log.Clear();
  EXPECT_EQ(engine.Init(), 0);
  EXPECT_EQ(log.Count("audio_HXAec::===> !!!!!!!!!!!Hx_AEC_Impl Init has been status ......\n"), 1);
  EXPECT_EQ(log.Count("recp_ret"), 0);
  EXPECT_EQ(engine.m_micProcTid, mix);
  EXPECT_EQ(engine.m_playProcTid, play);
  EXPECT_EQ(engine.m_monitorProcTid, monitor);
  EXPECT_EQ(engine.DeInit(), 0);
  EXPECT_EQ(engine.m_micProcTid, nullptr);
  EXPECT_EQ(engine.m_running.load(), 0);
  EXPECT_EQ(engine.m_workersRun.load(), 0);
}

TEST_F(EngineLifecycle, RestartKeepsFlagsAndReopensTheRing) {
  Hx_AEC_Impl engine;
  LogCapture log;
  engine.SetAecMode(7);
  engine.SetMicroCapture(1);
  engine.SetOnlineSysCapture(3);
  EXPECT_TRUE(InOrder(log.Lines(), {"audio_HXAec::===> SetAecMode=7",
                                    "audio_HXAec::===> SetMicroCapture=1",
                                    "audio_HXAec::===> SetOnlineSysCapture=3"}));
  EXPECT_EQ(engine.m_captureRing.size, 0u);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(engine.Init(), 0);
    EXPECT_EQ(g_aecImplRun.load(), &engine);
    EXPECT_EQ(engine.m_captureRing.size, 9600u);
    EXPECT_STREQ(engine.m_captureRing.tag, "capture");
    EXPECT_TRUE(engine.m_resample_16to48.HasBuffer());
    EXPECT_EQ(engine.aec_mode.load(), 7);
    EXPECT_EQ(engine.micro_capture.load(), 1);
    EXPECT_EQ(engine.online_sys_capture.load(), 3);
    ASSERT_EQ(engine.DeInit(), 0);
    EXPECT_EQ(engine.m_captureRing.size, 0u);
    EXPECT_EQ(engine.m_captureRing.buf, nullptr);
    EXPECT_FALSE(engine.m_resample_16to48.HasBuffer());
  }
  EXPECT_EQ(log.Count("audio_HXAec::===> recp_ret=0\n"), 2);
  EXPECT_EQ(log.Count(std::string(kF) + "DeInit[4]\n"), 2);
}

TEST_F(EngineLifecycle, SysCaptureStartsAndStopsTheSystemAudioLibrary) {
  Hx_AEC_Impl engine;
  LogCapture log;
  hxsim_clear_call_log();
  engine.SetSysCapture(1);
  engine.SetSysCapture(1);
  EXPECT_EQ(engine.sys_capture.load(), 1);
  EXPECT_EQ(log.Count("audio_HXAec::===> SetSysCapture=1; ignore to tovan_init more time.......\n"),
            1);
  engine.SetSysCapture(0);
  engine.SetSysCapture(0);  // stopped already: still calls the library's stop
  EXPECT_EQ(engine.sys_capture.load(), 0);
  EXPECT_EQ(engine.need_tovan.load(), 0);
  char calls[4096];
  hxsim_call_log(calls, sizeof calls);
  EXPECT_EQ(std::string(calls), "tovan_init()\ntovan_uninit()\ntovan_uninit()\n");

  hxsim_clear_call_log();
  hxsim_set_tovan_init_result(-1);
  log.Clear();
  engine.SetSysCapture(1);
  EXPECT_EQ(engine.sys_capture.load(), 0);
  EXPECT_EQ(engine.need_tovan.load(), 1);
  EXPECT_TRUE(InOrder(log.Lines(), {"audio_HXAec::===> SetSysCapture=1",
                                    "audio_HXAec::===> failed to tovan_init................."}));
  hxsim_call_log(calls, sizeof calls);
  EXPECT_EQ(std::string(calls), "tovan_init()\ntovan_uninit()\n");
}

TEST(Diagnostics, PeriodicCounterWritesFirstThenEveryNth) {
  int32_t counter = 0;
  std::vector<int> written;
  for (int occurrence = 1; occurrence <= 35; ++occurrence)
    if (log_every(counter, 10)) written.push_back(occurrence);
  EXPECT_EQ(written, (std::vector<int>{1, 11, 21, 31}));
}

TEST(Diagnostics, LogLineIsWrittenExactlyAsFormatted) {
  LogCapture log;
  log_printf("audio_HXAec::===> recp_ret=%d\n", -1);
  log_printf("no line end");
  EXPECT_EQ(log.Text(), "audio_HXAec::===> recp_ret=-1\nno line end");
}

TEST(DiagnosticsDeathTest, FailedAssertionWritesItsLineAndAborts) {
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the line goes to standard output
        kzr_assert_at(1 + 1 == 3, 184);
      },
      ::testing::KilledBySignal(SIGABRT),
      "\n\n####: kzr_assert fail: file=lifecycle_test\\.cc; line=184\n\n");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        kzr_assert(false);
      },
      ::testing::KilledBySignal(SIGABRT), "kzr_assert fail: file=lifecycle_test\\.cc; line=[0-9]+");
}

}  // namespace
