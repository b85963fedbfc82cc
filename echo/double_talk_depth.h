// How deep the linear stage's own suppression cuts in the next 10 ms half
// (echo_tuning.h, DoubleTalkTuning). Capture thread only.
#ifndef HX_ECHO_DOUBLE_TALK_DEPTH_H
#define HX_ECHO_DOUBLE_TALK_DEPTH_H

#include <algorithm>
#include <cstdint>

#include "echo/echo_tuning.h"

// One half as the component judged it.
struct HalfHeard {
  bool near_voice;    // the residual-echo suppressor heard near-end voice
  bool far_active;    // ... and the far end sounded in the last 100 ms
  bool sound;         // the microphone held more than a quiet room
  double removed_db;  // what the linear filter took off the microphone
  bool starting;      // the suppressor's start: the far end's first words, a new path
  // The microphone's level over the far end's in this half, dB; kNoFar
  // where the far end held no sound.
  double over_far_db;
};

constexpr double kNoFar = -1000;

class DoubleTalkDepth {
 public:
  explicit DoubleTalkDepth(const DoubleTalkTuning &t = DoubleTalkTuning()) : t_(t) {}

  // Once per capture block, before its halves: `lost` when the far end
  // starved or the alignment moved in it, `jolted` when the reported delay
  // jolted.
  void Block(bool lost, bool jolted = false) {
    if (lost) calm_ = t_.calm_blocks;
    else if (jolted) calm_ = std::max(calm_ - 1, t_.jolt_blocks);
    else if (calm_ > 0) --calm_;
  }

  // After each half. Halves with the far end and no near-end voice teach
  // what the filter takes off the echo; those where it took off some of it
  // (not a near end the decision missed) teach how loud the echo alone is
  // against the far end.
  void Heard(const HalfHeard &h) {
    last_ = h;
    if (!h.far_active || !h.sound || h.near_voice) return;
    ++echo_halves_;  // a plain mean over the first halves, then a running one
    echo_removed_db_ += std::max(t_.echo_step, 1.0 / double(echo_halves_)) * (h.removed_db - echo_removed_db_);
    if (h.removed_db < t_.unheard_removed_db || h.over_far_db == kNoFar) return;
    ++echo_level_halves_;
    echo_over_far_db_ +=
        std::max(t_.echo_step, 1.0 / double(echo_level_halves_)) * (h.over_far_db - echo_over_far_db_);
  }

  // The depth for the next half (1: all of the engine's own cut): softened
  // after a half where the linear filter took clearly less off the
  // microphone than it takes off the echo alone, and either the suppressor
  // heard near-end voice or the filter took almost nothing off a microphone
  // louder than the echo alone makes it while the far end talked (a filter
  // that lost the echo takes nothing off it either, but the echo is no
  // louder than before). The voice decision alone also fires on a loud
  // syllable of echo and on the echo a filter that diverged lets through;
  // the filter takes as much off the first as off any echo, and a diverged
  // filter first teaches that it takes little. Unlike the decision, the
  // filter's share does not read the softened output, so a softer cut
  // cannot keep itself going; and it hears a near end that the engine's own
  // cut took out of the output the decision reads.
  float Next() const {
    const HalfHeard &h = last_;
    const bool unheard_near = h.far_active && h.sound && h.removed_db < t_.unheard_removed_db &&
                              echo_level_halves_ >= t_.echo_known_halves && h.over_far_db != kNoFar &&
                              h.over_far_db > echo_over_far_db_ + t_.unheard_over_echo_db;
    if (calm_ > 0 || h.starting || !(h.near_voice || unheard_near) || echo_halves_ < t_.echo_known_halves ||
        h.removed_db >= t_.max_removed_db || h.removed_db >= echo_removed_db_ - t_.below_echo_db)
      return 1.0f;
    return h.removed_db < t_.clear_removed_db ? t_.clear_depth : t_.voice_depth;
  }

 private:
  DoubleTalkTuning t_;
  int calm_ = 0;                  // blocks left at full depth
  HalfHeard last_{false, false, false, 0, true, kNoFar};
  double echo_removed_db_ = 0;    // what the filter takes off the echo alone ...
  int64_t echo_halves_ = 0;       // ... learnt over this many halves
  double echo_over_far_db_ = 0;   // the echo alone's level over the far end's ...
  int64_t echo_level_halves_ = 0;  // ... learnt over this many halves
};

#endif  // HX_ECHO_DOUBLE_TALK_DEPTH_H
