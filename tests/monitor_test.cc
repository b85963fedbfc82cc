// Back-end selection by the real monitor thread against the simulated
// devices, in manual mode (no capture data flows).
#include "support/backend_harness.h"

namespace {

typedef std::vector<std::string> Calls;
const std::string kReady = kTag + "ready to re-init audio system #######################:",
                  kState = kTag + "m_is_win7_aec_working=", kD = kTag + std::string(31, 'D') + "d[",
                  kD1 = kD + "1]: has mic, ready to restart tovan";
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

}  // namespace
