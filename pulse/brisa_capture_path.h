// What the voice path does to each microphone block before the module gets
// it. Everything that needs the far end and the stream delay lives here:
// today voice detection; an echo canceller slots in at Process() with the
// far end (FarEnd) and the delay it is handed.
#ifndef HX_PULSE_BRISA_CAPTURE_PATH_H
#define HX_PULSE_BRISA_CAPTURE_PATH_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <mutex>

#include "pulse/byte_fifo.h"
#include "webrtc/modules/audio_processing/include/audio_processing.h"
#include "webrtc/modules/interface/module_common_types.h"

namespace hxpa {

constexpr int kVoiceRate = 16000;
constexpr size_t kVoiceBlockSamples = 320;  // 20 ms mono: one delivery
constexpr size_t kVoiceFrameSamples = 160;  // 10 ms: one processing frame

class BrisaCapturePath {
 public:
  // Allocates the processing state. false when it cannot.
  bool Init();
  // Main-loop thread: the far end exactly as it was just handed to the sink,
  // 16 kHz interleaved stereo (silence included).
  void FarEnd(const int16_t *stereo, size_t frames);
  // Delivery thread: processes one 320-sample block in place and packs the
  // voice flag into it (bit 0 of sample 0 = voice, bit 0 of sample 1 = 0).
  // delay_ms is the render latency plus the capture latency the server
  // reports, i.e. how long ago the far end now in the microphone was queued.
  void Process(int16_t *block, int delay_ms);

 private:
  std::unique_ptr<webrtc::AudioProcessing> apm_;
  webrtc::AudioFrame near_, far_frame_;
  std::mutex far_mu_;
  ByteFifo far_;  // far end waiting for the next block
};

}  // namespace hxpa

#endif
