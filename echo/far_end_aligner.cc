#include "echo/far_end_aligner.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

FarEndAligner::FarEndAligner(const EchoTuning &tuning)
    : tuning_(tuning), clock_(tuning.clock), path_(tuning.path) {}

const char *FarEndAligner::Start(bool drift_tracking, bool path_tracking) {
  path_tracking_ = path_tracking;
  return clock_.Start(drift_tracking);
}

int64_t FarEndAligner::Lead(double room) const {
  const AlignTuning &a = tuning_.align;
  const int64_t r = static_cast<int64_t>(room);
  const int64_t fits = std::max(r - a.lead_spare_block, std::min(r - a.lead_spare, a.lead_short));
  return std::max(a.lead_min, std::min(a.lead_max, fits));
}

// Follows the reported delay: `measured` is the history index whose echo
// starts the block now captured; `room` how far the history reaches beyond
// that block. True when the alignment jumped (the streams or the device
// changed).
// While the tracker holds the echo where the filter reaches it (`held`),
// the report moves nothing: on a server whose reported latency swings by
// 100 ms within seconds (pipewire) each move would cost the filter a second
// of re-adapting. A real change of the device delay moves the echo away
// from the tracked peak, which then fades within 15 blocks with sound; a
// jump the report has shown for long enough follows at once.
// Only a step is a jump: the report more than 20 ms from the alignment and
// from where it stood half a second before, for half a second. A report
// that creeps away (the render buffer filling over the call's first
// seconds: 20 ms in 4 s on a live loopback) is no new device; the jump it
// used to make came as the far end began to talk, moved the echo 21 ms
// within the filter while it converged on the first words, and the echo
// passed (+12.8 dB). The tracker moves an echo that creeps out of the
// filter's reach. A step the tracker's hold kept from moving the alignment
// stays due while the report stays away.
bool FarEndAligner::Align(int64_t measured, int64_t room, bool held) {
  const AlignTuning &a = tuning_.align;
  const double off = static_cast<double>(measured - aligned_);
  const bool beyond = std::fabs(off) > a.jump_samples;
  jump_blocks_ = beyond ? jump_blocks_ + 1 : 0;
  step_blocks_ = beyond && std::fabs(off - Before()) > a.jump_samples ? step_blocks_ + 1 : 0;
  recent_[recent_count_++ % kRecentBlocks] = off;
  if (step_blocks_ >= a.jump_blocks) step_due_ = true;
  if (!beyond) step_due_ = false;
  if (!aligned_valid_ || (step_due_ && !held)) {
    step_due_ = false;
    step_blocks_ = 0;
    recent_count_ = 0;
    const bool jumped = aligned_valid_;
    if (jumped) ++steps_;
    aligned_valid_ = true;
    aligned_ = measured;
    lead_ = Lead(static_cast<double>(room));
    misalign_ = 0;
    room_ = static_cast<double>(room);
    settle_blocks_ = 0;
    jump_blocks_ = 0;
    return jumped;
  }
  if (jump_blocks_ || settle_blocks_ >= a.settle_blocks) return false;
  ++settle_blocks_;
  misalign_ += (off - misalign_) / settle_blocks_;  // running means
  room_ += (static_cast<double>(room) - room_) / settle_blocks_;
  if (settle_blocks_ < a.settle_blocks || held) return false;
  const int64_t moved = std::llround(misalign_);
  aligned_ += moved;
  lead_ = Lead(room_ - static_cast<double>(moved));
  if (moved) ++steps_, recent_count_ = 0;
  return false;
}

// Where the report stood against the alignment half a second before: the
// mean of its offsets jump_blocks to 2 jump_blocks blocks back (those there
// are since the alignment last moved; 0, the alignment itself, with none).
double FarEndAligner::Before() const {
  const int64_t back = tuning_.align.jump_blocks;
  const int64_t oldest = std::min<int64_t>(recent_count_, std::min<int64_t>(2 * back, kRecentBlocks));
  double sum = 0;
  for (int64_t i = back + 1; i <= oldest; ++i) sum += recent_[(recent_count_ - i) % kRecentBlocks];
  return oldest > back ? sum / double(oldest - back) : 0;
}

// Moves the alignment so that the echo is taken `samples` later than before
// (earlier when negative), beyond what the report says; false when that
// would put it too far from the report.
bool FarEndAligner::TakeEchoLater(int64_t samples) {
  if (std::llabs(path_shift_ + samples) > tuning_.follow.shift_max) return false;
  aligned_ -= samples;
  path_shift_ += samples;
  return true;
}

// Keeps the echo the tracker found where the canceller's filter holds it.
// An echo out of its reach moves the alignment so that the echo sits again
// where the filter last held it: after a change of the delay alone (the
// same room, another device latency) the adapted filter fits at once.
// True when it moved.
bool FarEndAligner::FollowEcho(int64_t capture) {
  const double later = double(aligned_ - capture) - path_.offset();
  if (InReach(later)) {
    path_later_ = later;
    return false;
  }
  if (!TakeEchoLater(std::llround(later - path_later_))) return false;
  ++steps_;
  return true;
}

// An echo `later` samples after the alignment lies where the filter holds it.
bool FarEndAligner::InReach(double later) const {
  const FollowTuning &f = tuning_.follow;
  return double(lead_) + later <= f.tap_max && -later <= std::max(f.early_min, double(lead_) - f.tap_min);
}

// The tracker has followed the echo long enough to be trusted, and the
// filter holds it.
bool FarEndAligner::EchoHeld(int64_t capture) const {
  return path_tracking_ && path_.locked() && path_.slide_points() >= tuning_.follow.trust_points &&
         InReach(double(aligned_ - capture) - path_.offset());
}

// The drift the stream counts show enters the far end's resampling only
// once the echo confirms it: the slide of the echo that the path tracker
// measures lies within the tuned agreement of it. On a server with one clock
// the reported delays wander by a few ms while streams settle, which the
// counts read as hundreds of ppm. While the tracker holds the echo the sum
// of the two corrections is its measured slide either way; the choice
// matters whenever it does not (searching, the far end silent). The sum
// stays continuous when the choice changes.
void FarEndAligner::TrustDrift() {
  const FollowTuning &f = tuning_.follow;
  double use = drift_.ppm;
  const bool measured = path_.locked() && path_.slide_points() >= path_.settle_points();
  const auto agrees = [&f](double a, double b) {
    return std::fabs(a - b) <= f.agree_ppm + f.agree_share * std::fabs(b);
  };
  if (measured) use = agrees(path_.slide_ppm(), drift_.ppm) ? drift_.ppm : 0;
  else if (!(count_ppm_ != 0 && agrees(count_ppm_, drift_.ppm))) use = count_ppm_;
  path_.TakeOverCorrection(count_ppm_ - use);
  count_ppm_ = use;
}

// Far end not received yet (a delay report too short, a render thread
// running late) reaches the canceller as silence; the alignment itself does
// not move for it. A lead that the far end misses in starve_blocks blocks in
// a row, or in over a third of the blocks for longer (each starved block
// counts twice, each fed one takes one back), shrinks to what is there; the
// alignment moves once the lead is at its shortest: a canceller fed silence
// cancels nothing. A far end that misses every other block is a lead set
// too long from the start: counting starved and fed blocks alike, it
// starved 143 of a live call's first 370 blocks, 80 of them as the far end
// began to talk, whose echo then passed. Not for fewer: on a busy machine
// the render thread starves a few blocks and catches up, and each shrink
// moves the echo inside the filter, which then re-adapts.
void FarEndAligner::Starve() {
  const AlignTuning &a = tuning_.align;
  from_ = aligned_ + lead_;
  if (from_ + HX_ECHO_BLOCK > clock_.count()) {
    ++starved_;
    starve_blocks_ += 2;
    if (starve_blocks_ >= 2 * a.starve_blocks) {
      const int64_t reach = clock_.count() - aligned_ - HX_ECHO_BLOCK - a.lead_spare;
      lead_ = std::max(a.lead_min, std::min(lead_, reach));
      if (reach < a.lead_min && reach >= a.lead_min - a.late_max) {
        // Even the shortest lead misses it: the far end comes later than the
        // report says, and so does its echo. The alignment takes it that
        // much later for good; the tracker corrects it once it finds the
        // echo. A far end missing by more than late_max has stopped, not
        // come late.
        TakeEchoLater(a.lead_min - reach);
      }
      from_ = aligned_ + lead_;
      starve_blocks_ = 0;
      ++steps_;
    }
  } else if (starve_blocks_ > 0) {
    --starve_blocks_;
  }
}

bool FarEndAligner::Step(const int16_t *far, size_t n, int64_t received, int32_t stream_delay_ms,
                         const int16_t *mic) {
  const int32_t delay_ms = std::max<int32_t>(0, std::min(tuning_.align.max_delay_ms, stream_delay_ms));
  const int64_t delay = static_cast<int64_t>(delay_ms) * (HX_ECHO_RATE / 1000);
  if (report_ms_ >= 0 && std::abs(delay_ms - report_ms_) > tuning_.align.jolt_ms) ++jolts_;
  report_ms_ = delay_ms;
  if (clock_.resampling()) {
    const double lead = static_cast<double>(received - delay) -
                        static_cast<double>(blocks_) * HX_ECHO_BLOCK;
    DriftTrackerUpdate(&drift_, lead, HX_ECHO_BLOCK);
  }
  clock_.Push(far, n, count_ppm_ + path_.ppm());
  // The newest far end echoes `delay` after the end of this block; the
  // resampler still holds back its look-ahead.
  const int64_t latency = std::min(clock_.latency(), clock_.input());
  const int64_t newest = clock_.count() + latency;
  const int64_t reported = newest - delay - HX_ECHO_BLOCK;
  const int64_t measured = reported - path_shift_;
  // How far the history reaches beyond the block: the delay less what the
  // resampler holds back once it runs (not the history of the first
  // blocks, before it holds anything back).
  const int64_t capture = blocks_ * HX_ECHO_BLOCK;
  const bool jumped = Align(measured, delay + path_shift_ - clock_.latency(), EchoHeld(capture));
  bool followed = false;
  if (clock_.resampling() && path_tracking_) {
    // A jump of the reported delay: the streams or the device changed, and
    // where the echo was found no longer counts.
    if (jumped) path_.Lose(reported - capture);
    path_.Update(mic, HX_ECHO_BLOCK, capture, reported - capture, clock_.history(),
                 clock_.applied_ppm(), count_ppm_);
    // The echo of far end not yet received is no echo: a lock there is false.
    if (path_.locked() && capture + HX_ECHO_BLOCK + path_.offset() > double(newest))
      path_.Lose(reported - capture);
    if (path_.locked()) path_offset_ = double(reported - capture) - path_.offset();
    // Not while the report steps away from the alignment: the echo may not
    // have moved yet, and the report's own jump comes first.
    if (path_.locked() && path_.slide_points() >= tuning_.follow.trust_points && step_blocks_ == 0)
      followed = FollowEcho(capture);
    TrustDrift();
  } else {
    count_ppm_ = drift_.ppm;
  }
  applied_ms_ = static_cast<int32_t>(
      std::lround((newest - aligned_ - HX_ECHO_BLOCK) * 1000.0 / HX_ECHO_RATE));
  Starve();
  aligned_ += HX_ECHO_BLOCK;
  capture_ = capture;
  ++blocks_;
  return jumped || followed;
}

void FarEndAligner::Half(int h, int16_t *to) const {
  const FarHistory far = clock_.history();
  far.Copy(from_ + h * kEchoHalf, kEchoHalf, to);
}

void FarEndAligner::Report(hx_echo_stats *st) const {
  st->applied_delay_ms = applied_ms_;
  st->lead_ms = static_cast<int32_t>(lead_ * 1000 / HX_ECHO_RATE);
  st->alignment_steps = steps_;
  st->starved_blocks = starved_;
  st->drift_ppm = clock_.resampling() ? drift_.ppm : 0;
  st->drift_used = count_ppm_ != 0 ? 1 : 0;
  st->path_locked = path_.locked() ? 1 : 0;
  st->path_ppm = path_.ppm();
  st->path_offset_ms = path_offset_ * 1000.0 / HX_ECHO_RATE;
  st->path_locks = path_.locks();
}
