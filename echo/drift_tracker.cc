#include "echo/drift_tracker.h"

#include <algorithm>
#include <cmath>

namespace {
double Slope(const SlopeFit &t) {
  const double det = t.sw * t.sxx - t.sx * t.sx;
  return det > 0 ? (t.sw * t.sxy - t.sx * t.sy) / det : 0;
}

constexpr SlopeFitParams kDrift = {
    1.0 - 1.0 / 15000,  // memory of about 15000 blocks (5 min)
    kDriftStepSamples, kDriftShiftSamples,
    1.0 / 25,           // half a second of 20 ms blocks
    kDriftSettlePoints, kDriftMaxPpm,
    4, 2};
}  // namespace

void SlopeFitUpdate(SlopeFit *t, const SlopeFitParams &p, double y, double advance) {
  // Move the origin of x to the new observation: x_old -> x_old - advance.
  t->sxx += -2 * advance * t->sx + advance * advance * t->sw;
  t->sxy += -advance * t->sy;
  t->sx += -advance * t->sw;
  if (t->points > 0) {
    // A miss of the line fitted so far is a new level: the fit starts
    // again (the slope in use stays until the new fit has settled).
    const double miss = y - (t->sy - Slope(*t) * t->sx) / t->sw;
    t->recent_miss += (miss - t->recent_miss) * p.recent;
    if (std::fabs(miss) > p.step || (t->points > 25 && std::fabs(t->recent_miss) > p.shift)) {
      *t = SlopeFit{0, 0, 0, 0, 0, 0, 0, 0, t->steps + 1, t->ppm, 0};
    }
  }
  t->sw = t->sw * p.forget + 1;
  t->sx *= p.forget;
  t->sy = t->sy * p.forget + y;
  t->sxx *= p.forget;
  t->sxy *= p.forget;
  t->syy = t->syy * p.forget + y * y;
  ++t->points;
  if (t->points < p.settle_points) return;
  // Standard error of the slope from the weighted residuals.
  const double slope = Slope(*t), vx = t->sxx - t->sx * t->sx / t->sw;
  const double a = (t->sy - slope * t->sx) / t->sw;
  const double residual = t->syy - 2 * a * t->sy - 2 * slope * t->sxy + a * a * t->sw +
                          2 * a * slope * t->sx + slope * slope * t->sxx;
  t->error_ppm = vx > 0 && t->sw > 2 ? std::sqrt(std::max(0.0, residual) / (t->sw - 2) / vx) * 1e6 : 1e9;
  if (std::fabs(slope * 1e6) < p.significance * t->error_ppm && t->error_ppm > p.certain_ppm)
    return;
  t->ppm = std::max(-p.max_ppm, std::min(p.max_ppm, slope * 1e6));
}

void DriftTrackerUpdate(DriftTracker *t, double lead, double advance) {
  SlopeFitUpdate(t, kDrift, lead, advance);
}
