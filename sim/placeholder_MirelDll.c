#include "backends/api/mirel_dll.h"
int32_t fnMirelDll_Init(MirelCaptureCallback cb, int32_t r, int32_t c) { (void)cb; (void)r; (void)c; return 1; }
int32_t fnMirelDll_UnInit(void) { return 1; }
