// The echo path of the simulated voice path and its echo canceller: the
// loudspeaker plays what BrisaApi_PutPlayData receives, the microphone hears
// it back (world_echo_path.h), and the voice path cancels it on its capture
// with the shared component (echo/hx_echo.h), reporting the stream delay it
// knows. Also the store of what the microphone heard and the stepped call.
#include "world_echo.h"

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "world_echo_path.h"
#include "world_internal.h"

namespace hxsim {

namespace {

constexpr size_t kHeardCapacity = 60u * 16000u;  // the newest 60 s

struct EchoWorld {
  std::mutex mu;
  std::condition_variable put_cv;  // a far-end block was handed over
  hxsim_echo_path cfg{};           // all zero: off
  EchoPath path;
  bool speaking = false;           // the loudspeaker runs (Brisa started)
  hx_echo *canceller = nullptr;    // of the current loudspeaker session
  bool canceller_failed = false;
  const char *canceller_error = nullptr;  // static text from hx_echo_create
  int32_t stream_delay_ms = 0;
  hx_echo_stats last_stats{};      // kept when the session ends
  int64_t puts = 0;                // BrisaApi_PutPlayData calls ever
  double render_due = 0;           // stepped call: play requests owed (fraction)
  // What the microphone heard and the echo in it (rings).
  std::vector<int16_t> heard, echo;
  size_t heard_head = 0, heard_count = 0;
};

EchoWorld &Echo() {
  static EchoWorld *echo = new EchoWorld;  // never destroyed, like the world
  return *echo;
}

// Echo lock held.
void EndSession(EchoWorld &x) {
  if (x.canceller) {
    hx_echo_get_stats(x.canceller, &x.last_stats);
    hx_echo_destroy(x.canceller);
    x.canceller = nullptr;
  }
  x.path.Reset();
  x.render_due = 0;
}

// Echo lock held.
void Record(EchoWorld &x, const int16_t *heard, const int16_t *echo, int n) {
  if (x.heard.empty()) {
    x.heard.resize(kHeardCapacity);
    x.echo.resize(kHeardCapacity);
  }
  for (int i = 0; i < n; ++i) {
    const size_t at = (x.heard_head + x.heard_count) % kHeardCapacity;
    x.heard[at] = heard[i];
    x.echo[at] = echo[i];
    if (x.heard_count < kHeardCapacity) ++x.heard_count;
    else x.heard_head = (x.heard_head + 1) % kHeardCapacity;
  }
}

const char *Invalid(const hxsim_echo_path &p) {
  if (p.delay_ms < 0 || p.delay_ms > 300) return "delay_ms must be 0..300";
  if (!(p.gain_db >= -60 && p.gain_db <= 10)) return "gain_db must be -60..10";
  if (!(p.drift_ppm >= -1000 && p.drift_ppm <= 1000)) return "drift_ppm must be -1000..1000";
  if (p.room != 0 && p.room != 1) return "room must be 0 or 1";
  if (!(p.rt60_s == 0 || (p.rt60_s >= 0.05 && p.rt60_s <= 2))) return "rt60_s must be 0 or 0.05..2";
  if (!(p.speaker_drive_db >= 0 && p.speaker_drive_db <= 40)) return "speaker_drive_db must be 0..40";
  if (!(p.noise_dbfs == 0 || (p.noise_dbfs >= -100 && p.noise_dbfs <= -20)))
    return "noise_dbfs must be 0 or -100..-20";
  if (p.quiet_ms < 0 || p.quiet_ms > 5000) return "quiet_ms must be 0..5000";
  if (p.quiet_lsb < 0 || p.quiet_lsb > 16) return "quiet_lsb must be 0..16";
  return nullptr;
}

// fork: the child gets the echo lock free. Registered before the world's
// own handlers (higher constructor priority), so it is taken after the
// world lock and the played-audio lock, in the lock order.
__attribute__((constructor(200))) void RegisterEchoForkHandlers() {
  Echo();
  pthread_atfork([] { Echo().mu.lock(); }, [] { Echo().mu.unlock(); },
                 [] { Echo().mu.unlock(); });
}

}  // namespace

void EchoReset() {
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  EndSession(x);
  x.cfg = hxsim_echo_path{};
  x.canceller_failed = false;
  x.canceller_error = nullptr;
  x.stream_delay_ms = 0;
  x.last_stats = hx_echo_stats{};
  x.heard_head = x.heard_count = 0;
}

void EchoSpeaker(bool on) {
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  if (on == x.speaking) return;
  x.speaking = on;
  if (!on) EndSession(x);
}

void EchoRender(const int16_t *stereo, int32_t count) {
  EchoWorld &x = Echo();
  {
    std::lock_guard<std::mutex> lk(x.mu);
    ++x.puts;
    if (x.speaking && x.cfg.enabled && stereo && count > 0) {
      x.path.Render(stereo, count / 2);
      if (x.canceller) hx_echo_reverse(x.canceller, stereo, count / 2);
    }
  }
  x.put_cv.notify_all();
}

bool EchoCapture(int16_t *mic, int n, int16_t *cleaned, int *voice) {
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  if (!x.cfg.enabled || !x.speaking) return false;
  int16_t echo[kMicBlockSamples];
  if (n > kMicBlockSamples) n = kMicBlockSamples;
  x.path.Capture(mic, echo, n);
  Record(x, mic, echo, n);
  x.stream_delay_ms = x.path.StreamDelayMs();
  if (!cleaned || !x.cfg.cancel || n != HX_ECHO_BLOCK) return false;
  if (!x.canceller && !x.canceller_failed) {
    // A session's canceller starts with the first block it captures; the
    // far end queued before it was played to nobody it could hear.
    x.canceller = hx_echo_create(nullptr, &x.canceller_error);
    x.canceller_failed = x.canceller == nullptr;
  }
  if (!x.canceller) return false;
  int32_t v = 0;
  hx_echo_capture(x.canceller, mic, n, x.stream_delay_ms, cleaned, &v);
  *voice = v;
  return true;
}

double EchoRenderPeriodScale() {
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  return x.cfg.enabled ? 1.0 / (1.0 + x.cfg.drift_ppm * 1e-6) : 1.0;
}

}  // namespace hxsim

using namespace hxsim;

extern "C" {

void hxsim_default_echo_path(hxsim_echo_path *p) {
  if (!p) return;
  *p = hxsim_echo_path{};
  p->enabled = 1;
  p->delay_ms = 60;
  p->gain_db = -6;
  p->room = 1;
  p->drift_ppm = 0;
  p->cancel = 1;
}

int32_t hxsim_set_echo_path(const hxsim_echo_path *p) {
  if (!p) {
    SetLastError("hxsim_set_echo_path: no settings");
    return -1;
  }
  if (const char *why = Invalid(*p)) {
    SetLastError("hxsim_set_echo_path: %s", why);
    return -1;
  }
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  const bool was_on = x.cfg.enabled != 0;
  if (!p->enabled || !p->cancel) {  // no canceller from now on
    if (x.canceller) hx_echo_get_stats(x.canceller, &x.last_stats);
    hx_echo_destroy(x.canceller);
    x.canceller = nullptr;
  }
  if (!p->enabled) x.path.Reset();
  x.cfg = *p;
  if (p->enabled) {
    x.path.Configure(*p);
    if (!was_on) x.path.Reset();  // switched on mid-session: start silent
  }
  x.canceller_failed = false;
  x.canceller_error = nullptr;
  return 0;
}

void hxsim_get_echo_path(hxsim_echo_path *p) {
  if (!p) return;
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  *p = x.cfg;
}

size_t hxsim_take_mic_heard(int16_t *heard, int16_t *echo, size_t max_samples) {
  if (!heard) return 0;
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  const size_t n = std::min(max_samples, x.heard_count);
  for (size_t i = 0; i < n; ++i) {
    const size_t at = (x.heard_head + i) % kHeardCapacity;
    heard[i] = x.heard[at];
    if (echo) echo[i] = x.echo[at];
  }
  x.heard_head = (x.heard_head + n) % kHeardCapacity;
  x.heard_count -= n;
  return n;
}

void hxsim_get_echo_status(hxsim_echo_status *st) {
  if (!st) return;
  EchoWorld &x = Echo();
  std::lock_guard<std::mutex> lk(x.mu);
  *st = hxsim_echo_status{};
  st->stream_delay_ms = x.stream_delay_ms;
  st->underruns = x.path.underruns();
  st->overflows = x.path.overflows();
  st->canceller_running = x.canceller != nullptr;
  st->canceller_failed = x.canceller_failed;
  st->canceller_error = x.canceller_error;
  st->canceller = x.last_stats;
  if (x.canceller) hx_echo_get_stats(x.canceller, &st->canceller);
}

int32_t hxsim_pump_call(int32_t n, int32_t timeout_ms) {
  EchoWorld &x = Echo();
  int32_t done = 0;
  for (int32_t i = 0; i < n; ++i) {
    int due = 0;
    int64_t puts = 0;
    {
      std::lock_guard<std::mutex> lk(x.mu);
      const double drift = x.cfg.enabled ? x.cfg.drift_ppm * 1e-6 : 0;
      x.render_due += 2 * (1 + drift);  // 10 ms requests per 20 ms block, render clock
      due = static_cast<int>(x.render_due);
      x.render_due -= due;
      puts = x.puts;
    }
    const int32_t asked = hxsim_pump_play_requests(due);
    {
      std::unique_lock<std::mutex> lk(x.mu);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      if (!x.put_cv.wait_until(lk, deadline, [&] { return x.puts >= puts + asked; })) {
        SetLastError("hxsim_pump_call: no far end handed over within %d ms", timeout_ms);
        return -1;
      }
    }
    done += hxsim_pump_mic(1) > 0;
  }
  return done;
}

}  // extern "C"
