// Seconds on the monotonic clock, for the back-ends' ages and deadlines.
#ifndef HX_PULSE_MONOTONIC_H
#define HX_PULSE_MONOTONIC_H

#include <time.h>

namespace hxpa {

inline double MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

}  // namespace hxpa

#endif
