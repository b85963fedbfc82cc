// Helpers for the upstream-path tests: a host capture sink that records
// every block handed up, block builders, and direct access to the engine's
// queue and capture ring.
#ifndef HX_TESTS_SUPPORT_UPSTREAM_HARNESS_H
#define HX_TESTS_SUPPORT_UPSTREAM_HARNESS_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <mutex>
#include <vector>

#include "engine/hx_aec_impl.h"
#include "gtest/gtest.h"
#include "support/log_capture.h"

typedef std::vector<int16_t> Pcm;

// Host capture callback: keeps a copy of each block and its byte count.
struct CaptureSink {
  std::mutex mu;
  std::vector<Pcm> blocks;
  std::vector<int32_t> lens;

  static int32_t Fn(void *ctx, int16_t *samples, int32_t len) {
    CaptureSink *self = static_cast<CaptureSink *>(ctx);
    std::lock_guard<std::mutex> g(self->mu);
    self->blocks.emplace_back(samples, samples + len / 2);
    self->lens.push_back(len);
    return 0;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(mu);
    return blocks.size();
  }
  Pcm Block(size_t i) {
    std::lock_guard<std::mutex> g(mu);
    return blocks.at(i);
  }
  bool WaitCount(size_t n, int timeout_ms = 10000) {
    return WaitUntil([&] { return Count() >= n; }, timeout_ms);
  }
};

// 480 stereo frames (960 values) from f(frame, channel).
inline Pcm StereoBlock(const std::function<int16_t(int, int)> &f) {
  Pcm v(960);
  for (int j = 0; j < 480; ++j) {
    v[2 * j] = f(j, 0);
    v[2 * j + 1] = f(j, 1);
  }
  return v;
}

inline Pcm ConstBlock(int16_t left, int16_t right) {
  return StereoBlock([&](int, int ch) { return ch ? right : left; });
}

// A block whose power (every eighth value) is exactly `power`; others 0.
inline Pcm PowerBlock(int16_t power) {
  Pcm v(960, 0);
  for (size_t i = 0; i < v.size(); i += 8) v[i] = power;
  return v;
}

// A module-style packet (480 frames, 48 kHz stereo) owning a malloc'ed copy.
inline AudioPacket MakePacket(const Pcm &v) {
  int16_t *buf = (int16_t *)malloc(1920);
  memcpy(buf, v.data(), 1920);
  AudioPacket p = {buf, 480, 4, 2, 48000, 0, 0, 0};
  return p;
}

inline size_t QueueCount(Hx_AEC_Impl &e) {
  hx::Lock l(e.m_micListLock);
  return e.m_micList.size();
}

// Takes the head packet and returns its 960 values (empty when none).
inline Pcm TakeBlock(Hx_AEC_Impl &e, AudioPacket *fields = nullptr) {
  AudioPacket p;
  int32_t n = 0;
  if (!e.TakeMicPacket(&p, &n)) return Pcm();
  Pcm v(p.data, p.data + 960);
  if (fields) *fields = p;
  free(p.data);
  return v;
}

// What the system-audio callback does: ring write under the lock, then signal.
inline bool WriteSystem(Hx_AEC_Impl &e, const Pcm &v) {
  bool ok;
  {
    hx::Lock g(g_captureLock);
    ok = DgtlStoreBuffer_Write(&e.m_captureRing, v.data(), (uint32_t)(v.size() * 2));
  }
  e.m_sysEvent.Set();
  return ok;
}

// An engine that is not started, with a recording capture sink registered
// and micro capture on: the producers queue, nothing takes.
class UpstreamEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_.SetDownComCallBackPtr((void *)&CaptureSink::Fn, &sink_, nullptr, nullptr);
    engine_.micro_capture.store(1);
  }
  void TearDown() override { engine_.m_running.store(0); }

  CaptureSink sink_;
  Hx_AEC_Impl engine_;
};

inline int16_t Sat(int32_t s) { return (int16_t)(s > 32767 ? 32767 : s < -32768 ? -32768 : s); }

#endif
