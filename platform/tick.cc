#include "platform/tick.h"

#include <errno.h>
#include <time.h>

#include <atomic>

namespace hx {
namespace {
std::atomic<uint32_t> g_tickOffset{0};
}

uint32_t GetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
  return (uint32_t)ms + g_tickOffset.load(std::memory_order_relaxed);
}

uint64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

uint32_t MsLeft(uint64_t deadline_ms, uint32_t cap) {
  const uint64_t now = NowMs();
  if (now >= deadline_ms) return 0;
  const uint64_t left = deadline_ms - now;
  return left < cap ? (uint32_t)left : cap;
}

void Sleep(uint32_t ms) {
  timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void SetTickOffsetForTest(uint32_t offset) { g_tickOffset.store(offset); }
}  // namespace hx
