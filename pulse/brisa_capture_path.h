// What the voice path does to each microphone block before the module gets
// it: the shared echo canceller (echo/hx_echo.h) cancels the far end the
// sink was handed, with the stream delay the server reports, and its voice
// detection gives the voice flag.
#ifndef HX_PULSE_BRISA_CAPTURE_PATH_H
#define HX_PULSE_BRISA_CAPTURE_PATH_H

#include <stddef.h>
#include <stdint.h>

#include "echo/hx_echo.h"

namespace hxpa {

constexpr int kVoiceRate = HX_ECHO_RATE;
constexpr size_t kVoiceBlockSamples = HX_ECHO_BLOCK;  // 20 ms mono: one delivery

// What the server reports for streams that opened less than this ago is not
// taken as their latency: right after a record stream opens it reports the
// latency the source had before it was reconfigured for the stream (seen:
// 640 ms for a remapped monitor source, held for 0.6 s, then falling by
// 20 ms per 20 ms block to 0, while blocks arrived at the real-time pace and
// their echo kept its true delay of 91 ms), and a playback stream reports
// 0 until its first timing update. The delay last used stands meanwhile.
constexpr double kLatencySettleSeconds = 2;
// Nor a capture latency above this, at any time.
constexpr int kMaxCaptureLatencyMs = 200;

class BrisaCapturePath {
 public:
  ~BrisaCapturePath() { hx_echo_destroy(echo_); }
  // Takes over `adopt` (a canceller that another instance adapted), or
  // creates a canceller when it is null. false when it refuses to start;
  // *error (static text) then says why.
  bool Init(hx_echo *adopt, const char **error);
  // The canceller, handed over (for the next instance); null afterwards.
  hx_echo *Release() {
    hx_echo *e = echo_;
    echo_ = nullptr;
    return e;
  }
  // Main-loop thread: the far end exactly as it was just handed to the sink,
  // 16 kHz interleaved stereo (silence included). Copies into the
  // canceller's bounded queue; never allocates.
  void FarEnd(const int16_t *stereo, size_t frames);
  // Delivery thread: cancels the echo in one 320-sample block in place and
  // packs the voice flag into it (bit 0 of sample 0 = voice, bit 0 of
  // sample 1 = 0). render_ms and capture_ms are the latencies the server
  // reports for the two streams (their sum says how long ago the far end now
  // in the microphone was queued), settled whether both streams are old
  // enough for them to count.
  void Process(int16_t *block, int render_ms, int capture_ms, bool settled);
  // Any thread: the canceller's figures.
  void Stats(hx_echo_stats *st) { hx_echo_get_stats(echo_, st); }
  // Diagnostics (hx_echo_record): before and after the capture runs.
  void Record(int seconds) { hx_echo_record(echo_, seconds); }
  void SaveRecording(const char *path) { hx_echo_save_recording(echo_, path); }

 private:
  hx_echo *echo_ = nullptr;
  int delay_ms_ = -1;   // the delay last used, -1 before any
};

}  // namespace hxpa

#endif
