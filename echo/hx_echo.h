/* hxecho: the echo canceller of the voice path, shared by the simulated
 * voice path (libhxsim.so) and the real one (libBrisaDll.so).
 *
 * It sits on WebRTC's AudioProcessing (webrtc-audio-processing 0.3) with the
 * echo canceller and voice detection on; the dependency's own noise
 * suppression, gain control and high-pass filter stay off because the module
 * cleans the microphone itself afterwards.
 *
 * Data:
 *   - reverse stream: the far end exactly as the voice path plays it, 16 kHz
 *     interleaved stereo (what BrisaApi_PutPlayData receives: 160 frames per
 *     call), on the render thread;
 *   - capture: one 20 ms microphone block, 320 samples of 16 kHz mono, with
 *     the stream delay the voice path knows (render latency + capture
 *     latency, in ms), on the capture thread; the cleaned block and the voice
 *     flag come back. The flag marks near-end voice only. What the linear
 *     canceller leaves of the echo is taken out per frequency bin by the
 *     residual-echo suppressor (echo/residual_suppressor.h, 5 ms of
 *     latency), which puts back the background it takes as comfort noise,
 *     so the background never dips. With residual_suppressor 0 the older
 *     broadband gate runs instead: a half that the canceller cut by more
 *     than 12 dB was echo and what is left of it is attenuated by up to
 *     40 dB more (the background too: it dips while the far end talks
 *     alone); a half the canceller made louder comes back at the level the
 *     microphone heard.
 *
 * The component aligns the far end itself: from the stream delay it knows
 * which far end echoes in each block, and hands the canceller that far end
 * 40 ms early with a stream delay of 0, so the dependency's own delay logic
 * never moves. It follows a change of the delay by more than 20 ms that
 * holds for half a second and leaves smaller ones to the canceller's
 * filter. An echo the report does not show (a loopback, a converter's
 * buffer, another device whose latency the server does not know) is found
 * in the signals: once it leaves the filter's reach the alignment moves to
 * it. The render clock's drift against the capture clock is estimated
 * from sample counts, used once the echo's own slide in the signals
 * confirms it, and the far end resampled onto the capture clock (libsoxr).
 *
 * Settings (defaults, measured in docs/performance.md):
 *   - extended filter on: 128 ms of filter hold the lead and a room;
 *   - delay-agnostic off: the delay is known (driven directly with it on,
 *     the dependency loses echoes delayed 150 ms and more);
 *   - suppression low: double talk keeps the near end (high suppression
 *     takes about 6 dB off it); the echo reduction stays about 40 dB;
 *   - drift tracking on: without it 100 ppm of drift costs 20 dB of echo
 *     reduction (the echo slides through the filter), and the dependency
 *     driven directly loses the echo after about 1.5 h;
 *   - the dependency's own drift compensation off (it wants the drift of
 *     every frame in samples, which the tracking makes needless).
 *
 * Threads: one render thread and one capture thread may call at the same
 * time; statistics may be read from any thread. The render call only copies
 * into a bounded queue under a short lock; all processing runs on the
 * capture thread, which publishes the figures without a lock (a reader
 * never holds it up). Neither call allocates after hx_echo_create (libsoxr
 * may grow its internal buffers during the first calls). */
#ifndef HX_ECHO_H
#define HX_ECHO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  HX_ECHO_RATE = 16000,
  HX_ECHO_BLOCK = 320,        /* capture samples per call (20 ms) */
  HX_ECHO_REVERSE_FRAMES = 160 /* reverse frames per 10 ms */
};

enum { HX_ECHO_ENGINE_WEBRTC = 0, /* AudioProcessing of webrtc-audio-processing 0.3 */
       HX_ECHO_ENGINE_AEC3 = 1    /* AEC3 of current WebRTC: only in programs linked with
                                     hxecho_aec3; the settings above do not apply to it */ };

enum { HX_ECHO_SUPPRESSION_LOW = 0, HX_ECHO_SUPPRESSION_MODERATE = 1,
       HX_ECHO_SUPPRESSION_HIGH = 2 };

typedef struct {
  int32_t extended_filter;    /* 1: 128 ms adaptive filter (default 1) */
  int32_t delay_agnostic;     /* 1: ignore the reported delay, estimate it (default 0) */
  int32_t suppression;        /* HX_ECHO_SUPPRESSION_* (default LOW) */
  int32_t drift_tracking;     /* 1: follow render/capture clock drift (default 1) */
  int32_t path_tracking;      /* 1: follow the echo's slide in the signals (default 1;
                                 needs drift_tracking) */
  int32_t engine;             /* HX_ECHO_ENGINE_* (default WEBRTC) */
  int32_t residual_suppressor; /* what follows the linear canceller: 1 the residual-echo
                                  suppressor per frequency bin with comfort noise (default;
                                  the output is 5 ms later), 0 the broadband residual-echo
                                  gate per 10 ms half */
} hx_echo_settings;

typedef struct {
  int64_t capture_blocks;     /* capture calls processed */
  int64_t reverse_samples;    /* mono reverse samples received */
  int64_t reverse_dropped;    /* reverse samples dropped: queue full */
  int32_t reported_delay_ms;  /* last stream delay given with a capture block */
  int32_t applied_delay_ms;   /* delay the far end is aligned by: the reported one,
                                 averaged, followed when it moves by over 20 ms, plus
                                 what the echo found in the signals adds to it */
  int32_t lead_ms;            /* how early the aligned far end reaches the canceller */
  int64_t alignment_steps;    /* times the alignment moved (delay jumps, settling) */
  int64_t starved_blocks;     /* blocks whose aligned far end had not arrived */
  double drift_ppm;           /* estimated render clock minus capture clock, ppm */
  int32_t drift_used;         /* 1 while that estimate corrects the far end (with path
                                 tracking: once the echo's slide confirmed it) */
  int32_t path_locked;        /* 1 while the echo is found in the signals */
  double path_ppm;            /* the far end's resampling corrected by this, ppm */
  double path_offset_ms;      /* the echo arrives this much later than reported */
  int64_t path_locks;         /* times the echo was found */
  /* The canceller's own figures (0 until it has produced them, about 1 s):
   * echo return loss enhancement and echo return loss in dB (averages), its
   * delay estimate (median and spread of the residual delay, ms) and the
   * share of poor delay estimates. */
  int32_t metrics_valid;
  int32_t erle_db, erl_db, a_nlp_db;
  int32_t delay_median_ms, delay_std_ms;
  float fraction_poor_delays;
  int32_t voice;              /* voice flag of the last block */
} hx_echo_stats;

typedef struct hx_echo hx_echo;

void hx_echo_default_settings(hx_echo_settings *s);

/* NULL when the dependency refuses a setting; *error (may be NULL) then
 * points to a static text saying which. */
hx_echo *hx_echo_create(const hx_echo_settings *s, const char **error);
void hx_echo_destroy(hx_echo *e);

/* Far end as played, interleaved stereo at 16 kHz; any frame count. */
void hx_echo_reverse(hx_echo *e, const int16_t *stereo, int32_t frames);

/* One capture block: `count` must be HX_ECHO_BLOCK. Writes the cleaned block
 * to `out` (may equal `mic`) and the voice flag (0 or 1) to `*voice`.
 * Until the microphone first holds a sample other than 0, blocks pass as
 * silence and the stages have not started (the far end is still taken).
 * Returns 0, or -1 when `count` is wrong (nothing written). */
int32_t hx_echo_capture(hx_echo *e, const int16_t *mic, int32_t count, int32_t stream_delay_ms,
                        int16_t *out, int32_t *voice);

void hx_echo_get_stats(hx_echo *e, hx_echo_stats *st);

/* Diagnostics of a live call. hx_echo_record keeps, from its call on and
 * for up to `seconds` of blocks, what each capture call consumes and gives
 * back (echo/echo_recording.h: bench/voice_replay replays it). It
 * allocates the memory and must not overlap a capture call; afterwards the
 * capture calls only copy into it. hx_echo_save_recording writes what was
 * kept to `path` while no capture call runs. Both return 0, or -1 (out of
 * memory, no recording, the file not written). */
int32_t hx_echo_record(hx_echo *e, int32_t seconds);
int32_t hx_echo_save_recording(hx_echo *e, const char *path);

#ifdef __cplusplus
}
#endif
#endif /* HX_ECHO_H */
