// The world singleton, its configuration, the call log, the status and the
// store of played far-end audio.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "world_echo.h"
#include "world_internal.h"

namespace hxsim {

namespace {
constexpr size_t kCallLogLimit = 4u << 20;  // keep the newest ~4 MB of lines
thread_local char t_last_error[512] = "";
}  // namespace

World &TheWorld() {
  // Never destroyed: world threads and late library calls may still reach it
  // while the process ends.
  static World *world = new World;
  return *world;
}

void LogCall(World &w, const char *fmt, ...) {
  char line[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  w.call_log += line;
  if (w.call_log.size() > kCallLogLimit) {
    size_t cut = w.call_log.find('\n', w.call_log.size() - kCallLogLimit / 2);
    w.call_log.erase(0, cut == std::string::npos ? w.call_log.size() : cut + 1);
  }
}

void SetLastError(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(t_last_error, sizeof t_last_error, fmt, ap);
  va_end(ap);
}

const char *LastError() { return t_last_error; }

}  // namespace hxsim

using namespace hxsim;

extern "C" {

void hxsim_reset(void) {
  World &w = TheWorld();
  {
    std::lock_guard<std::mutex> lk(w.mu);
    w.manual = false;
    w.render_endpoints = 1;
    w.capture_endpoints = 1;
    w.fail_step = HXSIM_FAIL_NONE;
    w.fail_hresult = 0;
    w.os_major = 10;
    w.os_minor = 0;
    w.os_build = 19045;
    w.mic.Set(nullptr, 0, false);
    w.sys.Set(nullptr, 0, false);
    w.voice_mode = HXSIM_VOICE_AUTO;
    w.vad = VoiceDetector();
    w.brisa_init_result = 1;
    w.mirel_init_result = 1;
    w.tovan_init_result = 0;
    w.switch_value = 0;
    if (w.switch_var) __atomic_store_n(w.switch_var, 0, __ATOMIC_SEQ_CST);
    w.call_log.clear();
    w.mic_blocks = w.sys_blocks = w.play_requests = 0;
    // Objects handed out before stay valid and releasable, but no longer
    // count as alive.
    ++w.epoch;
    w.objects_alive = 0;
    w.bad_releases = 0;
    w.wake_cv.notify_all();
  }
  {
    std::lock_guard<std::mutex> lk(w.played_mu);
    w.played_head = w.played_count = 0;
    w.put_play_calls = w.put_play_samples = 0;
  }
  EchoReset();
}

void hxsim_set_endpoints(uint32_t render, uint32_t capture) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.render_endpoints = render;
  w.capture_endpoints = capture;
}

void hxsim_get_endpoints(uint32_t *render, uint32_t *capture) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  if (render) *render = w.render_endpoints;
  if (capture) *capture = w.capture_endpoints;
}

void hxsim_fail_device_api(int32_t step, int32_t hresult) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.fail_step = step;
  w.fail_hresult = hresult;
}

int32_t hxsim_device_objects_alive(void) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  return w.objects_alive;
}

int32_t hxsim_device_bad_releases(void) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  return w.bad_releases;
}

void hxsim_set_os_version(uint32_t major, uint32_t minor, uint32_t build) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.os_major = major;
  w.os_minor = minor;
  w.os_build = build;
}

void hxsim_set_brisa_init_result(int32_t result) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.brisa_init_result = result;
}

void hxsim_set_mirel_init_result(int32_t result) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.mirel_init_result = result;
}

void hxsim_set_tovan_init_result(int32_t result) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.tovan_init_result = result;
}

void hxsim_set_brisa_switch_to_wave(int32_t value) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.switch_value = value;
  if (w.switch_var) __atomic_store_n(w.switch_var, value, __ATOMIC_SEQ_CST);
}

int32_t hxsim_get_brisa_switch_to_wave(void) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  return w.switch_var ? __atomic_load_n(w.switch_var, __ATOMIC_SEQ_CST) : w.switch_value;
}

int32_t hxsim_brisa_loaded(void) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  return w.switch_var != nullptr;
}

void hxsim_bk_brisa_attach_switch(int32_t *var) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.switch_var = var;
  __atomic_store_n(var, w.switch_value, __ATOMIC_SEQ_CST);
}

void hxsim_bk_brisa_detach_switch(int32_t *var) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  if (w.switch_var != var) return;
  w.switch_value = __atomic_load_n(var, __ATOMIC_SEQ_CST);
  w.switch_var = nullptr;
}

const char *hxsim_last_error(void) { return LastError(); }

void hxsim_get_status(hxsim_status *st) {
  if (!st) return;
  World &w = TheWorld();
  {
    std::lock_guard<std::mutex> lk(w.mu);
    st->brisa_initialised = w.brisa_initialised;
    st->brisa_started = w.brisa_initialised ? w.brisa_started : 0;
    st->brisa_play_channel = w.brisa_initialised && w.brisa_channel_added;
    st->mirel_running = w.mirel_running;
    st->tovan_running = w.tovan_running;
    st->mic_blocks = w.mic_blocks;
    st->sys_blocks = w.sys_blocks;
    st->play_requests = w.play_requests;
  }
  std::lock_guard<std::mutex> lk(w.played_mu);
  st->put_play_calls = w.put_play_calls;
  st->put_play_samples = w.put_play_samples;
}

size_t hxsim_call_log(char *buf, size_t cap) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  size_t len = w.call_log.size();
  if (buf && cap > 0) {
    size_t n = std::min(len, cap - 1);
    memcpy(buf, w.call_log.data(), n);
    buf[n] = '\0';
  }
  return len;
}

void hxsim_clear_call_log(void) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.call_log.clear();
}

size_t hxsim_take_played(int16_t *dst, size_t max_samples) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.played_mu);
  size_t n = std::min(max_samples, w.played_count);
  if (!dst) n = 0;
  size_t tail = (w.played_head + kPlayedCapacity - w.played_count) % kPlayedCapacity;
  for (size_t i = 0; i < n;) {
    size_t run = std::min(n - i, kPlayedCapacity - tail);
    memcpy(dst + i, w.played.data() + tail, run * sizeof(int16_t));
    i += run;
    tail = (tail + run) % kPlayedCapacity;
  }
  w.played_count -= n;
  return n;
}

// Accepted at any time after the library is loaded, whatever its state.
int32_t hxsim_bk_brisa_put_play_data(int32_t channel, const int16_t *samples, int32_t count) {
  (void)channel;
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.played_mu);
  ++w.put_play_calls;
  if (!samples || count <= 0) {
    lk.unlock();
    EchoRender(nullptr, 0);  // counted all the same
    return 0;
  }
  w.put_play_samples += count;
  if (w.played.empty()) w.played.resize(kPlayedCapacity);
  size_t n = static_cast<size_t>(count);
  if (n > kPlayedCapacity) {  // only the newest part fits
    samples += n - kPlayedCapacity;
    n = kPlayedCapacity;
  }
  for (size_t i = 0; i < n;) {
    size_t run = std::min(n - i, kPlayedCapacity - w.played_head);
    memcpy(w.played.data() + w.played_head, samples + i, run * sizeof(int16_t));
    i += run;
    w.played_head = (w.played_head + run) % kPlayedCapacity;
  }
  w.played_count = std::min(kPlayedCapacity, w.played_count + n);
  lk.unlock();
  EchoRender(samples, count);  // the loudspeaker and the canceller's reverse stream
  return 0;
}

}  // extern "C"
