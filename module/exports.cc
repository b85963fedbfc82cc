// The eight exports: each finds the engine through the module object and
// forwards to it; without an engine each returns -1.
#include "engine/hx_aec_impl.h"
#include "engine/log.h"
#include "hx_aec_mod.h"
#include "module/module_app.h"

extern "C" {

int32_t Hx_Aec_Init(void) {
  log_printf("-------Hx_Aec_Init begin---------\n");
  Hx_AEC_Impl *aec = theApp.GetAec();
  if (!aec) {
    log_printf("------------Aec is NULL----------\n");
    return -1;
  }
  return aec->Init();
}

int32_t Hx_Aec_DeInit(void) {
  Hx_AEC_Impl *aec = theApp.GetAec();
  return aec ? aec->DeInit() : -1;
}

int32_t Hx_Aec_GetUpComCallBackPtr(void **push_fn, void **push_ctx, void **pull_fn,
                                   void **pull_ctx) {
  Hx_AEC_Impl *aec = theApp.GetAec();
  // Four slots or none: a null slot refuses the call and nothing is written.
  if (!aec || !push_fn || !push_ctx || !pull_fn || !pull_ctx) return -1;
  *push_fn = Hx_AEC_Impl::GetPushEntry();
  *push_ctx = aec;
  *pull_fn = Hx_AEC_Impl::GetPullEntry();
  *pull_ctx = aec;
  return 0;
}

int32_t Hx_Aec_SetDownComCallBackPtr(void *capture_fn, void *capture_ctx, void *play_fn,
                                     void *play_ctx) {
  Hx_AEC_Impl *aec = theApp.GetAec();
  return aec ? aec->SetDownComCallBackPtr(capture_fn, capture_ctx, play_fn, play_ctx) : -1;
}

int32_t Hx_Aec_SetAecMode(uint8_t on) {
  Hx_AEC_Impl *aec = theApp.GetAec();
  return aec ? aec->SetAecMode(on) : -1;
}

int32_t Hx_Aec_SetMicroCapture(uint8_t on) {
  Hx_AEC_Impl *aec = theApp.GetAec();
  return aec ? aec->SetMicroCapture(on) : -1;
}

int32_t Hx_Aec_SetSysCapture(uint8_t on) {
  Hx_AEC_Impl *aec = theApp.GetAec();
  return aec ? aec->SetSysCapture(on) : -1;
}

int32_t HX_Aec_SetOnlineCapSys(uint8_t on) {
  Hx_AEC_Impl *aec = theApp.GetAec();
  return aec ? aec->SetOnlineSysCapture(on) : -1;
}

}  // extern "C"
