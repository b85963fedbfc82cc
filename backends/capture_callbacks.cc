// Callbacks the back-end libraries run on their own threads.
#include <string.h>

#include "backends/backends.h"
#include "dsp/ns_agc.h"
#include "engine/hx_aec_impl.h"
#include "engine/log.h"

namespace {
int16_t ns_out[320];
int16_t agc_out[320];
int32_t g_isVoiceLogCount = 0;
int32_t g_sysLogCount = 0;
}  // namespace

std::atomic<int32_t> sys_cnt{0};

void g_win7_get_aec_callback(int16_t *samples, int16_t count, uint8_t /*reserved*/, void *user) {
  if (count != 320) {
    log_printf(
        "audio_HXAec::===> ********************enter g_win7_get_aec_callback samples isn't "
        "320;   len=%d\n",
        count);
    return;
  }
  Hx_AEC_Impl *engine = static_cast<Hx_AEC_Impl *>(user);
  if (!engine || !engine->micro_capture.load() || count <= 0) return;
  int flag = (samples[0] & 1) + 2 * (samples[1] & 1);
  kzr_assert_at(flag == 0 || flag == 1, 184);
  int isVoice = flag == 1 ? 1 : 0;
  if (log_every(g_isVoiceLogCount, 10)) log_printf("isVoice=%d\n", isVoice);
  // One block at a time through the chain; the engine stop frees the
  // processors and the converter only while no block is inside.
  hx::Lock path(g_micPathLock);
  ns_process(samples, 640, ns_out);
  if (isVoice)
    agc_process(ns_out, 2 * count, agc_out, 640);
  else
    memcpy(agc_out, ns_out, sizeof agc_out);
  engine->DeliverMicData(agc_out, 320);
}

void g_Mirel_RecvMicData(uint8_t *data, int32_t len) {
  if (len != 640) {
    log_printf("audio_HXAec::===> enter g_Mirel_RecvMicData len isn't 640!!!!!!!!!!!: %d\n", len);
    return;
  }
  hx::Lock path(g_micPathLock);
  Hx_AEC_Impl *engine = g_aecImpl.load();
  if (!engine || !engine->micro_capture.load() || len <= 0) return;
  int16_t block[320];
  memcpy(block, data, sizeof block);  // the bytes need not be 16-bit aligned
  ns_process(block, 640, ns_out);
  agc_process(ns_out, len, agc_out, 640);
  engine->DeliverMicData(agc_out, (int16_t)(len / 2));
}

void g_Tovan_RecvSysData(uint8_t *data, int32_t len) {
  // Before the first start there is no running engine to read: the data is
  // dropped (the ring does not exist yet either).
  Hx_AEC_Impl *engine = g_aecImplRun.load();
  if (!engine) return;
  if (log_every(g_sysLogCount, 200))
    log_printf(
        "audio_HXAec::===> aec_mode=%d; micro_capture=%d; sys_capture=%d; "
        "online_sys_capture=%d; sys_pak=%d\n",
        engine->aec_mode.load(), engine->micro_capture.load(), engine->sys_capture.load(),
        engine->online_sys_capture.load(), len);
  if (!engine->sys_capture.load()) return;
  sys_cnt.fetch_add(1, std::memory_order_relaxed);
  for (int32_t i = 0; i < len / 2; ++i) {
    int16_t s;
    memcpy(&s, data + 2 * i, 2);
    s = (int16_t)((int32_t)s * 8 / 10);
    memcpy(data + 2 * i, &s, 2);
  }
  {
    hx::Lock g(g_captureLock);
    DgtlStoreBuffer_Write(&engine->m_captureRing, data, (uint32_t)len);
  }
  engine->m_sysEvent.Set();
}

void g_win7_get_play_callback(int32_t request_no) {
  Hx_AEC_Impl *engine = g_aecImpl.load();
  if (engine) engine->AddPlayReq(request_no);
}
