// The far end moved from the render clock onto the capture clock and kept
// as a history: libsoxr's variable-rate resampler at the drift the caller
// tracks (or a plain copy when drift tracking is off). Capture thread only;
// nothing is allocated after Start (libsoxr may grow its internal buffers
// during the first calls).
#ifndef HX_ECHO_FAR_END_CLOCK_H
#define HX_ECHO_FAR_END_CLOCK_H

#include <soxr.h>

#include <cstddef>
#include <cstdint>

#include "echo/echo_tuning.h"
#include "echo/far_history.h"
#include "echo/render_queue.h"

constexpr int64_t kFarHistory = 1 << 15;  // 2 s of far end on the capture clock

class FarEndClock {
 public:
  explicit FarEndClock(const ClockTuning &tuning) : tuning_(tuning) {}
  ~FarEndClock();
  FarEndClock(const FarEndClock &) = delete;
  FarEndClock &operator=(const FarEndClock &) = delete;

  // With `resample` the far end is resampled, else copied. nullptr, or why
  // the resampler cannot be made.
  const char *Start(bool resample);
  // Appends `n` far-end samples (at most kRenderQueueCapacity) to the
  // history, resampled by 1 + ppm * 1e-6 render samples per capture sample
  // (the ratio follows changes above the tuned step).
  void Push(const int16_t *far, size_t n, double ppm);

  bool resampling() const { return clock_ != nullptr; }
  // Samples ever written to the history.
  int64_t count() const { return count_; }
  // Far-end samples handed to the resampler so far.
  int64_t input() const { return input_; }
  // The correction the resampler runs at, ppm.
  double applied_ppm() const { return applied_ppm_; }
  // What the resampler holds back of the newest far end (0 when copying).
  int64_t latency() const { return clock_ ? tuning_.latency : 0; }
  FarHistory history() const { return FarHistory{history_, kFarHistory, count_}; }

 private:
  ClockTuning tuning_;
  soxr_t clock_ = nullptr;
  double applied_ppm_ = 0;
  int64_t input_ = 0;
  int64_t count_ = 0;
  int16_t clocked_[2 * kRenderQueueCapacity];
  int16_t history_[kFarHistory];
};

#endif  // HX_ECHO_FAR_END_CLOCK_H
