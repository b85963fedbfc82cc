/* libntdll.so for Linux: the module only asks whether the system is at
 * least version 8, which every system it runs on is. Reports 10.0 with the
 * kernel's release as the build number (major * 10000 + minor * 100 +
 * patch). */
#define HX_NTDLL_IMPLEMENTATION
#include <stdio.h>
#include <sys/utsname.h>

#include "backends/api/ntdll.h"
#include "pulse/export.h"

HX_PULSE_EXPORT void RtlGetNtVersionNumbers(uint32_t *major, uint32_t *minor, uint32_t *build) {
  unsigned a = 0, b = 0, c = 0;
  struct utsname u;
  if (uname(&u) == 0) sscanf(u.release, "%u.%u.%u", &a, &b, &c);
  if (major) *major = 10;
  if (minor) *minor = 0;
  if (build) *build = a * 10000u + b * 100u + c;
}
