#include "upstream/primitives.h"

namespace {
inline int16_t Saturate(int32_t s) {
  return (int16_t)(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
}
}  // namespace

uint32_t CalcPower(const int16_t *x, int32_t n) {
  if (n <= 0) return 0;
  uint32_t sum = 0;
  for (int32_t i = 0; i < n; i += 8) {
    int32_t v = x[i];
    sum += (uint32_t)(v < 0 ? -v : v);
  }
  int32_t groups = n / 8;
  return sum / (uint32_t)(groups > 0 ? groups : 1);
}

void MixFour(const int16_t *a, const int16_t *b, const int16_t *c, const int16_t *d,
             int16_t *out, const uint8_t *enable, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    int32_t s = 0;
    if (enable[0]) s += a[i];
    if (enable[1]) s += b[i];
    if (enable[2]) s += c[i];
    if (enable[3]) s += d[i];
    out[i] = Saturate(s);
  }
}

void MixTwo(int16_t *out, const int16_t *a, const int16_t *b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) out[i] = Saturate((int32_t)a[i] + b[i]);
}
