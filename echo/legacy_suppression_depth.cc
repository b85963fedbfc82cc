#include "echo/legacy_suppression_depth.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

#include "echo/legacy_aec_exports.h"

struct SuppressionDepth {
  std::atomic<AecCore *> core{nullptr};
  std::atomic<float> depth{1.0f};
  // Touched only inside the canceller's own processing and by its owner on
  // the same thread.
  double linear_power = 0;  // sum of |error spectrum|^2 over the frames
  int frames = 0;
  // Per bin, the error's power before and after the library's step, summed
  // over the frames since the last SuppressionDepthTakeKept.
  float before[kAecBins] = {}, after[kAecBins] = {};
  int kept_frames = 0;
};

namespace {

constexpr int kSlots = 16;
// One frame: 64 new samples in a 128-sample sqrt-Hann window (Ooura's
// unnormalised transform): sum over the half spectrum of |E|^2 is about
// 64 * 64 times the error's mean square.
constexpr double kFrameScale = 64.0 * 64.0;

SuppressionDepth g_slots[kSlots];
std::atomic<AecSuppressStep> g_library_step{nullptr};

void SofterStep(AecCore *aec, float *hNl, const float hNlFb, float (*efw)[65]) {
  for (SuppressionDepth &s : g_slots) {
    if (s.core.load(std::memory_order_acquire) != aec) continue;
    for (int i = 0; i < kAecBins; ++i) {
      const double p = double(efw[0][i]) * efw[0][i] + double(efw[1][i]) * efw[1][i];
      s.linear_power += p;
      s.before[i] += float(p);
    }
    ++s.frames;
    const float depth = s.depth.load(std::memory_order_relaxed);
    if (depth < 1.0f)
      for (int i = 0; i < kAecBins; ++i)
        if (hNl[i] > kNearEndGain) hNl[i] = std::pow(hNl[i], depth);
    g_library_step.load(std::memory_order_acquire)(aec, hNl, hNlFb, efw);
    for (int i = 0; i < kAecBins; ++i) s.after[i] += efw[0][i] * efw[0][i] + efw[1][i] * efw[1][i];
    ++s.kept_frames;
    return;
  }
  g_library_step.load(std::memory_order_acquire)(aec, hNl, hNlFb, efw);
}

AecSuppressStep Current() { return __atomic_load_n(&WebRtcAec_OverdriveAndSuppress, __ATOMIC_ACQUIRE); }

// Whether `step` lies in the file that holds the library's exported code.
// Read from /proc/self/maps rather than asked of the dynamic loader: a
// canceller may be made while another thread unloads a library, holding the
// loader's lock until this thread is done.
bool InLibrary(AecSuppressStep step) {
  const unsigned long at = reinterpret_cast<unsigned long>(step);
  const unsigned long library = reinterpret_cast<unsigned long>(&WebRtcAec_Create);  // where the library lies
  FILE *maps = fopen("/proc/self/maps", "re");
  if (!maps) return false;
  std::string step_file, library_file;
  char *line = nullptr;
  size_t size = 0;
  while (getline(&line, &size, maps) > 0) {
    unsigned long lo = 0, hi = 0;
    int path = 0;
    if (sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &lo, &hi, &path) < 2 || path == 0) continue;
    const std::string file(line + path, strcspn(line + path, "\n"));
    if (at >= lo && at < hi) step_file = file;
    if (library >= lo && library < hi) library_file = file;
  }
  free(line);
  fclose(maps);
  return !library_file.empty() && step_file == library_file;
}

void PutInFront() {
  AecSuppressStep library = g_library_step.load(std::memory_order_acquire);
  __atomic_compare_exchange_n(&WebRtcAec_OverdriveAndSuppress, &library, &SofterStep, false, __ATOMIC_ACQ_REL,
                              __ATOMIC_ACQUIRE);
}

}  // namespace

SuppressionDepth *SuppressionDepthRegister(AecCore *core) {
  if (!core) return nullptr;
  const AecSuppressStep now = Current();
  if (now != &SofterStep) {
    if (!now || !InLibrary(now)) return nullptr;
    g_library_step.store(now, std::memory_order_release);
  }
  for (SuppressionDepth &s : g_slots) {
    AecCore *none = nullptr;
    if (s.core.compare_exchange_strong(none, core, std::memory_order_acq_rel)) {
      s.linear_power = 0;  // depth is 1: a slot is freed at depth 1
      s.frames = 0;
      std::fill(s.before, s.before + kAecBins, 0.0f);
      std::fill(s.after, s.after + kAecBins, 0.0f);
      s.kept_frames = 0;
      PutInFront();
      return &s;
    }
  }
  return nullptr;
}

void SuppressionDepthRelease(SuppressionDepth *d) {
  if (!d) return;
  d->depth.store(1.0f, std::memory_order_relaxed);
  d->core.store(nullptr, std::memory_order_release);
  for (const SuppressionDepth &s : g_slots)
    if (s.core.load(std::memory_order_acquire)) return;
  AecSuppressStep ours = &SofterStep;
  __atomic_compare_exchange_n(&WebRtcAec_OverdriveAndSuppress, &ours, g_library_step.load(std::memory_order_acquire),
                              false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void SuppressionDepthSet(SuppressionDepth *d, float depth) {
  if (!d) return;
  d->depth.store(std::min(1.0f, std::max(0.0f, depth)), std::memory_order_relaxed);
  if (Current() != &SofterStep) PutInFront();
}

float SuppressionDepthTakeLinear(SuppressionDepth *d) {
  if (!d || d->frames == 0) return -1.0f;
  const float mean_square = float(d->linear_power / (kFrameScale * d->frames));
  d->linear_power = 0;
  d->frames = 0;
  return mean_square;
}

bool SuppressionDepthTakeKept(SuppressionDepth *d, float *kept) {
  if (!d || d->kept_frames == 0) return false;
  // A bin the filter left empty lost nothing.
  for (int i = 0; i < kAecBins; ++i)
    kept[i] = d->before[i] > 0 ? std::min(1.0f, d->after[i] / d->before[i]) : 1.0f;
  std::fill(d->before, d->before + kAecBins, 0.0f);
  std::fill(d->after, d->after + kAecBins, 0.0f);
  d->kept_frames = 0;
  return true;
}
