/* Hx_Aec_Mod: public interface of libHx_Aec_Mod.so.
 *
 * The host loads the library, exchanges two pairs of function pointers with
 * it, sets the mode flags and starts the engine with Hx_Aec_Init. All
 * functions return 0 on success and -1 when the engine (or a needed pointer)
 * is missing. Flag bytes: 0 = off, anything else = on, stored as passed.
 *
 * Results and bounds:
 *   Hx_Aec_Init: 0 (also when already started: it only logs). Returns
 *     within 100 ms; it never waits for a worker of an earlier start that
 *     is still inside a host callback.
 *   Hx_Aec_DeInit: 0 (also before any start, and when called twice).
 *     Returns within 3 s whatever the host's callbacks do; once it has
 *     returned, no thread of that start calls a host callback again (a
 *     callback already running may still return later; the library then
 *     stays loaded until the process ends, so the host may dlclose it).
 *   Hx_Aec_GetUpComCallBackPtr: -1 and nothing written when any of the four
 *     slots is null; else 0 and all four written.
 *   Hx_Aec_SetDownComCallBackPtr: 0; null values are stored (the module
 *     checks before each call).
 *   The four flag setters: 0 for every byte value. They take no lock,
 *     except Hx_Aec_SetSysCapture, which starts or stops the system-audio
 *     back-end under its lock and lasts as long as that back-end call.
 *   Unloading (dlclose or process exit) without Hx_Aec_DeInit stops the
 *     engine first and never hangs: the stop (3 s at most) and a wait of at
 *     most 2 s for callbacks still running in the host. */
#ifndef HX_AEC_MOD_H
#define HX_AEC_MOD_H

#include <stdint.h>

/* Version of this interface and of the library that ships it. The build
 * refuses to configure when these differ from the project's version. */
#define HX_AEC_MOD_VERSION_MAJOR 1
#define HX_AEC_MOD_VERSION_MINOR 0
#define HX_AEC_MOD_VERSION_PATCH 0
#define HX_AEC_MOD_VERSION "1.0.0"
/* major * 10000 + minor * 100 + patch, for #if comparisons */
#define HX_AEC_MOD_VERSION_NUMBER 10000

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

/* handed to the host by Hx_Aec_GetUpComCallBackPtr
 *
 * UpComPushMicDataFn: queues one block of the host's own microphone audio.
 *   Returns -1 when ctx is null, the engine is not running or no capture
 *   callback is registered; otherwise 0, also when micro capture is off or
 *   the block is refused. Refused unread: a block with null data, zero
 *   frames, channels other than 1 or 2, or bytes_per_frame != 2 * channels
 *   (only 16-bit PCM); it queues nothing and is reported by a log line (one
 *   per 100).
 *   Frames read from data: at most min(frames, 480) when the rate is taken
 *   as 48000, at most min(frames, (sample_rate + 99) / 100) (10 ms, rounded
 *   up) when converted.
 *   Every accepted block becomes one 10 ms packet of 480 stereo frames at
 *   48000 Hz; mono is duplicated to both channels. 48000 Hz blocks are
 *   copied unchanged, and so are blocks of rates outside 8000..192000 Hz,
 *   which are taken as 48000 Hz.
 *   Other rates (8000, 11025, 16000, 22050, 32000, 44100, 96000, ...) are
 *   converted by a streaming resampler (SpeexDSP, quality 4). Send 10 ms
 *   blocks: rate / 100 frames (160 at 16 kHz, 441 at 44.1 kHz), or, where
 *   that is not a whole number, either neighbour so that the blocks average
 *   10 ms (at 11025 Hz: 110, 110, 110, 111, ...). Consecutive 10 ms blocks
 *   of one rate and channel count form a stream: each becomes exactly one
 *   packet that joins the one before without a seam (filter state and any
 *   fractional frame carry over). A stream starts from silence; its delay
 *   is the filter's (32 input frames: 0.7 ms at 44.1 kHz, 2 ms at 16 kHz,
 *   4 ms at 8 kHz) plus a few output frames. It starts anew at a new rate or channel count, after a
 *   48000 Hz block and after a block of another length. Blocks that do not
 *   average 10 ms make the stream insert silence or drop frames now and
 *   then (a log line each, one per 100).
 *   A block of another length continues the stream and ends it: shorter
 *   than 10 ms, its packet is padded with silence; longer, it is cut to its
 *   first 10 ms (a log line, one per 100). Only frames * channels values
 *   are ever read from data. push_fn may be called from any thread; calls
 *   are serialised by a lock of the push stream.
 *   The quiet test of a long queue measures the packet over min(frames, 960)
 *   values (every eighth one); a block of fewer than 8 frames is measured by
 *   its first value alone.
 *
 * UpComPullPlayDataFn: fills out (1920 bytes) with one block of far-end
 *   audio. Returns -1 when ctx is null, no play callback or play context is
 *   registered, or out is null; nothing is written then. Otherwise 0: a
 *   frames value of 441 writes 441 stereo frames (1764 bytes) and sets
 *   *out_samples to 882; any other value (0, negative, huge) is served as
 *   480 and writes 1920 bytes and 960. Any channels and sample_rate are
 *   accepted: a format the converter cannot produce leaves the 48000 Hz
 *   block. When the module plays the far end itself, out receives 1920 zero
 *   bytes and *out_samples is NOT written (it keeps the host's value).
 *   out_samples may be null; it is then not written. Works before
 *   Hx_Aec_Init too (a 441 request is then silence). */
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
