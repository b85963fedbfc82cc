// Echo calls on the private daemon's echo path (Microphone::kEchoPath): a
// host that plays speech as the far end and keeps what comes upstream, its
// alignment with a recording of the microphone and the echo reduction
// between the two. Shared by the echo tests and bench/echo_real.cc.
#ifndef HX_RIG_ECHO_CALL_H
#define HX_RIG_ECHO_CALL_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "measure/echo_measure.h"
#include "rig/pulse_daemon.h"
#include "rig/signal_check.h"

namespace hxtest {

// tests/data/speech16k.wav without its silent ends: a loop of it keeps the
// far end talking.
inline std::vector<int16_t> SpeechLoop16k() {
  std::vector<int16_t> x = Speech16k();
  auto loud = [](int16_t v) { return std::abs(int(v)) > 200; };
  auto first = std::find_if(x.begin(), x.end(), loud);
  auto last = std::find_if(x.rbegin(), x.rend(), loud).base();
  return first < last ? std::vector<int16_t>(first, last) : std::vector<int16_t>();
}

// The host of an echo call. Stream 0 of the far end plays `far` (16 kHz
// mono, looped) while far_on is set, every sample repeated as 48 kHz stereo
// (the voice path receives exactly `far`). Upstream blocks are kept.
struct EchoHost {
  std::mutex mu;
  std::vector<int16_t> up;   // 48 kHz stereo
  std::vector<int16_t> far;  // 16 kHz mono
  size_t far_pos = 0;
  std::atomic<bool> far_on{false};
  std::atomic<long> blocks{0};
  std::vector<double> block_time;  // arrival of each upstream block

  static int32_t Capture(void *ctx, int16_t *s, int32_t len) {
    EchoHost *h = static_cast<EchoHost *>(ctx);
    const double now = Now();
    std::lock_guard<std::mutex> lk(h->mu);
    h->up.insert(h->up.end(), s, s + len / 2);
    h->block_time.push_back(now);
    h->blocks++;
    return 0;
  }
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
    EchoHost *h = static_cast<EchoHost *>(ctx);
    if (stream != 0 || !h->far_on) return 0;
    std::lock_guard<std::mutex> lk(h->mu);
    if (h->far.empty()) return 0;
    for (int32_t f = 0; f < len / 4; ++f)
      buf[2 * f] = buf[2 * f + 1] = h->far[(h->far_pos + size_t(f) / 3) % h->far.size()];
    h->far_pos = (h->far_pos + size_t(len / 4) / 3) % h->far.size();
    return len;
  }
  size_t UpFrames() { std::lock_guard<std::mutex> lk(mu); return up.size() / 2; }
  std::vector<int16_t> Up() { std::lock_guard<std::mutex> lk(mu); return up; }
  // Longest gap between upstream blocks that arrived in [from, to).
  double LongestGap(double from, double to) {
    std::lock_guard<std::mutex> lk(mu);
    double prev = from, gap = 0;
    for (double t : block_time)
      if (t >= from && t < to) gap = std::max(gap, t - prev), prev = t;
    return std::max(gap, to - prev);
  }
};

// out16[i + lag] is microphone sample i; ncc: how well the talker matched.
struct Lag {
  long lag = 0;
  double ncc = 0;
};

// The microphone recorded beside an output that passes it.
struct MicRecording {
  SimpleStream *mic;
  std::vector<int16_t> recorded;  // everything since the stream opened
  std::vector<int16_t> Recorded() {  // brought up to date
    std::vector<int16_t> more = mic->Take();
    recorded.insert(recorded.end(), more.begin(), more.end());
    return recorded;
  }
};

// A near-end talker (`talk`, fed by `feeder`) on a silent far end: where
// the 2 s of microphone from the talker on line up with the output
// (out_count() 16 kHz samples, out16() those samples; the same indexes).
// Only the output made from the moment the talker is queued on is searched:
// earlier output cannot hold this talker, but may hold an earlier one with
// the same words, whose 10 ms envelope the coarse search cannot tell from
// this one's (a few ms of slip in either then decide the figure). The
// search starts a quarter of a second earlier than that moment, because the
// span's first samples, before the talker, may have reached the output a
// little before the recording of the microphone had them.
inline Lag AlignByTalker(MicFeeder &feeder, MicRecording &mic, const std::vector<int16_t> &talk,
                         const std::function<size_t()> &out_count,
                         const std::function<std::vector<int16_t>()> &out16) {
  constexpr size_t kSpan = 2 * 16000;
  constexpr size_t kLeadIn = 16000 / 4;
  constexpr size_t kSlack = 16000;  // the output may come this much later than the recording
  const size_t from = mic.mic->received();
  const size_t out_at = out_count();
  feeder.Queue(talk);
  WaitFor([&] { return mic.mic->received() > from + kSpan; }, 20);
  WaitFor([&] { return out_count() > out_at + kSpan + kSlack; }, 20);
  const std::vector<int16_t> rec = mic.Recorded();
  const std::vector<int16_t> out = out16();
  const size_t out_from = std::min(out.size(), out_at > kLeadIn ? out_at - kLeadIn : 0);
  if (from + kSpan > rec.size()) return Lag();
  const Match m = FindMatch(std::vector<int16_t>(rec.begin() + long(from), rec.begin() + long(from + kSpan)),
                            std::vector<int16_t>(out.begin() + long(out_from), out.end()));
  return m.lag < 0 ? Lag() : Lag{m.lag + long(out_from) - long(from), m.ncc};
}

// Echo reduction over the microphone samples [from, to), where it holds
// echo only; `out` is 48 kHz stereo (upstream audio, or Stereo48).
inline echo_measure::Erle ErleBetween(const std::vector<int16_t> &mic, size_t from, size_t to,
                                      const std::vector<int16_t> &out, long lag) {
  // Microphone sample i sits at output frame 3 (i + lag); start where both exist.
  from = std::max(from, size_t(std::max(0L, -lag)));
  to = std::min(to, mic.size());
  if (from >= to) return echo_measure::Erle();
  return echo_measure::FarEndOnly(mic.data() + from, mic.data() + from, to - from, out.data(),
                                  out.size() / 2, long(from) + lag, 0.0);
}

// A 16 kHz mono output as 48 kHz stereo on the same scale.
inline std::vector<int16_t> Stereo48(const std::vector<int16_t> &mono16) {
  std::vector<int16_t> out;
  for (int16_t v : mono16) out.insert(out.end(), 6, v);
  return out;
}

}  // namespace hxtest

#endif
