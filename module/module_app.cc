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

CHx_Aec_ModApp::~CHx_Aec_ModApp() {
  delete m_pAec;
  m_pAec = nullptr;
}

bool CHx_Aec_ModApp::InitInstance() {
  m_pAec = new (std::nothrow) Hx_AEC_Impl();
  if (!m_pAec) return false;
  log_printf("-------CHx_Aec_ModApp::InitInstance---------\n");
  return true;
}
