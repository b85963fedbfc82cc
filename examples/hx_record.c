/* hx_record: the smallest host of libHx_Aec_Mod.so. It registers the two
 * callbacks, starts the module with the microphone on, keeps what the
 * capture callback receives for N seconds and writes it to a WAV file
 * (48 kHz stereo, 16-bit).
 *
 * Build against the installed packages (hx-aec-mod-dev, libsndfile1-dev):
 *   cc hx_record.c $(pkg-config --cflags --libs hx-aec-mod sndfile) -o hx_record
 * or with CMake: cmake -S . -B build && cmake --build build   (this folder)
 *
 * Run it on real devices (the back-ends installed in the module's private
 * folder, /usr/lib/<triplet>/hx-aec-mod), or on
 * the simulated world of hx-aec-mod-sim with the microphone from a WAV file
 * (16 kHz mono):
 *   LD_LIBRARY_PATH=/usr/lib/x86_64-linux-gnu/hx-aec-mod/sim HXSIM_MIC_WAV=speech.wav \
 *     ./hx_record 5 upstream.wav
 * The module writes its log lines to standard output. */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include <errno.h>
#include <hx_aec_mod.h>
#include <sndfile.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Upstream audio kept by the capture callback. */
struct recording {
  int16_t *samples;
  size_t capacity;    /* values (two per frame) */
  atomic_size_t used; /* values written; published after the copy */
};

/* Runs on the module's mix thread, once per 10 ms block of 1920 bytes
 * (480 frames of 48 kHz stereo). The block is valid only during the call:
 * copy it and return, never block here. */
static int32_t on_capture(void *ctx, int16_t *samples, int32_t len) {
  struct recording *rec = ctx;
  size_t used = atomic_load_explicit(&rec->used, memory_order_relaxed);
  size_t n = (size_t)len / sizeof(int16_t);
  if (len <= 0 || used + n > rec->capacity) return 0; /* full: not kept */
  memcpy(rec->samples + used, samples, (size_t)len);
  atomic_store_explicit(&rec->used, used + n, memory_order_release);
  return 0;
}

/* Runs on the module's play thread for far-end streams 0 to 3 every 10 ms:
 * fill the 1920-byte buffer and return a value above 0 when the stream has
 * audio. This host has no far end. */
static int32_t on_play(void *ctx, int16_t *buffer, int32_t len, int32_t stream) {
  (void)ctx;
  (void)stream;
  memset(buffer, 0, (size_t)len);
  return 0;
}

static int write_wav(const char *path, const int16_t *samples, size_t values) {
  SF_INFO info = {.samplerate = 48000, .channels = 2, .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16};
  SNDFILE *f = sf_open(path, SFM_WRITE, &info);
  if (!f) {
    fprintf(stderr, "hx_record: cannot write %s: %s\n", path, sf_strerror(NULL));
    return -1;
  }
  sf_count_t written = sf_write_short(f, samples, (sf_count_t)values);
  sf_close(f);
  return written == (sf_count_t)values ? 0 : -1;
}

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 5.0;
  const char *path = argc > 2 ? argv[2] : "upstream.wav";
  if (argc > 3 || !(seconds > 0 && seconds <= 3600)) {
    fprintf(stderr, "usage: %s [seconds (default 5)] [out.wav (default upstream.wav)]\n", argv[0]);
    return 2;
  }
  fprintf(stderr, "hx_record: module interface %s, recording %.1f s\n", HX_AEC_MOD_VERSION, seconds);

  struct recording rec = {.capacity = (size_t)((seconds + 1.0) * 48000.0) * 2};
  rec.samples = malloc(rec.capacity * sizeof(int16_t));
  if (!rec.samples) return 1;
  atomic_init(&rec.used, 0);

  /* Function, context, function, context. The contexts come back unchanged
   * as the first argument of each callback. */
  if (Hx_Aec_SetDownComCallBackPtr((void *)on_capture, &rec, (void *)on_play, NULL) != 0) {
    fprintf(stderr, "hx_record: the module has no engine\n");
    return 1;
  }
  Hx_Aec_SetMicroCapture(1);
  Hx_Aec_Init();
  struct timespec left = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  Hx_Aec_DeInit(); /* once it returns, no module thread calls back */

  const size_t used = atomic_load_explicit(&rec.used, memory_order_acquire);
  int rc = write_wav(path, rec.samples, used);
  fprintf(stderr, "hx_record: %zu blocks (%.2f s) of upstream audio %s %s\n", used / 960,
          (double)used / 96000.0, rc == 0 ? "written to" : "NOT written to", path);
  free(rec.samples);
  return rc == 0 ? 0 : 1;
}
