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

class BrisaCapturePath {
 public:
  ~BrisaCapturePath() { hx_echo_destroy(echo_); }
  // Creates the canceller. false when it refuses to start; *error (static
  // text) then says why.
  bool Init(const char **error);
  // Main-loop thread: the far end exactly as it was just handed to the sink,
  // 16 kHz interleaved stereo (silence included). Copies into the
  // canceller's bounded queue; never allocates.
  void FarEnd(const int16_t *stereo, size_t frames);
  // Delivery thread: cancels the echo in one 320-sample block in place and
  // packs the voice flag into it (bit 0 of sample 0 = voice, bit 0 of
  // sample 1 = 0). delay_ms is the render latency plus the capture latency
  // the server reports, i.e. how long ago the far end now in the microphone
  // was queued.
  void Process(int16_t *block, int delay_ms);
  // Any thread: the canceller's figures.
  void Stats(hx_echo_stats *st) { hx_echo_get_stats(echo_, st); }

 private:
  hx_echo *echo_ = nullptr;
};

}  // namespace hxpa

#endif
