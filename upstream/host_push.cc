// PLACEHOLDER: to be replaced by the host push path.
#include "engine/hx_aec_impl.h"
int32_t Hx_AEC_Impl::PushMicData(int16_t *, uint32_t, uint8_t, uint8_t, uint32_t, uint32_t,
                                 uint32_t, uint32_t) { return -1; }
