// The far end on the capture clock, as the capture thread keeps it: a ring
// of `size` samples (a power of two) holding the history indexes
// [count - size, count). A view; the ring belongs to FarEndClock.
#ifndef HX_ECHO_FAR_HISTORY_H
#define HX_ECHO_FAR_HISTORY_H

#include <algorithm>
#include <cstdint>

struct FarHistory {
  const int16_t *ring;
  int64_t size;
  int64_t count;

  // The far end at history index `at`; 0 where it is not (or no longer) there.
  int16_t At(int64_t at) const {
    return at >= 0 && at < count && at >= count - size ? ring[at & (size - 1)] : 0;
  }

  // n samples from history index `at` on, as At gives them, into `out`
  // (int16_t or float): the bounds are found once, not per sample.
  template <typename T>
  void Copy(int64_t at, int n, T *out) const {
    const int64_t held_from = count > size ? count - size : 0;
    const int from = int(std::clamp<int64_t>(held_from - at, 0, n));
    const int to = int(std::clamp<int64_t>(count - at, from, n));
    std::fill(out, out + from, T(0));
    for (int i = from; i < to;) {  // at most two runs: up to the ring's end, then from its start
      const int64_t pos = (at + i) & (size - 1);
      const int run = int(std::min<int64_t>(to - i, size - pos));
      for (int j = 0; j < run; ++j) out[i + j] = T(ring[pos + j]);
      i += run;
    }
    std::fill(out + to, out + n, T(0));
  }
};

// Where the echo of the microphone sits in that history: the far end whose
// echo reaches capture index c is history index c + offset, while `found`
// (the echo was found in the signals).
struct EchoLocation {
  FarHistory far;
  bool found;
  double offset;
};

#endif  // HX_ECHO_FAR_HISTORY_H
