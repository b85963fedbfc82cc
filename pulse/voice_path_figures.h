// Figures of the voice path around its echo canceller, over one load of
// the library (every instance of a call adds to them): loudspeaker
// underruns, far end dropped before the sink, and the levels of the
// microphone before and after the canceller and of the far end played.
// Lock-free: the counters take several writers; each level has one writer
// at a time (the main-loop thread of the instance running), so a relaxed
// load and store add to it.
#ifndef HX_PULSE_VOICE_PATH_FIGURES_H
#define HX_PULSE_VOICE_PATH_FIGURES_H

#include <stdint.h>

#include <atomic>
#include <cmath>

namespace hxpa {

struct LevelSum {
  std::atomic<double> energy{0};  // sum of squared samples
  std::atomic<int64_t> samples{0};

  void Add(const int16_t *x, size_t n) {
    double e = 0;
    for (size_t i = 0; i < n; ++i) e += double(x[i]) * x[i];
    energy.store(energy.load(std::memory_order_relaxed) + e, std::memory_order_relaxed);
    samples.store(samples.load(std::memory_order_relaxed) + int64_t(n), std::memory_order_relaxed);
  }
  // Mean power in dB against full scale; -120 when silent or unmeasured.
  double Dbfs() const {
    const int64_t n = samples.load(std::memory_order_relaxed);
    const double p = n ? energy.load(std::memory_order_relaxed) / double(n) / (32768.0 * 32768.0) : 0;
    return p > 1e-12 ? 10 * std::log10(p) : -120;
  }
};

struct VoicePathFigures {
  std::atomic<int64_t> underruns{0};        // sink fills the far end did not cover
  std::atomic<int64_t> far_dropped{0};      // far-end frames (16 kHz) dropped before the sink
  LevelSum mic, cleaned, far;
};

}  // namespace hxpa

#endif
