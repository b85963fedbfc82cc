// PLACEHOLDER: to be replaced by the host pull path.
#include "engine/hx_aec_impl.h"
int32_t Hx_AEC_Impl::PullPlayData(int32_t, uint8_t, int32_t, int16_t *, uint32_t *) { return -1; }
