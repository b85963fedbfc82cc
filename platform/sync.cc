#include "platform/sync.h"

#include <chrono>

namespace hx {

void Event::Set() {
  {
    std::lock_guard<std::mutex> g(m_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void Event::Reset() {
  std::lock_guard<std::mutex> g(m_);
  signalled_ = false;
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> g(m_);
  auto ready = [this] { return signalled_; };
  if (timeout_ms == kInfinite) {
    cv_.wait(g, ready);
  } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), ready)) {
    return false;
  }
  signalled_ = false;
  return true;
}

}  // namespace hx
