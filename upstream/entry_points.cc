// The two entry points handed to the host. Each refuses a null context at
// once and forwards to the engine.
#include "engine/hx_aec_impl.h"

namespace {

int32_t UpCom_PushMicData(void *ctx, int16_t *data, uint32_t frames, uint8_t bytes_per_frame,
                          uint8_t channels, uint32_t sample_rate, uint32_t aux0, uint32_t aux1,
                          uint32_t aux2, uint8_t /*reserved_a*/, uint32_t /*reserved_b*/) {
  if (!ctx) return -1;
  return static_cast<Hx_AEC_Impl *>(ctx)->PushMicData(data, frames, bytes_per_frame, channels,
                                                       sample_rate, aux0, aux1, aux2);
}

int32_t UpCom_PullPlayData(void *ctx, int32_t frames, uint8_t /*reserved*/, uint8_t channels,
                           int32_t sample_rate, int16_t *out, uint32_t *out_samples) {
  if (!ctx) return -1;
  return static_cast<Hx_AEC_Impl *>(ctx)->PullPlayData(frames, channels, sample_rate, out,
                                                        out_samples);
}

// The types the host is given must match these definitions exactly.
static_assert(sizeof(UpComPushMicDataFn) == sizeof(&UpCom_PushMicData), "");
constexpr UpComPushMicDataFn kPush = UpCom_PushMicData;
constexpr UpComPullPlayDataFn kPull = UpCom_PullPlayData;

}  // namespace

void *Hx_AEC_Impl::GetPushEntry() { return reinterpret_cast<void *>(kPush); }
void *Hx_AEC_Impl::GetPullEntry() { return reinterpret_cast<void *>(kPull); }
