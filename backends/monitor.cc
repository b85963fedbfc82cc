// Monitor thread: binds the voice-path library, then every 2 s counts the
// active endpoints and, when the picture changes or the voice path asks for
// it, restarts the microphone back-end and the system-audio capture.
//
// Shutdown: every pass takes m_brisaLock and re-tests its generation before
// any back-end call. The stop clears m_workersRun before it releases the
// library under the same lock, so once the stop has begun this thread never
// calls a back-end entry, and the stop need not wait for it. A monitor of an
// earlier start that comes back late finds its generation over as well.
#include "backends/api/mirel_dll.h"
#include "backends/api/mmdevapi.h"
#include "backends/api/tovan_dll.h"
#include "backends/backends.h"
#include "backends/brisa_binding.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"

namespace {

const uint32_t kPassIntervalMs = 2000;

// Starts the voice path (with capture, or render only) and its play
// channel. Every entry is bound (a missing one is fatal at binding), and the
// caller holds m_brisaLock with the stop not begun, so the library is loaded.
// Returns true when the library initialised.
bool StartVoicePath(Hx_AEC_Impl *e, int32_t with_capture) {
  if (g_brisa.Init(0, g_win7_get_aec_callback, e) != 0) {
    e->m_is_win7_aec_working.store(1);
    g_brisa.Start(with_capture);
    g_brisa.AddPlayChannel(0, g_win7_get_play_callback);
    return true;
  }
  e->m_is_win7_aec_working.store(0);
  log_printf("audio_HXAec::===> win7 aec Init fail !!!\n");
  g_brisa.Uninit();
  return false;
}

struct MonitorState {
  uint32_t gen = 0;  // the start this thread belongs to
  uint8_t prev_capture_flag = 0;
  uint8_t prev_render_flag = 0;
  uint32_t prev_capture_count = 0;
  uint32_t prev_render_count = 0;
  uint32_t capture_count = 0;
  uint32_t render_count = 0;
  int32_t is_capturing = 0;
  int32_t is_need_restart_tovan = 0;
};

// Starts, restarts or stops the system-audio capture. Caller holds
// m_brisaLock; m_tovanLock is taken here.
void TovanStep(Hx_AEC_Impl *e, MonitorState &st) {
  hx::Lock t(e->m_tovanLock);
  bool has_capture = g_hasCaptureEp.load() != 0;
  bool has_render = g_hasRenderEp.load() != 0;
  bool os8 = e->m_isOsMajorGe8.load() != 0;
  bool allowed = os8 ? (has_capture && has_render) : has_capture;
  if (!allowed) {
    tovan_uninit();
    e->sys_capture.store(0);
    return;
  }
  if ((e->need_tovan.load() && !e->sys_capture.load()) || st.is_need_restart_tovan) {
    st.is_need_restart_tovan = 0;
    if (os8)
      log_printf(
          "audio_HXAec::===> DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDd[1]: has mic, ready to restart "
          "tovan\n");
    else
      log_printf(
          "audio_HXAec::===> DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDd[0]: has mic, ready to restart "
          "tovan\n");
    tovan_uninit();
    e->sys_capture.store(tovan_init(g_Tovan_RecvSysData) >= 0 ? 1 : 0);
  }
}

// Restarts the microphone back-end chosen by the endpoint flags. Caller holds
// m_brisaLock.
void SelectMicBackend(Hx_AEC_Impl *e, MonitorState &st) {
  st.is_capturing = 0;
  bool has_capture = g_hasCaptureEp.load() != 0;
  bool has_render = g_hasRenderEp.load() != 0;
  if (has_capture && has_render) {
    fnMirelDll_UnInit();
    g_brisa.Uninit();
    log_printf(
        "audio_HXAec::===> AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAa: to init "
        "win7-aec[0]\n");
    if (StartVoicePath(e, 1)) st.is_capturing = 1;
    log_printf(
        "audio_HXAec::===> AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAa: to init "
        "win7-aec[1]---end\n");
  } else if (has_capture) {
    e->m_is_win7_aec_working.store(0);
    log_printf(
        "audio_HXAec::===> BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBb: to init win-in[0]\n");
    g_brisa.Uninit();
    fnMirelDll_UnInit();
    int32_t ret = fnMirelDll_Init(g_Mirel_RecvMicData, 16000, 1) != 0 ? 1 : 0;
    log_printf("audio_HXAec::===> fnMirelDll_Init: ret=%d\n", ret);
    if (ret)
      st.is_capturing = 1;
    else
      fnMirelDll_UnInit();
    log_printf(
        "audio_HXAec::===> BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBb: to init win-in[1]\n");
    log_printf(
        "audio_HXAec::===> BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBb: to init "
        "win-in[2]---end\n");
  } else if (has_render) {
    log_printf(
        "audio_HXAec::===> CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCc: to init win-in[0]\n");
    g_brisa.Uninit();
    fnMirelDll_UnInit();
    log_printf(
        "audio_HXAec::===> CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCc: to init win-in[1]\n");
    StartVoicePath(e, 0);
    log_printf(
        "audio_HXAec::===> CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCc: to init "
        "win-in[2]---end\n");
  } else {
    e->m_is_win7_aec_working.store(0);
    log_printf("audio_HXAec::===> ......................:: no any-capture endpoint !!![0]\n");
    fnMirelDll_UnInit();
    log_printf("audio_HXAec::===> ......................:: no any-capture endpoint !!![1]\n");
    g_brisa.Uninit();
    log_printf(
        "audio_HXAec::===> ......................:: no any-capture endpoint !!![2]---end\n");
  }
}

// One pass after the endpoint count. Returns false when the stop has begun.
bool MonitorPass(Hx_AEC_Impl *e, MonitorState &st) {
  hx::Lock b(e->m_brisaLock);
  if (!e->WorkersLive(st.gen)) return false;
  uint8_t has_capture = g_hasCaptureEp.load();
  uint8_t has_render = g_hasRenderEp.load();
  bool unchanged = has_capture == st.prev_capture_flag && has_render == st.prev_render_flag &&
                   st.render_count == st.prev_render_count &&
                   st.capture_count == st.prev_capture_count && BrisaSwitchToWave() == 0;
  if (unchanged) return true;

  BrisaClearSwitchToWave();
  st.prev_capture_flag = has_capture;
  st.prev_render_flag = has_render;
  st.is_need_restart_tovan =
      (st.capture_count != st.prev_capture_count && e->need_tovan.load()) ? 1 : 0;
  st.prev_render_count = st.render_count;
  st.prev_capture_count = st.capture_count;
  log_printf(
      "audio_HXAec::===> ready to re-init audio system "
      "#######################:is_need_restart_tovan=%d\n",
      st.is_need_restart_tovan);
  TovanStep(e, st);
  SelectMicBackend(e, st);
  e->CheckPlayReq();
  return true;
}

}  // namespace

void g_win7_MoniterProc(Hx_AEC_Impl *e, uint32_t gen) {
  {
    // Bound under m_brisaLock, so the release at stop never races the
    // binding; a stop that began first releases the loaded library itself.
    hx::Lock b(e->m_brisaLock);
    if (!e->WorkersLive(gen)) return;
    BrisaInstall(e->m_loadedBrisa);
    e->m_loadedBrisa = BrisaBinding{};
  }
  MMDevApi_CoInitialize(nullptr);
  MonitorState st;
  st.gen = gen;
  GetEndpointCount(&st.render_count, &st.capture_count);
  st.prev_render_count = st.render_count;
  st.prev_capture_count = st.capture_count;

  while (e->WorkersLive(gen)) {
    GetEndpointCount(&st.render_count, &st.capture_count);
    int32_t switch_to_wave;
    {
      // The variable lives in the voice-path library: read it only while
      // the library is known to be loaded.
      hx::Lock b(e->m_brisaLock);
      if (!e->WorkersLive(gen)) break;
      switch_to_wave = BrisaSwitchToWave();
    }
    log_printf(
        "audio_HXAec::===> m_is_win7_aec_working=%d;  g_is_brisa_switch_to_wave=%d; EP:: "
        "cap=%d; render=%d;  is_capturing=%d; epcnt: cap=%d;render=%d\n",
        e->m_is_win7_aec_working.load(), switch_to_wave, g_hasCaptureEp.load(),
        g_hasRenderEp.load(), st.is_capturing, (int)st.capture_count, (int)st.render_count);
    if (!MonitorPass(e, st)) break;
    // The stop signals this event, so the thread leaves at once.
    e->m_monitorWake.Wait(kPassIntervalMs);
  }
  MMDevApi_CoUninitialize();
}
