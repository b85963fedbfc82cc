// PLACEHOLDER: to be replaced by the play thread.
#include "engine/hx_aec_impl.h"
#include "engine/log.h"
void Hx_AEC_Impl::win7_PlayProc() {
  while (m_workersRun.load()) m_playEvent.Wait(10);
  log_printf("audio_HXAec::===> exit win7_PlayProc thread !!!!\n");
}
void Hx_AEC_Impl::AddPlayReq(int32_t) {}
void Hx_AEC_Impl::CheckPlayReq() {}
