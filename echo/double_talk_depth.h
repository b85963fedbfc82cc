// How deep the linear stage's own suppression cuts in the next 10 ms half
// (echo_tuning.h, DoubleTalkTuning). Capture thread only.
#ifndef HX_ECHO_DOUBLE_TALK_DEPTH_H
#define HX_ECHO_DOUBLE_TALK_DEPTH_H

#include "echo/echo_tuning.h"

// What the residual-echo suppressor said of the last half.
struct HalfHeard {
  bool near_voice;    // the suppressor heard near-end voice in its output
  double removed_db;  // what the linear filter took off the microphone
  bool starting;      // the far end's first words, or the first after a restart
};

class DoubleTalkDepth {
 public:
  explicit DoubleTalkDepth(const DoubleTalkTuning &t = DoubleTalkTuning()) : t_(t) {}

  // Once per capture block, before its halves: `lost` when the far end
  // starved or the alignment moved in it.
  void Block(bool lost) {
    if (lost) calm_ = t_.calm_blocks;
    else if (calm_ > 0) --calm_;
  }

  // The depth for the next half, from the last one (1: all of the engine's
  // own cut): softened where the suppressor heard near-end voice and the
  // linear filter took little off the microphone. The voice decision alone
  // also fires on a loud syllable of echo; the filter takes more off echo
  // than off a near end, and unlike the decision it does not read the
  // softened output, so a softer cut cannot keep itself going.
  float Next(const HalfHeard &last) const {
    if (calm_ > 0 || last.starting || !last.near_voice || last.removed_db >= t_.max_removed_db) return 1.0f;
    return last.removed_db < t_.clear_removed_db ? t_.clear_depth : t_.voice_depth;
  }

 private:
  DoubleTalkTuning t_;
  int calm_ = 0;  // blocks left at full depth
};

#endif  // HX_ECHO_DOUBLE_TALK_DEPTH_H
