// Whether a stretch of microphone samples holds sound: a mean square over 4
// (2 LSB rms, -84 dBFS). Below it lie digital silence and the +-1 LSB of a
// muted or ringing input, which the echo stages neither start on nor learn
// a background from.
#ifndef HX_ECHO_SOUND_FLOOR_H
#define HX_ECHO_SOUND_FLOOR_H

#include <cstdint>

inline bool EchoHoldsSound(const int16_t *x, int n) {
  int64_t energy = 0;
  for (int i = 0; i < n; ++i) energy += int32_t(x[i]) * x[i];
  return energy > 4 * int64_t(n);
}

#endif  // HX_ECHO_SOUND_FLOOR_H
