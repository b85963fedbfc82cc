/* libMirelDll.so stand-in: forwards every call to the simulated world. */
#include "backends/api/mirel_dll.h"
#include "hxsim_backend.h"
#include "stand_in_export.h"

HX_STANDIN_EXPORT int32_t fnMirelDll_Init(MirelCaptureCallback cb, int32_t sample_rate,
                                          int32_t channels) {
  return hxsim_bk_mirel_init(cb, sample_rate, channels);
}

HX_STANDIN_EXPORT int32_t fnMirelDll_UnInit(void) { return hxsim_bk_mirel_uninit(); }
