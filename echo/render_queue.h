// The far end between the render thread and the capture thread: a bounded
// ring of mono samples under a short lock. The render side never waits for
// the capture side: when the ring is full the oldest samples go (counted),
// so a stalled capture thread finds the newest second when it comes back.
#ifndef HX_ECHO_RENDER_QUEUE_H
#define HX_ECHO_RENDER_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "echo/hx_echo.h"

constexpr size_t kRenderQueueCapacity = HX_ECHO_RATE;  // 1 s of mono far end

class RenderQueue {
 public:
  // Render thread: interleaved stereo frames, mixed to mono (both channels
  // reach the one microphone: the reference is their mean).
  void Push(const int16_t *stereo, int32_t frames);
  // Capture thread: moves every queued sample to `to` (room for
  // kRenderQueueCapacity) and returns how many; `*received` is the count
  // ever pushed, taken under the same lock.
  size_t Take(int16_t *to, int64_t *received);
  // Any thread.
  int64_t received() const { return total_.load(std::memory_order_relaxed); }
  int64_t dropped() const { return lost_.load(std::memory_order_relaxed); }

 private:
  std::mutex mu_;
  int16_t ring_[kRenderQueueCapacity];
  size_t head_ = 0, count_ = 0;
  std::atomic<int64_t> total_{0}, lost_{0};  // written under mu_
};

#endif  // HX_ECHO_RENDER_QUEUE_H
