// Host push conversion: see push_convert.h.
//
// A stream starts with `slack_` frames of silence in its FIFO: one input
// frame's worth of output plus rounding. Rates whose 10 ms is not a whole
// number of frames (11025 Hz: 110.25) arrive as blocks of the two nearest
// lengths; the output of such a block is up to one input frame short of 480
// or over it, and the FIFO evens that out. Blocks that do not average 10 ms
// would drain or fill it: the stream then inserts silence or drops frames
// (reported to the caller) and stays within 3 * slack_ frames of latency.
#include "upstream/push_convert.h"

#include <speex/speex_resampler.h>
#include <string.h>

#include "engine/audio_block.h"

namespace {

constexpr uint32_t kOutRate = kBlockRate;
constexpr uint32_t kOutFrames = kBlockFrames;

}  // namespace

PushConverter::~PushConverter() { Release(); }

void PushConverter::Release() {
  for (SpeexResamplerState *&s : state_) {
    if (s) speex_resampler_destroy(s);
    s = nullptr;
  }
  rate_ = 0;
  channels_ = 0;
}

void PushConverter::Restart() {
  for (uint32_t c = 0; c < channels_; ++c) speex_resampler_reset_mem(state_[c]);
  slack_ = kOutRate / rate_ + 2;
  fifo_frames_ = slack_;
  memset(fifo_, 0, sizeof(int16_t) * slack_ * channels_);
  restart_ = false;
}

// Hands the first `n` FIFO frames to `out` as stereo and keeps the rest.
void PushConverter::Pop(int16_t *out, uint32_t n) {
  const uint32_t ch = channels_;
  for (uint32_t k = 0; k < n; ++k) {
    out[2 * k] = fifo_[k * ch];
    out[2 * k + 1] = fifo_[k * ch + ch - 1];
  }
  fifo_frames_ -= n;
  memmove(fifo_, fifo_ + n * ch, sizeof(int16_t) * fifo_frames_ * ch);
}

PushFit PushConverter::Convert(const int16_t *in, uint32_t frames, uint32_t channels, uint32_t rate,
                               int16_t *out) {
  memset(out, 0, sizeof(int16_t) * 2 * kOutFrames);
  if (rate == kOutRate || rate < kMinRate || rate > kMaxRate) {
    // Taken as 48 kHz: copied as it is; the next converted block starts a
    // new stream.
    restart_ = true;
    const uint32_t n = frames < kOutFrames ? frames : kOutFrames;
    for (uint32_t k = 0; k < n; ++k) {
      out[2 * k] = in[k * channels];
      out[2 * k + 1] = in[k * channels + channels - 1];
    }
    return {frames == kOutFrames  ? kPushFitWhole
            : frames < kOutFrames ? kPushFitPadded
                                  : kPushFitCut,
            0};
  }
  if (rate != rate_ || channels != channels_) {
    Release();
    restart_ = true;
    for (uint32_t c = 0; c < channels; ++c) {
      int err = 0;
      state_[c] = speex_resampler_init(1, rate, kOutRate, kQuality, &err);
      if (!state_[c]) {
        Release();
        return {kPushFitNoMemory, 0};
      }
      speex_resampler_set_input_stride(state_[c], channels);
      speex_resampler_set_output_stride(state_[c], channels);
    }
    rate_ = rate;
    channels_ = channels;
  }
  if (restart_) Restart();

  // 10 ms is rate / 100 frames, or one of the two nearest whole numbers.
  const uint32_t ten_ms_lo = rate / 100, ten_ms_hi = (rate + 99) / 100;
  // At most 10 ms of input: its output (at most 480 + slack_ frames) fits
  // behind the at most 3 * slack_ frames the FIFO holds between calls.
  spx_uint32_t out_len = 0;
  for (uint32_t c = 0; c < channels_; ++c) {
    spx_uint32_t in_len = frames < ten_ms_hi ? frames : ten_ms_hi;
    out_len = kFifoFrames - fifo_frames_;
    speex_resampler_process_int(state_[c], 0, in + c, &in_len, fifo_ + fifo_frames_ * channels_ + c,
                                &out_len);
  }
  fifo_frames_ += out_len;  // the same for both channels: same rates, same input

  if (frames != ten_ms_lo && frames != ten_ms_hi) {
    // Another length: its packet continues the stream, padded with silence
    // or cut to 480 frames, and the next block starts a new stream.
    Pop(out, fifo_frames_ < kOutFrames ? fifo_frames_ : kOutFrames);
    restart_ = true;
    return {frames < ten_ms_lo ? kPushFitPadded : kPushFitCut, 0};
  }
  if (fifo_frames_ < kOutFrames) {
    // Drained: the packet ends in silence and the FIFO gets its silent
    // start again; the filter state carries on.
    const uint32_t missing = kOutFrames - fifo_frames_;
    Pop(out, fifo_frames_);
    fifo_frames_ = slack_;
    memset(fifo_, 0, sizeof(int16_t) * slack_ * channels_);
    return {kPushFitShort, missing + slack_};
  }
  Pop(out, kOutFrames);
  if (fifo_frames_ > 3 * slack_) {
    // Filling up: keep the newest slack_ frames.
    const uint32_t drop = fifo_frames_ - slack_;
    memmove(fifo_, fifo_ + drop * channels_, sizeof(int16_t) * slack_ * channels_);
    fifo_frames_ = slack_;
    return {kPushFitAhead, drop};
  }
  return {kPushFitWhole, 0};
}
