// Literal reference of the high-pass filter, shared by its unit test and
// its fuzz target.
#ifndef HX_TESTS_SUPPORT_HPF_REFERENCE_H
#define HX_TESTS_SUPPORT_HPF_REFERENCE_H

#include <stdint.h>

namespace hpf_ref {

const int16_t kBa8k[5] = {3798, -7596, 3798, 7807, -3733};
const int16_t kBaDefault[5] = {4012, -8024, 4012, 8002, -3913};

// The filter one operation at a time, in 64-bit where the production code
// relies on 32-bit behaviour; counts the outputs it clamps high and low.
struct RefHpf {
  explicit RefHpf(int32_t rate) : ba(rate == 8000 ? kBa8k : kBaDefault) {}
  int16_t y[4] = {}, x[2] = {};
  const int16_t *ba;
  int clamped[2] = {};
  int overflows = 0;  // samples whose accumulator left the 32-bit range
  void Filter(int16_t *data, int n) {
    for (int i = 0; i < n; ++i) {
      int64_t acc = ((int64_t)y[1] * ba[3] + (int64_t)y[3] * ba[4]) >> 15;
      acc += (int64_t)y[0] * ba[3] + (int64_t)y[2] * ba[4];
      acc = (int32_t)(uint32_t)((uint64_t)acc << 1);
      acc = acc + (int64_t)data[i] * ba[0] + (int64_t)x[0] * ba[1] + (int64_t)x[1] * ba[2];
      overflows += acc != (int32_t)acc;
      x[1] = x[0], x[0] = data[i], y[2] = y[0], y[3] = y[1];
      y[0] = (int16_t)(acc >> 13);
      y[1] = (int16_t)((acc - (int64_t)y[0] * 8192) * 4);
      acc = acc + 2048;
      if (acc > 134217727) acc = 134217727, ++clamped[0];
      if (acc < -134217728) acc = -134217728, ++clamped[1];
      data[i] = (int16_t)(acc >> 12);
    }
  }
};

}  // namespace hpf_ref

#endif
