#include "voice_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "analysis.h"
#include "report.h"

namespace host {
namespace {

constexpr int kRate = 16000;
constexpr size_t kFrame = kRate / 50;
constexpr double kNearOverBackgroundDb = 10;
constexpr int kHoldFrames = 15;  // 0.3 s

// 20 ms frame levels in dBFS, digital silence at -200.
std::vector<double> FrameDb(const int16_t *x, size_t n) {
  std::vector<double> db = FrameRms(x, n, kRate, 1, 0);
  for (double &v : db) v = std::max(-200.0, ToDbfs(v));
  return db;
}

// Each frame that is on switches its neighbours within kHoldFrames on.
std::vector<bool> Held(const std::vector<bool> &on) {
  std::vector<bool> held(on.size(), false);
  for (size_t f = 0; f < on.size(); ++f) {
    if (!on[f]) continue;
    const size_t from = f >= kHoldFrames ? f - kHoldFrames : 0;
    const size_t to = std::min(on.size(), f + kHoldFrames + 1);
    for (size_t g = from; g < to; ++g) held[g] = true;
  }
  return held;
}

}  // namespace

voice_metrics::VoiceTimeline TalkFromSignals(const int16_t *near, const int16_t *echo, size_t n) {
  using voice_metrics::Talk;
  const size_t frames = n / kFrame;
  const std::vector<double> near_db = FrameDb(near, n), echo_db = FrameDb(echo, n);
  voice_metrics::VoiceTimeline tl;
  if (frames == 0) return tl;
  std::vector<double> sorted = near_db;
  std::nth_element(sorted.begin(), sorted.begin() + frames / 5, sorted.end());
  const double background = sorted[frames / 5];
  std::vector<bool> near_on(frames), far_on(frames);
  for (size_t f = 0; f < frames; ++f) {
    near_on[f] = near_db[f] > background + kNearOverBackgroundDb;
    far_on[f] = echo_db[f] > background;
  }
  near_on = Held(near_on), far_on = Held(far_on);
  auto kind = [&](size_t f) {
    return near_on[f] ? (far_on[f] ? Talk::kBoth : Talk::kNear) : (far_on[f] ? Talk::kFar : Talk::kBackground);
  };
  size_t start = 0;
  for (size_t f = 1; f <= frames; ++f) {
    if (f < frames && kind(f) == kind(start)) continue;
    tl.segments.push_back({kind(start), double(start * kFrame) / kRate, double(f * kFrame) / kRate});
    start = f;
  }
  return tl;
}

std::string VoiceReport(const int16_t *heard, const int16_t *echo, size_t n, const int16_t *up,
                        size_t up_frames) {
  std::vector<int16_t> near16(n);
  std::vector<float> near(n), echo_f(n), out(up_frames / 3);
  for (size_t i = 0; i < n; ++i) {
    near16[i] = static_cast<int16_t>(std::clamp(heard[i] - echo[i], -32768, 32767));
    near[i] = float(near16[i] / 32768.0), echo_f[i] = float(echo[i] / 32768.0);
  }
  // 48 kHz to 16 kHz: every third frame's left channel (the voice path's
  // output is made from 16 kHz audio; the little it holds above 8 kHz
  // folds back into the frames' power).
  for (size_t i = 0; i < out.size(); ++i) out[i] = float(up[6 * i] / 32768.0);
  const voice_metrics::VoiceTimeline tl = TalkFromSignals(near16.data(), echo, n);
  const voice_metrics::VoiceMetrics m =
      voice_metrics::MeasureVoice(tl, near.data(), echo_f.data(), n, out.data(), out.size(), kRate);
  std::string s;
  if (!m.valid) {
    Add(&s, "voice path as heard: not measured (needs background, far end alone, near end alone "
            "and double talk, and an output that lines up with the near end)\n");
    return s;
  }
  Add(&s, "voice path as heard (20 ms frames; who talks found from the near end and the echo; "
          "output %.0f ms after the microphone): background %.1f dBFS\n",
      m.lag * 1000.0 / kRate, m.background_dbfs);
  Add(&s, "  far end alone (%zu frames): residual echo %+.1f dB over the background, leak %.1f %%, "
          "holes %.1f %%\n", m.far_frames, m.residual_db, m.leak_pct, m.holes_pct);
  Add(&s, "  double talk (%zu frames): near end %+.1f dB against it alone, %.1f %% of frames "
          "clipped\n", m.double_talk_frames, m.double_talk_db, m.clipped_pct);
  Add(&s, "  near end alone (%zu frames): correlation %.3f, gain %+.1f dB\n", m.near_frames,
      m.near_correlation, m.near_gain_db);
  const voice_metrics::TalkSegment &first = tl.segments.front();
  if (first.who == voice_metrics::Talk::kBackground && first.to_s >= 1.0)
    Add(&s, "  call start: background in the first second %+.1f dB against later\n", m.start_db);
  else
    Add(&s, "  call start: not measured (nobody may talk in the first second)\n");
  return s;
}

}  // namespace host
