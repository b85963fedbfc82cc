// The far end on the capture clock, as the capture thread keeps it: a ring
// of `size` samples (a power of two) holding the history indexes
// [count - size, count). A view; the ring belongs to FarEndClock.
#ifndef HX_ECHO_FAR_HISTORY_H
#define HX_ECHO_FAR_HISTORY_H

#include <cstdint>

struct FarHistory {
  const int16_t *ring;
  int64_t size;
  int64_t count;

  // The far end at history index `at`; 0 where it is not (or no longer) there.
  int16_t At(int64_t at) const {
    return at >= 0 && at < count && at >= count - size ? ring[at & (size - 1)] : 0;
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
