// Delivery of microphone blocks, system blocks and play requests: the world
// threads of real-time mode and the pumps of manual mode.
//
// Every delivery is bracketed by BeginDelivery/EndDelivery under the world
// lock, but the callback itself runs unlocked. A stop clears the target's
// state under the lock (so no delivery begins afterwards) and then waits for
// the deliveries under way to end, except on a thread that is itself inside
// a callback of that library (it only marks the stop).
#include <errno.h>
#include <string.h>
#include <time.h>

#include <chrono>

#include "world_echo.h"
#include "world_internal.h"

namespace hxsim {

namespace {

using Clock = std::chrono::steady_clock;

thread_local int t_depth[kTargetCount];  // callbacks of each target on this thread
thread_local bool t_world_thread = false;

bool TargetActive(const World &w, Target t) {
  switch (t) {
    case kBrisaMic:
      return w.brisa_initialised && w.brisa_started == 1 && w.brisa_cb;
    case kMirelMic:
      return w.mirel_running && w.mirel_cb;
    case kBrisaPlay:
      return w.brisa_initialised && w.brisa_started != 0 && w.brisa_channel_added &&
             w.brisa_play_cb;
    case kTovanSys:
      return w.tovan_running && w.tovan_cb;
    default:
      return false;
  }
}

bool StreamActive(const World &w, Stream s) {
  switch (s) {
    case kMicStream:
      return TargetActive(w, kBrisaMic) || TargetActive(w, kMirelMic);
    case kPlayStream:
      return TargetActive(w, kBrisaPlay);
    case kSysStream:
      return TargetActive(w, kTovanSys);
    default:
      return false;
  }
}

// Lock held. False when the target takes nothing now.
bool BeginDelivery(World &w, Target t) {
  if (!TargetActive(w, t)) return false;
  if (t_world_thread && (w.manual || w.quit)) return false;
  ++w.inflight[t];
  if (t_world_thread) ++w.world_inflight;
  ++t_depth[t];
  return true;
}

// Lock held.
void EndDelivery(World &w, Target t) {
  --t_depth[t];
  --w.inflight[t];
  if (t_world_thread) --w.world_inflight;
  w.idle_cv.notify_all();
}

bool InsideAnyCallback() {
  for (int t = 0; t < kTargetCount; ++t)
    if (t_depth[t] > 0) return true;
  return false;
}

// Packs the voice flag into bit 0 of samples 0 and 1.
void PackVoiceFlag(int16_t *block, int flag) {
  block[0] = static_cast<int16_t>((block[0] & ~1) | (flag & 1));
  block[1] = static_cast<int16_t>((block[1] & ~1) | ((flag >> 1) & 1));
}

// One 20 ms microphone tick: the next block of the signal to the running
// capture target(s). Returns the number of deliveries.
int MicTick(World &w) {
  thread_local int16_t raw[kMicBlockSamples];
  thread_local int16_t cleaned[kMicBlockSamples];
  thread_local int16_t flagged[kMicBlockSamples];
  std::unique_lock<std::mutex> lk(w.mu);
  if (!TargetActive(w, kBrisaMic) && !TargetActive(w, kMirelMic)) return 0;
  if (t_world_thread && (w.manual || w.quit)) return 0;
  w.mic.Fill(raw, kMicBlockSamples);
  // The echo path adds what the loudspeaker plays; the voice path cancels it
  // and its voice detection decides (world_echo.cc).
  int cancel_voice = 0;
  const bool cancelled = EchoCapture(raw, kMicBlockSamples,
                                     TargetActive(w, kBrisaMic) ? cleaned : nullptr, &cancel_voice);
  const int16_t *voice_path = cancelled ? cleaned : raw;
  int flag = w.voice_mode;
  if (flag == HXSIM_VOICE_AUTO) flag = cancelled ? cancel_voice : w.vad.Update(raw, kMicBlockSamples);
  int delivered = 0;
  if (BeginDelivery(w, kBrisaMic)) {
    ++w.mic_blocks;
    hxsim_brisa_capture_fn cb = w.brisa_cb;
    void *user = w.brisa_user;
    lk.unlock();
    memcpy(flagged, voice_path, sizeof flagged);
    PackVoiceFlag(flagged, flag);
    cb(flagged, kMicBlockSamples, 0, user);
    lk.lock();
    EndDelivery(w, kBrisaMic);
    ++delivered;
  }
  if (BeginDelivery(w, kMirelMic)) {
    ++w.mic_blocks;
    hxsim_bytes_capture_fn cb = w.mirel_cb;
    lk.unlock();
    memcpy(flagged, raw, sizeof raw);  // fresh copy: the callee may write it
    cb(reinterpret_cast<uint8_t *>(flagged), static_cast<int32_t>(sizeof flagged));
    lk.lock();
    EndDelivery(w, kMirelMic);
    ++delivered;
  }
  return delivered;
}

int PlayTick(World &w) {
  std::unique_lock<std::mutex> lk(w.mu);
  if (!BeginDelivery(w, kBrisaPlay)) return 0;
  ++w.play_requests;
  int32_t no = w.next_request_no++;
  hxsim_brisa_play_request_fn cb = w.brisa_play_cb;
  lk.unlock();
  cb(no);
  lk.lock();
  EndDelivery(w, kBrisaPlay);
  return 1;
}

int SysTick(World &w) {
  thread_local int16_t block[kSysBlockSamples];
  std::unique_lock<std::mutex> lk(w.mu);
  if (!BeginDelivery(w, kTovanSys)) return 0;
  ++w.sys_blocks;
  w.sys.Fill(block, kSysBlockSamples);  // a fresh copy each time
  hxsim_bytes_capture_fn cb = w.tovan_cb;
  lk.unlock();
  cb(reinterpret_cast<uint8_t *>(block), static_cast<int32_t>(sizeof block));
  lk.lock();
  EndDelivery(w, kTovanSys);
  return 1;
}

int Tick(World &w, Stream s) {
  switch (s) {
    case kMicStream:
      return MicTick(w);
    case kPlayStream:
      return PlayTick(w);
    default:
      return SysTick(w);
  }
}

// One thread per stream on an absolute schedule: block k of a run is due at
// start + k * period, so callback time does not accumulate into drift. A
// thread that falls more than 100 ms behind starts a new schedule instead of
// delivering a burst.
void *StreamThread(void *arg) {
  const Stream s = static_cast<Stream>(reinterpret_cast<intptr_t>(arg));
  const std::chrono::duration<double> base_period(s == kMicStream ? 0.020 : 0.010);
  const auto max_lag = std::chrono::milliseconds(100);
  t_world_thread = true;
  static const char *const kNames[kStreamCount] = {"hxsim-mic", "hxsim-play", "hxsim-sys"};
  pthread_setname_np(pthread_self(), kNames[s]);
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  bool scheduled = false;
  Clock::time_point next;
  while (!w.quit) {
    // Play requests follow the render clock, which the echo path may let
    // drift against the capture clock.
    const auto period = std::chrono::duration_cast<Clock::duration>(
        s == kPlayStream ? base_period * EchoRenderPeriodScale() : base_period);
    if (w.manual || !StreamActive(w, s)) {
      scheduled = false;
      w.wake_cv.wait(lk);
      continue;
    }
    Clock::time_point now = Clock::now();
    if (!scheduled) {
      next = now + period;  // first block one period after the start
      scheduled = true;
    }
    if (now < next) {
      w.wake_cv.wait_until(lk, next);
      continue;
    }
    lk.unlock();
    Tick(w, s);
    lk.lock();
    next += period;
    if (Clock::now() - next > max_lag) next = Clock::now();
  }
  return nullptr;
}

void StartThreadsLocked(World &w) {
  for (int s = 0; s < kStreamCount; ++s) {
    int rc = pthread_create(&w.threads[s], nullptr, StreamThread,
                            reinterpret_cast<void *>(static_cast<intptr_t>(s)));
    if (rc != 0) {
      // Without threads the world still works in manual mode.
      for (int k = 0; k < s; ++k) pthread_detach(w.threads[k]);
      SetLastError("hxsim: cannot start world threads: %s", strerror(rc));
      return;
    }
  }
  w.threads_started = true;
}

// fork: the child has none of the parent's threads. Keep the world lock
// consistent across the fork and restart the threads in the child.
void AtForkPrepare() {
  TheWorld().mu.lock();
  TheWorld().played_mu.lock();
}
void AtForkParent() {
  TheWorld().played_mu.unlock();
  TheWorld().mu.unlock();
}
void AtForkChild() {
  World &w = TheWorld();
  for (int t = 0; t < kTargetCount; ++t) w.inflight[t] = t_depth[t];
  w.world_inflight = 0;
  bool had_threads = w.threads_started;
  w.threads_started = false;
#ifndef __SANITIZE_THREAD__
  // (ThreadSanitizer ends a child that starts threads after a fork of a
  // multi-threaded process; there the child keeps manual delivery only.)
  if (had_threads && !w.quit) StartThreadsLocked(w);
#else
  (void)had_threads;
#endif
  w.played_mu.unlock();
  w.mu.unlock();
}

__attribute__((constructor)) void RegisterForkHandlers() {
  TheWorld();
  pthread_atfork(AtForkPrepare, AtForkParent, AtForkChild);
}

// Ends the world threads when the library is unloaded or the process ends;
// waits at most 2 s for a thread stuck in a callback.
__attribute__((destructor)) void StopThreads() {
  World &w = TheWorld();
  pthread_t threads[kStreamCount];
  {
    std::lock_guard<std::mutex> lk(w.mu);
    if (!w.threads_started) return;
    w.quit = true;
    w.threads_started = false;
    memcpy(threads, w.threads, sizeof threads);
    w.wake_cv.notify_all();
  }
  for (int s = 0; s < kStreamCount; ++s) {
    if (pthread_equal(threads[s], pthread_self())) continue;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    if (pthread_timedjoin_np(threads[s], nullptr, &deadline) != 0) pthread_detach(threads[s]);
  }
}

}  // namespace

void EnsureThreads(World &w) {
  if (!w.threads_started && !w.quit) StartThreadsLocked(w);
  w.wake_cv.notify_all();
}

void WaitTargetsIdle(World &w, std::unique_lock<std::mutex> &lk, const Target *targets, int n) {
  for (int i = 0; i < n; ++i)
    if (t_depth[targets[i]] > 0) return;  // stop from inside its own callback
  w.idle_cv.wait(lk, [&] {
    for (int i = 0; i < n; ++i)
      if (w.inflight[targets[i]] > 0) return false;
    return true;
  });
}

}  // namespace hxsim

using namespace hxsim;

extern "C" {

void hxsim_set_manual(int manual) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  w.manual = manual != 0;
  w.wake_cv.notify_all();
  if (!w.manual) {
    EnsureThreads(w);
    return;
  }
  // On return no world thread is inside a callback (unless the caller is in
  // one: waiting could then deadlock).
  if (!t_world_thread && !InsideAnyCallback())
    w.idle_cv.wait(lk, [&] { return w.world_inflight == 0; });
}

}  // extern "C"

namespace {
// Hands caller-chosen bytes to a byte-block capture that is running.
int32_t DeliverBytes(Target t, int64_t World::*counter, hxsim_bytes_capture_fn World::*cb_field,
                     uint8_t *data, int32_t len) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  if (!BeginDelivery(w, t)) return 0;
  ++(w.*counter);
  hxsim_bytes_capture_fn cb = w.*cb_field;
  lk.unlock();
  cb(data, len);
  lk.lock();
  EndDelivery(w, t);
  return 1;
}
}  // namespace

extern "C" {

int32_t hxsim_pump_mic(int32_t n) {
  int32_t total = 0;
  for (int32_t i = 0; i < n; ++i) total += MicTick(TheWorld());
  return total;
}

int32_t hxsim_pump_sys(int32_t n) {
  int32_t total = 0;
  for (int32_t i = 0; i < n; ++i) total += SysTick(TheWorld());
  return total;
}

int32_t hxsim_pump_play_requests(int32_t n) {
  int32_t total = 0;
  for (int32_t i = 0; i < n; ++i) total += PlayTick(TheWorld());
  return total;
}

int32_t hxsim_deliver_brisa_block(int16_t *samples, int16_t count) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  if (!BeginDelivery(w, kBrisaMic)) return 0;
  ++w.mic_blocks;
  hxsim_brisa_capture_fn cb = w.brisa_cb;
  void *user = w.brisa_user;
  lk.unlock();
  cb(samples, count, 0, user);
  lk.lock();
  EndDelivery(w, kBrisaMic);
  return 1;
}

int32_t hxsim_deliver_mirel_bytes(uint8_t *data, int32_t len) {
  return DeliverBytes(kMirelMic, &World::mic_blocks, &World::mirel_cb, data, len);
}

int32_t hxsim_deliver_tovan_bytes(uint8_t *data, int32_t len) {
  return DeliverBytes(kTovanSys, &World::sys_blocks, &World::tovan_cb, data, len);
}

}  // extern "C"
