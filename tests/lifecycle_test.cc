// Module load/unload, engine start/stop sequences, setters and exports.
#include <string>
#include <vector>

#include "engine/hx_aec_impl.h"
#include "gtest/gtest.h"
#include "hxsim.h"
#include "support/log_capture.h"
#include "rig/shell.h"

namespace {

const std::string kTag = "audio_HXAec::===> ", kF = kTag + "FFFFFFFFFFFFFFFFFFFFFFFFFFFFF:: ";

// The probe program's output for `scenario` on the module, on the simulated world: its stand-ins
// come first in the library path, ahead of the back-ends beside the module. A probe that does
// not exit 0 within 120 s (a hang is killed) fails the test.
std::string Probe(const std::string &scenario, const std::string &path = HX_SIM_LIB_DIR) {
  int status;
  std::string out = ShellOutlivingSanitizerMapFailure(
      "timeout -s KILL 120 env LD_LIBRARY_PATH=" + path + " " HX_PROBE_PATH " " HX_MODULE_PATH " " + scenario, &status);
  EXPECT_EQ(status, 0) << scenario << "\n" << out;
  return out;
}

TEST(ModuleProcess, InitDeInitUnloadLogsEverySequenceAndLeavesNoThread) {
  const std::string out = Probe("init-deinit"), uninit = kTag + "enter g_win7_aec_uninit [";
  EXPECT_TRUE(InOrder(out, {"-------CHx_Aec_ModApp::InitInstance---------", "-------Hx_Aec_Init begin---------",
                            kTag + " The os version: major=10; minor=0", kTag + "recp_ret=0", kF + "DeInit[0]",
                            kTag + "exit win7_PlayProc thread !!!!", kF + "DeInit[0---1]", uninit + "0]",
                            uninit + "1]", uninit + "2]", kTag + "leave g_win7_aec_uninit ", kF + "DeInit[0---2]",
                            kTag + "exit MicProc thread ..............[1]", kF + "DeInit[1]", kF + "DeInit[2]",
                            kF + "DeInit[3]", kF + "DeInit[4]", kTag + "exit ......~Hx_AEC_Impl"}));
  // Each worker logs its priority request once: 1 granted, 0 refused.
  for (std::string t : {"DoRenderThread", "g_win7_MoniterProc"}) {
    const std::string line = "\n" + t + ":: SetThreadPriority ret=";
    EXPECT_EQ(CountOf("\n" + out, line + "1\n") + CountOf("\n" + out, line + "0\n"), 1) << out;
  }
  EXPECT_NE(out.find(" after=0\n"), std::string::npos) << out;  // the world keeps its own threads
}

TEST(ModuleProcess, UnloadOrExitWithoutDeInitStopsEveryThreadFirstOrKeepsAStalledEngineMapped) {
  const std::string out = Probe("no-deinit");
  EXPECT_EQ(out.find(" before=0 "), std::string::npos) << out;  // threads ran up to the unload
  EXPECT_NE(out.find(" after=0\n"), std::string::npos) << out;
  EXPECT_TRUE(InOrder(out, {kF + "DeInit[0]", kTag + "leave g_win7_aec_uninit ", kF + "DeInit[4]",
                            kTag + "exit ......~Hx_AEC_Impl"}));
  // A play callback that never returns at exit: the unload waits for it within
  // its bounds, leaves the engine in memory and the process ends.
  EXPECT_TRUE(InOrder(Probe("exit-stalled-callback"),
                      {"PROBE exiting with the engine started", kF + "DeInit[4]",
                       kTag + "a worker is still in a host callback: engine left in memory"}));
  // A stop that left a worker in the host: the unload keeps the code mapped.
  const std::string stalled = Probe("deinit-stalled-unload");
  EXPECT_TRUE(InOrder(stalled, {kTag + "1 worker(s) still in a host callback; library kept loaded"}));
  EXPECT_NE(stalled.find(" survived the callback's return, threads=0\n"), std::string::npos) << stalled;
  const long deinit_ms = Figure(stalled, "deinit_ms");
  EXPECT_TRUE(deinit_ms >= 0 && deinit_ms < 3000) << deinit_ms;
}

TEST(ModuleProcess, LibraryEarlierInLibraryPathReplacesTheProjectsOwnAndExportsAreExact) {
  EXPECT_TRUE(InOrder(Probe("init-deinit", HX_REPLACEMENT_DIR ":" HX_SIM_LIB_DIR),
                      {kTag + " The os version: major=7; minor=9"}));
  int status;
  // Exactly the eight functions are exported (the library path: package_test).
  EXPECT_EQ(Shell("nm -D --defined-only " HX_MODULE_PATH " | sed 's/.* //' | LC_ALL=C sort", &status),
            "HX_Aec_SetOnlineCapSys\nHx_Aec_DeInit\nHx_Aec_GetUpComCallBackPtr\nHx_Aec_Init\nHx_Aec_SetAecMode\n"
            "Hx_Aec_SetDownComCallBackPtr\nHx_Aec_SetMicroCapture\nHx_Aec_SetSysCapture\n");
}

TEST(EngineLifecycle, DoubleInitAndEarlyDeInitOnlyLogAndRestartKeepsTheFlags) {
  hxsim_reset(), hxsim_set_manual(1);
  LogCapture log;
  Hx_AEC_Impl engine;
  EXPECT_EQ(engine.DeInit(), 0);
  EXPECT_EQ(log.Text(), kF + "DeInit[0]\n" + kTag + "!!!!!!!!!!!Hx_AEC_Impl isn't in run status ......\n");
  engine.SetAecMode(7), engine.SetMicroCapture(1), engine.SetOnlineSysCapture(3);
  EXPECT_TRUE(InOrder(log.Text(), {kTag + "SetAecMode=7", kTag + "SetMicroCapture=1", kTag + "SetOnlineSysCapture=3"}));
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(engine.Init(), 0);
    log.Clear();
    EXPECT_EQ(engine.Init(), 0);  // running already: one line, no restart
    EXPECT_EQ(log.Count(kTag + "!!!!!!!!!!!Hx_AEC_Impl Init has been status ......\n"), 1);
    EXPECT_EQ(log.Count("recp_ret"), 0) << log.Text();
    EXPECT_EQ((std::vector<int>{engine.aec_mode, engine.micro_capture, engine.online_sys_capture}), (std::vector<int>{7, 1, 3}));
    ASSERT_EQ(engine.DeInit(), 0);
    EXPECT_TRUE(!engine.m_micProcTid && !engine.m_running && !engine.m_workersRun);
  }
}

TEST(EngineLifecycle, SysCaptureStartsAndStopsTheSystemAudioLibrary) {
  hxsim_reset(), hxsim_set_manual(1);
  Hx_AEC_Impl engine;
  LogCapture log;
  auto calls = [] { char c[256]; return hxsim_call_log(c, sizeof c), hxsim_clear_call_log(), std::string(c); };
  engine.SetSysCapture(1), engine.SetSysCapture(1), engine.SetSysCapture(0);
  engine.SetSysCapture(0);  // stopped already: still calls the library's stop
  EXPECT_EQ(log.Count(kTag + "SetSysCapture=1; ignore to tovan_init more time.......\n"), 1);
  EXPECT_EQ(calls(), "tovan_init()\ntovan_uninit()\ntovan_uninit()\n");
  hxsim_set_tovan_init_result(-1);
  log.Clear(), engine.SetSysCapture(1);
  EXPECT_TRUE(InOrder(log.Text(), {kTag + "SetSysCapture=1", kTag + "failed to tovan_init................."}));
  EXPECT_EQ((std::vector<int>{engine.sys_capture, engine.need_tovan}), (std::vector<int>{0, 1}));
  EXPECT_EQ(calls(), "tovan_init()\ntovan_uninit()\n");
}

}  // namespace
