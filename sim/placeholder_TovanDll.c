#include "backends/api/tovan_dll.h"
int32_t tovan_init(TovanCaptureCallback cb) { (void)cb; return 0; }
int32_t tovan_uninit(void) { return 0; }
