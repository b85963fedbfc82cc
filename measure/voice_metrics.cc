#include "measure/voice_metrics.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace voice_metrics {

namespace {

constexpr double kFloor = 1e-20;  // -200 dBFS: digital silence still has a level
constexpr double kTenDb = 10.0;
// Near-end speech on a double-talk frame: 10 dB over its background, and
// at least -70 dBFS (a simulated near end may have no noise at all).
constexpr double kSpeechMin = 1e-7;

// FFTW's planner is not thread-safe; plans are made and destroyed under this.
std::mutex planner_mutex;

double Db(double power_ratio) { return 10 * std::log10(std::max(power_ratio, kFloor)); }

double FramePower(const float *x, size_t from, size_t len) {
  double s = 0;
  for (size_t i = from; i < from + len; ++i) s += double(x[i]) * x[i];
  return s / double(len);
}

// The segment frame [t0, t1) lies in, boundaries widened by the guard
// (none at the call's start), or nullptr. Frame edges that fall on a
// boundary count as inside, whatever the rounding.
const TalkSegment *SegmentOf(const VoiceTimeline &tl, double t0, double t1) {
  constexpr double kEdge = 1e-9;
  for (const TalkSegment &s : tl.segments) {
    const double from = s.from_s > 0 ? s.from_s + tl.guard_s : 0;
    if (t0 >= from - kEdge && t1 <= s.to_s - tl.guard_s + kEdge) return &s;
  }
  return nullptr;
}

}  // namespace

VoiceTimeline Conversation() {
  VoiceTimeline tl;
  tl.segments = {{Talk::kBackground, 0, 4}, {Talk::kFar, 4, 9}, {Talk::kNear, 9, 13},
                 {Talk::kBoth, 13, 18}, {Talk::kFar, 18, 22}};
  return tl;
}

long AlignByCorrelation(const float *ref, size_t ref_n, const float *sig, size_t sig_n,
                        size_t from, size_t to, long max_lag, double *ncc) {
  *ncc = 0;
  to = std::min(to, ref_n);
  if (from >= to || max_lag < 0) return 0;
  const size_t len = to - from, width = len + 2 * size_t(max_lag);
  // sig's window starts max_lag before `from`; outside sig it is zero.
  std::vector<double> r(len), w(width);
  for (size_t i = 0; i < len; ++i) r[i] = ref[from + i];
  for (size_t k = 0; k < width; ++k) {
    const long at = long(from) - max_lag + long(k);
    w[k] = at >= 0 && size_t(at) < sig_n ? sig[at] : 0.0;
  }
  // Circular correlation at size >= width has no wrap for lags 0..2 max_lag.
  size_t size = 1;
  while (size < width) size *= 2;
  const size_t bins = size / 2 + 1;
  double *a = fftw_alloc_real(size), *b = fftw_alloc_real(size);
  fftw_complex *fa = fftw_alloc_complex(bins), *fb = fftw_alloc_complex(bins);
  fftw_plan pa, pb, back;
  {
    std::lock_guard<std::mutex> lk(planner_mutex);
    pa = fftw_plan_dft_r2c_1d(int(size), a, fa, FFTW_ESTIMATE);
    pb = fftw_plan_dft_r2c_1d(int(size), b, fb, FFTW_ESTIMATE);
    back = fftw_plan_dft_c2r_1d(int(size), fa, a, FFTW_ESTIMATE);
  }
  std::fill(a, a + size, 0.0);
  std::fill(b, b + size, 0.0);
  std::copy(r.begin(), r.end(), a);
  std::copy(w.begin(), w.end(), b);
  fftw_execute(pa);
  fftw_execute(pb);
  for (size_t k = 0; k < bins; ++k) {  // conj(A) * B
    const double re = fa[k][0] * fb[k][0] + fa[k][1] * fb[k][1];
    const double im = fa[k][0] * fb[k][1] - fa[k][1] * fb[k][0];
    fa[k][0] = re, fa[k][1] = im;
  }
  std::vector<double> cross(2 * bins);  // the cross-spectrum (c2r destroys its input)
  for (size_t k = 0; k < bins; ++k) cross[2 * k] = fa[k][0], cross[2 * k + 1] = fa[k][1];
  fftw_execute(back);
  // Normalise by the energies of ref and of the part of w under it.
  double er = 0;
  for (double v : r) er += v * v;
  std::vector<double> prefix(width + 1, 0.0);
  for (size_t k = 0; k < width; ++k) prefix[k + 1] = prefix[k] + w[k] * w[k];
  long best = 0;
  double best_ncc = -2;
  for (long k = 0; k <= 2 * max_lag; ++k) {
    const double ew = prefix[size_t(k) + len] - prefix[size_t(k)];
    if (er <= 0 || ew <= 0) continue;
    const double c = a[k] / double(size) / std::sqrt(er * ew);
    if (c > best_ncc) best_ncc = c, best = k - max_lag;
  }
  // A path that resamples delays by a fraction of a sample, which lowers
  // the correlation at every whole lag: the correlation's peak between the
  // neighbouring lags, from the cross-spectrum (1/16 sample steps).
  if (best_ncc > -2) {
    const long k0 = best + max_lag;
    const double ew = prefix[size_t(k0) + len] - prefix[size_t(k0)];
    const double pi = std::acos(-1.0);
    for (int step = -15; step <= 15; ++step) {
      const double tau = double(k0) + step / 16.0;
      double c = cross[0];
      for (size_t k = 1; k < bins; ++k) {
        const double w = 2 * pi * double(k) * tau / double(size);
        c += (k == bins - 1 ? 1.0 : 2.0) * (cross[2 * k] * std::cos(w) - cross[2 * k + 1] * std::sin(w));
      }
      best_ncc = std::max(best_ncc, c / double(size) / std::sqrt(er * ew));
    }
  }
  {
    std::lock_guard<std::mutex> lk(planner_mutex);
    fftw_destroy_plan(pa);
    fftw_destroy_plan(pb);
    fftw_destroy_plan(back);
  }
  fftw_free(a), fftw_free(b), fftw_free(fa), fftw_free(fb);
  *ncc = std::clamp(best_ncc, 0.0, 1.0);
  return best;
}

VoiceMetrics MeasureVoice(const VoiceTimeline &tl, const float *near, const float *echo, size_t n,
                          const float *out, size_t out_n, int rate) {
  VoiceMetrics m;
  const size_t frame = size_t(rate) / 50;
  if (frame == 0 || n < frame) return m;

  // Line the output up on the first near-alone segment.
  for (const TalkSegment &s : tl.segments) {
    if (s.who != Talk::kNear) continue;
    const size_t from = size_t((s.from_s + tl.guard_s) * rate), to = size_t((s.to_s - tl.guard_s) * rate);
    m.lag = AlignByCorrelation(near, n, out, out_n, from, to, long(tl.max_lag_s * rate),
                               &m.near_correlation);
    break;
  }

  struct Frame {
    const TalkSegment *seg;
    double t0, near, echo, out;
  };
  std::vector<Frame> frames;
  for (size_t s = 0; s + frame <= n; s += frame) {
    const double t0 = double(s) / rate, t1 = double(s + frame) / rate;
    const TalkSegment *seg = SegmentOf(tl, t0, t1);
    const long o = long(s) + m.lag;
    if (!seg || o < 0 || size_t(o) + frame > out_n) continue;
    frames.push_back({seg, t0, FramePower(near, s, frame), FramePower(echo, s, frame),
                      FramePower(out, size_t(o), frame)});
  }

  double bg_out = 0, bg_near = 0, start_out = 0;
  size_t start_n = 0;
  for (const Frame &f : frames) {
    if (f.seg->who != Talk::kBackground) continue;
    if (f.t0 >= 1.0) bg_out += f.out, bg_near += f.near, ++m.background_frames;
    else start_out += f.out, ++start_n;
  }
  if (m.background_frames) bg_out /= double(m.background_frames), bg_near /= double(m.background_frames);
  const double bg = std::max(bg_out, kFloor);
  m.background_dbfs = Db(bg_out);
  if (start_n) m.start_db = Db(start_out / double(start_n) / bg);

  // How the path passes the near end when it talks alone: double talk is
  // measured against that (a gain control's level is no loss).
  double alone_out = 0, alone_near = 0;
  for (const Frame &f : frames)
    if (f.seg->who == Talk::kNear) ++m.near_frames, alone_out += f.out, alone_near += f.near;
  const double near_gain = m.near_frames && alone_out > 0 && alone_near > 0 ? alone_out / alone_near : 1;
  if (m.near_frames) m.near_gain_db = Db(near_gain);

  const double speech_min = std::max(kTenDb * bg_near, kSpeechMin);
  double far_out = 0, dt_out = 0, dt_near = 0;
  size_t leaks = 0, holes = 0, clipped = 0;
  for (const Frame &f : frames) {
    if (f.seg->who == Talk::kFar) {
      ++m.far_frames;
      far_out += f.out;
      leaks += f.out > kTenDb * bg;
      holes += f.out < bg / kTenDb;
    } else if (f.seg->who == Talk::kBoth && f.near > f.echo && f.near >= speech_min) {
      ++m.double_talk_frames;
      dt_out += f.out, dt_near += f.near * near_gain;
      clipped += f.out < f.near * near_gain / kTenDb;
    }
  }
  if (m.far_frames) {
    m.residual_db = Db(far_out / double(m.far_frames) / bg);
    m.leak_pct = 100.0 * double(leaks) / double(m.far_frames);
    m.holes_pct = 100.0 * double(holes) / double(m.far_frames);
  }
  if (m.double_talk_frames) {
    m.double_talk_db = Db(dt_out / std::max(dt_near, kFloor));
    m.clipped_pct = 100.0 * double(clipped) / double(m.double_talk_frames);
  }
  m.valid = m.near_correlation >= 0.5 && m.background_frames && m.far_frames &&
            m.double_talk_frames && m.near_frames;
  return m;
}

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace voice_metrics
