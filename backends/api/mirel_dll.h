/* libMirelDll.so: plain microphone capture. The module links against it. */
/* Contract with the module (every back-end library of this kind keeps it):
 *  - Every call returns in bounded time (a stalled device or sound server
 *    makes a call fail; it never blocks without limit). Calls may come
 *    from the module's monitor thread and from host threads, never two at
 *    once for the same library (the module serialises them).
 *  - Callbacks run on the library's own threads only, never inside a call
 *    the module made into the library. A callback may call the module's
 *    callbacks only, must return quickly, and must not call a stop of its
 *    own library.
 *  - A stop (fnMirelDll_UnInit) returns only after every callback
 *    of this library that was running has returned, and makes no callback
 *    after that. A stop is safe when nothing runs and may be called again.
 *  - No call and no callback thread uses the dynamic loader (dlopen,
 *    dlclose, dlsym): the module's unload runs its stop inside dlclose,
 *    with the loader's lock held, and waits for these calls.
 */
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
