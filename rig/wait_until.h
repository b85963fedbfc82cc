// Polling with a deadline, for the rig and the tests: never a fixed sleep
// where a condition can be awaited.
#ifndef HX_RIG_WAIT_UNTIL_H
#define HX_RIG_WAIT_UNTIL_H

#include <chrono>
#include <functional>
#include <thread>

// Polls `cond` every 5 ms until it holds or `timeout_ms` passes.
inline bool WaitUntil(const std::function<bool()> &cond, int timeout_ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (; !cond(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::chrono::steady_clock::now() >= deadline) return cond();
  return true;
}

#endif
