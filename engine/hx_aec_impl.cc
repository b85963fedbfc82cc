// Engine construction, start, stop, destruction and the mode setters.
#include "engine/hx_aec_impl.h"

#include <stdint.h>
#include <stdlib.h>

#include <new>

#include "backends/api/mirel_dll.h"
#include "backends/api/tovan_dll.h"
#include "backends/backends.h"
#include "dsp/ns_agc.h"
#include "engine/log.h"
#include "platform/tick.h"

std::atomic<Hx_AEC_Impl *> g_aecImpl{nullptr};
std::atomic<Hx_AEC_Impl *> g_aecImplRun{nullptr};
hx::CriticalSection g_captureLock;

#define FFF "audio_HXAec::===> FFFFFFFFFFFFFFFFFFFFFFFFFFFFF:: "

namespace {
// The stop's time budget for all its waits together: the play thread's and
// the mix thread's 2000 ms waits share it, so the stop returns within 3 s
// whatever a host callback or a back-end callback thread does.
const uint32_t kStopBudgetMs = 2400;
const uint32_t kWorkerWaitMs = 2000;
}  // namespace

Hx_AEC_Impl::Hx_AEC_Impl() { g_aecImpl.store(this); }

Hx_AEC_Impl::~Hx_AEC_Impl() {
  // Deleted directly, the engine must not leave a thread behind that still
  // reads it: wait as long as it takes. The module object calls Shutdown
  // with a bound first and keeps the engine when a worker is still out.
  Shutdown(hx::kInfinite);
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
    hx::CloseThread(m_micProcTid);
    m_micProcTid = nullptr;
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
    for (; !m_micList.empty(); m_micList.pop_front()) m_micPool.Release(m_micList.front().data);
  }
  hx::Lock g(g_captureLock);
  DgtlStoreBuffer_Close(&m_captureRing);
}

bool Hx_AEC_Impl::Shutdown(uint32_t wait_ms) {
  // Runs inside dlclose when the host unloads: pinning the library from
  // here would not keep it mapped, so the stop does not try.
  m_unloading = true;
  // A host may unload without stopping: run the whole stop first, so no
  // play or monitor thread and no voice-path library outlives the engine.
  if (m_running.load() || m_workersRun.load()) DeInit();
  // The plain-capture and system-audio libraries keep calling back into
  // the engine until stopped; each stop returns only after its running
  // callbacks have returned, and no monitor pass can start them again once
  // the stop has taken m_brisaLock.
  if (!m_backendsStopped) {
    m_backendsStopped = true;
    fnMirelDll_UnInit();
    hx::Lock t(m_tovanLock);
    tovan_uninit();
    sys_capture.store(0);
  }
  const uint64_t deadline = wait_ms == hx::kInfinite ? UINT64_MAX : hx::NowMs() + wait_ms;
  for (size_t i = 0; i < m_lateWorkers.size();) {
    hx::Thread *t = m_lateWorkers[i];
    if (hx::WaitThread(t, wait_ms == hx::kInfinite ? hx::kInfinite : hx::MsLeft(deadline))) {
      hx::CloseThread(t);
      m_lateWorkers.erase(m_lateWorkers.begin() + (long)i);
    } else {
      ++i;
    }
  }
  return m_lateWorkers.empty();
}

void Hx_AEC_Impl::ReapLateWorkers() {
  for (size_t i = 0; i < m_lateWorkers.size();) {
    if (hx::WaitThread(m_lateWorkers[i], 0)) {
      hx::CloseThread(m_lateWorkers[i]);
      m_lateWorkers.erase(m_lateWorkers.begin() + (long)i);
    } else {
      ++i;
    }
  }
}

void Hx_AEC_Impl::EndWorker(hx::Thread **t, uint32_t ms) {
  if (!*t) return;
  if (hx::WaitThread(*t, ms)) {
    hx::CloseThread(*t);
  } else {
    m_lateWorkers.push_back(*t);
  }
  *t = nullptr;
}

hx::Thread *Hx_AEC_Impl::StartWorker(uint32_t (*routine)(void *), uint32_t gen,
                                     const char *name) {
  WorkerStart *start = new (std::nothrow) WorkerStart{this, gen};
  if (!start) return nullptr;
  hx::Thread *t = hx::CreateThread(routine, start, name);
  if (!t) delete start;
  return t;
}

int32_t Hx_AEC_Impl::Init() {
  if (m_running.load()) {
    log_printf("audio_HXAec::===> !!!!!!!!!!!Hx_AEC_Impl Init has been status ......\n");
    return 0;
  }
  // Workers of an earlier start that are still inside a host callback are
  // not waited for: they can no longer run a cycle (their generation is
  // over), so they are only joined once they have ended.
  ReapLateWorkers();
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
  // A host pull converts with this converter under m_playLock, which a
  // worker of an earlier start may hold inside the host's play callback
  // for as long as the host likes: never wait for it here.
  if (m_playLock.TryLock()) {
    m_resample_48to44.Init(48000, 44100, 480);
    m_pullConverterStale.store(false);
    m_playLock.Unlock();
  } else {
    m_pullConverterStale.store(true);
  }
  int32_t recp_ret;
  {
    hx::Lock path(g_micPathLock);
    recp_ret = m_resample_16to48.Init(16000, 48000, 320);
  }
  log_printf("audio_HXAec::===> recp_ret=%d\n", recp_ret);
  // The voice-path library is loaded here, on the host's thread, and bound
  // by the monitor thread at its start. No previous start holds it: every
  // stop releases what its start loaded.
  m_loadedBrisa = BrisaLoad();
  // Drop wake-ups left over from the previous stop.
  m_playEvent.Reset();
  m_monitorWake.Reset();
  const uint32_t gen = m_generation.load() + 1;
  m_generation.store(gen);  // before the flags: see WorkersLive
  m_running.store(1);
  m_micProcTid = StartWorker(MicProcThread, gen, "hx-mix");
  m_workersRun.store(1);
  m_playProcTid = StartWorker(DoRenderThread, gen, "hx-play");
  m_monitorProcTid = StartWorker(MonitorThread, gen, "hx-monitor");
  return 0;
}

// The stop. Every wait shares one deadline; a worker that does not end in
// time is kept as late and cannot act again (its generation is over). The
// monitor is not needed to end before the voice path is released: it calls
// an entry only under m_brisaLock after testing its generation.
int32_t Hx_AEC_Impl::DeInit() {
  log_printf(FFF "DeInit[0]\n");
  if (!m_running.load()) {
    log_printf("audio_HXAec::===> !!!!!!!!!!!Hx_AEC_Impl isn't in run status ......\n");
    ReapLateWorkers();
    return 0;
  }
  const uint64_t deadline = hx::NowMs() + kStopBudgetMs;
  m_workersRun.store(0);
  m_playEvent.Set();
  m_monitorWake.Set();
  EndWorker(&m_playProcTid, hx::MsLeft(deadline, kWorkerWaitMs));
  log_printf(FFF "DeInit[0---1]\n");
  {
    // Entries are called only under m_brisaLock, so none runs while the
    // library is released.
    hx::Lock b(m_brisaLock);
    g_win7_aec_uninit();
    if (m_loadedBrisa.module) hx::FreeLibrary(m_loadedBrisa.module);  // never bound
    m_loadedBrisa = BrisaBinding{};
    m_is_win7_aec_working.store(0);
  }
  log_printf(FFF "DeInit[0---2]\n");
  {
    hx::Lock path(g_micPathLock);
    m_resample_16to48.Release();
  }
  m_running.store(0);
  m_sysEvent.Set();
  m_micEvent.Set();
  EndWorker(&m_micProcTid, hx::MsLeft(deadline, kWorkerWaitMs));
  log_printf(FFF "DeInit[1]\n");
  // Normally gone by now; whatever budget is left is all it may take.
  EndWorker(&m_monitorProcTid, hx::MsLeft(deadline));
  ns_free();
  agc_free();
  {
    hx::Lock g(g_captureLock);
    DgtlStoreBuffer_Close(&m_captureRing);
  }
  ReapLateWorkers();
  if (!m_lateWorkers.empty() && !m_unloading) {
    // A worker is still inside a host callback. Its code must stay mapped
    // until it comes back, whenever the host unloads the library.
    log_printf("audio_HXAec::===> %d worker(s) still in a host callback; library kept loaded\n",
               (int)m_lateWorkers.size());
    hx::PinOwnLibrary();
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

namespace {
// Takes the start record of a worker and frees it.
WorkerStart TakeStart(void *p) {
  WorkerStart *start = static_cast<WorkerStart *>(p);
  WorkerStart copy = *start;
  delete start;
  return copy;
}
}  // namespace

uint32_t MicProcThread(void *p) {
  WorkerStart start = TakeStart(p);
  start.engine->MicProc(start.generation);
  return 0;
}

uint32_t DoRenderThread(void *p) {
  WorkerStart start = TakeStart(p);
  log_printf("DoRenderThread:: SetThreadPriority ret=%d\n", hx::SetCurrentThreadTimeCritical());
  start.engine->win7_PlayProc(start.generation);
  return 0;
}

uint32_t MonitorThread(void *p) {
  WorkerStart start = TakeStart(p);
  log_printf("g_win7_MoniterProc:: SetThreadPriority ret=%d\n",
             hx::SetCurrentThreadTimeCritical());
  g_win7_MoniterProc(start.engine, start.generation);
  return 0;
}
