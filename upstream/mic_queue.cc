// Microphone packet queue: admission shared by both producers, delivery of
// the module's own cleaned blocks, and the mix thread's take.
#include <stdlib.h>
#include <string.h>

#include "engine/audio_block.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"
#include "upstream/primitives.h"

std::atomic<int32_t> g_micCapCount{0};

namespace {

constexpr int32_t kQueueLimit = kMicQueueCapacity;  // from 12 queued, every packet is refused
constexpr int32_t kQuietWindow = 8;     // from 8 queued, quiet packets are refused
constexpr int32_t kQuietThreshold = 200;
constexpr int32_t kPowerLogPeriod = 300;
constexpr int32_t kDropLogPeriod = 10;

constexpr int kMicBlockIn = 320;     // 20 ms at 16 kHz
constexpr int kMicBlockOut = 960;    // 20 ms at 48 kHz, mono

// Work buffers of the delivery, alive for the whole process. Delivery is not
// reentrant: its callers serialise it under g_micPathLock.
int16_t g_micWork48k[kMicBlockOut];
int16_t g_micWork48kStereo[2 * kMicBlockOut];

MicProducer g_deliverProducer = {
    "audio_HXAec::===> audio_mix:: >>>>>: drop mute pak: %d\n",
    "audio_HXAec::===> audio_mix:: >>>>>: del mute pak: %d\n", 0, 0};

}  // namespace

// The lock is held for the count, the decision and the append or refusal
// only. The power is measured before it (the packet is the producer's
// until appended) and the lines are written after it, so neither the
// capture path nor the mix thread waits behind a log write. A refused
// packet's block goes back after the lock.
void Hx_AEC_Impl::OfferMicPacket(const AudioPacket &pkt, int32_t span, MicProducer &producer,
                                  bool signal) {
  const int32_t power = (int32_t)CalcPower(pkt.data, span);
  bool log_power;
  bool refused = false;
  const char *line = nullptr;
  int32_t n;
  {
    hx::Lock lock(m_micListLock);
    n = (int32_t)m_micList.size();
    log_power = log_every(producer.power_log_count, kPowerLogPeriod);
    const char *refusal = nullptr;
    if (n >= kQueueLimit)
      refusal = producer.full_line;
    else if (n >= kQuietWindow && power < kQuietThreshold)
      refusal = producer.quiet_line;
    if (refusal) {
      refused = true;
      if (log_every(producer.drop_log_count, kDropLogPeriod)) line = refusal;
    } else {
      // Cannot fail: the admission limit is the ring's capacity.
      refused = !m_micList.push_back(pkt);
    }
  }
  if (refused) m_micPool.Release(pkt.data);
  if (log_power) log_printf("audio_HXAec::===> ((((((((((((((: +++++:  power=%d\n", (int)power);
  if (line) log_printf(line, n);
  if (signal) SignalMicOffer();
}

// With system audio on, the mix thread is paced by it and never waits here.
void Hx_AEC_Impl::SignalMicOffer() {
  if (!sys_capture.load()) m_micEvent.Set();
}

bool Hx_AEC_Impl::TakeMicPacket(AudioPacket *pkt, int32_t *count_before) {
  hx::Lock lock(m_micListLock);
  *count_before = (int32_t)m_micList.size();
  if (*count_before <= 0) return false;
  *pkt = m_micList.front();
  m_micList.pop_front();
  return true;
}

// Callers hold g_micPathLock, which the engine stop also holds while it
// releases m_resample_16to48.
void Hx_AEC_Impl::DeliverMicData(int16_t *samples, int16_t count) {
  // The converter consumes exactly one 320-sample block; anything else would
  // read past the caller's block or overrun the work buffers.
  if (!samples || count != kMicBlockIn) return;
  // After a stop released the converter there is nothing to convert with:
  // the block is dropped (the engine is stopping).
  if (!m_resample_16to48.HasBuffer()) return;
  uint32_t produced = 0;
  m_resample_16to48.Process(samples, g_micWork48k, &produced);
  for (int i = 0; i < 3 * count; ++i) {
    g_micWork48kStereo[2 * i] = g_micWork48k[i];
    g_micWork48kStereo[2 * i + 1] = g_micWork48k[i];
  }
  g_micCapCount.fetch_add(2, std::memory_order_relaxed);
  if (!m_fnCapture.load() || !m_fnCaptureCtx.load()) return;
  // Both halves are offered before the event is signalled, once for both:
  // the mix thread wakes once per block and finds both packets (it takes
  // packets until the queue is empty before it waits). A signal per packet
  // would wake it for the first, and a second signal while it wakes would
  // make it wait again for the event's own lock.
  int offered = 0;
  for (int half = 0; half < 2 && micro_capture.load(); ++half) {
    int16_t *buf = m_micPool.Take();
    if (!buf) continue;  // no memory: this half is lost, nothing else changes
    memcpy(buf, g_micWork48kStereo + half * kBlockValues, kBlockBytes);
    AudioPacket pkt = {buf, kBlockFrames, 4, 2, kBlockRate, 0, 0, 0};
    OfferMicPacket(pkt, kBlockValues, g_deliverProducer, false);
    ++offered;
  }
  if (offered) SignalMicOffer();
}
