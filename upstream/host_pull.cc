// Host pull: one 10 ms block of far-end audio for the host's own output, or
// silence while the module's pipes play the streams.
#include <string.h>

#include "dsp/play_frame.h"
#include "engine/audio_block.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"
#include "platform/tick.h"
#include "playback/output_pipes.h"
#include "upstream/primitives.h"

namespace {

constexpr int32_t kFrames441 = 441;
constexpr uint32_t kStatWindowMs = 2000;

std::atomic<uint32_t> g_pullStatTick{0};
std::atomic<uint32_t> g_pullCount{0};
int32_t g_pullMixLogCount = 0;

void PullStatistics() {
  const uint32_t now = hx::GetTickCount();
  const uint32_t start = g_pullStatTick.load();
  if (start == 0) {
    g_pullStatTick.store(now);
  } else if (now - start > kStatWindowMs) {
    log_printf(
        "audio_HXAec::===> "
        "<++++++++++++++++++++++++++++++++++++++++++++++play_cnt=%d; mic_cap=%d; sys_cnt=%d\n",
        (int)(g_pullCount.load() / 2u), g_micCapCount.load() / 2, sys_cnt.load() / 2);
    g_pullCount.store(0);
    g_micCapCount.store(0);
    sys_cnt.store(0);
    g_pullStatTick.store(now);
  }
  g_pullCount.fetch_add(1);
}

void SilenceLeft(int16_t *stereo, int32_t frames) {
  for (int32_t f = 0; f < frames; ++f) stereo[2 * f] = 0;
}

}  // namespace

// `out` must hold 1920 bytes. A null `out` is refused with -1 before any
// stream is pulled; a null `out_samples` is simply not written. Any frame
// count but 441 is served as 480.
int32_t Hx_AEC_Impl::PullPlayData(int32_t frames, uint8_t channels, int32_t sample_rate,
                                  int16_t *out, uint32_t *out_samples) {
  PullStatistics();
  int16_t streams[kFarEndStreams][kBlockValues];
  uint8_t enabled[kFarEndStreams];
  memset(streams, 0, sizeof streams);
  memset(enabled, 0, sizeof enabled);
  void *ctx = m_fnPlayCtx.load();
  HostPlayFn play = m_fnPlay.load();
  if (!ctx || !play || !out) return -1;

  hx::Lock lock(m_playLock);
  // A start that found the lock taken left the converter to be set up here.
  if (m_pullConverterStale.exchange(false)) m_resample_48to44.Init(48000, 44100, 480);
  if (online_sys_capture.load() && aec_mode.load()) {
    // The host plays: mix the streams and convert to the requested format.
    int32_t counted = 0;
    for (int32_t i = 0; i < kFarEndStreams; ++i) {
      if (play(ctx, streams[i], kBlockBytes, i) > 0) {
        enabled[i] = 1;
        ++counted;
      }
    }
    int16_t mix[kBlockValues];
    MixFour(streams[0], streams[1], streams[2], streams[3], mix, enabled, kBlockValues);
    if (log_every(g_pullMixLogCount, 100))
      log_printf("audio_HXAec::===> -------------vcnt=%d\n", counted);
    int16_t mono[kBlockFrames];
    for (int32_t j = 0; j < kBlockFrames; ++j) mono[j] = mix[2 * j + 1];
    SetPlayFrame(mono, (int32_t)sizeof mono);
    webrtc::AudioFrame local;  // on the stack: the pull allocates nothing
    ResamplePlayFrame(sample_rate, channels, &local);

    const bool sys = sys_capture.load() != 0;
    if (frames == kFrames441) {
      // Output of the block converter; 441 values for 480 in, the buffer is
      // sized for a whole block so no count can overrun it.
      int16_t mono44[kBlockValues] = {0};
      // Before the first start (or after the engine was destroyed) the
      // converter has no buffer: the block is silence.
      if (m_resample_48to44.HasBuffer()) {
        uint32_t produced = 0;
        m_resample_48to44.Process(local.data_, mono44, &produced);
      }
      for (int32_t j = 0; j < kFrames441; ++j) {
        out[2 * j] = sys ? 0 : mono44[j];
        out[2 * j + 1] = mono44[j];
      }
      if (out_samples) *out_samples = 2 * kFrames441;
    } else {
      if (local.num_channels_ == 1) MonoToStereo(&local);
      // Every one of the 480 frames handed out, also those past a shorter
      // converted frame: with system audio captured no far-end sample ever
      // leaves on the left channel.
      if (sys) SilenceLeft(local.data_, kBlockFrames);
      memcpy(out, local.data_, kBlockBytes);
      if (out_samples) *out_samples = kBlockValues;
    }
    return 0;
  }

  // The module plays: the host gets silence, each stream goes to its pipe.
  // The count behind out_samples is left as the host set it.
  memset(out, 0, kBlockBytes);
  int16_t pipe_block[kBlockValues];
  for (int32_t i = 0; i < kFarEndStreams; ++i) {
    if (play(ctx, streams[i], kBlockBytes, i) < 0) waveOutPlay_Put(i, nullptr, kBlockBytes);
    if (sys_capture.load()) {
      memcpy(pipe_block, streams[i], kBlockBytes);
      SilenceLeft(pipe_block, kBlockFrames);
      waveOutPlay_Put(i, pipe_block, kBlockBytes);
    } else {
      waveOutPlay_Put(i, streams[i], kBlockBytes);
    }
  }
  return 0;
}
