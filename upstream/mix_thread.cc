// Mix thread: combines system audio and microphone packets per the mode
// flags and hands one 10 ms block of 48 kHz stereo up per pass.
#include <stdlib.h>
#include <string.h>

#include "engine/audio_block.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"
#include "upstream/primitives.h"

namespace {

constexpr uint32_t kSysWaitMs = 1000;
constexpr uint32_t kMicWaitMs = 500;
constexpr int32_t kLogPeriod = 500;

int32_t g_noMicLogCount = 0;
int32_t g_listCountLogCount = 0;

void CopyLeftToRight(int16_t *block) {
  for (int32_t f = 0; f < kBlockFrames; ++f) block[2 * f + 1] = block[2 * f];
}

}  // namespace

// Every loop test and every host call tests the thread's generation: once
// the stop of its start has cleared m_running (or a later start has
// begun), the thread hands nothing more up and ends.
void Hx_AEC_Impl::MicProc(uint32_t gen) {
  // Reused every pass: the loop allocates nothing.
  int16_t sys_block[kBlockValues];
  int16_t mix_block[kBlockValues];
  for (;;) {
    if (!MixLive(gen)) {
      log_printf("audio_HXAec::===> exit MicProc thread ..............[1]\n");
      return;
    }
    memset(sys_block, 0, sizeof sys_block);

    if (sys_capture.load()) {
      // The ring lock is held only to test and read, never across a wait.
      g_captureLock.Lock();
      while (DgtlStoreBuffer_DataSize(&m_captureRing) < (uint32_t)kBlockBytes &&
             MixLive(gen) && sys_capture.load()) {
        g_captureLock.Unlock();
        if (!m_sysEvent.Wait(kSysWaitMs))
          log_printf(
              "audio_HXAec::===> audio_mix:: no system "
              "data#######################################\n");
        g_captureLock.Lock();
      }
      if (!MixLive(gen)) {
        log_printf("audio_HXAec::===> audio_mix:: exit MicProc thread ..............\n");
        g_captureLock.Unlock();
        log_printf("audio_HXAec::===> exit MicProc thread ..............[1]\n");
        return;
      }
      // sys_capture may have been cleared during the wait: the block stays zero.
      if (DgtlStoreBuffer_DataSize(&m_captureRing) >= (uint32_t)kBlockBytes)
        DgtlStoreBuffer_Read(&m_captureRing, sys_block, kBlockBytes);
      g_captureLock.Unlock();
    }

    AudioPacket pkt;
    int32_t queued = 0;
    if (!TakeMicPacket(&pkt, &queued)) {
      if (!sys_capture.load()) {
        if (!m_micEvent.Wait(kMicWaitMs) && micro_capture.load())
          log_printf("audio_HXAec::===> audio_mix:: not sys-capture: get mic timeout.....\n");
        continue;
      }
      if (log_every(g_noMicLogCount, kLogPeriod))
        log_printf(
            "audio_HXAec::===> audio_mix:: ########################################no mic "
            "data\n");
      if (aec_mode.load()) CopyLeftToRight(sys_block);
      // The host may change its callback at any time: read once per use.
      HostCaptureFn fn = m_fnCapture.load();
      if (fn && MixLive(gen)) fn(m_fnCaptureCtx.load(), sys_block, kBlockBytes);
      continue;
    }

    HostCaptureFn fn = m_fnCapture.load();
    if (fn) {
      const bool mic = micro_capture.load() != 0;
      const bool sys = sys_capture.load() != 0;
      int16_t *up = nullptr;  // block handed up, if any
      if (online_sys_capture.load()) {
        if (log_every(g_listCountLogCount, kLogPeriod))
          log_printf("audio_HXAec::===> audio_mix:: mic list_cnt=%d\n", queued);
        if (mic && sys) {
          memset(mix_block, 0, sizeof mix_block);
          CopyLeftToRight(sys_block);
          MixTwo(mix_block, pkt.data, sys_block, kBlockValues);
          up = mix_block;
        } else if (mic) {
          up = pkt.data;
        }
      } else if (mic && sys) {
        memset(mix_block, 0, sizeof mix_block);
        MixTwo(mix_block, pkt.data, sys_block, kBlockValues);
        up = mix_block;
      } else if (mic) {
        up = pkt.data;
      }
      if (up && MixLive(gen)) fn(m_fnCaptureCtx.load(), up, kBlockBytes);
    }
    m_micPool.Release(pkt.data);
  }
}
