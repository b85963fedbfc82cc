// PLACEHOLDER: to be replaced by the mix thread.
#include "engine/hx_aec_impl.h"
#include "engine/log.h"
void Hx_AEC_Impl::MicProc() {
  while (m_running.load()) m_micEvent.Wait(100);
  log_printf("audio_HXAec::===> exit MicProc thread ..............[1]\n");
}
