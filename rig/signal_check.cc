#include "rig/signal_check.h"

#include <math.h>

#include <algorithm>

#include "measure/voice_metrics.h"
#include "rig/speech.h"

namespace hxtest {

std::vector<int16_t> ReadWav(const std::string &path, SF_INFO *info) {
  *info = SF_INFO{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, info);
  std::vector<int16_t> x(f ? size_t(info->frames * info->channels) : 0);
  if (f) sf_read_short(f, x.data(), sf_count_t(x.size())), sf_close(f);
  return x;
}

std::vector<int16_t> Speech16k() { return ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav"); }

std::vector<int16_t> Channel(const std::vector<int16_t> &x, int channels, int ch, int step) {
  std::vector<int16_t> out;
  for (size_t i = size_t(ch); i < x.size(); i += size_t(channels * step)) out.push_back(x[i]);
  return out;
}

namespace {
// Normalised cross-correlation of a[0, n) and b[0, n).
template <class A, class B>
double Ncc(const A *a, const B *b, size_t n) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) ab += double(a[i]) * b[i], aa += double(a[i]) * a[i], bb += double(b[i]) * b[i];
  return aa > 0 && bb > 0 ? ab / sqrt(aa * bb) : 0;
}

// Mean magnitude of every `hop` values.
std::vector<double> Envelope(const std::vector<int16_t> &x, size_t hop) {
  std::vector<double> e(x.size() / hop);
  for (size_t i = 0; i < e.size() * hop; ++i) e[i / hop] += fabs(double(x[i])) / double(hop);
  return e;
}

// Amplitude of the component at freq (Goertzel) of every `stride`-th value
// of x[at + offset, end), sampled at rate.
double ToneAmplitude(const std::vector<int16_t> &x, size_t at, size_t end, size_t offset, int stride, double freq,
                     double rate) {
  const double c = 2 * cos(2 * M_PI * freq / rate);
  double s1 = 0, s2 = 0, n = 0;
  for (size_t i = at + offset; i < end; i += size_t(stride), ++n) {
    const double s0 = x[i] + c * s1 - s2;
    s2 = s1, s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
  return n > 0 ? 2 * sqrt(std::max(power, 0.0)) / n : 0;
}

// The correlation of ref with sig from `lag` on, at its best within two
// samples to 1/16 sample (voice_metrics::AlignByCorrelation): a resampler
// (the module's 16 to 48 kHz conversion read back at every third sample, or
// a sound server's) shifts speech by a fraction of a sample, which at a
// whole lag costs it about 0.01 of its correlation (0.906 against 0.915 on
// the module's path).
double SubSampleNcc(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig, long lag) {
  constexpr long kReach = 2;
  if (lag < kReach || lag + long(ref.size()) + kReach > long(sig.size())) return -1;
  std::vector<float> r(ref.size() + kReach, 0.0f), w(sig.begin() + lag - kReach, sig.begin() + lag + long(ref.size()) + kReach);
  std::copy(ref.begin(), ref.end(), r.begin() + kReach);  // r[i] lines up with w[i]
  double ncc = 0;
  voice_metrics::AlignByCorrelation(r.data(), r.size(), w.data(), w.size(), kReach, r.size(), kReach, &ncc);
  return ncc;
}

double MedianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}
}  // namespace

Match BestMatch(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig, long lag_lo, long lag_hi) {
  Match best;
  for (long lag = std::max(lag_lo, 0L); lag <= lag_hi && lag + long(ref.size()) <= long(sig.size()); ++lag) {
    const double ncc = Ncc(ref.data(), sig.data() + lag, ref.size());
    if (ncc > best.ncc) best = {ncc, lag};
  }
  return best;
}

Match FindMatch(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig) {
  const long hop = 160;
  const std::vector<double> er = Envelope(ref, hop), es = Envelope(sig, hop);
  Match coarse;  // in hops
  for (size_t lag = 0; lag + er.size() <= es.size(); ++lag) {
    const double ncc = Ncc(er.data(), es.data() + lag, er.size());
    if (coarse.lag < 0 || ncc > coarse.ncc) coarse = {ncc, long(lag)};
  }
  return coarse.lag < 0 ? Match() : BestMatch(ref, sig, (coarse.lag - 2) * hop, (coarse.lag + 2) * hop);
}

double MedianToneAmplitude(const std::vector<int16_t> &x, size_t offset, int stride, double freq, double rate,
                           size_t window) {
  std::vector<double> windows;
  const size_t span = window * size_t(stride);
  for (size_t at = 0; at + span <= x.size(); at += span) windows.push_back(ToneAmplitude(x, at, at + span, offset, stride, freq, rate));
  return MedianOf(windows);
}

double MedianPartNcc(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig, size_t part, size_t from) {
  std::vector<double> ncc;
  for (size_t at = from; at + part <= ref.size(); at += part) {
    const std::vector<int16_t> p(ref.begin() + long(at), ref.begin() + long(at + part));
    if (Rms(p, 0, 1) <= 100) continue;
    const Match m = FindMatch(p, sig);
    ncc.push_back(std::max(m.ncc, SubSampleNcc(p, sig, m.lag)));
  }
  return MedianOf(ncc);
}

double Rms(const std::vector<int16_t> &x, size_t offset, int stride) {
  double sum = 0, n = 0;
  for (size_t i = offset; i < x.size(); i += size_t(stride), ++n) sum += double(x[i]) * x[i];
  return n > 0 ? sqrt(sum / n) : 0;
}

std::vector<int16_t> StereoTone(int rate, double f_left, double f_right, double a_left, double a_right) {
  std::vector<int16_t> out(2 * size_t(rate));
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = int16_t((i % 2 ? a_right : a_left) * sin(2 * M_PI * (i % 2 ? f_right : f_left) * double(i / 2) / rate));
  return out;
}

}  // namespace hxtest
