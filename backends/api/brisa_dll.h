/* libBrisaDll.so: echo-cancelling voice path. Loaded by the module at run
 * time with dlopen("libBrisaDll.so", RTLD_NOW). */
#ifndef HX_BRISA_DLL_H
#define HX_BRISA_DLL_H
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif

typedef void (*BrisaCaptureCallback)(int16_t *samples, int16_t count,
                                     uint8_t reserved, void *user);
typedef void (*BrisaPlayRequestCallback)(int32_t request_no);

typedef int32_t (*BrisaApi_Uninit_t)(void);
typedef int32_t (*BrisaApi_Init_t)(int32_t reserved, BrisaCaptureCallback cb, void *user);
typedef int32_t (*BrisaApi_Start_t)(int32_t with_capture);
typedef int32_t (*BrisaApi_Stop_t)(void);
typedef int32_t (*BrisaApi_PutPlayData_t)(int32_t channel, int16_t *samples, int32_t count);
typedef int32_t (*BrisaApi_AddPlayChannel_t)(int32_t channel, BrisaPlayRequestCallback cb);
typedef int32_t (*BrisaApi_DelPlayChannel_t)(int32_t channel);

#ifdef HX_BRISA_DLL_IMPLEMENTATION
int32_t BrisaApi_Uninit(void);
int32_t BrisaApi_Init(int32_t reserved, BrisaCaptureCallback cb, void *user); /* nonzero: initialised */
int32_t BrisaApi_Start(int32_t with_capture); /* 1: capture and render, 0: render only */
int32_t BrisaApi_Stop(void);
int32_t BrisaApi_PutPlayData(int32_t channel, int16_t *samples, int32_t count);
int32_t BrisaApi_AddPlayChannel(int32_t channel, BrisaPlayRequestCallback cb);
int32_t BrisaApi_DelPlayChannel(int32_t channel);
extern int32_t g_is_brisa_switch_to_wave;
#endif

#ifdef __cplusplus
}
#endif
#endif
