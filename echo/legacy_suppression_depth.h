// Softer double talk for WebRTC 0.3's echo canceller: its suppression step
// (the nonlinear stage after the linear filter) runs through an exported,
// process-wide function pointer, which this puts a step of its own in front
// of. For the cancellers registered here, the bins whose gain before the
// library's overdrive exceeds kNearEndGain (most of them: the overdrive does
// most of the cutting) keep only `depth` of the cut: the gain is raised to
// that power first. The step also sums the linear filter's error spectra it
// is handed, so the canceller can tell what the filter took off, and what
// share of each bin's power the library's step kept. Every
// other canceller in the process runs the library's own step unchanged.
//
// Guarantees: the step in front only ever calls the library's own step,
// found where the library's initialisation put it and checked to lie in the
// library's file (/proc/self/maps); a canceller whose registration fails (a
// full table, another copy of this code in front already) keeps the
// library's own suppression. The last registered canceller's release puts
// the library's step back, so no pointer into this code outlives the
// cancellers that use it. Lock-free: the capture thread only reads and
// compares atomics.
#ifndef HX_ECHO_LEGACY_SUPPRESSION_DEPTH_H
#define HX_ECHO_LEGACY_SUPPRESSION_DEPTH_H

struct AecCore;
struct SuppressionDepth;

// Bins whose gain before the overdrive exceeds this are softened.
constexpr float kNearEndGain = 0.5f;

// Call right after `core`'s canceller was initialised. nullptr when it
// cannot be softened.
SuppressionDepth *SuppressionDepthRegister(AecCore *core);
void SuppressionDepthRelease(SuppressionDepth *d);

// The depth for the canceller's next frames, 0 to 1. Also puts the step in
// front again where a canceller's initialisation (any thread) put the
// library's back.
void SuppressionDepthSet(SuppressionDepth *d, float depth);

// The mean square per sample of what the linear filter left (its error,
// before the suppression) over the frames since the last call, from the
// error spectra the step sees (Parseval); negative when there were none.
// On the canceller's own thread.
float SuppressionDepthTakeLinear(SuppressionDepth *d);

// Per bin of the library's spectrum (kAecBins, 0 to 8 kHz), the share of
// the linear filter's error power that the suppression kept over the
// frames since the last call, 0 to 1. False when there were none. On the
// canceller's own thread.
bool SuppressionDepthTakeKept(SuppressionDepth *d, float *kept);

#endif  // HX_ECHO_LEGACY_SUPPRESSION_DEPTH_H
