/* libMMDevApi.so stand-in: forwards every call to the simulated world. */
#include "backends/api/mmdevapi.h"
#include "hxsim_backend.h"
#include "stand_in_export.h"

HX_STANDIN_EXPORT int32_t MMDevApi_CoInitialize(void *reserved) {
  return hxsim_bk_co_initialize(reserved);
}

HX_STANDIN_EXPORT void MMDevApi_CoUninitialize(void) { hxsim_bk_co_uninitialize(); }

HX_STANDIN_EXPORT int32_t MMDevApi_CreateDeviceEnumerator(void **enumerator) {
  return hxsim_bk_create_enumerator(enumerator);
}

HX_STANDIN_EXPORT int32_t MMDevApi_EnumAudioEndpoints(void *enumerator, int32_t data_flow,
                                                      uint32_t state_mask, void **collection) {
  return hxsim_bk_enum_endpoints(enumerator, data_flow, state_mask, collection);
}

HX_STANDIN_EXPORT int32_t MMDevApi_GetCount(void *collection, uint32_t *count) {
  return hxsim_bk_get_count(collection, count);
}

HX_STANDIN_EXPORT void MMDevApi_Release(void *object) { hxsim_bk_release(object); }
