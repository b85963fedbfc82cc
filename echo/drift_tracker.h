// A line through observations, fitted by least squares with exponential
// forgetting; a step of the observations starts a new fit instead of bending
// this one. Two users:
//
// Render/capture clock drift from sample counts alone (no wall clock, so a
// stepped simulation measures the same as a real call). Once per capture
// block the voice path knows the far end received so far (R), the reported
// stream delay (d) and the microphone samples captured (C). The far end
// whose echo reaches the microphone now is R - d; its lead over the capture
// count, R - d - C, stays constant while both clocks agree and grows by the
// drift (ppm) per capture sample otherwise. The tracker fits that slope with
// about five minutes of memory (the delay arrives in whole ms, a staircase
// that a shorter fit would follow up and down); a slope is used once it
// stands out of the fit's own noise (four standard errors, or an error
// below 2 ppm): reported delays that wander by a few ms while a stream
// settles would otherwise read as hundreds of ppm. A step of the lead (device
// change, an underrun, the far end pausing, a latency report that moved)
// starts a new fit: a single observation more than 20 ms off the fitted
// line, or the last half second off it by more than 2 ms on average (drift
// moves it by 0.05 ms in that time).
//
// The echo's slide against the far end (echo_path_tracker.h), with a memory
// of about 1.5 s.
#ifndef HX_ECHO_DRIFT_TRACKER_H
#define HX_ECHO_DRIFT_TRACKER_H

#include <cstdint>

struct SlopeFitParams {
  double forget;          // weight kept per observation
  double step;            // one observation this far off the line: a step
  double shift;           // the recent average this far off it: a step
  double recent;          // weight of a new miss in the recent average
  int64_t settle_points;  // observations of a fit before its slope is used
  double max_ppm;         // larger slopes are clamped
  double significance;    // a slope is used once it is this many standard errors from 0
  double certain_ppm;     // ... or its standard error is below this (ppm)
};

struct SlopeFit {
  // Forgetting-weighted sums of the observations (x relative to the newest).
  double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
  int64_t points = 0;
  double recent_miss = 0;   // average distance from the fitted line, recently
  int64_t steps = 0;        // steps seen (fits restarted)
  double ppm = 0;           // slope in use (per million x); 0 until a fit has settled
  double error_ppm = 0;     // standard error of the current fit's slope
};

// One observation y, `advance` units of x after the previous one.
void SlopeFitUpdate(SlopeFit *t, const SlopeFitParams &p, double y, double advance);

using DriftTracker = SlopeFit;

constexpr double kDriftMaxPpm = 1000;     // larger estimates are clamped
constexpr double kDriftStepSamples = 320; // one observation this far off: a step (20 ms)
constexpr double kDriftShiftSamples = 32; // the recent average this far off: a step (2 ms)
constexpr int64_t kDriftSettlePoints = 500;  // 10 s of 20 ms blocks before an estimate

// One observation: `lead` = R - d - C in samples, `advance` = capture
// samples since the previous observation.
void DriftTrackerUpdate(DriftTracker *t, double lead, double advance);

#endif  // HX_ECHO_DRIFT_TRACKER_H
