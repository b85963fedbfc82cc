// Render/capture clock drift from sample counts alone (no wall clock, so a
// stepped simulation measures the same as a real call).
//
// Once per capture block the voice path knows the far end received so far
// (R), the reported stream delay (d) and the microphone samples captured
// (C). The far end whose echo reaches the microphone now is R - d; its lead
// over the capture count, R - d - C, stays constant while both clocks agree
// and grows by the drift (ppm) per capture sample otherwise. The tracker fits
// that slope by least squares with exponential forgetting (about five
// minutes of memory: the delay arrives in whole ms, a staircase that a
// shorter fit would follow up and down). A step of the lead (device change,
// an underrun, the far end pausing, a latency report that moved) starts a
// new fit instead of bending this one: a single observation more than 20 ms
// off the fitted line, or the last half second off it by more than 2 ms on
// average (drift moves it by 0.05 ms in that time).
#ifndef HX_ECHO_DRIFT_TRACKER_H
#define HX_ECHO_DRIFT_TRACKER_H

#include <cstdint>

struct DriftTracker {
  // Forgetting-weighted sums of the observations (x relative to the newest).
  double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  int64_t points = 0;
  double recent_miss = 0;   // average distance from the fitted line, last ~0.5 s
  int64_t steps = 0;        // steps seen (fits restarted)
  double ppm = 0;           // estimate in use; 0 until a fit has settled
};

constexpr double kDriftMaxPpm = 1000;     // larger estimates are clamped
constexpr double kDriftStepSamples = 320; // one observation this far off: a step (20 ms)
constexpr double kDriftShiftSamples = 32; // the recent average this far off: a step (2 ms)
constexpr int64_t kDriftSettlePoints = 500;  // 10 s of 20 ms blocks before an estimate

// One observation: `lead` = R - d - C in samples, `advance` = capture
// samples since the previous observation.
void DriftTrackerUpdate(DriftTracker *t, double lead, double advance);

#endif  // HX_ECHO_DRIFT_TRACKER_H
