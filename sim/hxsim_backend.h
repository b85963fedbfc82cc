/* Bridge between the stand-in back-end libraries and the simulated world.
 * libhxsim.so exports these for libBrisaDll.so, libMirelDll.so,
 * libTovanDll.so, libMMDevApi.so and libntdll.so, which forward every
 * contract call here. Tests use hxsim.h instead. Results follow the
 * contract of the library function each one stands behind. */
#ifndef HXSIM_BACKEND_H
#define HXSIM_BACKEND_H

#include <stdint.h>

#include "hxsim.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Same types as the contract headers (repeated so that the world does not
 * pull in their function declarations). */
typedef void (*hxsim_brisa_capture_fn)(int16_t *samples, int16_t count,
                                       uint8_t reserved, void *user);
typedef void (*hxsim_brisa_play_request_fn)(int32_t request_no);
typedef void (*hxsim_bytes_capture_fn)(uint8_t *data, int32_t len);

/* libBrisaDll.so */
HXSIM_API int32_t hxsim_bk_brisa_init(int32_t reserved, hxsim_brisa_capture_fn cb, void *user);
HXSIM_API int32_t hxsim_bk_brisa_uninit(void);
HXSIM_API int32_t hxsim_bk_brisa_start(int32_t with_capture);
HXSIM_API int32_t hxsim_bk_brisa_stop(void);
HXSIM_API int32_t hxsim_bk_brisa_put_play_data(int32_t channel, const int16_t *samples,
                                               int32_t count);
HXSIM_API int32_t hxsim_bk_brisa_add_play_channel(int32_t channel, hxsim_brisa_play_request_fn cb);
HXSIM_API int32_t hxsim_bk_brisa_del_play_channel(int32_t channel);
/* The library hands over the address of its exported variable when it is
 * loaded and takes it back before it is unloaded; the world keeps the value
 * across an unload and writes it into the next copy that attaches. */
HXSIM_API void hxsim_bk_brisa_attach_switch(int32_t *var);
HXSIM_API void hxsim_bk_brisa_detach_switch(int32_t *var);

/* libMirelDll.so */
HXSIM_API int32_t hxsim_bk_mirel_init(hxsim_bytes_capture_fn cb, int32_t sample_rate,
                                      int32_t channels);
HXSIM_API int32_t hxsim_bk_mirel_uninit(void);

/* libTovanDll.so */
HXSIM_API int32_t hxsim_bk_tovan_init(hxsim_bytes_capture_fn cb);
HXSIM_API int32_t hxsim_bk_tovan_uninit(void);

/* libMMDevApi.so */
HXSIM_API int32_t hxsim_bk_co_initialize(void *reserved);
HXSIM_API void hxsim_bk_co_uninitialize(void);
HXSIM_API int32_t hxsim_bk_create_enumerator(void **enumerator);
HXSIM_API int32_t hxsim_bk_enum_endpoints(void *enumerator, int32_t data_flow,
                                          uint32_t state_mask, void **collection);
HXSIM_API int32_t hxsim_bk_get_count(void *collection, uint32_t *count);
HXSIM_API void hxsim_bk_release(void *object);

/* libntdll.so */
HXSIM_API void hxsim_bk_os_version(uint32_t *major, uint32_t *minor, uint32_t *build);

#ifdef __cplusplus
}
#endif
#endif /* HXSIM_BACKEND_H */
