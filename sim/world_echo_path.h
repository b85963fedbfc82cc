// The simulated voice path's loudspeaker and the acoustic echo path back into
// the microphone.
//
//   far end (BrisaApi_PutPlayData) -> render queue -> loudspeaker, on the
//   render clock (drift: resampled to the capture clock) -> soft clip ->
//   reverberant room (FFT convolution) -> delay -> short room response ->
//   gain -> added to the microphone, with room noise
//
// The loudspeaker takes what a microphone block's 20 ms need from the render
// queue when that block is captured, so the queue's fill is render latency
// the voice path knows, as a sound server would report it. It starts (and
// restarts after running dry) once a block and a half are queued.
#ifndef HXSIM_WORLD_ECHO_PATH_H
#define HXSIM_WORLD_ECHO_PATH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hxsim.h"
#include "room.h"

struct SpeexResamplerState_;

namespace hxsim {

class EchoPath {
 public:
  EchoPath();
  ~EchoPath();
  EchoPath(const EchoPath &) = delete;
  EchoPath &operator=(const EchoPath &) = delete;

  // Takes effect at the next block. A delay change jumps (as a change of
  // output device does); a drift change restarts the clock conversion.
  void Configure(const hxsim_echo_path &cfg);
  // Silence: empties the render queue and the loudspeaker's history; the
  // microphone's quiet start (quiet_ms) begins again.
  void Reset();
  // Far end as played: interleaved stereo, mixed to mono for the speaker.
  void Render(const int16_t *stereo, int frames);
  // Adds the echo of the next n capture samples and the room noise into mic
  // (saturating) and writes the echo alone to echo (may be null); within
  // the quiet start both are zero.
  void Capture(int16_t *mic, int16_t *echo, int n);
  // Render queue + loudspeaker-to-microphone delay, in ms: the stream delay
  // a voice path that knows its device latency reports.
  int32_t StreamDelayMs() const;
  int64_t underruns() const { return underruns_; }
  int64_t overflows() const { return overflows_; }

 private:
  void Speak(float *dst, int n);  // next n loudspeaker samples on the capture clock

  hxsim_echo_path cfg_{};
  std::vector<int16_t> queue_;  // render queue (ring), mono
  size_t queue_head_ = 0, queue_count_ = 0;
  bool playing_ = false;
  std::vector<float> line_;     // loudspeaker output on the capture clock (ring)
  size_t line_pos_ = 0;         // next write position
  std::vector<float> room_;     // short room's impulse response, unit energy
  RoomConvolver reverb_;        // reverberant room (rt60_s > 0)
  RoomNoise noise_;
  float gain_ = 0;
  float drive_ = 0;             // soft clip's d; 0: linear
  SpeexResamplerState_ *drift_ = nullptr;
  std::vector<int16_t> drift_in_, drift_out_;
  int64_t underruns_ = 0, overflows_ = 0;
  int64_t captured_ = 0;        // microphone samples since Reset
  uint32_t quiet_seed_ = 1;     // the quiet start's near-silence
};

}  // namespace hxsim

#endif  // HXSIM_WORLD_ECHO_PATH_H
