// Second-order high-pass biquad in 16-bit fixed point (Q13 coefficients).
// The output history is kept in split form (high part, low remainder) so the
// recursion keeps about 28 bits of precision with 16x16 products only.
#include "dsp/hpf.h"

#include <stddef.h>

#include "engine/log.h"

// {b0, b1, b2, -a1, -a2}
static const int16_t kHpfCoefs8k[5] = {3798, -7596, 3798, 7807, -3733};
static const int16_t kHpfCoefsDefault[5] = {4012, -8024, 4012, 8002, -3913};

int32_t hpf_init(HpfState *hpf, int32_t sample_rate_hz) {
  hx_assert_at(hpf != NULL, "Hx_Aec_Impl", 445);
  hpf->ba = sample_rate_hz == 8000 ? kHpfCoefs8k : kHpfCoefsDefault;
  hpf->x[0] = hpf->x[1] = 0;
  hpf->y[0] = hpf->y[1] = hpf->y[2] = hpf->y[3] = 0;
  return 0;
}

int32_t hpf_filter(HpfState *hpf, int16_t *data, int32_t length) {
  hx_assert_at(hpf != NULL, "Hx_Aec_Impl", 464);
  const int16_t *ba = hpf->ba;
  int16_t *x = hpf->x;
  int16_t *y = hpf->y;
  for (int32_t i = 0; i < length; ++i) {
    // Feedback: low parts first (Q15 remainder), then high parts, in Q13.
    int32_t acc = (int32_t)y[1] * ba[3] + (int32_t)y[3] * ba[4];
    acc >>= 15;
    acc += (int32_t)y[0] * ba[3] + (int32_t)y[2] * ba[4];
    acc = (int32_t)((uint32_t)acc << 1);  // wraps on overflow
    // Feed-forward.
    acc += (int32_t)data[i] * ba[0] + (int32_t)x[0] * ba[1] + (int32_t)x[1] * ba[2];

    x[1] = x[0];
    x[0] = data[i];
    y[2] = y[0];
    y[3] = y[1];
    y[0] = (int16_t)(acc >> 13);
    y[1] = (int16_t)((uint32_t)(acc - (int32_t)y[0] * 8192) << 2);

    // Output: rounded and saturated to the 16-bit range; the history above
    // keeps the unrounded value.
    acc += 2048;
    if (acc > 134217727) acc = 134217727;
    if (acc < -134217728) acc = -134217728;
    data[i] = (int16_t)(acc >> 12);
  }
  return 0;
}
