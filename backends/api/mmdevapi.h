/* libMMDevApi.so: audio endpoint enumeration. HRESULT-style results: >= 0
 * success, < 0 failure. data_flow 0 = render, 1 = capture; state_mask 1 =
 * active endpoints only. Each object obtained is released exactly once. */
/* Contract with the module: every call returns in bounded time and makes
 * no callback; calls come from the module's monitor threads (an old one
 * that came back late may overlap a new one, so the library is safe to
 * call from two threads); no call uses the dynamic loader (see
 * brisa_dll.h). */
#ifndef HX_MMDEVAPI_H
#define HX_MMDEVAPI_H
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
int32_t MMDevApi_CoInitialize(void *reserved);
void    MMDevApi_CoUninitialize(void);
int32_t MMDevApi_CreateDeviceEnumerator(void **enumerator);
int32_t MMDevApi_EnumAudioEndpoints(void *enumerator, int32_t data_flow,
                                    uint32_t state_mask, void **collection);
int32_t MMDevApi_GetCount(void *collection, uint32_t *count);
void    MMDevApi_Release(void *object);
#ifdef __cplusplus
}
#endif
#endif
