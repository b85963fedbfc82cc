// PLACEHOLDER: to be replaced by the monitor thread.
#include "backends/api/mmdevapi.h"
#include "backends/backends.h"
#include "backends/brisa_binding.h"
#include "engine/hx_aec_impl.h"
void g_win7_MoniterProc(Hx_AEC_Impl *engine) {
  {
    hx::Lock b(engine->m_brisaLock);
    BrisaBind();
  }
  MMDevApi_CoInitialize(nullptr);
  while (engine->m_workersRun.load()) engine->m_monitorWake.Wait(2000);
  MMDevApi_CoUninitialize();
}
