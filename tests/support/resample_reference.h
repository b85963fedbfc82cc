// Literal reference of the block resampler: the filter table computed from its formula (a
// Kaiser-windowed sinc), and the algorithm as written, one wing walk per output sample.
#ifndef HX_TESTS_SUPPORT_RESAMPLE_REFERENCE_H
#define HX_TESTS_SUPPORT_RESAMPLE_REFERENCE_H

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace resample_ref {

const int kNwing = 1536, kNpc = 256, kLpScl = 13128;

// Roll-off 0.90, Kaiser beta 9, 256 entries per input period, Q15 scaled so
// that the peak 0.9 is 32767, cast toward zero after adding 0.5.
struct Table {
  int16_t imp[kNwing], impd[kNwing];
  Table() {
    const double i0_beta = std::cyl_bessel_i(0.0, 9.0);
    for (int i = 0; i < kNwing; ++i) {
      double c = 0.9;
      if (i > 0) {
        const double u = M_PI * i / kNpc, x = (double)i / (kNwing - 1);
        c = std::sin(2 * 0.45 * u) / u * std::cyl_bessel_i(0.0, 9.0 * std::sqrt(std::max(0.0, 1 - x * x))) /
            i0_beta;
      }
      imp[i] = (int16_t)(c * (32767.0 / 0.9) + 0.5);
    }
    for (int i = 0; i + 1 < kNwing; ++i) impd[i] = (int16_t)(imp[i + 1] - imp[i]);
    impd[kNwing - 1] = (int16_t)-imp[kNwing - 1];
  }
};
inline const Table &RefTable() {
  static const Table t;
  return t;
}

// One wing walk over the table, dhb Q7 entries per input sample, each tap
// product rounded on its own. Up-conversion walks at dhb = 256 entries.
inline int32_t Wing(const int16_t *xp, uint32_t ph, int inc, uint32_t dhb) {
  const int16_t *imp = RefTable().imp, *impd = RefTable().impd;
  uint32_t ho = (ph * dhb) >> 15, end = inc == 1 ? kNwing - 1 : kNwing;
  int32_t v = 0;
  if (inc == 1 && ph == 0) ho += dhb;  // the centre entry belongs to the left wing
  for (; (ho >> 7) < end; ho += dhb, xp += inc) {
    int32_t t = (imp[ho >> 7] + ((impd[ho >> 7] * (int32_t)(ho & 127)) >> 7)) * *xp;
    if (t & (1 << 13)) t += (1 << 13);
    v += t >> 14;
  }
  return v;
}

// The algorithm as written: buffer with history, wing walks per output
// sample, time restarting at 0 on every call. Outputs kept unsaturated.
struct RefResampler {
  RefResampler(int32_t in_rate, int32_t out_rate, uint32_t frame)
      : factor((double)out_rate / in_rate), frame(frame),
        xoff((uint32_t)(std::max(1.0, 1.0 / factor) * 7.0)), buf(frame + 2 * xoff, 0) {}
  std::vector<int64_t> Process(const int16_t *in) {
    memcpy(&buf[2 * xoff], in, frame * sizeof(int16_t));
    const int16_t *x = &buf[xoff];
    uint32_t dtb = (uint32_t)((1.0 / factor) * 32768.0 + 0.5);
    int32_t lp_scl = factor >= 1.0 ? kLpScl : (int16_t)(kLpScl * factor + 0.5);
    uint16_t dhb = (uint16_t)(std::min(256.0, 256.0 * factor) * 128.0 + 0.5);
    std::vector<int64_t> raw;
    for (uint32_t t = 0; t < ((uint32_t)(uint16_t)frame << 15); t += dtb) {
      const int16_t *xp = &x[t >> 15];
      int32_t v = Wing(xp, t & 0x7FFF, -1, dhb) + Wing(xp + 1, (0u - t) & 0x7FFF, 1, dhb);
      raw.push_back(((int64_t)(v >> 2) * lp_scl + 4096) >> 13);
    }
    // History: the last 2*xoff samples of the stream (older history too when
    // the block is shorter than that).
    std::vector<int16_t> all(buf.begin(), buf.begin() + 2 * xoff);
    all.insert(all.end(), in, in + frame);
    memcpy(&buf[0], &all[all.size() - 2 * xoff], 2 * xoff * sizeof(int16_t));
    return raw;
  }
  static int16_t Saturate(int64_t v) { return (int16_t)std::min<int64_t>(32767, std::max<int64_t>(-32768, v)); }
  double factor;
  uint32_t frame, xoff;
  std::vector<int16_t> buf;
};

}  // namespace resample_ref

#endif
