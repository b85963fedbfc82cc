#include "echo/echo_path_tracker.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

float Far(const FarHistory &f, int64_t p) { return f.At(p); }

// Prediction-error filter of order kPathWhitenOrder for x (Levinson-Durbin on its
// autocorrelation): whitens the far end, so that the cross-correlation with
// the microphone becomes the echo path's impulse response, whose direct
// sound is a sharp peak whatever the speech's spectrum.
void Whitener(const float *x, int n, float *a) {
  // The autocorrelation at every lag at once, sample after sample: each
  // lag's sum is taken in the order of its samples all the same. The
  // products of floats are exact in double.
  constexpr int kLagsTaken = kPathWhitenOrder + 2;  // an even count: one more, unread
  double r[kLagsTaken] = {};
  for (int i = 0; i < std::min(n, kLagsTaken); ++i)
    for (int m = 0; m <= i; ++m) r[m] += double(x[i]) * x[i - m];
  for (int i = kLagsTaken; i < n; ++i) {
    const double xi = x[i];
#pragma omp simd
    for (int m = 0; m < kLagsTaken; ++m) r[m] += xi * x[i - m];
  }
  r[0] = r[0] * 1.001 + 1e-3;  // a floor: silence gives the identity
  double c[kPathWhitenOrder + 1] = {1}, tmp[kPathWhitenOrder + 1];
  double err = r[0];
  for (int m = 1; m <= kPathWhitenOrder; ++m) {
    double acc = r[m];
    for (int j = 1; j < m; ++j) acc += c[j] * r[m - j];
    const double k = -acc / err;
    for (int j = 0; j < m; ++j) tmp[j] = c[j];
    for (int j = 1; j < m; ++j) c[j] = tmp[j] + k * tmp[m - j];
    c[m] = k;
    err *= 1 - k * k;
    if (err <= 0) break;
  }
  for (int m = 0; m <= kPathWhitenOrder; ++m) a[m] = float(c[m]);
}

}  // namespace

float EchoPathTracker::FarEmph(const FarHistory &f, int64_t p) const {
  return Far(f, p) - tuning_.emphasis * Far(f, p - 1);
}

void EchoPathTracker::Restart(State s, int64_t center) {
  state_ = s;
  active_ = 0;
  faded_ = 0;
  center_ = center;
  std::fill(std::begin(corr_), std::end(corr_), 0.0);
  mic_energy_ = far_energy_ = 0;
  if (s == kSearch) {
    base_ = center;
    std::fill(std::begin(env_xy_), std::end(env_xy_), 0.0);
    std::fill(std::begin(env_y_), std::end(env_y_), 0.0);
    std::fill(std::begin(env_yy_), std::end(env_yy_), 0.0);
    env_x_ = env_xx_ = env_n_ = 0;
  }
}

// Envelope correlation over every searched delay. True when it decided
// (found: center_ set) or gave up.
bool EchoPathTracker::Search(const float *wm, int n, int64_t capture, const FarHistory &far,
                             bool sound, bool *found) {
  const int hops = n / kPathEnvHop;
  float me[kPathMaxBlock / kPathEnvHop];
  for (int k = 0; k < hops; ++k) {
    float s = 0;
    for (int i = 0; i < kPathEnvHop; ++i) s += std::fabs(wm[k * kPathEnvHop + i]);
    me[k] = s;
  }
  // Far envelopes on the grid capture + base + 16 g, g = k + early - j: the
  // far end read once (with the sample before it), pre-emphasised as
  // FarEmph does, then summed per hop.
  const int g_lo = -(kPathSearchLags - 1 - kPathSearchEarly), g_hi = hops - 1 + kPathSearchEarly;
  constexpr int kGrid = kPathSearchLags + kPathMaxBlock / kPathEnvHop;
  const int len = (g_hi - g_lo + 1) * kPathEnvHop;
  float x[kGrid * kPathEnvHop + 1];
  far.Copy(capture + base_ + int64_t(kPathEnvHop) * g_lo - 1, len + 1, x);
  const float e = tuning_.emphasis;
  float fe[kGrid];
  for (int g = 0; g <= g_hi - g_lo; ++g) {
    const float *hop = x + kPathEnvHop * g;
    float d[kPathEnvHop];
#pragma omp simd
    for (int i = 0; i < kPathEnvHop; ++i) d[i] = std::fabs(hop[i + 1] - e * hop[i]);
    float s = 0;
    for (int i = 0; i < kPathEnvHop; ++i) s += d[i];
    fe[g] = s;
  }
  for (int k = 0; k < hops; ++k) {
    env_x_ += me[k];
    env_xx_ += double(me[k]) * me[k];
    env_n_ += 1;
  }
  // Four delays at a time, their sums held over the block's hops.
  constexpr int kAtOnce = 4;
  static_assert(kPathSearchLags % kAtOnce == 0, "whole groups of delays");
  for (int j0 = 0; j0 < kPathSearchLags; j0 += kAtOnce) {
    double xy[kAtOnce], sy[kAtOnce], yy[kAtOnce];
    std::copy(env_xy_ + j0, env_xy_ + j0 + kAtOnce, xy);
    std::copy(env_y_ + j0, env_y_ + j0 + kAtOnce, sy);
    std::copy(env_yy_ + j0, env_yy_ + j0 + kAtOnce, yy);
    for (int k = 0; k < hops; ++k) {
      const double mk = me[k];
      const float *y = fe + k + kPathSearchEarly - j0 - g_lo;  // y[-j]: delay j0 + j
#pragma omp simd
      for (int j = 0; j < kAtOnce; ++j) {
        xy[j] += mk * y[-j];
        sy[j] += y[-j];
        yy[j] += double(y[-j]) * y[-j];
      }
    }
    std::copy(xy, xy + kAtOnce, env_xy_ + j0);
    std::copy(sy, sy + kAtOnce, env_y_ + j0);
    std::copy(yy, yy + kAtOnce, env_yy_ + j0);
  }
  if (sound) ++active_;
  if (active_ < tuning_.search_blocks) return false;
  double ncc[kPathSearchLags];
  const double vx = env_xx_ - env_x_ * env_x_ / env_n_;
  int best = 0;
  for (int j = 0; j < kPathSearchLags; ++j) {
    const double vy = env_yy_[j] - env_y_[j] * env_y_[j] / env_n_;
    const double cxy = env_xy_[j] - env_x_ * env_y_[j] / env_n_;
    ncc[j] = vx > 0 && vy > 0 ? cxy / std::sqrt(vx * vy) : 0;
    if (ncc[j] > ncc[best]) best = j;
  }
  double second = -1;
  for (int j = 0; j < kPathSearchLags; ++j)
    if (std::abs(j - best) >= tuning_.search_lobe) second = std::max(second, ncc[j]);
  if (ncc[best] >= tuning_.search_min_ncc && ncc[best] - second >= tuning_.search_margin) {
    // Echo later than reported by (best - early) ms: an older far end.
    center_ = base_ - int64_t(kPathEnvHop) * (best - kPathSearchEarly);
    *found = true;
    return true;
  }
  return active_ >= tuning_.search_give_up;
}

// Adds this block's cross-correlation at offsets center_ +- half, both
// signals whitened by the far end's prediction-error filter.
void EchoPathTracker::Correlate(const int16_t *mic, int n, int64_t capture, const FarHistory &far,
                                int half, double forget) {
  const int span = n + 2 * half;
  const int64_t p0 = capture + center_ - half;
  float raw[kPathWhitenOrder + kPathMaxBlock + 2 * kPathRefineHalf + 1];
  far.Copy(p0 - kPathWhitenOrder, kPathWhitenOrder + span, raw);
  float a[kPathWhitenOrder + 1];
  Whitener(raw + kPathWhitenOrder + half, n, a);
  // The filters and the correlation run over several outputs at once; each
  // output's own sum keeps its order.
  float wf[kPathMaxBlock + 2 * kPathRefineHalf + 1], wm[kPathMaxBlock];
#pragma omp simd
  for (int i = 0; i < span; ++i) {
    float s = 0;
    for (int m = 0; m <= kPathWhitenOrder; ++m) s += a[m] * raw[kPathWhitenOrder + i - m];
    wf[i] = s;
  }
  float mic_raw[kPathWhitenOrder + kPathMaxBlock];  // the previous block's tail, then this block
  std::copy(mic_tail_, mic_tail_ + kPathWhitenOrder, mic_raw);
  for (int i = 0; i < n; ++i) mic_raw[kPathWhitenOrder + i] = mic[i];
#pragma omp simd
  for (int i = 0; i < n; ++i) {
    float s = 0;
    for (int m = 0; m <= kPathWhitenOrder; ++m) s += a[m] * mic_raw[kPathWhitenOrder + i - m];
    wm[i] = s;
  }
  double me = 0, fe = 0;
  for (int i = 0; i < n; ++i) {
    me += double(wm[i]) * wm[i];
    fe += double(wf[i + half]) * wf[i + half];
  }
  mic_energy_ = mic_energy_ * forget + me;
  far_energy_ = far_energy_ * forget + fe;
  // Eight offsets at a time, their sums held in registers over the block.
  constexpr int kAtOnce = 8;
  int k = 0;
  for (; k + kAtOnce <= 2 * half + 1; k += kAtOnce) {
    float s[kAtOnce] = {};
    for (int i = 0; i < n; ++i) {
      const float w = wm[i];
      const float *f = wf + i + k;
#pragma omp simd
      for (int j = 0; j < kAtOnce; ++j) s[j] += w * f[j];
    }
    for (int j = 0; j < kAtOnce; ++j) corr_[k + j] = corr_[k + j] * forget + s[j];
  }
  for (; k <= 2 * half; ++k) {
    float s = 0;
    for (int i = 0; i < n; ++i) s += wm[i] * wf[i + k];
    corr_[k] = corr_[k] * forget + s;
  }
}

// Peak of corr_[0 .. 2 half]: its offset (sub-sample) and normalised height.
// False when the peak lies on the edge.
bool EchoPathTracker::Peak(int half, double *offset, double *height) const {
  int k = 0;
  for (int i = 1; i <= 2 * half; ++i)
    if (corr_[i] > corr_[k]) k = i;
  const double norm = std::sqrt(mic_energy_ * far_energy_);
  *height = norm > 0 ? corr_[k] / norm : 0;
  *offset = double(center_ - half + k);
  if (k == 0 || k == 2 * half) return false;
  const double a = corr_[k - 1], b = corr_[k], c = corr_[k + 1];
  const double den = a - 2 * b + c;
  if (den < 0) *offset += 0.5 * (a - c) / den;
  return true;
}

void EchoPathTracker::Lose(int64_t expected) {
  locked_ = false;
  Restart(kSearch, expected);
}

void EchoPathTracker::Update(const int16_t *mic, int n, int64_t capture, int64_t expected,
                             const FarHistory &far, double applied_ppm, double count_ppm) {
  if (n < kPathWhitenOrder || n > kPathMaxBlock || n % kPathEnvHop) return;
  // The far end's resampling at applied_ppm moved the offset by this much.
  corrected_ += applied_ppm * 1e-6 * n;
  float wm[kPathMaxBlock];
  double mic_level = 0, far_level = 0;
  for (int i = 0; i < n; ++i) {
    wm[i] = float(mic[i]) - tuning_.emphasis * mic_prev_;
    mic_prev_ = mic[i];
    mic_level += std::fabs(wm[i]);
  }
  const int64_t around = state_ == kSearch ? base_ : center_;
  for (int i = 0; i < n; i += 4) far_level += std::fabs(FarEmph(far, capture + around + i));
  const bool sound = mic_level / n > tuning_.sound_floor && far_level * 4 / n > tuning_.sound_floor;
  struct KeepTail {  // the last samples of this block, for the next one's filter
    float *tail;
    const int16_t *mic;
    int n;
    ~KeepTail() {
      for (int m = 0; m < kPathWhitenOrder; ++m) tail[m] = mic[n - kPathWhitenOrder + m];
    }
  } keep{mic_tail_, mic, n};
  if (state_ == kSearch && std::llabs(expected - base_) > tuning_.search_rebase)
    Restart(kSearch, expected);

  switch (state_) {
    case kSearch: {
      bool found = false;
      if (Search(wm, n, capture, far, sound, &found))
        Restart(found ? kRefine : kSearch, found ? center_ : expected);
      return;
    }
    case kRefine: {
      if (!sound) return;
      Correlate(mic, n, capture, far, kPathRefineHalf, 1.0);
      if (++active_ < tuning_.refine_blocks) return;
      double at, height;
      const bool inside = Peak(kPathRefineHalf, &at, &height);
      if (!inside || height < tuning_.refine_min_peak) {
        Restart(kSearch, expected);
        return;
      }
      // Found: track it, and hold it where it is from now on.
      Restart(kTrack, std::llround(at));
      locked_ = true;
      offset_ = lock_ = at;
      slide_ = SlopeFit();
      last_point_ = capture;
      ++locks_;
      return;
    }
    case kTrack: {
      if (!sound) return;
      Correlate(mic, n, capture, far, kPathTrackHalf, tuning_.track_forget);
      if (++active_ < tuning_.track_warm) return;
      double at, height;
      const bool inside = Peak(kPathTrackHalf, &at, &height);
      if (height < tuning_.track_min_peak) {  // the echo faded here (or went elsewhere)
        if (++faded_ >= tuning_.track_fade_blocks) Lose(expected);
        return;
      }
      if (!inside) {  // a clear peak moved beyond the window: follow it
        Restart(kTrack, std::llround(at));
        return;
      }
      faded_ = 0;
      offset_ = at;
      // The offset as it would be had the far end never been corrected:
      // its slope is the slide's rate.
      const int64_t steps = slide_.steps;
      SlopeFitUpdate(&slide_, tuning_.slide, at + corrected_, double(capture - last_point_));
      last_point_ = capture;
      if (slide_.steps != steps) lock_ = at;  // a jump: hold the new place
      if (slide_.points >= tuning_.slide.settle_points)
        ppm_ = std::max(-tuning_.max_ppm,
                        std::min(tuning_.max_ppm, slide_.ppm - count_ppm +
                                                      tuning_.pull_ppm_per_sample * (at - lock_)));
      if (std::fabs(at - double(center_)) > kPathTrackHalf / 2) {
        // Keep the peak in the middle of the window.
        const double keep_lock = lock_;
        Restart(kTrack, std::llround(at));
        lock_ = keep_lock;
      }
      return;
    }
  }
}
