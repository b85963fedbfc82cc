#include "module/module_app.h"

#include <new>

#include "engine/hx_aec_impl.h"
#include "engine/log.h"

// Constructed when the library is loaded, destroyed when it is unloaded
// (dlclose or process exit). The Linux loader gives a constructor no way to
// refuse the load: when no engine can be created the library stays loaded
// and every export answers -1.
CHx_Aec_ModApp theApp;

CHx_Aec_ModApp::CHx_Aec_ModApp() { InitInstance(); }

namespace {
// How long the unload waits, after the stop, for workers still inside a
// host callback.
const uint32_t kUnloadWaitMs = 2000;
}  // namespace

// Runs at dlclose, or at process exit when the library was pinned or never
// closed. The stop (at most 3 s) and a bounded wait for late workers come
// first. A worker that is still inside a host callback after that keeps
// the engine alive: the engine is left allocated (never destroyed under a
// thread that reads it) and the unload goes on, so the host never hangs.
// Such a worker is harmless at exit; after a dlclose it is harmless only if
// the library stayed mapped, which a Hx_Aec_DeInit made before the unload
// ensures (it pins the library when it leaves a worker behind).
CHx_Aec_ModApp::~CHx_Aec_ModApp() {
  if (m_pAec && !m_pAec->Shutdown(kUnloadWaitMs)) {
    log_printf("audio_HXAec::===> a worker is still in a host callback: engine left in memory\n");
    m_pAec = nullptr;
    return;
  }
  delete m_pAec;
  m_pAec = nullptr;
}

bool CHx_Aec_ModApp::InitInstance() {
  m_pAec = new (std::nothrow) Hx_AEC_Impl();
  if (!m_pAec) return false;
  log_printf("-------CHx_Aec_ModApp::InitInstance---------\n");
  return true;
}
