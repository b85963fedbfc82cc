// The canceller's figures for readers on any thread: a sequence lock, so
// the capture thread never waits on a reader. The capture thread makes the
// sequence odd, stores the words, makes it even; a reader copies the words
// and keeps the copy when the sequence was even and did not change
// meanwhile. Every word is an atomic: a torn copy is discarded, never a
// race.
#ifndef HX_ECHO_ECHO_STATS_H
#define HX_ECHO_ECHO_STATS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "echo/hx_echo.h"

class EchoStatsBoard {
 public:
  // Capture thread only.
  void Publish(const hx_echo_stats &st);
  // Any thread: a consistent copy; retries while the capture thread is
  // storing (a few hundred nanoseconds every 20 ms).
  void Read(hx_echo_stats *st) const;

 private:
  static constexpr size_t kWords = (sizeof(hx_echo_stats) + 7) / 8;
  std::atomic<uint64_t> seq_{0};
  std::atomic<uint64_t> words_[kWords] = {};
};

#endif  // HX_ECHO_ECHO_STATS_H
