// Back-end selection through the real monitor and play threads against the
// simulated devices. The world runs in manual mode, so no capture data
// flows; the monitor's 2 s sleep is cut short through m_monitorWake.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/hx_aec_impl.h"
#include "support/backend_harness.h"

namespace {

const std::string kReady = kTag + "ready to re-init audio system #######################:";
const std::string kD1 =
    kTag + "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDd[1]: has mic, ready to restart tovan";
const std::string kD0 =
    kTag + "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDd[0]: has mic, ready to restart tovan";
const std::string kState = kTag + "m_is_win7_aec_working=";

typedef std::vector<std::string> Calls;

class MonitorTest : public EngineTest {
 protected:
  // Waits until `line` has been logged `times` times in all.
  bool Await(const std::string &line, int times = 1, int ms = 10000) {
    return log_->WaitFor(line + "\n", times, ms);
  }
  int Count(const std::string &line) { return log_->Count(line + "\n"); }
  // Index of the first log line equal to `line` at or after `from`.
  int Line(const std::string &line, int from = 0) { return IndexOf(log_->Lines(), line, from); }
};

TEST_F(MonitorTest, MicAndSpeakerAtStartSelectVoicePathAtOnce) {
  auto t0 = std::chrono::steady_clock::now();
  Start();
  ASSERT_TRUE(Await(kA1));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t0)
                .count();
  // The first pass does not sleep first: well before the 2 s interval.
  EXPECT_LT(ms, 1900);

  std::vector<std::string> lines = log_->Lines();
  int state = IndexOf(lines, kTag + "m_is_win7_aec_working=0;  g_is_brisa_switch_to_wave=0; EP:: "
                                 "cap=1; render=1;  is_capturing=0; epcnt: cap=1;render=1");
  int ready = IndexOf(lines, kReady + "is_need_restart_tovan=0");
  int a0 = IndexOf(lines, kA0), a1 = IndexOf(lines, kA1);
  ASSERT_GE(state, 0);
  EXPECT_LT(state, ready);
  EXPECT_LT(ready, a0);
  EXPECT_LT(a0, a1);
  EXPECT_EQ(1, log_->Count(kState));  // the re-initialisation came in the first pass
  EXPECT_GE(log_->Count(kTag + ":: Have 1 render endpoint \n"), 2);
  EXPECT_GE(log_->Count(kTag + ":: Have 1 capture endpoint \n"), 2);

  EXPECT_EQ((Calls{"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)",
                   "BrisaApi_Start(1)", "BrisaApi_AddPlayChannel(0)"}),
            CallLog());
  EXPECT_EQ(1, e_->m_is_win7_aec_working.load());
  hxsim_status st = SimStatus();
  EXPECT_EQ(1, st.brisa_initialised);
  EXPECT_EQ(1, st.brisa_started);
  EXPECT_EQ(1, st.brisa_play_channel);

  // Unchanged picture: the next pass only reports.
  Kick();
  ASSERT_TRUE(Await(kTag + "m_is_win7_aec_working=1;  g_is_brisa_switch_to_wave=0; EP:: cap=1; "
                        "render=1;  is_capturing=1; epcnt: cap=1;render=1"));
  EXPECT_EQ(1, Count(kA1));
}

TEST_F(MonitorTest, SpeakerUnpluggedSwitchesToPlainCaptureAndTimerMode) {
  Start();
  ASSERT_TRUE(Await(kA1));
  hxsim_clear_call_log();
  hxsim_set_endpoints(0, 1);
  // No kick: the regular 2 s poll finds it.
  ASSERT_TRUE(Await(kB2, 1, 8000));
  int b0 = Line(kB0);
  int ret = Line(kTag + "fnMirelDll_Init: ret=1", b0);
  int b1 = Line(kB1, ret);
  int b2 = Line(kB2, b1);
  EXPECT_TRUE(b0 >= 0 && ret > b0 && b1 > ret && b2 == b1 + 1);
  EXPECT_EQ(2, Count(kReady + "is_need_restart_tovan=0"));
  // The Tovan step (no render endpoint on an OS >= 8: not allowed) runs first.
  EXPECT_EQ((Calls{"tovan_uninit()", "BrisaApi_Uninit()", "fnMirelDll_UnInit()",
                   "fnMirelDll_Init(16000,1)"}),
            CallLog());
  EXPECT_EQ(0, e_->m_is_win7_aec_working.load());
  hxsim_status st = SimStatus();
  EXPECT_EQ(1, st.mirel_running);
  EXPECT_EQ(0, st.brisa_initialised);

  // Timer mode: the host is pulled without any play request.
  int64_t c0 = host_.Cycles();
  EXPECT_TRUE(WaitUntil([&] { return host_.Cycles() >= c0 + 20; }, 5000));
}

TEST_F(MonitorTest, MicUnpluggedSelectsPlaybackOnlyAndStopsSystemAudio) {
  for (uint32_t major : {10u, 6u}) {
    SCOPED_TRACE(major);
    hxsim_set_endpoints(1, 1);
    hxsim_set_os_version(major, 1, 7601);
    log_->Clear();
    Start();
    ASSERT_TRUE(Await(kA1));
    e_->SetSysCapture(1);
    ASSERT_EQ(1, e_->sys_capture.load());
    hxsim_clear_call_log();
    hxsim_set_endpoints(1, 0);
    Kick();
    ASSERT_TRUE(Await(kC2));
    int c0 = Line(kC0), c1 = Line(kC1, c0), c2 = Line(kC2, c1);
    EXPECT_TRUE(c0 >= 0 && c1 > c0 && c2 > c1);
    EXPECT_EQ(1, Count(kReady + "is_need_restart_tovan=1"));
    EXPECT_EQ(0, Count(kD0) + Count(kD1));
    EXPECT_EQ((Calls{"tovan_uninit()", "BrisaApi_Uninit()", "fnMirelDll_UnInit()",
                     "BrisaApi_Init(0)", "BrisaApi_Start(0)", "BrisaApi_AddPlayChannel(0)"}),
              CallLog());
    EXPECT_EQ(0, e_->sys_capture.load());
    EXPECT_EQ(1, e_->need_tovan.load());
    EXPECT_EQ(1, e_->m_is_win7_aec_working.load());
    hxsim_status st = SimStatus();
    EXPECT_EQ(2, st.brisa_started);
    EXPECT_EQ(0, st.tovan_running);
    Stop();
  }
}

TEST_F(MonitorTest, SecondMicRestartsEverythingAndTovanOnlyWhenWanted) {
  Start();
  ASSERT_TRUE(Await(kA1));
  e_->SetSysCapture(1);
  hxsim_clear_call_log();
  hxsim_set_endpoints(1, 2);
  Kick();
  ASSERT_TRUE(Await(kA1, 2));
  EXPECT_EQ(1, Count(kReady + "is_need_restart_tovan=1"));
  EXPECT_EQ(1, Count(kD1));
  EXPECT_EQ((Calls{"tovan_uninit()", "tovan_init()", "fnMirelDll_UnInit()", "BrisaApi_Uninit()",
                   "BrisaApi_Init(0)", "BrisaApi_Start(1)", "BrisaApi_AddPlayChannel(0)"}),
            CallLog());
  EXPECT_EQ(1, e_->sys_capture.load());

  // The host no longer wants system audio: a third microphone leaves Tovan.
  e_->SetSysCapture(0);
  hxsim_clear_call_log();
  hxsim_set_endpoints(1, 3);
  Kick();
  ASSERT_TRUE(Await(kA1, 3));
  EXPECT_EQ(1, Count(kD1));
  EXPECT_EQ((Calls{"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)",
                   "BrisaApi_Start(1)", "BrisaApi_AddPlayChannel(0)"}),
            CallLog());
}

TEST_F(MonitorTest, RenderCountChangeRestartsMicBackendButNotRunningTovan) {
  Start();
  ASSERT_TRUE(Await(kA1));
  e_->SetSysCapture(1);
  hxsim_clear_call_log();
  hxsim_set_endpoints(2, 1);
  Kick();
  ASSERT_TRUE(Await(kA1, 2));
  EXPECT_EQ(2, Count(kReady + "is_need_restart_tovan=0"));
  EXPECT_EQ((Calls{"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)",
                   "BrisaApi_Start(1)", "BrisaApi_AddPlayChannel(0)"}),
            CallLog());

  // Wanted but not running (its start failed): the next change starts it.
  hxsim_set_tovan_init_result(-1);
  e_->SetSysCapture(0);
  e_->SetSysCapture(1);
  ASSERT_TRUE(Await(kTag + "failed to tovan_init................."));
  ASSERT_EQ(0, e_->sys_capture.load());
  hxsim_set_tovan_init_result(0);
  hxsim_clear_call_log();
  hxsim_set_endpoints(3, 1);
  Kick();
  ASSERT_TRUE(Await(kA1, 3));
  EXPECT_EQ(1, Count(kD1));
  Calls calls = CallLog();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ("tovan_uninit()", calls[0]);
  EXPECT_EQ("tovan_init()", calls[1]);
  EXPECT_EQ(1, e_->sys_capture.load());
}

TEST_F(MonitorTest, OsVersionDecidesWhetherMicAloneAllowsSystemAudio) {
  // Windows 8 or later: a microphone without speaker does not allow it.
  hxsim_set_endpoints(0, 0);
  Start();
  e_->SetSysCapture(1);
  ASSERT_EQ(1, e_->sys_capture.load());
  hxsim_clear_call_log();
  hxsim_set_endpoints(0, 1);
  Kick();
  ASSERT_TRUE(Await(kB2));
  EXPECT_EQ(0, e_->sys_capture.load());
  EXPECT_EQ(0, Count(kD0) + Count(kD1));
  EXPECT_EQ("tovan_uninit()", CallLog().at(0));
  Stop();

  // Before Windows 8 the microphone alone is enough: the same picture
  // (re)starts it.
  hxsim_set_os_version(6, 1, 7601);
  hxsim_set_endpoints(0, 0);
  Start();
  e_->SetSysCapture(0);
  hxsim_set_tovan_init_result(-1);
  e_->SetSysCapture(1);  // wanted, not running
  hxsim_set_tovan_init_result(0);
  ASSERT_EQ(0, e_->sys_capture.load());
  hxsim_clear_call_log();
  hxsim_set_endpoints(0, 1);
  Kick();
  ASSERT_TRUE(Await(kB2, 2));
  EXPECT_EQ(1, Count(kD0));
  EXPECT_EQ(1, e_->sys_capture.load());
  Calls calls = CallLog();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ("tovan_uninit()", calls[0]);
  EXPECT_EQ("tovan_init()", calls[1]);
}

TEST_F(MonitorTest, VoicePathRequestRestartsTheSameRow) {
  Start();
  ASSERT_TRUE(Await(kA1));
  hxsim_clear_call_log();
  hxsim_set_brisa_switch_to_wave(1);
  Kick();
  ASSERT_TRUE(Await(kA1, 2));
  EXPECT_EQ(0, hxsim_get_brisa_switch_to_wave());
  EXPECT_GE(log_->Count("g_is_brisa_switch_to_wave=1; EP:: cap=1; render=1"), 1);
  EXPECT_EQ((Calls{"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)",
                   "BrisaApi_Start(1)", "BrisaApi_AddPlayChannel(0)"}),
            CallLog());
  // The request is consumed: the following pass changes nothing.
  Kick();
  ASSERT_TRUE(log_->WaitFor(kTag + "m_is_win7_aec_working=1;  g_is_brisa_switch_to_wave=0; EP:: "
                                "cap=1; render=1;  is_capturing=1;"));
  EXPECT_EQ(2, Count(kA1));
}

TEST_F(MonitorTest, FailedEnumerationKeepsThePreviousPicture) {
  Start();
  ASSERT_TRUE(Await(kA1));
  hxsim_clear_call_log();
  const int32_t kFail = (int32_t)0x80004005u;

  hxsim_fail_device_api(HXSIM_FAIL_CREATE_ENUMERATOR, kFail);
  hxsim_set_endpoints(0, 1);
  Kick();
  ASSERT_TRUE(Await(kTag + "Unable to instantiate device enumerator: 80004005"));
  Kick();
  ASSERT_TRUE(Await(kTag + "Unable to instantiate device enumerator: 80004005", 2));

  // Render counted, capture enumeration fails: the capture side keeps 1.
  hxsim_fail_device_api(HXSIM_FAIL_ENUM_CAPTURE, kFail);
  hxsim_set_endpoints(1, 4);
  Kick();
  ASSERT_TRUE(Await(kTag + "Unable to retrieve device collection: 80004005"));
  hxsim_fail_device_api(HXSIM_FAIL_COUNT_CAPTURE, kFail);
  Kick();
  ASSERT_TRUE(Await(kTag + "Unable to get device collection length: 80004005"));
  hxsim_fail_device_api(HXSIM_FAIL_COUNT_RENDER, kFail);
  hxsim_set_endpoints(0, 0);
  Kick();
  ASSERT_TRUE(Await(kTag + "Unable to get device collection length: 80004005", 2));
  Kick();
  ASSERT_TRUE(Await(kTag + "Unable to get device collection length: 80004005", 3));
  EXPECT_GE(log_->Count("EP:: cap=1; render=1;  is_capturing=1; epcnt: cap=1;render=1\n"), 4);
  EXPECT_EQ(1, log_->Count(kReady));
  EXPECT_TRUE(CallLog().empty());

  // Recovered: the new picture is taken.
  hxsim_fail_device_api(HXSIM_FAIL_NONE, 0);
  hxsim_set_endpoints(1, 4);
  Kick();
  ASSERT_TRUE(Await(kA1, 2));
  Stop();
  EXPECT_EQ(0, hxsim_device_objects_alive());
  EXPECT_EQ(0, hxsim_device_bad_releases());
}

TEST_F(MonitorTest, NoEndpointAtStartSelectsNothingUntilOneAppears) {
  hxsim_set_endpoints(0, 0);
  Start();
  for (int i = 2; i <= 3; ++i) {
    Kick();
    ASSERT_TRUE(log_->WaitFor(kState, i));
  }
  EXPECT_EQ(0, log_->Count(kReady));
  EXPECT_GE(log_->Count(kTag + ":: Have 0 render endpoint \n"), 3);
  EXPECT_GE(log_->Count(kTag + ":: Have 0 capture endpoint \n"), 3);
  EXPECT_TRUE(CallLog().empty());
  EXPECT_EQ(0, Count(kN0) + Count(kA0) + Count(kB0) + Count(kC0));

  hxsim_set_endpoints(1, 0);
  Kick();
  ASSERT_TRUE(Await(kC2));
  EXPECT_EQ(1, e_->m_is_win7_aec_working.load());

  // Everything gone: the empty row.
  hxsim_clear_call_log();
  hxsim_set_endpoints(0, 0);
  Kick();
  ASSERT_TRUE(Await(kN2));
  int n0 = Line(kN0), n1 = Line(kN1, n0), n2 = Line(kN2, n1);
  EXPECT_TRUE(n0 >= 0 && n1 > n0 && n2 > n1);
  EXPECT_EQ((Calls{"tovan_uninit()", "fnMirelDll_UnInit()", "BrisaApi_Uninit()"}), CallLog());
  EXPECT_EQ(0, e_->m_is_win7_aec_working.load());
}

TEST_F(MonitorTest, FailedInitsAreNotRetried) {
  hxsim_set_brisa_init_result(0);
  Start();
  ASSERT_TRUE(Await(kA1));
  int a0 = Line(kA0), f = Line(kF, a0), a1 = Line(kA1, f);
  EXPECT_TRUE(a0 >= 0 && f > a0 && a1 > f);
  EXPECT_EQ((Calls{"fnMirelDll_UnInit()", "BrisaApi_Uninit()", "BrisaApi_Init(0)",
                   "BrisaApi_Uninit()"}),
            CallLog());
  EXPECT_EQ(0, e_->m_is_win7_aec_working.load());
  Kick();
  ASSERT_TRUE(log_->WaitFor(kState, 2));
  EXPECT_EQ(1, Count(kA0));

  hxsim_set_mirel_init_result(0);
  hxsim_clear_call_log();
  hxsim_set_endpoints(0, 1);
  Kick();
  ASSERT_TRUE(Await(kB2));
  EXPECT_EQ(1, Count(kTag + "fnMirelDll_Init: ret=0"));
  EXPECT_EQ((Calls{"tovan_uninit()", "BrisaApi_Uninit()", "fnMirelDll_UnInit()",
                   "fnMirelDll_Init(16000,1)", "fnMirelDll_UnInit()"}),
            CallLog());
  EXPECT_EQ(0, log_->Count("is_capturing=1"));
}

}  // namespace
