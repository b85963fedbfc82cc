// Host push: a block of the host's own enters the microphone queue as one
// 10 ms packet of 48 kHz stereo, exactly what the mix thread reads.
#include <stdlib.h>
#include <string.h>

#include "engine/audio_block.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"

namespace {

constexpr uint32_t kPacketFrames = kBlockFrames;
constexpr size_t kPacketBytes = kBlockBytes;
constexpr uint32_t kPacketRate = kBlockRate;
constexpr uint32_t kMinConvertRate = 8000;
constexpr uint32_t kMaxConvertRate = 192000;
constexpr int32_t kPushLogPeriod = 100;

MicProducer g_pushProducer = {"audio_HXAec::===> >>>>>: drop pak: %d\n",
                              "audio_HXAec::===> >>>>>: del mute pak: %d\n", 0, 0};
int32_t g_pushBadLogCount = 0;
int32_t g_pushFitLogCount = 0;

// Reads stereo frame `i` of a host block (mono is duplicated).
inline void ReadFrame(const int16_t *in, uint32_t channels, uint64_t i, int32_t *l, int32_t *r) {
  *l = in[i * channels];
  *r = in[i * channels + channels - 1];
}

// Fills `out` (480 stereo frames, 48 kHz) from a host block of `frames`
// frames. Rates from 8 to 192 kHz other than 48 kHz are converted by linear
// interpolation inside the block (enough for speech; no state carries over
// between blocks); any other rate is taken as 48 kHz. Only the host's
// frames * channels values are read. Frames the block does not cover are
// silence. Returns the 48 kHz frames the block amounted to (before cutting).
uint64_t FitBlock(const int16_t *in, uint32_t frames, uint32_t channels, uint32_t rate,
                  int16_t *out) {
  memset(out, 0, kPacketBytes);
  const bool convert = rate != kPacketRate && rate >= kMinConvertRate && rate <= kMaxConvertRate;
  const uint64_t available = convert ? (uint64_t)frames * kPacketRate / rate : frames;
  const uint64_t written = available < kPacketFrames ? available : kPacketFrames;
  for (uint64_t k = 0; k < written; ++k) {
    int32_t l, r;
    if (!convert) {
      ReadFrame(in, channels, k, &l, &r);
    } else {
      // k < available guarantees i < frames.
      const uint64_t pos = k * rate;
      const uint64_t i = pos / kPacketRate;
      const int32_t frac = (int32_t)(pos % kPacketRate);
      const uint64_t next = i + 1 < frames ? i + 1 : i;
      int32_t l0, r0, l1, r1;
      ReadFrame(in, channels, i, &l0, &r0);
      ReadFrame(in, channels, next, &l1, &r1);
      l = l0 + (int32_t)((int64_t)(l1 - l0) * frac / (int32_t)kPacketRate);
      r = r0 + (int32_t)((int64_t)(r1 - r0) * frac / (int32_t)kPacketRate);
    }
    out[2 * k] = (int16_t)l;
    out[2 * k + 1] = (int16_t)r;
  }
  return available;
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
  if (!data || frames == 0 || channels == 0 || channels > 2 ||
      bytes_per_frame != 2 * channels) {
    if (log_every(g_pushBadLogCount, kPushLogPeriod))
      log_printf(
          "audio_HXAec::===> >>>>>: bad push block: data=%d; frames=%u; bytes_per_frame=%u; "
          "channels=%u\n",
          data ? 1 : 0, frames, bytes_per_frame, channels);
    return 0;
  }
  // Every packet is one 1920-byte block, allocated before the queue lock.
  int16_t *buf = (int16_t *)malloc(kPacketBytes);
  if (!buf) return 0;  // no memory: the block is dropped like a refused one
  const uint64_t fitted = FitBlock(data, frames, channels, sample_rate, buf);
  if (fitted != kPacketFrames && log_every(g_pushFitLogCount, kPushLogPeriod))
    log_printf(
        "audio_HXAec::===> >>>>>: push block of %u frames at %u Hz %s to 480 frames of 48000 "
        "Hz\n",
        frames, sample_rate, fitted < kPacketFrames ? "padded with silence" : "cut");
  // The packet describes what it holds; the aux values travel unchanged.
  AudioPacket pkt = {buf, kPacketFrames, 4, 2, kPacketRate, aux0, aux1, aux2};
  // Power over the host's frame count, capped to the packet: the full-size
  // block is measured as given; a block under 8 frames reads as |x[0]|.
  const int32_t span = frames < 2 * kPacketFrames ? (int32_t)frames : (int32_t)(2 * kPacketFrames);
  OfferMicPacket(pkt, span, g_pushProducer);
  return 0;
}
