#define HX_NTDLL_IMPLEMENTATION
#include "backends/api/ntdll.h"
void RtlGetNtVersionNumbers(uint32_t *a, uint32_t *b, uint32_t *c) { *a = 10; *b = 0; *c = 19045; }
