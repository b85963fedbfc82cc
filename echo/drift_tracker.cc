#include "echo/drift_tracker.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kForget = 1.0 - 1.0 / 15000;  // memory of about 15000 blocks (5 min)
constexpr double kRecent = 1.0 / 25;           // half a second of 20 ms blocks

double Slope(const DriftTracker &t) {
  const double det = t.sw * t.sxx - t.sx * t.sx;
  return det > 0 ? (t.sw * t.sxy - t.sx * t.sy) / det : 0;
}
}  // namespace

void DriftTrackerUpdate(DriftTracker *t, double lead, double advance) {
  // Move the origin of x to the new observation: x_old -> x_old - advance.
  t->sxx += -2 * advance * t->sx + advance * advance * t->sw;
  t->sxy += -advance * t->sy;
  t->sx += -advance * t->sw;
  if (t->points > 0) {
    // A miss of the line fitted so far is a new level: the fit starts
    // again (the estimate in use stays until the new fit has settled).
    const double miss = lead - (t->sy - Slope(*t) * t->sx) / t->sw;
    t->recent_miss += (miss - t->recent_miss) * kRecent;
    if (std::fabs(miss) > kDriftStepSamples ||
        (t->points > 25 && std::fabs(t->recent_miss) > kDriftShiftSamples)) {
      *t = DriftTracker{0, 0, 0, 0, 0, 0, 0, t->steps + 1, t->ppm};
    }
  }
  t->sw = t->sw * kForget + 1;
  t->sx *= kForget;
  t->sy = t->sy * kForget + lead;
  t->sxx *= kForget;
  t->sxy *= kForget;
  ++t->points;
  if (t->points < kDriftSettlePoints) return;
  t->ppm = std::max(-kDriftMaxPpm, std::min(kDriftMaxPpm, Slope(*t) * 1e6));
}
