// Host push: a block of the host's own enters the microphone queue as one
// 10 ms packet of 48 kHz stereo, exactly what the mix thread reads. Blocks
// of other rates are converted by the push stream (push_convert.h).
#include <stdlib.h>
#include <string.h>

#include "engine/audio_block.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"

namespace {

constexpr uint32_t kPacketFrames = kBlockFrames;
constexpr uint32_t kPacketRate = kBlockRate;
constexpr int32_t kPushLogPeriod = 100;

MicProducer g_pushProducer = {"audio_HXAec::===> >>>>>: drop pak: %d\n",
                              "audio_HXAec::===> >>>>>: del mute pak: %d\n", 0, 0};
int32_t g_pushBadLogCount = 0;
int32_t g_pushFitLogCount = 0;
int32_t g_pushShortLogCount = 0;
int32_t g_pushAheadLogCount = 0;

// One line per kPushLogPeriod blocks of each kind that did not make exactly
// one packet of the stream.
void LogFit(const PushFit &fit, uint32_t frames, uint32_t rate) {
  if (fit.kind == kPushFitWhole || fit.kind == kPushFitNoMemory) return;
  if (fit.kind == kPushFitShort || fit.kind == kPushFitAhead) {
    int32_t &count = fit.kind == kPushFitShort ? g_pushShortLogCount : g_pushAheadLogCount;
    if (log_every(count, kPushLogPeriod))
      log_printf("audio_HXAec::===> >>>>>: push stream at %u Hz %s: %u frames %s\n", rate,
                 fit.kind == kPushFitShort ? "short of audio" : "ahead", fit.frames,
                 fit.kind == kPushFitShort ? "of silence inserted" : "dropped");
    return;
  }
  if (log_every(g_pushFitLogCount, kPushLogPeriod))
    log_printf(
        "audio_HXAec::===> >>>>>: push block of %u frames at %u Hz %s to 480 frames of 48000 "
        "Hz\n",
        frames, rate, fit.kind == kPushFitPadded ? "padded with silence" : "cut");
}

}  // namespace

int32_t Hx_AEC_Impl::PushMicData(int16_t *data, uint32_t frames, uint8_t bytes_per_frame,
                                 uint8_t channels, uint32_t sample_rate, uint32_t aux0,
                                 uint32_t aux1, uint32_t aux2) {
  if (!m_fnCapture.load() || !m_running.load()) return -1;
  if (!micro_capture.load()) return 0;
  // Only 16-bit mono or stereo PCM can be read safely. Anything else is
  // refused like a packet the queue refuses: logged, and still 0, because -1
  // tells the host that the engine or its capture callback is missing.
  if (!data || frames == 0 || channels == 0 || channels > 2 || bytes_per_frame != 2 * channels) {
    if (log_every(g_pushBadLogCount, kPushLogPeriod))
      log_printf(
          "audio_HXAec::===> >>>>>: bad push block: data=%d; frames=%u; bytes_per_frame=%u; "
          "channels=%u\n",
          data ? 1 : 0, frames, bytes_per_frame, channels);
    return 0;
  }
  // Every packet is one 1920-byte block, taken before the locks.
  int16_t *buf = m_micPool.Take();
  if (!buf) return 0;  // no memory: the block is dropped like a refused one
  // The packet describes what it holds; the aux values travel unchanged.
  AudioPacket pkt = {buf, kPacketFrames, 4, 2, kPacketRate, aux0, aux1, aux2};
  // Power over the host's frame count, capped to the packet: the full-size
  // block is measured as given; a block under 8 frames reads as |x[0]|.
  const int32_t span = frames < 2 * kPacketFrames ? (int32_t)frames : (int32_t)(2 * kPacketFrames);
  hx::Lock stream(m_pushLock);
  const PushFit fit = m_pushConvert.Convert(data, frames, channels, sample_rate, buf);
  LogFit(fit, frames, sample_rate);
  if (fit.kind == kPushFitNoMemory) {
    m_micPool.Release(buf);
    return 0;
  }
  OfferMicPacket(pkt, span, g_pushProducer);
  return 0;
}
