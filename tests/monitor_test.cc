// Back-end selection by the real monitor thread against the simulated
// devices, in manual mode (no capture data flows).
#include "support/backend_harness.h"

namespace {

typedef std::vector<std::string> Calls;
const std::string kReady = kTag + "ready to re-init audio system #######################:",
                  kState = kTag + "m_is_win7_aec_working=", kD = kTag + std::string(31, 'D') + "d[",
                  kD0 = kD + "0]: has mic, ready to restart tovan", kD1 = kD + "1]: has mic, ready to restart tovan";
const Calls kVoice = {"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)", "BrisaApi_Start(1)",
                      "BrisaApi_AddPlayChannel(0)"};
Calls Then(Calls a, const Calls &b) { return a.insert(a.end(), b.begin(), b.end()), a; }

class MonitorTest : public EngineTest {
 protected:
  int Count(const std::string &line) { return log_->Count(line + "\n"); }
  // Runs a whole pass that began after the call: the first state line seen may
  // be a pass already under way, the second begins a pass that sees the
  // current picture, and the third shows that pass has ended.
  void Pass() {
    int n = log_->Count(kState);
    for (int i = 1; i <= 3; ++i) { Kick(); ASSERT_TRUE(log_->WaitFor(kState, n + i)); }
  }
};

// The first pass selects at once. Then the monitor's own 2 s period, nothing
// woken by the test: its state lines are counted over a 10 s window. Lines
// counted at the end but not at the start appeared between the two reads, and
// a pass sleeps 2000 ms after its work, so at most (window / 2 s) + 1 of them
// fit, however late the reads run on a loaded machine; at least 3 show the
// passes come on their own. An unchanged picture changes nothing; a restart
// request runs the same row again, once.
TEST_F(MonitorTest, FirstPassSelectsAtOnceThenEveryTwoSecondsOnlyChangesOrRequestsRestart) {
  auto t0 = std::chrono::steady_clock::now();
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
  EXPECT_TRUE(InOrder(log_->Text(), {kState + "0;  g_is_brisa_switch_to_wave=0; EP:: cap=1; "
                                               "render=1;  is_capturing=0; epcnt: cap=1;render=1",
                                      kReady + "is_need_restart_tovan=0", kA0, kA1}));
  EXPECT_EQ(kVoice, CallLog());

  const auto start = std::chrono::steady_clock::now();
  const int before = log_->Count(kState);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const int passes = log_->Count(kState) - before;
  const auto window_ms = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
  EXPECT_GE(passes, 3);
  EXPECT_LE(passes, window_ms / 2000 + 1) << "in " << window_ms << " ms";
  EXPECT_EQ(1, log_->Count(kReady));  // unchanged picture: no re-initialisation

  hxsim_clear_call_log(), hxsim_set_brisa_switch_to_wave(1);
  Pass();
  EXPECT_EQ(0, hxsim_get_brisa_switch_to_wave());
  EXPECT_EQ(1, log_->Count("g_is_brisa_switch_to_wave=1; EP:: cap=1; render=1"));
  EXPECT_EQ(kVoice, CallLog());
  EXPECT_EQ(2, Count(kA1));
}

TEST_F(MonitorTest, EachPictureRestartsItsRowAndSystemAudioWhenAllowed) {
  hxsim_set_endpoints(0, 0);  // nothing at start: nothing selected
  Start();
  Pass();
  EXPECT_TRUE(Count(kTag + ":: Have 0 render endpoint ") >= 3 && Count(kTag + ":: Have 0 capture endpoint ") >= 3);
  EXPECT_TRUE(CallLog().empty());
  EXPECT_EQ(0, log_->Count(kReady) + log_->Count(kN) + log_->Count(kA) + log_->Count(kB) + log_->Count(kC));
  // sys: SetSysCapture before the change (-1 none); restart: the flag its line shows;
  // fail: the voice path ('v') or the plain capture ('p') fails to start.
  struct Step { int sys, render, capture, restart; char fail; Calls lines, calls; int sys_after, working; };
  const Calls kTovan = {"tovan_uninit()", "tovan_init()"};
  const Calls kPlain = {"tovan_uninit()", "BrisaApi_Uninit()", "fnMirelDll_UnInit()", "fnMirelDll_Init(16000,1)"};
  const Step steps[] = {
      {-1, 1, 1, 0, 0, {kA0, kA1}, kVoice, 0, 1},
      // A second microphone while system audio is wanted: Tovan restarts.
      {1, 1, 2, 1, 0, {kD1, kA0, kA1}, Then(kTovan, kVoice), 1, 1},
      {0, 1, 3, 0, 0, {kA0, kA1}, kVoice, 0, 1},
      // A render count change leaves a running Tovan alone.
      {1, 2, 3, 0, 0, {kA0, kA1}, kVoice, 1, 1},
      // Speaker only: Tovan not allowed, so stopped; playback-only voice path.
      {-1, 1, 0, 1, 0, {kC0, kC1, kC2}, {"tovan_uninit()", "BrisaApi_Uninit()", "fnMirelDll_UnInit()",
       "BrisaApi_Init(0)", "BrisaApi_Start(0)", "BrisaApi_AddPlayChannel(0)"}, 0, 1},
      {-1, 0, 0, 0, 0, {kN0, kN1, kN2}, {"tovan_uninit()", "fnMirelDll_UnInit()", "BrisaApi_Uninit()"}, 0, 0},
      // Microphone only, Windows 10: plain capture, Tovan not allowed.
      {-1, 0, 1, 1, 0, {kB0, kTag + "fnMirelDll_Init: ret=1", kB1, kB2}, kPlain, 0, 0},
      // Wanted, allowed, not running: Tovan starts. Failed starts: undone, not retried.
      {-1, 1, 1, 0, 'v', {kD1, kA0, kF, kA1},
       Then(kTovan, {"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)", "BrisaApi_Uninit()"}), 1, 0},
      {-1, 0, 2, 1, 'p', {kB0, kTag + "fnMirelDll_Init: ret=0", kB1, kB2}, Then(kPlain, {"fnMirelDll_UnInit()"}), 0, 0},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.lines.back());
    if (s.sys >= 0) e_->SetSysCapture(s.sys);
    hxsim_set_brisa_init_result(s.fail != 'v'), hxsim_set_mirel_init_result(s.fail != 'p');
    hxsim_clear_call_log(), log_->Clear(), hxsim_set_endpoints(s.render, s.capture);
    Pass();
    EXPECT_TRUE(InOrder(log_->Text(), Then({kReady + "is_need_restart_tovan=" + std::to_string(s.restart)}, s.lines)));
    EXPECT_EQ(s.lines[0] == kD1 ? 1 : 0, log_->Count(kD));
    EXPECT_EQ(s.calls, CallLog());
    EXPECT_EQ(s.sys_after, e_->sys_capture.load());
    EXPECT_EQ(s.working, e_->m_is_win7_aec_working.load());
  }
}

TEST_F(MonitorTest, MicrophoneAloneAllowsSystemAudioOnlyBeforeWindows8) {
  for (uint32_t major : {10u, 6u}) {
    SCOPED_TRACE(major);
    hxsim_set_os_version(major, 1, 7601), hxsim_set_endpoints(0, 0), log_->Clear();
    Start();
    hxsim_set_tovan_init_result(-1), e_->SetSysCapture(1), hxsim_set_tovan_init_result(0);  // wanted, its start failed
    ASSERT_EQ(1, Count(kTag + "failed to tovan_init................."));
    hxsim_clear_call_log(), hxsim_set_endpoints(0, 1);
    Pass();
    const bool allowed = major < 8;
    EXPECT_EQ(allowed ? 1 : 0, Count(kD0));
    EXPECT_EQ(Count(kD0), log_->Count(kD));  // never "d[1]" here
    EXPECT_EQ(allowed, e_->sys_capture.load() == 1);
    EXPECT_EQ("tovan_uninit()", CallLog().at(0));
    EXPECT_EQ(allowed ? "tovan_init()" : "BrisaApi_Uninit()", CallLog().at(1));
    Stop();
  }
}

TEST_F(MonitorTest, FailedEnumerationKeepsThePreviousPicture) {
  Start();
  ASSERT_TRUE(log_->WaitFor(kA1 + "\n"));
  hxsim_clear_call_log();
  const std::string kErr = kTag + "Unable to ", kCode = ": 80004005";
  struct { int32_t step, render, capture; std::string line; } cases[] = {
      {HXSIM_FAIL_CREATE_ENUMERATOR, 0, 1, "instantiate device enumerator"},
      {HXSIM_FAIL_ENUM_CAPTURE, 1, 4, "retrieve device collection"},  // render still counted
      {HXSIM_FAIL_COUNT_CAPTURE, 1, 4, "get device collection length"},
      {HXSIM_FAIL_COUNT_RENDER, 0, 0, "get device collection length"}};
  for (const auto &c : cases) {
    const int n = Count(kErr + c.line + kCode);
    hxsim_fail_device_api(c.step, (int32_t)0x80004005u), hxsim_set_endpoints(c.render, c.capture);
    Pass();
    EXPECT_GE(Count(kErr + c.line + kCode), n + 2) << c.line;
  }
  EXPECT_GE(log_->Count("EP:: cap=1; render=1;  is_capturing=1; epcnt: cap=1;render=1\n"), 8);
  EXPECT_EQ(1, log_->Count(kReady));
  EXPECT_TRUE(CallLog().empty());

  hxsim_fail_device_api(HXSIM_FAIL_NONE, 0), hxsim_set_endpoints(1, 4);  // recovered: the new picture is taken
  Pass();
  EXPECT_EQ(2, Count(kA1));
  Stop();
  EXPECT_EQ(0, hxsim_device_objects_alive() + hxsim_device_bad_releases());
}

}  // namespace
