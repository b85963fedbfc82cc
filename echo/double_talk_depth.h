// How deep the linear stage's own suppression cuts in the next 10 ms half
// (echo_tuning.h, DoubleTalkTuning). Capture thread only.
#ifndef HX_ECHO_DOUBLE_TALK_DEPTH_H
#define HX_ECHO_DOUBLE_TALK_DEPTH_H

#include "echo/echo_tuning.h"

// What the residual-echo suppressor said of the last half.
struct HalfHeard {
  bool near_voice;  // near-end voice in its output
  bool mic_near;    // the microphone held clearly more than the echo predicted
  bool starting;    // the far end's first words, or the first after a restart
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

  // The depth for the next half, from what the suppressor said of the last
  // one (1: all of the engine's own cut). The cut is softened from a half
  // where the microphone, too, held clearly more than the echo, for as long
  // as the suppressor goes on hearing near-end voice: the voice decision
  // alone also fires on a loud syllable of echo, and the softer cut then
  // leaves more echo, which it hears as voice again.
  float Next(const HalfHeard &last) {
    if (calm_ > 0 || last.starting || !last.near_voice) softening_ = false;
    else if (last.mic_near) softening_ = true;
    if (!softening_) return 1.0f;
    return last.mic_near ? t_.clear_depth : t_.voice_depth;
  }

 private:
  DoubleTalkTuning t_;
  int calm_ = 0;            // blocks left at full depth
  bool softening_ = false;  // since a half both judgements called near end
};

#endif  // HX_ECHO_DOUBLE_TALK_DEPTH_H
