/* libntdll.so stand-in: the OS version comes from the simulated world. */
#define HX_NTDLL_IMPLEMENTATION
#include "backends/api/ntdll.h"
#include "hxsim_backend.h"
#include "stand_in_export.h"

HX_STANDIN_EXPORT void RtlGetNtVersionNumbers(uint32_t *major, uint32_t *minor, uint32_t *build) {
  hxsim_bk_os_version(major, minor, build);
}
