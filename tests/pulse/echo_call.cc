#include "echo_call.h"

#include <math.h>

#include <algorithm>

#include "pulse_daemon.h"
#include "signal_check.h"

namespace hxtest {

std::vector<int16_t> SpeechLoop16k() {
  std::vector<int16_t> x = Speech16k();
  auto loud = [](int16_t v) { return std::abs(int(v)) > 200; };
  auto first = std::find_if(x.begin(), x.end(), loud);
  auto last = std::find_if(x.rbegin(), x.rend(), loud).base();
  if (first >= last) return {};
  return std::vector<int16_t>(first, last);
}

int32_t EchoHost::Capture(void *ctx, int16_t *s, int32_t len) {
  EchoHost *h = static_cast<EchoHost *>(ctx);
  const double now = Now();
  std::lock_guard<std::mutex> lk(h->mu);
  h->up.insert(h->up.end(), s, s + len / 2);
  h->block_time.push_back(now);
  h->blocks++;
  return 0;
}

int32_t EchoHost::Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
  EchoHost *h = static_cast<EchoHost *>(ctx);
  if (stream != 0 || !h->far_on) return 0;
  std::lock_guard<std::mutex> lk(h->mu);
  if (h->far.empty()) return 0;
  for (int32_t f = 0; f < len / 4; ++f)
    buf[2 * f] = buf[2 * f + 1] = h->far[(h->far_pos + size_t(f) / 3) % h->far.size()];
  h->far_pos = (h->far_pos + size_t(len / 4) / 3) % h->far.size();
  return len;
}

double EchoHost::LongestGap(double from, double to) {
  std::lock_guard<std::mutex> lk(mu);
  double prev = from, gap = 0;
  for (double t : block_time) {
    if (t < from || t >= to) continue;
    gap = std::max(gap, t - prev);
    prev = t;
  }
  return std::max(gap, to - prev);
}

std::vector<int16_t> MicRecording::Recorded() {
  std::vector<int16_t> more = mic->Take();
  recorded.insert(recorded.end(), more.begin(), more.end());
  return recorded;
}

Lag AlignByTalker(MicFeeder &feeder, MicRecording &mic, const std::vector<int16_t> &talk,
                  const std::function<size_t()> &out_count,
                  const std::function<std::vector<int16_t>()> &out16) {
  constexpr size_t kRate = 16000;
  const size_t from = mic.mic->received();
  feeder.Queue(talk);
  WaitFor([&] { return mic.mic->received() > from + 2 * kRate; }, 20);
  const size_t at = mic.mic->received();
  WaitFor([&] { return out_count() > at + kRate; }, 20);
  const std::vector<int16_t> rec = mic.Recorded();
  if (from + 2 * kRate > rec.size()) return Lag();
  const Match m =
      FindMatch(std::vector<int16_t>(rec.begin() + long(from), rec.begin() + long(from + 2 * kRate)), out16());
  return Lag{m.lag - long(from), m.ncc};
}

echo_measure::Erle ErleBetween(const std::vector<int16_t> &mic, size_t from, size_t to,
                               const std::vector<int16_t> &out, long lag) {
  // Microphone sample i sits at output frame 3 (i + lag); start where both exist.
  from = std::max(from, size_t(std::max(0L, -lag)));
  to = std::min(to, mic.size());
  if (from >= to) return echo_measure::Erle();
  // No near end: the microphone is all echo.
  return echo_measure::FarEndOnly(mic.data() + from, mic.data() + from, to - from, out.data(),
                                  out.size() / 2, long(from) + lag, 0.0);
}

std::vector<int16_t> Stereo48(const std::vector<int16_t> &mono16) {
  std::vector<int16_t> out(mono16.size() * 6);
  for (size_t i = 0; i < mono16.size(); ++i)
    for (int k = 0; k < 6; ++k) out[6 * i + size_t(k)] = mono16[i];
  return out;
}

}  // namespace hxtest
