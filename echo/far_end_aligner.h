// The far end as the linear canceller needs it: on the capture clock,
// aligned with its echo, a steady lead ahead of it.
//
// Each capture block brings the far end the render thread queued since the
// last one. The aligner
//   - estimates the render clock's drift against the capture clock from the
//     sample counts (drift_tracker.h) and resamples the far end onto the
//     capture clock (far_end_clock.h) into a history;
//   - knows from the reported stream delay which far sample echoes at the
//     start of the block, and hands the canceller that far end up to 40 ms
//     early (its filter starts a little before the delay it is given), so
//     the canceller always sees a steady, aligned reference: its own buffer
//     and delay logic never move, and drift never accumulates;
//   - follows a change of the reported delay by more than 20 ms once it
//     holds for half a second (the adapted filter stays valid) and leaves
//     smaller ones to the canceller's filter; not while the path tracker
//     holds the echo within the filter's reach (the report swings);
//   - finds the echo in the signals (echo_path_tracker.h): an echo the
//     report does not show moves the alignment once it leaves the filter's
//     reach, and the echo's own slide confirms the drift before it is used;
//   - shrinks the lead when the far end keeps arriving too late for it
//     (starvation), and takes the echo later when even the shortest lead
//     misses it.
// Capture thread only. All figures are in the tuning record (echo_tuning.h).
#ifndef HX_ECHO_FAR_END_ALIGNER_H
#define HX_ECHO_FAR_END_ALIGNER_H

#include <cstddef>
#include <cstdint>

#include "echo/drift_tracker.h"
#include "echo/echo_path_tracker.h"
#include "echo/echo_tuning.h"
#include "echo/far_end_clock.h"
#include "echo/far_history.h"
#include "echo/hx_echo.h"

class FarEndAligner {
 public:
  explicit FarEndAligner(const EchoTuning &tuning = EchoTuning());

  // drift_tracking: resample the far end at the tracked drift;
  // path_tracking: find the echo in the signals (needs drift_tracking).
  // nullptr, or why the resampler cannot be made.
  const char *Start(bool drift_tracking, bool path_tracking);

  // One capture block: the far end taken from the render queue since the
  // last block (`n` samples, at most kRenderQueueCapacity; `received`
  // counts every sample ever queued), the stream delay reported with the
  // block (ms: render latency + capture latency) and the microphone block
  // (HX_ECHO_BLOCK samples). True when the echo moved against the far end
  // the canceller gets: the alignment jumped to a new report (the streams or
  // the device changed), or moved to an echo found out of the filter's
  // reach (a device change the report did not show). The canceller adapts
  // to the echo anew either way.
  bool Step(const int16_t *far, size_t n, int64_t received, int32_t stream_delay_ms,
            const int16_t *mic);

  // The block just stepped: the aligned far end for its half h (0 or 1,
  // kEchoHalf samples; silence where it has not arrived), its capture
  // index, and where its echo was found.
  void Half(int h, int16_t *to) const;
  int64_t capture() const { return capture_; }
  EchoLocation echo() const { return EchoLocation{clock_.history(), path_.locked(), path_.offset()}; }

  // Blocks so far in which the canceller may have lost its echo: the far
  // end starved, or the alignment moved.
  int64_t losses() const { return steps_ + starved_; }
  // Reports that moved by more than AlignTuning::jolt_ms in a block.
  int64_t jolts() const { return jolts_; }

  // applied_delay_ms, lead_ms, alignment_steps, starved_blocks, drift_*
  // and path_* of the statistics.
  void Report(hx_echo_stats *st) const;

 private:
  bool Align(int64_t measured, int64_t room, bool held);
  double Before() const;
  bool InReach(double later) const;
  bool EchoHeld(int64_t capture) const;
  int64_t Lead(double room) const;
  bool TakeEchoLater(int64_t samples);
  bool FollowEcho(int64_t capture);
  void TrustDrift();
  void Starve();

  EchoTuning tuning_;
  bool path_tracking_ = false;
  FarEndClock clock_;
  DriftTracker drift_;
  EchoPathTracker path_;
  double count_ppm_ = 0;     // the count-based drift in use (TrustDrift)
  bool aligned_valid_ = false;
  int64_t aligned_ = 0;      // history index that echoes at the next block's start
  int64_t lead_ = 0;         // samples the far end is handed over early
  double misalign_ = 0;      // mean (measured - in use) while settling, samples
  double room_ = 0;          // mean far end held beyond the block in use, samples
  int settle_blocks_ = 0;    // blocks averaged since the last (re)alignment
  int jump_blocks_ = 0;      // consecutive blocks beyond the jump threshold
  int step_blocks_ = 0;      // ... and beyond it from where the report stood before
  bool step_due_ = false;    // a step held long enough, not yet followed
  static constexpr int kRecentBlocks = 64;  // holds 2 jump_blocks
  double recent_[kRecentBlocks] = {};  // the report's offset from the alignment, by block
  int64_t recent_count_ = 0; // offsets recorded since the alignment last moved
  int32_t report_ms_ = -1;   // the last block's reported delay
  int64_t jolts_ = 0;
  int64_t steps_ = 0;        // alignment changes (jumps and settling)
  int64_t starved_ = 0;      // blocks whose far end was not yet there
  int starve_blocks_ = 0;    // ... twice, less fed ones, since the last shrink (not below 0)
  double path_offset_ = 0;   // samples the echo is later than reported (tracked)
  int64_t path_shift_ = 0;   // samples the alignment puts the echo later than reported
  double path_later_ = 0;    // samples the echo came after the alignment while the filter held it
  int64_t blocks_ = 0;       // blocks stepped
  // The block just stepped.
  int64_t capture_ = 0;
  int64_t from_ = 0;         // history index of its aligned far end
  int32_t applied_ms_ = 0;
};

#endif  // HX_ECHO_FAR_END_ALIGNER_H
