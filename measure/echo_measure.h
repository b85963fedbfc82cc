// How much echo the voice path removes, measured one way for the tests, the
// host program's report and the measurement tool.
//
// Inputs: what the microphone heard (16 kHz mono, near end + echo) and the
// echo in it, and what the host's capture callback received (48 kHz
// interleaved stereo, one 480-frame block per 10 ms). Output frame 3 * i +
// 3 * lag belongs to microphone sample i. Both are compared per 20 ms block
// on one scale: mean square per sample of one channel (the module's 16 ->
// 48 kHz conversion keeps sample values, and both output channels carry the
// microphone).
//
// A block is far-end-only when the echo in it is above -50 dBFS and 10 dB
// above the near end, and the near end in it and in the two blocks on each
// side is no louder than twice its quietest tenth (its noise floor; at
// least -80 dBFS): the far end talks, the near end does not. A block is
// double talk when the echo is above -50 dBFS and the near end above four
// times its floor and above -60 dBFS.
#ifndef HX_MEASURE_ECHO_MEASURE_H
#define HX_MEASURE_ECHO_MEASURE_H

#include <cstddef>
#include <cstdint>

namespace echo_measure {

struct Erle {
  bool valid = false;   // at least one far-end-only block
  size_t blocks = 0;    // far-end-only blocks measured
  double db = 0;        // 10 log10(microphone power / output power)
  double mic_dbfs = 0, out_dbfs = 0;
};

// Echo return loss enhancement over the far-end-only blocks that start at
// or after `skip_s` seconds. `lag`: output lag in 16 kHz samples (>= 0).
Erle FarEndOnly(const int16_t *heard, const int16_t *echo, size_t samples, const int16_t *out,
                size_t out_frames, long lag, double skip_s = 2.0);

// The same, over the blocks starting in [from_s, to_s) only.
Erle FarEndOnlyBetween(const int16_t *heard, const int16_t *echo, size_t samples,
                       const int16_t *out, size_t out_frames, long lag, double from_s, double to_s);

struct DoubleTalk {
  bool valid = false;   // at least one double-talk block
  size_t blocks = 0;
  double level_db = 0;  // output level with echo minus without, over those blocks
  double correlation = 0;  // of the two outputs' samples over those blocks
  long shift_frames = 0;    // output lag behind the reference (48 kHz frames)
};

// Near-end speech through double talk: `out` of a run with the echo against
// `reference`, the output of the same run without it (same length and
// alignment), on the double-talk blocks of the run with echo after `skip_s`.
// The reference is first shifted (up to 20 ms either way) to where it
// correlates best: the canceller itself delays the near end by 7 ms.
DoubleTalk CompareDoubleTalk(const int16_t *heard, const int16_t *echo, size_t samples,
                             const int16_t *out, const int16_t *reference, size_t out_frames,
                             long lag, double skip_s = 2.0);

}  // namespace echo_measure

#endif  // HX_MEASURE_ECHO_MEASURE_H
