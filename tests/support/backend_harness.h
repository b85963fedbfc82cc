// Helpers for tests that run the engine's worker threads against the
// simulated back-ends: a scriptable host, the stand-ins' call log as lines,
// and the module's log lines in order.
#ifndef HX_TESTS_SUPPORT_BACKEND_HARNESS_H
#define HX_TESTS_SUPPORT_BACKEND_HARNESS_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

// Host side of the far-end exchange. Each stream i is filled with
// Sample(i, j) and answers `result[i]`.
struct FakeHost {
  std::atomic<int64_t> play_calls{0};
  std::atomic<int64_t> capture_calls{0};
  std::atomic<int32_t> result[4] = {{1920}, {1920}, {1920}, {1920}};
  // While set, the play callback blocks until it is cleared.
  std::atomic<bool> block_play{false};
  std::atomic<bool> play_blocked{false};

  static int16_t Sample(int stream, int j);
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream);
  static int32_t Capture(void *ctx, int16_t *samples, int32_t len);
  int64_t Cycles() const { return play_calls.load() / 4; }
};

// The stand-ins' call log, one call per element; lines starting with
// "MMDevApi_" or "Rtl" (device and version calls) are left out unless
// `with_devices`.
std::vector<std::string> CallLog(bool with_devices = false);
// Index of the first element equal to `what` at or after `from`; -1 if none.
int IndexOf(const std::vector<std::string> &v, const std::string &what, int from = 0);
// Lines of `text` containing `needle`, in order.
std::vector<std::string> LinesWith(const std::string &text, const std::string &needle);

#endif
