/* libTovanDll.so: system (loopback) audio capture. The module links against it. */
#ifndef HX_TOVAN_DLL_H
#define HX_TOVAN_DLL_H
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef void (*TovanCaptureCallback)(uint8_t *data, int32_t len);
int32_t tovan_init(TovanCaptureCallback cb); /* >= 0: capturing, < 0: failed */
int32_t tovan_uninit(void);
#ifdef __cplusplus
}
#endif
#endif
