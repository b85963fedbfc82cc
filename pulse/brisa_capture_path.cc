#include "pulse/brisa_capture_path.h"

namespace hxpa {

bool BrisaCapturePath::Init(hx_echo *adopt, const char **error) {
  hx_echo_destroy(echo_);
  delay_ms_ = -1;
  if (adopt) {  // it goes on with the delay it knew until the new streams settle
    hx_echo_stats st;
    hx_echo_get_stats(adopt, &st);
    if (st.capture_blocks > 0) delay_ms_ = st.reported_delay_ms;
  }
  echo_ = adopt ? adopt : hx_echo_create(nullptr, error);
  return echo_ != nullptr;
}

void BrisaCapturePath::FarEnd(const int16_t *stereo, size_t frames) {
  hx_echo_reverse(echo_, stereo, (int32_t)frames);
}

void BrisaCapturePath::Process(int16_t *block, int render_ms, int capture_ms, bool settled) {
  if ((settled && capture_ms <= kMaxCaptureLatencyMs) || delay_ms_ < 0)
    delay_ms_ = render_ms + (capture_ms <= kMaxCaptureLatencyMs ? capture_ms : 0);
  int32_t voice = 0;
  if (hx_echo_capture(echo_, block, (int32_t)kVoiceBlockSamples, delay_ms_, block, &voice) != 0)
    voice = 0;
  block[0] = (int16_t)((block[0] & ~1) | (voice ? 1 : 0));
  block[1] = (int16_t)(block[1] & ~1);
}

}  // namespace hxpa
