// Second-order fixed-point high-pass filter of the microphone chain.
#ifndef HX_DSP_HPF_H
#define HX_DSP_HPF_H

#include <stdint.h>

struct HpfState {
  int16_t y[4];
  int16_t x[2];
  const int16_t *ba;
};

int32_t hpf_init(HpfState *hpf, int32_t sample_rate_hz);
int32_t hpf_filter(HpfState *hpf, int16_t *data, int32_t length);

#endif
