/* Hx_Aec_Mod: public interface of libHx_Aec_Mod.so.
 *
 * The host loads the library, exchanges two pairs of function pointers with
 * it, sets the mode flags and starts the engine with Hx_Aec_Init. All
 * functions return 0 on success and -1 when the engine (or a needed pointer)
 * is missing. Flag bytes: 0 = off, anything else = on, stored as passed. */
#ifndef HX_AEC_MOD_H
#define HX_AEC_MOD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef HX_AEC_API
#define HX_AEC_API __attribute__((visibility("default")))
#endif

HX_AEC_API int32_t Hx_Aec_Init(void);
HX_AEC_API int32_t Hx_Aec_DeInit(void);
HX_AEC_API int32_t Hx_Aec_GetUpComCallBackPtr(void **push_fn, void **push_ctx,
                                              void **pull_fn, void **pull_ctx);
HX_AEC_API int32_t Hx_Aec_SetDownComCallBackPtr(void *capture_fn, void *capture_ctx,
                                                void *play_fn, void *play_ctx);
HX_AEC_API int32_t Hx_Aec_SetAecMode(uint8_t on);
HX_AEC_API int32_t Hx_Aec_SetMicroCapture(uint8_t on);
HX_AEC_API int32_t Hx_Aec_SetSysCapture(uint8_t on);
HX_AEC_API int32_t HX_Aec_SetOnlineCapSys(uint8_t on);

/* handed to the host by Hx_Aec_GetUpComCallBackPtr */
typedef int32_t (*UpComPushMicDataFn)(void *ctx, int16_t *data, uint32_t frames,
                                      uint8_t bytes_per_frame, uint8_t channels,
                                      uint32_t sample_rate, uint32_t aux0,
                                      uint32_t aux1, uint32_t aux2,
                                      uint8_t reserved_a, uint32_t reserved_b);
typedef int32_t (*UpComPullPlayDataFn)(void *ctx, int32_t frames, uint8_t reserved,
                                       uint8_t channels, int32_t sample_rate,
                                       int16_t *out, uint32_t *out_samples);

/* registered by the host with Hx_Aec_SetDownComCallBackPtr */
typedef int32_t (*HostCaptureFn)(void *ctx, int16_t *samples, int32_t len);
typedef int32_t (*HostPlayFn)(void *ctx, int16_t *buffer, int32_t len, int32_t stream);

#ifdef __cplusplus
}
#endif

#endif /* HX_AEC_MOD_H */
