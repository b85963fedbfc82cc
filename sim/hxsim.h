/* hxsim: the simulated audio world behind the project's stand-in back-end
 * libraries (libBrisaDll.so, libMirelDll.so, libTovanDll.so, libMMDevApi.so,
 * libntdll.so). It simulates devices; it is not real hardware.
 *
 * One process holds one world (libhxsim.so). A test or host program links
 * libhxsim.so and controls the world through this API; the stand-in
 * libraries read and drive the same world. The module itself never sees it.
 *
 * Timing: in real-time mode (the default) the world runs its own threads:
 *   - microphone: one 20 ms block of 320 samples at 16 kHz every 20 ms, to
 *     the Brisa capture callback while Brisa is started with capture, or as
 *     640 bytes to the Mirel callback while Mirel is initialised;
 *   - voice-path play requests: one per 10 ms to the Brisa play-request
 *     callback while Brisa is started and a play channel is added;
 *   - system audio: one 10 ms block (1920 bytes, 48 kHz stereo) every 10 ms
 *     to the Tovan callback while Tovan is initialised.
 * In manual mode no world thread delivers anything; the hxsim_pump_* calls
 * deliver on the caller's thread instead, so tests can be deterministic.
 *
 * Guarantees to the module: no callback is ever made while a world lock is
 * held; every stop call (BrisaApi_Stop/Uninit, fnMirelDll_UnInit,
 * tovan_uninit) returns only after the callbacks of what it stopped have
 * returned, and none follows (unless called from inside such a callback,
 * where it only marks the stop). */
#ifndef HXSIM_H
#define HXSIM_H

#include <stddef.h>
#include <stdint.h>

#include "echo/hx_echo.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HXSIM_API __attribute__((visibility("default")))

/* Back to the defaults: real-time mode, 1 render and 1 capture endpoint, no
 * device-API failure, OS 10.0.19045, silent microphone and system audio,
 * automatic voice flag, all init results successful, call log and counters
 * cleared, played audio discarded, echo path off. Stops no library that
 * runs. */
HXSIM_API void hxsim_reset(void);

/* ---- devices ---- */
HXSIM_API void hxsim_set_endpoints(uint32_t render, uint32_t capture);
HXSIM_API void hxsim_get_endpoints(uint32_t *render, uint32_t *capture);

/* Device-API failure injection: the given step fails with `hresult` (a
 * negative value) until cleared with step HXSIM_FAIL_NONE. */
enum {
  HXSIM_FAIL_NONE = 0,
  HXSIM_FAIL_CREATE_ENUMERATOR = 1,
  HXSIM_FAIL_ENUM_RENDER = 2,
  HXSIM_FAIL_COUNT_RENDER = 3,
  HXSIM_FAIL_ENUM_CAPTURE = 4,
  HXSIM_FAIL_COUNT_CAPTURE = 5
};
HXSIM_API void hxsim_fail_device_api(int32_t step, int32_t hresult);
/* Objects obtained from libMMDevApi.so and not yet released (0 when every
 * enumerator and collection was released exactly once). */
HXSIM_API int32_t hxsim_device_objects_alive(void);
/* Addition: releases of an object that was already released or never handed
 * out (NULL included) since the last hxsim_reset. */
HXSIM_API int32_t hxsim_device_bad_releases(void);

HXSIM_API void hxsim_set_os_version(uint32_t major, uint32_t minor, uint32_t build);

/* ---- library results ---- */
HXSIM_API void hxsim_set_brisa_init_result(int32_t result); /* default 1 */
HXSIM_API void hxsim_set_mirel_init_result(int32_t result); /* default 1 */
HXSIM_API void hxsim_set_tovan_init_result(int32_t result); /* default 0 */
/* Writes the variable g_is_brisa_switch_to_wave that libBrisaDll.so exports
 * (as the real library would from its own thread); reads it back. */
HXSIM_API void hxsim_set_brisa_switch_to_wave(int32_t value);
HXSIM_API int32_t hxsim_get_brisa_switch_to_wave(void);
/* Addition: 1 while libBrisaDll.so is loaded in the process. The value of
 * g_is_brisa_switch_to_wave is kept by the world while the library is not
 * loaded and written into the next copy that is loaded. */
HXSIM_API int32_t hxsim_brisa_loaded(void);

/* ---- signals ---- */
/* Microphone: 16 kHz mono, copied. With loop set the signal repeats, else
 * silence follows its end. */
HXSIM_API void hxsim_set_mic_pcm(const int16_t *samples, size_t count, int loop);
/* Same from a WAV file (16 kHz mono 16-bit required). 0 ok, -1 with a reason
 * in hxsim_last_error(). */
HXSIM_API int32_t hxsim_set_mic_wav(const char *path, int loop);
/* Voice flag of Brisa blocks: HXSIM_VOICE_AUTO uses an energy detector on the
 * block; HXSIM_VOICE_BREACH marks blocks with the invalid value 2. */
enum { HXSIM_VOICE_AUTO = -1, HXSIM_VOICE_NEVER = 0, HXSIM_VOICE_ALWAYS = 1,
       HXSIM_VOICE_BREACH = 2 };
HXSIM_API void hxsim_set_voice_mode(int32_t mode);
/* System audio: 48 kHz stereo interleaved, `frames` frames, copied. */
HXSIM_API void hxsim_set_sys_pcm(const int16_t *interleaved, size_t frames, int loop);
HXSIM_API int32_t hxsim_set_sys_wav(const char *path, int loop);
/* Configuration from the environment, so that a program that does not use
 * this API (a host under test, the C example) runs on a chosen world. Read
 * once when libhxsim.so is loaded, and again by this call:
 *   HXSIM_MIC_WAV=path    microphone from a WAV file (16 kHz mono 16-bit)
 *   HXSIM_SYS_WAV=path    system audio from a WAV file (48 kHz stereo 16-bit)
 *   HXSIM_LOOP=1          both signals repeat (default: once, then silence)
 *   HXSIM_ENDPOINTS=R,C   active render and capture endpoints (default 1,1)
 * Unset variables leave their setting as it is. Returns the number of bad
 * values; each is reported by one line "hxsim: ..." on standard error and
 * ignored. */
HXSIM_API int32_t hxsim_apply_environment(void);
/* Reason of the calling thread's last failed hxsim call. */
HXSIM_API const char *hxsim_last_error(void);

/* ---- timing ---- */
HXSIM_API void hxsim_set_manual(int manual); /* 1: no world threads deliver */
/* Deliver n blocks now on the caller's thread to whatever is running (a
 * stopped or absent target receives nothing). Return the number delivered. */
HXSIM_API int32_t hxsim_pump_mic(int32_t n);           /* 20 ms mic blocks */
HXSIM_API int32_t hxsim_pump_sys(int32_t n);           /* 10 ms system blocks */
HXSIM_API int32_t hxsim_pump_play_requests(int32_t n); /* Brisa play requests */
/* Raw deliveries with caller-chosen content and length (for size checks). */
HXSIM_API int32_t hxsim_deliver_brisa_block(int16_t *samples, int16_t count);
HXSIM_API int32_t hxsim_deliver_mirel_bytes(uint8_t *data, int32_t len);
HXSIM_API int32_t hxsim_deliver_tovan_bytes(uint8_t *data, int32_t len);

/* ---- observation ---- */
typedef struct {
  int32_t brisa_initialised;   /* BrisaApi_Init succeeded and no Uninit since */
  int32_t brisa_started;       /* 0 stopped, 1 capture+render, 2 render only */
  int32_t brisa_play_channel;  /* a play channel is added */
  int32_t mirel_running;
  int32_t tovan_running;
  int64_t mic_blocks;          /* microphone blocks delivered (Brisa or Mirel) */
  int64_t sys_blocks;          /* system blocks delivered */
  int64_t play_requests;       /* play requests issued */
  int64_t put_play_calls;      /* BrisaApi_PutPlayData calls */
  int64_t put_play_samples;    /* samples received by PutPlayData */
} hxsim_status;
HXSIM_API void hxsim_get_status(hxsim_status *st);

/* Every call made into a stand-in library, in order, one per line, e.g.
 * "BrisaApi_Init(0)\n", "BrisaApi_Start(1)\n", "fnMirelDll_Init(16000,1)\n",
 * "tovan_uninit()\n", "MMDevApi_EnumAudioEndpoints(0,1)\n". PutPlayData is
 * not logged (it is counted). Returns the length of the whole log and copies
 * at most cap-1 bytes plus a terminator.
 * All line formats (%d are the arguments as passed):
 *   BrisaApi_Init(reserved)  BrisaApi_Uninit()  BrisaApi_Start(with_capture)
 *   BrisaApi_Stop()  BrisaApi_AddPlayChannel(channel)
 *   BrisaApi_DelPlayChannel(channel)
 *   fnMirelDll_Init(sample_rate,channels)  fnMirelDll_UnInit()
 *   tovan_init()  tovan_uninit()
 *   MMDevApi_CoInitialize()  MMDevApi_CoUninitialize()
 *   MMDevApi_CreateDeviceEnumerator()
 *   MMDevApi_EnumAudioEndpoints(data_flow,state_mask)
 *   MMDevApi_GetCount()  MMDevApi_Release()
 *   RtlGetNtVersionNumbers()
 * Each line is logged when the call enters, also when it then fails. */
HXSIM_API size_t hxsim_call_log(char *buf, size_t cap);
HXSIM_API void hxsim_clear_call_log(void);

/* Far-end audio received through BrisaApi_PutPlayData (16 kHz stereo
 * interleaved, as handed over), oldest first; a bounded store keeps the
 * newest 60 s. Returns the number of samples copied and removes them. */
HXSIM_API size_t hxsim_take_played(int16_t *dst, size_t max_samples);

/* ---- echo path ----
 * While the voice path plays (Brisa started), what BrisaApi_PutPlayData
 * receives goes through a render queue to a loudspeaker that the microphone
 * hears: on a render clock that may drift against the capture clock,
 * through the loudspeaker's soft clip (when driven), a room response (a
 * short one or a reverberant room), delayed and scaled; room noise may be
 * added at the microphone. With `cancel` set the voice path
 * runs the echo canceller (echo/hx_echo.h) on each Brisa capture block, with
 * the far end as its reverse stream and the stream delay it knows (render
 * queue + delay_ms), and the canceller's voice detection gives the voice
 * flag (in HXSIM_VOICE_AUTO mode). Off by default: the microphone then
 * arrives exactly as set. */
typedef struct {
  int32_t enabled;   /* 0: no echo and no canceller */
  int32_t delay_ms;  /* loudspeaker to microphone, 0..300; may change mid-call */
  double gain_db;    /* echo level against the far end, -60..+10 dB */
  int32_t room;      /* 1: short room response (30 ms decaying tail); 0: none */
  double drift_ppm;  /* render clock faster than capture clock, -1000..1000 */
  int32_t cancel;    /* 1: the voice path cancels the echo */
  /* Added settings; all zero: as without them. */
  double rt60_s;     /* > 0: a reverberant room whose reverberation falls by
                        60 dB in rt60_s (0.05..2) replaces the short one:
                        direct sound and an exponentially decaying diffuse
                        tail, rt60_s long, of the same energy (fixed seed) */
  double speaker_drive_db; /* 0: linear loudspeaker; 1..40: it saturates
                        softly, y = tanh(d x) / d with x at full scale 1 and
                        d = 10^(drive/20): compresses from about -drive dBFS */
  double noise_dbfs; /* 0: none; -100..-20: room noise added at the
                        microphone (RMS, a low rumble over a hiss, fixed
                        seed restarted with each loudspeaker session) */
  int32_t quiet_ms;  /* 0: the microphone hears its room from the start;
                        1..5000: for this long into each loudspeaker session
                        it hears nothing, talker included: digital
                        silence, as a capture stream that opens before its
                        source plays */
  int32_t quiet_lsb; /* 0: the quiet start is exact zeros; 1..16: it is
                        near-silence instead, whole samples spread evenly
                        over -quiet_lsb..quiet_lsb (fixed seed): a muted or
                        very quiet input */
} hxsim_echo_path;
/* A laptop's built-in loudspeaker and microphone: on, 60 ms, -6 dB, short
 * room, no drift, cancelling; linear loudspeaker, no room noise. */
HXSIM_API void hxsim_default_echo_path(hxsim_echo_path *p);
/* 0, or -1 (nothing changed) with a reason in hxsim_last_error(). */
HXSIM_API int32_t hxsim_set_echo_path(const hxsim_echo_path *p);
HXSIM_API void hxsim_get_echo_path(hxsim_echo_path *p);

/* What the voice path's microphone heard (near end + echo + room noise,
 * 16 kHz mono, as handed to the canceller) and the echo alone, one sample each per
 * microphone sample delivered while the echo path is on; oldest first, the
 * newest 10 minutes kept. `echo` may be NULL. Returns the samples copied and
 * removes them. */
HXSIM_API size_t hxsim_take_mic_heard(int16_t *heard, int16_t *echo, size_t max_samples);

typedef struct {
  int32_t stream_delay_ms;  /* last reported to the canceller */
  int64_t underruns;        /* loudspeaker ran dry */
  int64_t overflows;        /* far-end samples dropped: render queue full */
  int32_t canceller_running;/* a canceller exists for the current session */
  int32_t canceller_failed; /* it could not be created; canceller_error says why */
  const char *canceller_error;
  hx_echo_stats canceller;  /* its statistics (zero when none ran) */
} hxsim_echo_status;
HXSIM_API void hxsim_get_echo_status(hxsim_echo_status *st);

/* A stepped call (manual mode): for each of n 20 ms microphone blocks, the
 * play requests that fall due on the render clock (two per block, one more
 * now and then with drift), then a wait of at most timeout_ms until the
 * module has answered each with BrisaApi_PutPlayData, then the microphone
 * block. Returns the blocks delivered, or -1 (reason in hxsim_last_error())
 * when the far end did not come in time. */
HXSIM_API int32_t hxsim_pump_call(int32_t n, int32_t timeout_ms);

#ifdef __cplusplus
}
#endif
#endif /* HXSIM_H */
