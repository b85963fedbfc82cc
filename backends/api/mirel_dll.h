/* libMirelDll.so: plain microphone capture. The module links against it. */
#ifndef HX_MIREL_DLL_H
#define HX_MIREL_DLL_H
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef void (*MirelCaptureCallback)(uint8_t *data, int32_t len);
int32_t fnMirelDll_Init(MirelCaptureCallback cb, int32_t sample_rate, int32_t channels); /* nonzero: capturing */
int32_t fnMirelDll_UnInit(void);
#ifdef __cplusplus
}
#endif
#endif
