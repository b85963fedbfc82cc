// PLACEHOLDER: to be replaced by the microphone packet queue.
#include <stdlib.h>
#include "engine/hx_aec_impl.h"
std::atomic<int32_t> g_micCapCount{0};
void Hx_AEC_Impl::DeliverMicData(int16_t *, int16_t) {}
void Hx_AEC_Impl::OfferMicPacket(const AudioPacket &pkt, int32_t, MicProducer &) { free(pkt.data); }
bool Hx_AEC_Impl::TakeMicPacket(AudioPacket *, int32_t *) { return false; }
