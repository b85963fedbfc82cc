#include "echo/echo_stats.h"

#include <string.h>

void EchoStatsBoard::Publish(const hx_echo_stats &st) {
  uint64_t words[kWords] = {};
  memcpy(words, &st, sizeof st);
  const uint64_t seq = seq_.load(std::memory_order_relaxed);
  seq_.store(seq + 1, std::memory_order_relaxed);
  // Release stores: a reader that sees any new word also sees the odd
  // sequence stored before it (no fences: ThreadSanitizer does not model them).
  for (size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
  seq_.store(seq + 2, std::memory_order_release);
}

void EchoStatsBoard::Read(hx_echo_stats *st) const {
  uint64_t words[kWords];
  for (;;) {
    const uint64_t before = seq_.load(std::memory_order_acquire);
    for (size_t i = 0; i < kWords; ++i)  // acquire: the check below comes after
      words[i] = words_[i].load(std::memory_order_acquire);
    if (!(before & 1) && seq_.load(std::memory_order_relaxed) == before) break;
  }
  memcpy(st, words, sizeof *st);
}
