#include "pulse/brisa_capture_path.h"

namespace hxpa {

bool BrisaCapturePath::Init(const char **error) {
  hx_echo_destroy(echo_);
  echo_ = hx_echo_create(nullptr, error);
  return echo_ != nullptr;
}

void BrisaCapturePath::FarEnd(const int16_t *stereo, size_t frames) {
  hx_echo_reverse(echo_, stereo, (int32_t)frames);
}

void BrisaCapturePath::Process(int16_t *block, int delay_ms) {
  int32_t voice = 0;
  if (hx_echo_capture(echo_, block, (int32_t)kVoiceBlockSamples, delay_ms, block, &voice) != 0)
    voice = 0;
  block[0] = (int16_t)((block[0] & ~1) | (voice ? 1 : 0));
  block[1] = (int16_t)(block[1] & ~1);
}

}  // namespace hxpa
