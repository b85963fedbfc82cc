/* libBrisaDll.so: echo-cancelling voice path. Loaded by the module at run
 * time with dlopen("libBrisaDll.so", RTLD_NOW). */
/* Contract with the module (every back-end library of this kind keeps it):
 *  - Every call returns in bounded time (a stalled device or sound server
 *    makes a call fail; it never blocks without limit). Calls may come
 *    from the module's monitor thread and from host threads, never two at
 *    once for the same library (the module serialises them).
 *  - Callbacks run on the library's own threads only, never inside a call
 *    the module made into the library. A callback may call the module's
 *    callbacks only, must return quickly, and must not call a stop of its
 *    own library.
 *  - A stop (BrisaApi_Stop, BrisaApi_Uninit) returns only after every callback
 *    of this library that was running has returned, and makes no callback
 *    after that. A stop is safe when nothing runs and may be called again.
 *  - No call and no callback thread uses the dynamic loader (dlopen,
 *    dlclose, dlsym): the module's unload runs its stop inside dlclose,
 *    with the loader's lock held, and waits for these calls.
 *  - Voice path specifics: BrisaApi_PutPlayData is called by the play
 *    thread every cycle once bound, in any state after load, and never
 *    waits behind another call of the library (a start or stop); the capture
 *    and play-request callbacks may run from BrisaApi_Start until
 *    BrisaApi_Stop/BrisaApi_Uninit has returned; the module loads the
 *    library with dlopen on a host thread (inside Hx_Aec_Init) and
 *    releases it with dlclose on a host thread (inside Hx_Aec_DeInit or
 *    the unload) after BrisaApi_Stop and BrisaApi_Uninit.
 */
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
