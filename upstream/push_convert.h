// Streaming conversion of the host's pushed blocks into the module's packets
// (480 frames of 48 kHz stereo, 10 ms), with SpeexDSP's resampler.
//
// Blocks of one format (rate, channel count) that each hold 10 ms of audio
// form one stream: the resampler's filter state, its fractional phase and
// the frames a block produced beyond its packet carry over, so every such
// block becomes exactly one packet that joins the previous one without a
// seam. A block of another length continues the stream into its packet,
// padded with silence or cut, and ends it. The stream restarts (from
// silence) at the first block of a new format, after a 48 kHz block and
// after a block of another length.
#ifndef HX_UPSTREAM_PUSH_CONVERT_H
#define HX_UPSTREAM_PUSH_CONVERT_H

#include <stdint.h>

struct SpeexResamplerState_;

// What a block amounted to, for the caller's log lines.
enum PushFitKind {
  kPushFitWhole,    // 10 ms: exactly one packet's worth
  kPushFitPadded,   // shorter than 10 ms: the packet ends in silence
  kPushFitCut,      // longer than 10 ms: only its first 10 ms are used
  kPushFitShort,    // 10 ms blocks that average less than 10 ms: silence inserted
  kPushFitAhead,    // 10 ms blocks that average more than 10 ms: frames dropped
  kPushFitNoMemory  // no resampler could be created: nothing written
};
struct PushFit {
  PushFitKind kind;
  uint32_t frames;  // frames inserted or dropped (kPushFitShort, kPushFitAhead)
};

class PushConverter {
 public:
  static constexpr uint32_t kMinRate = 8000;  // other rates are taken as 48 kHz
  static constexpr uint32_t kMaxRate = 192000;
  static constexpr int kQuality = 4;  // SpeexDSP's default quality

  PushConverter() = default;
  ~PushConverter();
  PushConverter(const PushConverter &) = delete;
  PushConverter &operator=(const PushConverter &) = delete;

  // Fills `out` (480 stereo frames) from a block of `frames` frames of
  // 16-bit PCM, `channels` 1 or 2 (mono is duplicated), at `rate` Hz.
  // Reads at most frames * channels values of `in`, never more than the
  // block's first 10 ms. Allocates only at the first block of a format.
  // Not thread-safe: the caller serialises all calls.
  PushFit Convert(const int16_t *in, uint32_t frames, uint32_t channels, uint32_t rate,
                  int16_t *out);

 private:
  // Converted frames not yet handed out, interleaved with the stream's
  // channel count. Bounded by the stream's slack, far below this.
  static constexpr uint32_t kFifoFrames = 1024;

  void Release();
  void Restart();
  void Pop(int16_t *out, uint32_t n);

  // One mono resampler per channel, reading and writing interleaved frames
  // (a stereo resampler's reset would leave its second channel's history).
  SpeexResamplerState_ *state_[2] = {nullptr, nullptr};
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  bool restart_ = true;
  uint32_t slack_ = 0;  // frames of output one input frame can shift
  uint32_t fifo_frames_ = 0;
  int16_t fifo_[2 * kFifoFrames];
};

#endif
