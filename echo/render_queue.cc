#include "echo/render_queue.h"

void RenderQueue::Push(const int16_t *stereo, int32_t frames) {
  std::lock_guard<std::mutex> lk(mu_);
  for (int32_t i = 0; i < frames; ++i) {
    if (count_ == kRenderQueueCapacity) {  // the capture side stalled: keep the newest
      lost_.fetch_add(1, std::memory_order_relaxed);
      head_ = (head_ + 1) % kRenderQueueCapacity;
      --count_;
    }
    ring_[(head_ + count_) % kRenderQueueCapacity] =
        static_cast<int16_t>((stereo[2 * i] + stereo[2 * i + 1]) >> 1);
    ++count_;
  }
  total_.fetch_add(frames, std::memory_order_relaxed);
}

size_t RenderQueue::Take(int16_t *to, int64_t *received) {
  std::lock_guard<std::mutex> lk(mu_);
  const size_t n = count_;
  for (size_t i = 0; i < n; ++i) to[i] = ring_[(head_ + i) % kRenderQueueCapacity];
  head_ = (head_ + n) % kRenderQueueCapacity;
  count_ = 0;
  *received = total_.load(std::memory_order_relaxed);
  return n;
}
