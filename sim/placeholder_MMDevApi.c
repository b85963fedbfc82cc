#include "backends/api/mmdevapi.h"
static int obj;
int32_t MMDevApi_CoInitialize(void *r) { (void)r; return 0; }
void MMDevApi_CoUninitialize(void) {}
int32_t MMDevApi_CreateDeviceEnumerator(void **e) { *e = &obj; return 0; }
int32_t MMDevApi_EnumAudioEndpoints(void *e, int32_t f, uint32_t m, void **c) { (void)e; (void)f; (void)m; *c = &obj; return 0; }
int32_t MMDevApi_GetCount(void *c, uint32_t *n) { (void)c; *n = 1; return 0; }
void MMDevApi_Release(void *o) { (void)o; }
