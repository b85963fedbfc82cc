// Sample primitives shared by the upstream and playback paths: a cheap power
// measure and two hard-saturating mixers. No state, no allocation, no log.
#ifndef HX_UPSTREAM_PRIMITIVES_H
#define HX_UPSTREAM_PRIMITIVES_H

#include <stdint.h>

// Mean absolute value of every eighth sample: the sum over x[0], x[8], ...
// (ceil(n/8) terms) divided by floor(n/8). For n < 8 (no whole group of 8)
// the result is the sum of the terms taken, x[0] alone, i.e. the divisor is
// taken as 1; n <= 0 gives 0.
uint32_t CalcPower(const int16_t *x, int32_t n);
// out[i] = saturate(sum of the enabled sources at i); disabled sources are
// never read.
void MixFour(const int16_t *a, const int16_t *b, const int16_t *c, const int16_t *d,
             int16_t *out, const uint8_t *enable, int32_t n);
// out[i] = saturate(a[i] + b[i]).
void MixTwo(int16_t *out, const int16_t *a, const int16_t *b, int32_t n);

#endif
