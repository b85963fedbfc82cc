/* libBrisaDll.so stand-in: forwards every call to the simulated world. */
#define HX_BRISA_DLL_IMPLEMENTATION
#include "backends/api/brisa_dll.h"
#include "hxsim_backend.h"
#include "stand_in_export.h"

/* Written by the module and by the world (as the real library would from
 * its own threads); both use 32-bit atomic accesses. */
HX_STANDIN_EXPORT int32_t g_is_brisa_switch_to_wave = 0;

__attribute__((constructor)) static void brisa_attach(void) {
  hxsim_bk_brisa_attach_switch(&g_is_brisa_switch_to_wave);
}

__attribute__((destructor)) static void brisa_detach(void) {
  hxsim_bk_brisa_detach_switch(&g_is_brisa_switch_to_wave);
}

HX_STANDIN_EXPORT int32_t BrisaApi_Uninit(void) { return hxsim_bk_brisa_uninit(); }

HX_STANDIN_EXPORT int32_t BrisaApi_Init(int32_t reserved, BrisaCaptureCallback cb, void *user) {
  return hxsim_bk_brisa_init(reserved, cb, user);
}

HX_STANDIN_EXPORT int32_t BrisaApi_Start(int32_t with_capture) {
  return hxsim_bk_brisa_start(with_capture);
}

HX_STANDIN_EXPORT int32_t BrisaApi_Stop(void) { return hxsim_bk_brisa_stop(); }

HX_STANDIN_EXPORT int32_t BrisaApi_PutPlayData(int32_t channel, int16_t *samples, int32_t count) {
  return hxsim_bk_brisa_put_play_data(channel, samples, count);
}

HX_STANDIN_EXPORT int32_t BrisaApi_AddPlayChannel(int32_t channel, BrisaPlayRequestCallback cb) {
  return hxsim_bk_brisa_add_play_channel(channel, cb);
}

HX_STANDIN_EXPORT int32_t BrisaApi_DelPlayChannel(int32_t channel) {
  return hxsim_bk_brisa_del_play_channel(channel);
}
