#include "echo/far_end_clock.h"

#include <cmath>

FarEndClock::~FarEndClock() {
  if (clock_) soxr_delete(clock_);
}

const char *FarEndClock::Start(bool resample) {
  if (!resample) return nullptr;
  // No dither on the way back to 16 bits: libsoxr seeds it from the time
  // and an address, so with it no two runs of the same call were alike.
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
  soxr_error_t err = nullptr;
  clock_ = soxr_create(tuning_.max_ratio, 1, 1, &err, &io, &quality, nullptr);
  if (!clock_ || err || soxr_set_io_ratio(clock_, 1.0, 0))
    return "the clock-drift resampler cannot be created";
  return nullptr;
}

void FarEndClock::Push(const int16_t *far, size_t n, double ppm) {
  size_t made = n;
  const int16_t *src = far;
  if (clock_) {
    if (std::fabs(ppm - applied_ppm_) > tuning_.update_ppm) {
      soxr_set_io_ratio(clock_, 1 + ppm * 1e-6, 0);  // render samples per capture sample
      applied_ppm_ = ppm;
    }
    size_t used = 0;
    soxr_process(clock_, far, n, &used, clocked_, sizeof clocked_ / sizeof clocked_[0], &made);
    input_ += static_cast<int64_t>(used);
    src = clocked_;
  }
  for (size_t i = 0; i < made; ++i) history_[(count_ + i) % kFarHistory] = src[i];
  count_ += static_cast<int64_t>(made);
}
