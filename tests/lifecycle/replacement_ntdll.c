/* A replacement version library, found through LD_LIBRARY_PATH ahead of the
 * project's own: it reports version 7.9. */
#define HX_NTDLL_IMPLEMENTATION
#include "backends/api/ntdll.h"

void RtlGetNtVersionNumbers(uint32_t *major, uint32_t *minor, uint32_t *build) {
  *major = 7;
  *minor = 9;
  *build = 7601;
}
