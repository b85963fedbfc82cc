#include "pulse/brisa_capture_path.h"

#include <string.h>

namespace hxpa {

namespace {
constexpr size_t kFarFrameBytes = kVoiceFrameSamples * 2 * sizeof(int16_t);
constexpr size_t kFarBacklogBytes = 20 * kFarFrameBytes;  // 200 ms

void Shape(webrtc::AudioFrame *f, int channels) {
  f->sample_rate_hz_ = kVoiceRate;
  f->num_channels_ = channels;
  f->samples_per_channel_ = kVoiceFrameSamples;
}
}  // namespace

bool BrisaCapturePath::Init() {
  apm_.reset(webrtc::AudioProcessing::Create());
  if (!apm_) return false;
  webrtc::VoiceDetection *vad = apm_->voice_detection();
  if (vad->Enable(true) != 0 || vad->set_likelihood(webrtc::VoiceDetection::kModerateLikelihood) != 0)
    return false;
  Shape(&near_, 1);
  Shape(&far_frame_, 2);
  far_.Reset(kFarBacklogBytes);
  return true;
}

void BrisaCapturePath::FarEnd(const int16_t *stereo, size_t frames) {
  std::lock_guard<std::mutex> lk(far_mu_);
  far_.Push(stereo, frames * 2 * sizeof(int16_t));
}

void BrisaCapturePath::Process(int16_t *block, int delay_ms) {
  bool voice = false;
  if (apm_) {
    for (;;) {  // the far end queued since the last block, 10 ms at a time
      {
        std::lock_guard<std::mutex> lk(far_mu_);
        if (far_.size() < kFarFrameBytes) break;
        far_.Pop(far_frame_.data_, kFarFrameBytes);
      }
      Shape(&far_frame_, 2);
      apm_->ProcessReverseStream(&far_frame_);
    }
    apm_->set_stream_delay_ms(delay_ms);
    for (size_t half = 0; half < kVoiceBlockSamples; half += kVoiceFrameSamples) {
      Shape(&near_, 1);
      memcpy(near_.data_, block + half, kVoiceFrameSamples * sizeof(int16_t));
      if (apm_->ProcessStream(&near_) == 0 && apm_->voice_detection()->stream_has_voice())
        voice = true;
    }
  }
  block[0] = (int16_t)((block[0] & ~1) | (voice ? 1 : 0));
  block[1] = (int16_t)(block[1] & ~1);
}

}  // namespace hxpa
