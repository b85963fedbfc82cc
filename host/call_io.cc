#include "call_io.h"

#include <cstring>

#include "hx_aec_mod.h"
#include "log_tap.h"

namespace host {

namespace {
constexpr int32_t kBlockBytes = 1920;  // 480 frames x 2 channels x 2 bytes
constexpr size_t kBlockSamples = kBlockBytes / 2;

// Check at compile time that the callbacks match the header's types.
[[maybe_unused]] constexpr HostCaptureFn kCaptureCheck = HostCapture;
[[maybe_unused]] constexpr HostPlayFn kPlayCheck = HostPlay;
}  // namespace

// Runs on the module's mix thread: copies the block and returns. Only one
// thread delivers at a time, so `used` is advanced after the copy and the
// main thread reads whole blocks only.
int32_t HostCapture(void *ctx, int16_t *samples, int32_t len) {
  auto *sink = static_cast<CaptureSink *>(ctx);
  if (!sink || !samples || len != kBlockBytes) {
    if (sink) sink->odd_blocks.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  if (sink->first_block_s.load(std::memory_order_relaxed) < 0)
    sink->first_block_s.store(MonotonicSeconds() - sink->start_s, std::memory_order_relaxed);
  size_t used = sink->used.load(std::memory_order_relaxed);
  if (used + kBlockSamples > sink->store.size()) {
    sink->overflow_blocks.fetch_add(1, std::memory_order_relaxed);
  } else {
    memcpy(sink->store.data() + used, samples, kBlockBytes);
    sink->used.store(used + kBlockSamples, std::memory_order_release);
  }
  sink->blocks.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// Runs on the module's play thread (or a host thread pulling through the
// module), one call at a time: the module serialises its play-callback
// calls. Returns the byte count when the stream has audio, else 0.
int32_t HostPlay(void *ctx, int16_t *buffer, int32_t len, int32_t stream) {
  auto *src = static_cast<FarEndSource *>(ctx);
  if (!src || !buffer || len != kBlockBytes || stream < 0 || stream > 3) {
    if (src) src->bad_calls.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  src->calls[stream].fetch_add(1, std::memory_order_relaxed);
  if (static_cast<size_t>(stream) >= src->streams.size()) return 0;
  const Pcm &pcm = src->streams[stream];
  size_t total = pcm.frames();
  size_t &pos = src->pos_frames[stream];
  if (pos >= total) {
    if (!src->loop || total == 0) return 0;
    pos = 0;
  }
  const size_t frames = kBlockSamples / 2;
  size_t n = total - pos < frames ? total - pos : frames;
  memcpy(buffer, pcm.samples.data() + 2 * pos, n * 4);
  if (n < frames) memset(buffer + 2 * n, 0, (frames - n) * 4);  // tail of the signal
  pos += n;
  src->audio_blocks[stream].fetch_add(1, std::memory_order_relaxed);
  return kBlockBytes;
}

}  // namespace host
