// Play thread: pulls the host's four far-end streams, mixes them, keeps every
// third value (48 kHz stereo -> 320 values) and hands them to the voice path.
// Paced by the voice path's play requests while it works (event mode), else
// by an absolute 10 ms schedule (timer mode).
#include <string.h>

#include <atomic>

#include "backends/brisa_binding.h"
#include "engine/audio_block.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"
#include "platform/tick.h"
#include "playback/play_stats.h"
#include "upstream/primitives.h"

namespace {

const int kBrisaSamples = 320;
const uint32_t kPeriodMs = 10;
const uint32_t kRequestWaitMs = 500;
const uint32_t kReportIntervalMs = 2000;
const int32_t kDumpEvery = 500;
const int32_t kMaxPendingRequests = 8;

// Shared statistics: they only feed log lines, so relaxed order is enough.
std::atomic<uint32_t> g_lastReportTick{0};
std::atomic<int32_t> play_cnt{0};
std::atomic<int32_t> g_dumpCount{0};

}  // namespace

std::atomic<int32_t> g_playReqNo{0};

void ResetPlayStatisticsForTest() {
  g_lastReportTick.store(0);
  play_cnt.store(0);
  g_dumpCount.store(0);
  g_playReqNo.store(0);
}

void Hx_AEC_Impl::AddPlayReq(int32_t request_no) {
  // Signalled after the lock is released: a play thread that runs as soon
  // as it is signalled (on another core, or outranking the caller) would
  // otherwise wake only to wait for m_reqLock and wake again at its release.
  {
    hx::Lock r(m_reqLock);
    m_req.store(m_req.load() + 1);
    g_playReqNo.store(request_no, std::memory_order_relaxed);
  }
  m_playEvent.Set();
}

void Hx_AEC_Impl::CheckPlayReq() {
  hx::Lock r(m_reqLock);
  int32_t req = m_req.load();
  if (req > kMaxPendingRequests) {
    log_printf("audio_HXAec::===> req=%d is too long, so to reset !^^^^^^^^^^^^^\n", req);
    // One request stays pending, so one event-mode cycle follows.
    m_req.store(1);
    m_playEvent.Set();
  }
}

void Hx_AEC_Impl::win7_PlayProc(uint32_t gen) {
  // Work buffers live on this thread's stack: nothing is allocated per cycle.
  int16_t streams[kFarEndStreams][kBlockValues];
  uint8_t has_data[kFarEndStreams];
  int16_t output[kBlockValues];

  uint32_t t0 = hx::GetTickCount();
  int64_t n = 0;  // cycle number since t0 (64-bit: 10*n never overflows)
  uint8_t is_use_event = 0;
  uint8_t is_waveout_play = 0;
  int32_t cycles_done = 0;

  while (WorkersLive(gen)) {
    // ---- pacing ----
    if (m_is_win7_aec_working.load()) {
      if (m_req.load() == 0) m_playEvent.Wait(kRequestWaitMs);
      {
        hx::Lock r(m_reqLock);
        int32_t req = m_req.load();
        if (req <= 0) continue;
        m_req.store(req - 1);
      }
      t0 = hx::GetTickCount();
      n = 0;
      is_use_event = 1;
    } else {
      {
        // Requests arriving while no voice path works are thrown away.
        hx::Lock r(m_reqLock);
        m_req.store(0);
      }
      int32_t elapsed = (int32_t)(hx::GetTickCount() - t0);
      if (elapsed < 0) {
        t0 = hx::GetTickCount();
        n = 0;
      } else if ((int64_t)elapsed < (int64_t)kPeriodMs * n) {
        hx::Sleep((uint32_t)((int64_t)kPeriodMs * n - elapsed));
      }
      ++n;
      is_use_event = 0;
    }

    // ---- statistics ----
    uint32_t now = hx::GetTickCount();
    uint32_t last = g_lastReportTick.load(std::memory_order_relaxed);
    if (last == 0) {
      g_lastReportTick.store(now, std::memory_order_relaxed);
    } else if (now - last > kReportIntervalMs) {
      log_printf(
          "audio_HXAec::===> <+++win7:[gap=%d] is_waveout_play=%d; play_cnt=%d[req=%d]; "
          "mic_cap=%d; sys_cnt=%d; online_sys_capture=%d; is_use_event=%d\n",
          (int32_t)((uint32_t)g_playReqNo.load(std::memory_order_relaxed) - (uint32_t)cycles_done),
          is_waveout_play,
          (int)((uint32_t)play_cnt.load(std::memory_order_relaxed) >> 1), m_req.load(),
          g_micCapCount.load(std::memory_order_relaxed) / 2,
          sys_cnt.load(std::memory_order_relaxed), online_sys_capture.load(), is_use_event);
      play_cnt.store(0, std::memory_order_relaxed);
      sys_cnt.store(0, std::memory_order_relaxed);
      g_micCapCount.store(0, std::memory_order_relaxed);
      g_lastReportTick.store(now, std::memory_order_relaxed);
    }
    play_cnt.fetch_add(1, std::memory_order_relaxed);
    if (g_dumpCount.fetch_add(1, std::memory_order_relaxed) % kDumpEvery == 0) {
      Hx_AEC_Impl *run = g_aecImplRun.load();
      if (!run) run = this;
      log_printf(
          "audio_HXAec::===> dumpinfo::  aec_mode=%d; micro_capture=%d; sys_capture=%d; "
          "online_sys_capture=%d [need_tovan=%d]\n",
          run->aec_mode.load(), run->micro_capture.load(), run->sys_capture.load(),
          run->online_sys_capture.load(), need_tovan.load());
    }

    // ---- cycle ----
    memset(streams, 0, sizeof streams);
    memset(has_data, 0, sizeof has_data);
    HostPlayFn play = m_fnPlay.load();
    void *play_ctx = m_fnPlayCtx.load();
    if (!play_ctx || !play) {
      log_printf("audio_HXAec::===> m_fnPlay is null .............\n");
      continue;
    }
    hx::Lock p(m_playLock);
    ++cycles_done;
    memset(output, 0, sizeof output);
    // Each host call is preceded by the generation test: a worker that
    // waited for the lock, or came back from the host, after its start was
    // stopped calls the host no more and drops the cycle.
    bool live = true;
    for (int i = 0; i < kFarEndStreams && live; ++i) {
      has_data[i] = 0;
      live = WorkersLive(gen);
      if (live && play(play_ctx, streams[i], kBlockBytes, i) > 0) has_data[i] = 1;
    }
    if (!live || !WorkersLive(gen)) break;
    MixFour(streams[0], streams[1], streams[2], streams[3], output, has_data, kBlockValues);

    hx::Lock b(m_brisaLock);
    // 48 kHz stereo -> 320 values: every third value, no filtering. Even
    // positions take left samples of frames 0, 3, 6...; odd positions take
    // right samples of frames 1, 4, 7...
    for (int k = 0; k < kBrisaSamples; ++k) output[k] = output[3 * k];
    if (sys_capture.load() && aec_mode.load()) {
      for (int j = 0; j < kBrisaSamples / 2; ++j) output[2 * j] = 0;
    }
    // The binding is cleared under m_brisaLock when the library is released,
    // so a late cycle finds no entry rather than a freed one.
    if (g_brisa.PutPlayData) g_brisa.PutPlayData(0, output, kBrisaSamples);
    is_waveout_play = 0;
  }
  log_printf("audio_HXAec::===> exit win7_PlayProc thread !!!!\n");
}
