#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace host {

double ToDbfs(double rms) {
  if (rms <= 0) return -std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(rms / 32768.0);
}

std::vector<double> FrameRms(const int16_t *samples, size_t frames, int rate, int channels,
                             int channel) {
  size_t per = static_cast<size_t>(rate) / 50;
  std::vector<double> out;
  for (size_t f = 0; f + per <= frames; f += per) {
    double sum = 0;
    for (size_t i = 0; i < per; ++i) {
      double v = samples[(f + i) * channels + channel];
      sum += v * v;
    }
    out.push_back(std::sqrt(sum / per));
  }
  return out;
}

namespace {

double PowerMean(const std::vector<double> &rms, const std::vector<size_t> &idx, int lag) {
  double sum = 0;
  size_t n = 0;
  for (size_t i : idx) {
    long j = static_cast<long>(i) + lag;
    if (j < 0 || static_cast<size_t>(j) >= rms.size()) continue;
    sum += rms[j] * rms[j];
    ++n;
  }
  return n ? std::sqrt(sum / n) : 0;
}

}  // namespace

NoiseReport CompareNoise(const std::vector<double> &in_rms, const std::vector<double> &out_rms) {
  NoiseReport r;
  if (in_rms.size() < 25 || out_rms.size() < 25) return r;
  auto env = [](const std::vector<double> &v) {
    std::vector<double> e(v.size());
    for (size_t i = 0; i < v.size(); ++i) e[i] = std::log10(v[i] + 1.0);
    return e;
  };
  std::vector<double> a = env(in_rms), b = env(out_rms);
  // Search lags from -0.5 s to +3 s (the output may start late and carries
  // the queueing delay); need at least 0.5 s of overlap.
  double best = -2;
  int best_lag = 0;
  for (int lag = -25; lag <= 150; ++lag) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      long j = static_cast<long>(i) + lag;
      if (j < 0 || static_cast<size_t>(j) >= b.size()) continue;
      double x = a[i], y = b[j];
      sa += x; sb += y; saa += x * x; sbb += y * y; sab += x * y;
      ++n;
    }
    if (n < 25) continue;
    double cov = sab / n - (sa / n) * (sb / n);
    double va = saa / n - (sa / n) * (sa / n), vb = sbb / n - (sb / n) * (sb / n);
    double c = (va > 0 && vb > 0) ? cov / std::sqrt(va * vb) : 0;
    if (c > best) {
      best = c;
      best_lag = lag;
    }
  }
  r.lag_frames = best_lag;
  r.correlation = best;

  std::vector<double> sorted = in_rms;
  std::sort(sorted.begin(), sorted.end());
  double floor_rms = sorted[sorted.size() / 10];
  double loud_rms = sorted[sorted.size() * 4 / 5];
  std::vector<size_t> quiet, loud;
  for (size_t i = 0; i < in_rms.size(); ++i) {
    long j = static_cast<long>(i) + best_lag;
    if (j < 0 || static_cast<size_t>(j) >= out_rms.size()) continue;  // compare overlap only
    if (in_rms[i] <= 2.0 * floor_rms) quiet.push_back(i);
    else if (in_rms[i] >= loud_rms) loud.push_back(i);
  }
  r.quiet_frames = quiet.size();
  r.loud_frames = loud.size();
  if (quiet.empty()) return r;
  r.in_noise_dbfs = ToDbfs(PowerMean(in_rms, quiet, 0));
  r.out_noise_dbfs = ToDbfs(PowerMean(out_rms, quiet, best_lag));
  r.in_speech_dbfs = ToDbfs(PowerMean(in_rms, loud, 0));
  r.out_speech_dbfs = ToDbfs(PowerMean(out_rms, loud, best_lag));
  r.valid = true;
  return r;
}

}  // namespace host
