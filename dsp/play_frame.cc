// PLACEHOLDER: to be replaced by the far-end frame conversion.
#include "engine/hx_aec_impl.h"
void Hx_AEC_Impl::SetPlayFrame(const int16_t *, int32_t) {}
int32_t Hx_AEC_Impl::ResamplePlayFrame(int32_t, uint8_t, webrtc::AudioFrame *) { return -1; }
