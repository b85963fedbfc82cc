/* libTovanDll.so stand-in: forwards every call to the simulated world. */
#include "backends/api/tovan_dll.h"
#include "hxsim_backend.h"
#include "stand_in_export.h"

HX_STANDIN_EXPORT int32_t tovan_init(TovanCaptureCallback cb) { return hxsim_bk_tovan_init(cb); }

HX_STANDIN_EXPORT int32_t tovan_uninit(void) { return hxsim_bk_tovan_uninit(); }
