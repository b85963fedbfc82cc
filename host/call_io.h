// The host's side of the audio exchange: the capture sink that receives the
// module's upstream blocks and the far-end source that the module pulls.
#ifndef HX_HOST_CALL_IO_H
#define HX_HOST_CALL_IO_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "wav_io.h"

namespace host {

// Receives 1920-byte blocks (480 frames, 48 kHz stereo) on the module's mix
// thread. The store is allocated up front; the callback only copies.
struct CaptureSink {
  explicit CaptureSink(size_t capacity_samples) : store(capacity_samples) {}
  std::vector<int16_t> store;
  std::atomic<size_t> used{0};          // samples in store
  std::atomic<long> blocks{0};          // calls with 1920 bytes
  std::atomic<long> odd_blocks{0};      // calls with another length (ignored)
  std::atomic<long> overflow_blocks{0}; // blocks that did not fit in store
  std::atomic<double> first_block_s{-1};
  double start_s = 0;
};

// Up to four far-end streams, 48 kHz stereo, handed out 480 frames per call.
struct FarEndSource {
  std::vector<Pcm> streams;                // stereo
  std::vector<size_t> pos_frames = std::vector<size_t>(4, 0);
  bool loop = false;
  std::atomic<long> calls[4] = {};         // calls per stream index
  std::atomic<long> audio_blocks[4] = {};  // calls that returned audio
  std::atomic<long> bad_calls{0};          // unexpected length or index
};

// The two host callbacks, with the signatures of the module's public header.
int32_t HostCapture(void *ctx, int16_t *samples, int32_t len);
int32_t HostPlay(void *ctx, int16_t *buffer, int32_t len, int32_t stream);

}  // namespace host

#endif
