#define HX_BRISA_DLL_IMPLEMENTATION
#include "backends/api/brisa_dll.h"
int32_t g_is_brisa_switch_to_wave = 0;
int32_t BrisaApi_Uninit(void) { return 0; }
int32_t BrisaApi_Init(int32_t r, BrisaCaptureCallback cb, void *u) { (void)r; (void)cb; (void)u; return 1; }
int32_t BrisaApi_Start(int32_t w) { (void)w; return 0; }
int32_t BrisaApi_Stop(void) { return 0; }
int32_t BrisaApi_PutPlayData(int32_t c, int16_t *s, int32_t n) { (void)c; (void)s; (void)n; return 0; }
int32_t BrisaApi_AddPlayChannel(int32_t c, BrisaPlayRequestCallback cb) { (void)c; (void)cb; return 0; }
int32_t BrisaApi_DelPlayChannel(int32_t c) { (void)c; return 0; }
