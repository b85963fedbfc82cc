#include "echo/echo_path_tracker.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr float kEmphasis = 0.95f;       // pre-emphasis: sharpens the correlation peak
constexpr double kSoundFloor = 8;        // mean |pre-emphasised sample| of a block with sound
constexpr int kSearchBlocks = 25;        // blocks with sound before the search decides
constexpr int kSearchGiveUp = 250;       // ... and before it starts over
constexpr double kSearchMinNcc = 0.5;    // envelope correlation of a found echo
constexpr double kSearchMargin = 0.05;   // over the best peak outside its lobe
constexpr int kSearchLobe = 16;          // ms: the envelope peak is broad
constexpr int64_t kSearchRebase = 32 * 16;  // reported delay moved 32 ms: search anew
constexpr int kRefineBlocks = 12;
constexpr double kRefineMinPeak = 0.2;   // normalised peak of a found echo
constexpr double kTrackForget = 0.85;    // per block with sound: about 0.13 s
constexpr int kTrackWarm = 8;            // blocks before a tracked peak is used
constexpr double kTrackMinPeak = 0.2;    // weaker peaks are not used (a clear echo: 0.7) ...
constexpr int kTrackFadeBlocks = 15;     // ... and this many in a row lose the echo
// The slide's rate: a line through the tracked offset (as it would be
// without the corrections applied meanwhile) with a memory of about 1.5 s;
// a jump of more than 4 samples (the server dropped or added audio) or
// 1.5 samples on average lasting a quarter of a second starts a new line.
constexpr SlopeFitParams kSlide = {1.0 - 1.0 / 75, 4, 1.5, 1.0 / 12, 25, 1000, 0, 0};
// The offset is pulled back to where it was found by this many ppm per
// sample it is away (a time constant of about 1.5 s).
constexpr double kPullPpmPerSample = 40;
constexpr double kMaxPpm = 1000;

float Far(const FarHistory &f, int64_t p) {
  if (p < 0 || p >= f.count || p < f.count - f.size) return 0;
  return f.ring[p & (f.size - 1)];
}
float FarEmph(const FarHistory &f, int64_t p) { return Far(f, p) - kEmphasis * Far(f, p - 1); }

void Restart(EchoPathTracker *t, EchoPathTracker::State s, int64_t center) {
  t->state = s;
  t->active = 0;
  t->faded = 0;
  t->center = center;
  std::fill(std::begin(t->corr), std::end(t->corr), 0.0);
  t->mic_energy = t->far_energy = 0;
  if (s == EchoPathTracker::kSearch) {
    t->base = center;
    std::fill(std::begin(t->env_xy), std::end(t->env_xy), 0.0);
    std::fill(std::begin(t->env_y), std::end(t->env_y), 0.0);
    std::fill(std::begin(t->env_yy), std::end(t->env_yy), 0.0);
    t->env_x = t->env_xx = t->env_n = 0;
  }
}

// Envelope correlation over every searched delay. True when it decided
// (found: t->center set) or gave up.
bool Search(EchoPathTracker *t, const float *wm, int n, int64_t capture, const FarHistory &far,
            bool sound, bool *found) {
  const int hops = n / kPathEnvHop;
  float me[64];
  for (int k = 0; k < hops; ++k) {
    float s = 0;
    for (int i = 0; i < kPathEnvHop; ++i) s += std::fabs(wm[k * kPathEnvHop + i]);
    me[k] = s;
  }
  // Far envelopes on the grid capture + base + 16 g, g = k + early - j.
  const int g_lo = -(kPathSearchLags - 1 - kPathSearchEarly), g_hi = hops - 1 + kPathSearchEarly;
  static_assert(kPathSearchLags + 64 <= 512, "far envelope buffer");
  float fe[512];
  for (int g = g_lo; g <= g_hi; ++g) {
    const int64_t p0 = capture + t->base + int64_t(kPathEnvHop) * g;
    float s = 0;
    for (int i = 0; i < kPathEnvHop; ++i) s += std::fabs(FarEmph(far, p0 + i));
    fe[g - g_lo] = s;
  }
  for (int k = 0; k < hops; ++k) {
    t->env_x += me[k];
    t->env_xx += double(me[k]) * me[k];
    t->env_n += 1;
    for (int j = 0; j < kPathSearchLags; ++j) {
      const float y = fe[k + kPathSearchEarly - j - g_lo];
      t->env_xy[j] += double(me[k]) * y;
      t->env_y[j] += y;
      t->env_yy[j] += double(y) * y;
    }
  }
  if (sound) ++t->active;
  if (t->active < kSearchBlocks) return false;
  double ncc[kPathSearchLags];
  const double vx = t->env_xx - t->env_x * t->env_x / t->env_n;
  int best = 0;
  for (int j = 0; j < kPathSearchLags; ++j) {
    const double vy = t->env_yy[j] - t->env_y[j] * t->env_y[j] / t->env_n;
    const double cxy = t->env_xy[j] - t->env_x * t->env_y[j] / t->env_n;
    ncc[j] = vx > 0 && vy > 0 ? cxy / std::sqrt(vx * vy) : 0;
    if (ncc[j] > ncc[best]) best = j;
  }
  double second = -1;
  for (int j = 0; j < kPathSearchLags; ++j)
    if (std::abs(j - best) >= kSearchLobe) second = std::max(second, ncc[j]);
  if (ncc[best] >= kSearchMinNcc && ncc[best] - second >= kSearchMargin) {
    // Echo later than reported by (best - early) ms: an older far end.
    t->center = t->base - int64_t(kPathEnvHop) * (best - kPathSearchEarly);
    *found = true;
    return true;
  }
  return t->active >= kSearchGiveUp;
}

// Prediction-error filter of order kPathWhitenOrder for x (Levinson-Durbin on its
// autocorrelation): whitens the far end, so that the cross-correlation with
// the microphone becomes the echo path's impulse response, whose direct
// sound is a sharp peak whatever the speech's spectrum.
void Whitener(const float *x, int n, float *a) {
  double r[kPathWhitenOrder + 1];
  for (int m = 0; m <= kPathWhitenOrder; ++m) {
    double s = 0;
    for (int i = m; i < n; ++i) s += double(x[i]) * x[i - m];
    r[m] = s;
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

// Adds this block's cross-correlation at offsets center +- half, both
// signals whitened by the far end's prediction-error filter.
void Correlate(EchoPathTracker *t, const int16_t *mic, int n, int64_t capture,
               const FarHistory &far, int half, double forget) {
  const int span = n + 2 * half;
  const int64_t p0 = capture + t->center - half;
  float raw[kPathWhitenOrder + 320 + 2 * kPathRefineHalf + 1];
  for (int i = 0; i < kPathWhitenOrder + span; ++i) raw[i] = Far(far, p0 - kPathWhitenOrder + i);
  float a[kPathWhitenOrder + 1];
  Whitener(raw + kPathWhitenOrder + half, n, a);
  float wf[320 + 2 * kPathRefineHalf + 1], wm[320];
  for (int i = 0; i < span; ++i) {
    float s = 0;
    for (int m = 0; m <= kPathWhitenOrder; ++m) s += a[m] * raw[kPathWhitenOrder + i - m];
    wf[i] = s;
  }
  for (int i = 0; i < n; ++i) {
    float s = 0;
    for (int m = 0; m <= kPathWhitenOrder; ++m)
      s += a[m] * (i - m >= 0 ? float(mic[i - m]) : t->mic_tail[kPathWhitenOrder + i - m]);
    wm[i] = s;
  }
  double me = 0, fe = 0;
  for (int i = 0; i < n; ++i) {
    me += double(wm[i]) * wm[i];
    fe += double(wf[i + half]) * wf[i + half];
  }
  t->mic_energy = t->mic_energy * forget + me;
  t->far_energy = t->far_energy * forget + fe;
  for (int k = 0; k <= 2 * half; ++k) {
    float s = 0;
    for (int i = 0; i < n; ++i) s += wm[i] * wf[i + k];
    t->corr[k] = t->corr[k] * forget + s;
  }
}

// Peak of corr[0 .. 2 half]: its offset (sub-sample) and normalised height.
// False when the peak lies on the edge.
bool Peak(const EchoPathTracker &t, int half, double *offset, double *height) {
  int k = 0;
  for (int i = 1; i <= 2 * half; ++i)
    if (t.corr[i] > t.corr[k]) k = i;
  const double norm = std::sqrt(t.mic_energy * t.far_energy);
  *height = norm > 0 ? t.corr[k] / norm : 0;
  *offset = double(t.center - half + k);
  if (k == 0 || k == 2 * half) return false;
  const double a = t.corr[k - 1], b = t.corr[k], c = t.corr[k + 1];
  const double den = a - 2 * b + c;
  if (den < 0) *offset += 0.5 * (a - c) / den;
  return true;
}

}  // namespace

int EchoPathSettlePoints() { return int(kSlide.settle_points); }

void EchoPathTrackerLose(EchoPathTracker *t, int64_t expected) {
  t->locked = false;
  Restart(t, EchoPathTracker::kSearch, expected);
}

void EchoPathTrackerUpdate(EchoPathTracker *t, const int16_t *mic, int n, int64_t capture,
                           int64_t expected, const FarHistory &far, double applied_ppm,
                           double count_ppm) {
  if (n <= 0 || n > 320 || n % kPathEnvHop) return;
  // The far end's resampling at applied_ppm moved the offset by this much.
  t->corrected += applied_ppm * 1e-6 * n;
  float wm[320];
  double mic_level = 0, far_level = 0;
  for (int i = 0; i < n; ++i) {
    wm[i] = float(mic[i]) - kEmphasis * t->mic_prev;
    t->mic_prev = mic[i];
    mic_level += std::fabs(wm[i]);
  }
  const int64_t around = t->state == EchoPathTracker::kSearch ? t->base : t->center;
  for (int i = 0; i < n; i += 4) far_level += std::fabs(FarEmph(far, capture + around + i));
  const bool sound = mic_level / n > kSoundFloor && far_level * 4 / n > kSoundFloor;
  struct KeepTail {  // the last samples of this block, for the next one's filter
    EchoPathTracker *t;
    const int16_t *mic;
    int n;
    ~KeepTail() {
      for (int m = 0; m < kPathWhitenOrder; ++m) t->mic_tail[m] = mic[n - kPathWhitenOrder + m];
    }
  } keep{t, mic, n};
  if (t->state == EchoPathTracker::kSearch && std::llabs(expected - t->base) > kSearchRebase)
    Restart(t, EchoPathTracker::kSearch, expected);

  switch (t->state) {
    case EchoPathTracker::kSearch: {
      bool found = false;
      if (Search(t, wm, n, capture, far, sound, &found))
        Restart(t, found ? EchoPathTracker::kRefine : EchoPathTracker::kSearch,
                found ? t->center : expected);
      return;
    }
    case EchoPathTracker::kRefine: {
      if (!sound) return;
      Correlate(t, mic, n, capture, far, kPathRefineHalf, 1.0);
      if (++t->active < kRefineBlocks) return;
      double at, height;
      const bool inside = Peak(*t, kPathRefineHalf, &at, &height);
      if (!inside || height < kRefineMinPeak) {
        Restart(t, EchoPathTracker::kSearch, expected);
        return;
      }
      // Found: track it, and hold it where it is from now on.
      Restart(t, EchoPathTracker::kTrack, std::llround(at));
      t->locked = true;
      t->offset = t->lock = at;
      t->slide = SlopeFit();
      t->last_point = capture;
      ++t->locks;
      return;
    }
    case EchoPathTracker::kTrack: {
      if (!sound) return;
      Correlate(t, mic, n, capture, far, kPathTrackHalf, kTrackForget);
      if (++t->active < kTrackWarm) return;
      double at, height;
      const bool inside = Peak(*t, kPathTrackHalf, &at, &height);
      if (height < kTrackMinPeak) {  // the echo faded here (or went elsewhere)
        if (++t->faded >= kTrackFadeBlocks) EchoPathTrackerLose(t, expected);
        return;
      }
      if (!inside) {  // a clear peak moved beyond the window: follow it
        Restart(t, EchoPathTracker::kTrack, std::llround(at));
        return;
      }
      t->faded = 0;
      t->offset = at;
      // The offset as it would be had the far end never been corrected:
      // its slope is the slide's rate.
      const int64_t steps = t->slide.steps;
      SlopeFitUpdate(&t->slide, kSlide, at + t->corrected, double(capture - t->last_point));
      t->last_point = capture;
      if (t->slide.steps != steps) t->lock = at;  // a jump: hold the new place
      if (t->slide.points >= kSlide.settle_points)
        t->ppm = std::max(-kMaxPpm, std::min(kMaxPpm, t->slide.ppm - count_ppm +
                                                         kPullPpmPerSample * (at - t->lock)));
      if (std::fabs(at - double(t->center)) > kPathTrackHalf / 2) {
        // Keep the peak in the middle of the window.
        const double keep_lock = t->lock;
        Restart(t, EchoPathTracker::kTrack, std::llround(at));
        t->lock = keep_lock;
      }
      return;
    }
  }
}
