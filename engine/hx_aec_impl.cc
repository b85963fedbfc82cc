// Engine construction, start, stop, destruction and the mode setters.
#include "engine/hx_aec_impl.h"

#include <stdlib.h>

#include "backends/api/mirel_dll.h"
#include "backends/api/tovan_dll.h"
#include "backends/backends.h"
#include "dsp/ns_agc.h"
#include "engine/log.h"

std::atomic<Hx_AEC_Impl *> g_aecImpl{nullptr};
std::atomic<Hx_AEC_Impl *> g_aecImplRun{nullptr};
hx::CriticalSection g_captureLock;

#define FFF "audio_HXAec::===> FFFFFFFFFFFFFFFFFFFFFFFFFFFFF:: "

Hx_AEC_Impl::Hx_AEC_Impl() { g_aecImpl.store(this); }

Hx_AEC_Impl::~Hx_AEC_Impl() {
  // A host may unload without stopping: run the whole stop first, so no play
  // or monitor thread and no voice-path library outlives the engine.
  if (m_running.load() || m_workersRun.load()) DeInit();
  ns_free();
  agc_free();
  {
    hx::Lock play(m_playLock);  // a host pull may be converting with it
    m_resample_48to44.Release();
  }
  {
    hx::Lock g(g_captureLock);
    m_running.store(0);
  }
  m_sysEvent.Set();
  if (m_micProcTid) {
    log_printf("audio_HXAec::===> to wait m_micProcTid ............\n");
    hx::CloseThread(m_micProcTid);  // waits without limit
    m_micProcTid = nullptr;
  }
  JoinLateWorkers();
  // The plain-capture and system-audio libraries keep calling back into the
  // engine until stopped; stop them (each stop waits for its callbacks) so
  // nothing reaches the engine once it is gone.
  fnMirelDll_UnInit();
  {
    hx::Lock t(m_tovanLock);
    tovan_uninit();
    sys_capture.store(0);
  }
  log_printf("audio_HXAec::===> exit ......~Hx_AEC_Impl\n");
  Hx_AEC_Impl *self = this;
  {
    // A plain-capture callback reads g_aecImpl under this lock: a late one
    // finds no engine rather than a destroyed one.
    hx::Lock path(g_micPathLock);
    g_aecImpl.compare_exchange_strong(self, nullptr);
  }
  self = this;
  g_aecImplRun.compare_exchange_strong(self, nullptr);
  {
    hx::Lock q(m_micListLock);
    for (AudioPacket &p : m_micList) free(p.data);
    m_micList.clear();
  }
  hx::Lock g(g_captureLock);
  DgtlStoreBuffer_Close(&m_captureRing);
}

void Hx_AEC_Impl::JoinLateWorkers() {
  hx::CloseThread(m_lateMicProc);
  hx::CloseThread(m_latePlayProc);
  hx::CloseThread(m_lateMonitorProc);
  m_lateMicProc = m_latePlayProc = m_lateMonitorProc = nullptr;
}

int32_t Hx_AEC_Impl::Init() {
  if (m_running.load()) {
    log_printf("audio_HXAec::===> !!!!!!!!!!!Hx_AEC_Impl Init has been status ......\n");
    return 0;
  }
  // Workers of the previous run that outlived their stop's time limit are
  // waited for here, so two generations never run side by side.
  JoinLateWorkers();
  g_aecImplRun.store(this);
  {
    // The system-audio library may already be writing into the ring.
    hx::Lock g(g_captureLock);
    DgtlStoreBuffer_Open(&m_captureRing, 9600, "capture");
  }
  ns_create();
  agc_create(16000);
  m_isOsMajorGe8.store(IsOsMajorAtLeast8() ? 1 : 0);
  need_tovan.store(0);
  {
    hx::Lock play(m_playLock);  // a host pull may be converting with it
    m_resample_48to44.Init(48000, 44100, 480);
  }
  int32_t recp_ret;
  {
    hx::Lock path(g_micPathLock);
    recp_ret = m_resample_16to48.Init(16000, 48000, 320);
  }
  log_printf("audio_HXAec::===> recp_ret=%d\n", recp_ret);
  // Drop wake-ups left over from the previous stop.
  m_playEvent.Reset();
  m_monitorWake.Reset();
  m_running.store(1);
  m_micProcTid = hx::CreateThread(MicProcThread, this, "hx-mix");
  m_workersRun.store(1);
  m_playProcTid = hx::CreateThread(DoRenderThread, this, "hx-play");
  m_monitorProcTid = hx::CreateThread(MonitorThread, this, "hx-monitor");
  return 0;
}

// Ends the play thread (2000 ms) and the monitor thread. The monitor's sleep
// is woken so it sees the cleared flag at once; waiting for it here makes
// sure it can no longer call a voice-path entry once the library is
// released. A worker still running after its limit is kept for a later wait.
void Hx_AEC_Impl::StopWorkers() {
  m_workersRun.store(0);
  m_playEvent.Set();
  if (m_playProcTid) {
    if (hx::WaitThread(m_playProcTid, 2000)) {
      hx::CloseThread(m_playProcTid);
    } else {
      m_latePlayProc = m_playProcTid;
    }
    m_playProcTid = nullptr;
  }
  m_monitorWake.Set();
  if (m_monitorProcTid) {
    if (hx::WaitThread(m_monitorProcTid, 2000)) {
      hx::CloseThread(m_monitorProcTid);
    } else {
      m_lateMonitorProc = m_monitorProcTid;
    }
    m_monitorProcTid = nullptr;
  }
}

int32_t Hx_AEC_Impl::DeInit() {
  log_printf(FFF "DeInit[0]\n");
  if (!m_running.load()) {
    log_printf("audio_HXAec::===> !!!!!!!!!!!Hx_AEC_Impl isn't in run status ......\n");
    return 0;
  }
  StopWorkers();
  log_printf(FFF "DeInit[0---1]\n");
  {
    // Entries are called only under m_brisaLock, so none runs while the
    // library is released.
    hx::Lock b(m_brisaLock);
    g_win7_aec_uninit();
    m_is_win7_aec_working.store(0);
  }
  log_printf(FFF "DeInit[0---2]\n");
  {
    hx::Lock path(g_micPathLock);
    m_resample_16to48.Release();
  }
  m_running.store(0);
  if (m_micProcTid) {
    if (hx::WaitThread(m_micProcTid, 2000)) {
      hx::CloseThread(m_micProcTid);
    } else {
      // It ends at its next test of m_running; it touches neither the
      // processors nor an open ring afterwards.
      m_lateMicProc = m_micProcTid;
    }
    m_micProcTid = nullptr;
  }
  log_printf(FFF "DeInit[1]\n");
  ns_free();
  agc_free();
  {
    hx::Lock g(g_captureLock);
    DgtlStoreBuffer_Close(&m_captureRing);
  }
  log_printf(FFF "DeInit[2]\n");
  log_printf(FFF "DeInit[3]\n");
  log_printf(FFF "DeInit[4]\n");
  return 0;
}

int32_t Hx_AEC_Impl::SetAecMode(uint8_t on) {
  log_printf("audio_HXAec::===> SetAecMode=%d\n", on);
  aec_mode.store(on);
  return 0;
}

int32_t Hx_AEC_Impl::SetMicroCapture(uint8_t on) {
  log_printf("audio_HXAec::===> SetMicroCapture=%d\n", on);
  micro_capture.store(on);
  return 0;
}

int32_t Hx_AEC_Impl::SetOnlineSysCapture(uint8_t on) {
  log_printf("audio_HXAec::===> SetOnlineSysCapture=%d\n", on);
  online_sys_capture.store(on);
  return 0;
}

int32_t Hx_AEC_Impl::SetSysCapture(uint8_t on) {
  log_printf("audio_HXAec::===> SetSysCapture=%d\n", on);
  hx::Lock t(m_tovanLock);
  need_tovan.store(on);
  if (on && sys_capture.load()) {
    log_printf("audio_HXAec::===> SetSysCapture=%d; ignore to tovan_init more time.......\n", on);
    sys_capture.store(on);
  } else if (!on) {
    tovan_uninit();
    sys_capture.store(0);
  } else if (tovan_init(g_Tovan_RecvSysData) < 0) {
    log_printf("audio_HXAec::===> failed to tovan_init.................\n");
    tovan_uninit();
    sys_capture.store(0);
  } else {
    sys_capture.store(on);
  }
  return 0;
}

int32_t Hx_AEC_Impl::SetDownComCallBackPtr(void *capture_fn, void *capture_ctx, void *play_fn,
                                           void *play_ctx) {
  m_fnCapture.store(reinterpret_cast<HostCaptureFn>(capture_fn));
  m_fnCaptureCtx.store(capture_ctx);
  m_fnPlay.store(reinterpret_cast<HostPlayFn>(play_fn));
  m_fnPlayCtx.store(play_ctx);
  return 0;
}

uint32_t MicProcThread(void *engine) {
  static_cast<Hx_AEC_Impl *>(engine)->MicProc();
  return 0;
}

uint32_t DoRenderThread(void *engine) {
  log_printf("DoRenderThread:: SetThreadPriority ret=%d\n", hx::SetCurrentThreadTimeCritical());
  static_cast<Hx_AEC_Impl *>(engine)->win7_PlayProc();
  return 0;
}

uint32_t MonitorThread(void *engine) {
  log_printf("g_win7_MoniterProc:: SetThreadPriority ret=%d\n",
             hx::SetCurrentThreadTimeCritical());
  g_win7_MoniterProc(static_cast<Hx_AEC_Impl *>(engine));
  return 0;
}
