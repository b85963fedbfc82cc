#include "measure/echo_measure.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace echo_measure {

namespace {

constexpr size_t kBlock = 320;              // 20 ms at 16 kHz
constexpr double kFullScale = 32768.0;
const double kEchoMin = kFullScale * std::pow(10.0, -50 / 20.0);
const double kFloorMin = kFullScale * std::pow(10.0, -80 / 20.0);
const double kNearTalkMin = kFullScale * std::pow(10.0, -60 / 20.0);
constexpr long kMaxShift = 48 * 20;         // double talk: reference shifted by up to 20 ms

double Dbfs(double mean_square) {
  return mean_square > 0 ? 10 * std::log10(mean_square / (kFullScale * kFullScale)) : -200;
}

// Per-block RMS of the near end (heard - echo) and of the echo, and the
// near end's quiet threshold.
struct Blocks {
  std::vector<double> near_rms, echo_rms;
  double quiet_max = 0;  // twice the near end's quietest tenth, at least -80 dBFS
};

Blocks Classify(const int16_t *heard, const int16_t *echo, size_t samples) {
  Blocks b;
  const size_t n = samples / kBlock;
  for (size_t i = 0; i < n; ++i) {
    double ne = 0, ec = 0;
    for (size_t k = i * kBlock; k < (i + 1) * kBlock; ++k) {
      const double e = echo[k], v = heard[k] - e;
      ne += v * v;
      ec += e * e;
    }
    b.near_rms.push_back(std::sqrt(ne / kBlock));
    b.echo_rms.push_back(std::sqrt(ec / kBlock));
  }
  if (n) {
    std::vector<double> sorted = b.near_rms;
    std::nth_element(sorted.begin(), sorted.begin() + n / 10, sorted.end());
    b.quiet_max = std::max(kFloorMin, 2 * sorted[n / 10]);
  }
  return b;
}

bool FarEndOnlyBlock(const Blocks &b, size_t i) {
  if (b.echo_rms[i] < kEchoMin || b.echo_rms[i] < 3.162 * b.near_rms[i]) return false;
  const size_t lo = i >= 2 ? i - 2 : 0, hi = std::min(b.near_rms.size(), i + 3);
  for (size_t j = lo; j < hi; ++j)
    if (b.near_rms[j] > b.quiet_max) return false;
  return true;
}

bool DoubleTalkBlock(const Blocks &b, size_t i) {
  return b.echo_rms[i] >= kEchoMin && b.near_rms[i] >= 2 * b.quiet_max &&
         b.near_rms[i] >= kNearTalkMin;
}

// Output samples (left channel) of microphone block i, or false when the
// output does not reach that far.
bool OutputBlock(size_t i, long lag, size_t out_frames, size_t *first) {
  const size_t start = 3 * (i * kBlock + static_cast<size_t>(std::max(0L, lag)));
  if (start + 3 * kBlock > out_frames) return false;
  *first = start;
  return true;
}

}  // namespace

Erle FarEndOnlyBetween(const int16_t *heard, const int16_t *echo, size_t samples,
                       const int16_t *out, size_t out_frames, long lag, double from_s, double to_s) {
  Erle r;
  const Blocks b = Classify(heard, echo, samples);
  double mic = 0, output = 0;
  size_t mic_n = 0, out_n = 0;
  for (size_t i = 0; i < b.near_rms.size(); ++i) {
    const double t = i * 0.02;
    size_t first = 0;
    if (t < from_s || t >= to_s || !FarEndOnlyBlock(b, i) || !OutputBlock(i, lag, out_frames, &first))
      continue;
    for (size_t k = i * kBlock; k < (i + 1) * kBlock; ++k) mic += double(heard[k]) * heard[k];
    for (size_t f = first; f < first + 3 * kBlock; ++f) output += double(out[2 * f]) * out[2 * f];
    mic_n += kBlock;
    out_n += 3 * kBlock;
    ++r.blocks;
  }
  if (!r.blocks) return r;
  r.valid = true;
  r.mic_dbfs = Dbfs(mic / mic_n);
  r.out_dbfs = Dbfs(output / out_n);
  r.db = r.mic_dbfs - r.out_dbfs;
  return r;
}

Erle FarEndOnly(const int16_t *heard, const int16_t *echo, size_t samples, const int16_t *out,
                size_t out_frames, long lag, double skip_s) {
  return FarEndOnlyBetween(heard, echo, samples, out, out_frames, lag, skip_s, 1e30);
}

DoubleTalk CompareDoubleTalk(const int16_t *heard, const int16_t *echo, size_t samples,
                             const int16_t *out, const int16_t *reference, size_t out_frames,
                             long lag, double skip_s) {
  DoubleTalk r;
  const Blocks b = Classify(heard, echo, samples);
  std::vector<size_t> firsts;  // first output frame of each double-talk block
  for (size_t i = 0; i < b.near_rms.size(); ++i) {
    size_t first = 0;
    if (i * 0.02 >= skip_s && DoubleTalkBlock(b, i) && OutputBlock(i, lag, out_frames, &first) &&
        first >= static_cast<size_t>(kMaxShift) && first + 3 * kBlock + kMaxShift <= out_frames)
      firsts.push_back(first);
  }
  if (firsts.empty()) return r;
  // The canceller delays the near end a little (7 ms): compare the output
  // with the reference shifted to match, the shift that correlates best,
  // first on every third frame, then exactly around it.
  auto sums = [&](long shift, int stride, double *xx, double *yy, double *xy) {
    *xx = *yy = *xy = 0;
    for (size_t first : firsts)
      for (size_t f = first; f < first + 3 * kBlock; f += stride) {
        const double x = out[2 * f], y = reference[2 * (static_cast<long>(f) - shift)];
        *xx += x * x;
        *yy += y * y;
        *xy += x * y;
      }
  };
  auto corr = [&](long shift, int stride) {
    double xx, yy, xy;
    sums(shift, stride, &xx, &yy, &xy);
    return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : -2.0;
  };
  long best = 0;
  for (long shift = -kMaxShift; shift <= kMaxShift; shift += 3)
    if (corr(shift, 3) > corr(best, 3)) best = shift;
  const long coarse = best;
  for (long shift = coarse - 2; shift <= coarse + 2; ++shift)
    if (corr(shift, 1) > corr(best, 1)) best = shift;
  double with, without, cross;
  sums(best, 1, &with, &without, &cross);
  if (with <= 0 || without <= 0) return r;
  r.valid = true;
  r.blocks = firsts.size();
  r.shift_frames = best;
  r.level_db = 10 * std::log10(with / without);
  r.correlation = cross / std::sqrt(with * without);
  return r;
}

}  // namespace echo_measure
