// Conversion of the host-pull far-end frame (480 mono samples at 48 kHz) to
// the rate and channel count the host asks for, with webrtc::Resampler.
#include "dsp/play_frame.h"

#include <string.h>

#include "engine/hx_aec_impl.h"

namespace {

constexpr size_t kFrameCapacity = webrtc::AudioFrame::kMaxDataSizeSamples;  // 3840 values
constexpr int kMonoChannels = 1;  // "synchronous mono" in this version of the dependency

// The dependency compares rates in whole kHz, so a remembered refusal must be
// matched the same way (44100 and 44000 are one pair to it).
bool SameKhzPair(int32_t in_a, int32_t out_a, int32_t in_b, int32_t out_b) {
  return in_a / 1000 == in_b / 1000 && out_a / 1000 == out_b / 1000;
}

}  // namespace

int32_t MonoToStereo(webrtc::AudioFrame *f) {
  if (f->num_channels_ != 1 || 2 * f->samples_per_channel_ >= kFrameCapacity) return -1;
  const size_t n = f->samples_per_channel_;
  int16_t mono[kFrameCapacity / 2];  // stack temporary: no allocation on the pull path
  memcpy(mono, f->data_, n * sizeof(int16_t));
  for (size_t i = 0; i < n; ++i) {
    f->data_[2 * i] = mono[i];
    f->data_[2 * i + 1] = mono[i];
  }
  f->num_channels_ = 2;
  return 0;
}

void Hx_AEC_Impl::SetPlayFrame(const int16_t *pcm, int32_t bytes) {
  // At most the frame's 7680 bytes are copied.
  if (pcm && bytes > 0) {
    size_t n = (size_t)bytes;
    if (n > sizeof m_audioFrame_Play.data_) n = sizeof m_audioFrame_Play.data_;
    memcpy(m_audioFrame_Play.data_, pcm, n);
  }
  m_audioFrame_Play.id_ = 1;
  m_audioFrame_Play.timestamp_ = 0;
  m_audioFrame_Play.num_channels_ = 1;
  m_audioFrame_Play.samples_per_channel_ = 480;
  m_audioFrame_Play.sample_rate_hz_ = 48000;
  m_audioFrame_Play.vad_activity_ = webrtc::AudioFrame::kVadActive;
}

// A refused reset leaves the dependency's resampler broken: it has freed its
// state and recorded the refused rates, so asking again for the same pair
// "succeeds" and the next push runs the old mode on freed memory. The refused
// pair is therefore remembered (m_playRefusedIn/Out): while it is asked for,
// the answer stays -1 without any call into the resampler, and the first
// request for another pair rebuilds the object with a full Reset before it
// is pushed. A push therefore only ever runs on a cleanly configured object.
int32_t Hx_AEC_Impl::ResamplePlayFrame(int32_t out_rate_hz, uint8_t out_channels,
                                       webrtc::AudioFrame *dst) {
  dst->CopyFrom(m_audioFrame_Play);
  const int32_t in_rate_hz = dst->sample_rate_hz_;
  // Below 1 kHz a rate has no value in whole kHz: refused without touching
  // the resampler (dst keeps the copy).
  if (in_rate_hz < 1000 || out_rate_hz < 1000) return -1;

  if (m_playRefusedIn != 0) {
    if (SameKhzPair(in_rate_hz, out_rate_hz, m_playRefusedIn, m_playRefusedOut)) return -1;
    if (m_resampler_Play.Reset(in_rate_hz, out_rate_hz, kMonoChannels) != 0) {
      m_playRefusedIn = in_rate_hz;
      m_playRefusedOut = out_rate_hz;
      return -1;
    }
    m_playRefusedIn = m_playRefusedOut = 0;
  } else if (m_resampler_Play.ResetIfNeeded(in_rate_hz, out_rate_hz, kMonoChannels) != 0) {
    m_playRefusedIn = in_rate_hz;
    m_playRefusedOut = out_rate_hz;
    return -1;
  }

  size_t in_len = m_audioFrame_Play.samples_per_channel_ * (size_t)m_audioFrame_Play.num_channels_;
  if (in_len > kFrameCapacity) in_len = kFrameCapacity;  // a 1:1 push copies unchecked
  size_t out_len = 0;
  if (m_resampler_Play.Push(m_audioFrame_Play.data_, in_len, dst->data_, kFrameCapacity,
                            out_len) != 0)
    return -1;
  dst->samples_per_channel_ = out_len / (size_t)m_audioFrame_Play.num_channels_;
  dst->sample_rate_hz_ = out_rate_hz;
  if (out_channels == 2 && dst->num_channels_ == 1) MonoToStereo(dst);
  return 0;
}
