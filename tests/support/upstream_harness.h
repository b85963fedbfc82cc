// Upstream-path test helpers: capture sink, block builders, engine queue and ring access.
#ifndef HX_TESTS_SUPPORT_UPSTREAM_HARNESS_H
#define HX_TESTS_SUPPORT_UPSTREAM_HARNESS_H

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "engine/hx_aec_impl.h"
#include "hxsim.h"
#include "support/log_capture.h"

typedef std::vector<int16_t> Pcm;

// Host capture callback: keeps a copy of each block handed up.
struct CaptureSink {
  std::mutex mu;
  std::vector<Pcm> blocks;
  static int32_t Fn(void *ctx, int16_t *samples, int32_t len) {
    std::lock_guard<std::mutex> g(static_cast<CaptureSink *>(ctx)->mu);
    return static_cast<CaptureSink *>(ctx)->blocks.emplace_back(samples, samples + len / 2), 0;
  }
  std::vector<Pcm> Blocks() { std::lock_guard<std::mutex> g(mu); return blocks; }
};

// 480 stereo frames (960 values) from f(frame, channel).
template <class F>
Pcm StereoBlock(F f) {
  Pcm v(960);
  for (int i = 0; i < 960; ++i) v[i] = (int16_t)f(i / 2, i % 2);
  return v;
}
inline Pcm ConstBlock(int l, int r) { return StereoBlock([=](int, int c) { return c ? r : l; }); }
inline Pcm Dup(const Pcm &mono) { return StereoBlock([&](int j, int) { return mono.at(j); }); }
// Every eighth value is p, the others 0: the queue measures a power of exactly p.
inline Pcm PowerBlock(int p) { return StereoBlock([=](int j, int c) { return j % 4 || c ? 0 : p; }); }
inline Pcm Channel(const int16_t *stereo, int ch, int frames = 480) {
  Pcm v(frames);
  for (int j = 0; j < frames; ++j) v[j] = stereo[2 * j + ch];
  return v;
}
inline int16_t Sat(int32_t s) { return (int16_t)std::clamp(s, -32768, 32767); }

// A module-style packet (480 frames, 48 kHz stereo) owning a malloc'ed copy.
inline AudioPacket MakePacket(const Pcm &v) {
  return AudioPacket{(int16_t *)memcpy(malloc(1920), v.data(), 1920), 480, 4, 2, 48000, 0, 0, 0};
}
inline size_t QueueCount(Hx_AEC_Impl &e) { hx::Lock l(e.m_micListLock); return e.m_micList.size(); }
// Takes the head packet and returns its 960 values (empty when none).
inline Pcm TakeBlock(Hx_AEC_Impl &e, AudioPacket *fields = nullptr) {
  AudioPacket p = {};
  int32_t n = 0;
  const Pcm v = e.TakeMicPacket(&p, &n) ? Pcm(p.data, p.data + 960) : Pcm();
  e.m_micPool.Release(p.data);  // null when there was none
  if (fields) *fields = p;
  return v;
}
// What the system-audio callback does: ring write under the lock, then signal.
inline bool WriteSystem(Hx_AEC_Impl &e, const Pcm &v) {
  g_captureLock.Lock();
  const bool ok = DgtlStoreBuffer_Write(&e.m_captureRing, v.data(), (uint32_t)(v.size() * 2));
  return g_captureLock.Unlock(), e.m_sysEvent.Set(), ok;
}

// One engine whose capture callback is `sink_`. Open() lets the push entry
// queue without any thread; Start() runs the engine's threads in a world in
// manual mode (only what the test queues or writes reaches them).
class UpstreamTest : public ::testing::Test {
 protected:
  void TearDown() override { if (started_) engine_.DeInit(); engine_.m_running.store(0); }
  void Open() {  // the push needs m_running; nothing is started
    engine_.SetDownComCallBackPtr((void *)&CaptureSink::Fn, &sink_, nullptr, nullptr);
    engine_.micro_capture.store(1), engine_.m_running.store(1);
  }
  // (Re)starts the engine; its threads' first passes see these flags.
  void Start(int sys = 0, int mic = 1, int online = 0, int aec = 0, bool callback = true) {
    // The monitor loads the voice-path stand-in by name, which the sanitizer
    // runtimes resolve without the test's RUNPATH: load it once by full path.
    static void *brisa = dlopen(HX_SIM_LIB_DIR "/libBrisaDll.so", RTLD_NOW);
    ASSERT_NE(nullptr, brisa) << dlerror();
    if (started_) engine_.DeInit();
    sink_.blocks.clear(), hxsim_reset(), hxsim_set_manual(1);
    engine_.SetDownComCallBackPtr(callback ? (void *)&CaptureSink::Fn : nullptr, &sink_, nullptr, nullptr);
    engine_.SetSysCapture((uint8_t)sys), engine_.SetMicroCapture((uint8_t)mic);
    engine_.SetOnlineSysCapture((uint8_t)online), engine_.SetAecMode((uint8_t)aec);
    started_ = engine_.Init() == 0;
  }
  int32_t Push(const Pcm &v, uint32_t frames, uint8_t ch, uint32_t rate) {
    return push_(&engine_, const_cast<int16_t *>(v.data()), frames, 2 * ch, ch, rate, 0, 0, 0, 0, 0);
  }

  bool started_ = false;
  CaptureSink sink_;
  Hx_AEC_Impl engine_;
  UpComPushMicDataFn push_ = reinterpret_cast<UpComPushMicDataFn>(Hx_AEC_Impl::GetPushEntry());
};

#endif
