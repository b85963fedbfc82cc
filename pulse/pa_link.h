// A library's own connection to the sound server: a PulseAudio threaded
// main loop and a context that connects, and reconnects after the server
// goes away, on the main-loop thread. No call here waits for the server.
#ifndef HX_PULSE_PA_LINK_H
#define HX_PULSE_PA_LINK_H

#include <pulse/pulseaudio.h>

#include <atomic>

namespace hxpa {

// What a library does with the connection. Every hook runs on the
// main-loop thread with the main-loop lock held.
class PaLinkClient {
 public:
  virtual ~PaLinkClient() = default;
  // The context is ready (again): subscribe, open streams.
  virtual void OnReady(pa_context *c) = 0;
  // The context is gone: every stream of it is dead and must be released.
  virtual void OnLost() = 0;
  // Every kTickMs while ready: re-open what should be open.
  virtual void OnTick(pa_context *c) = 0;
};

class PaLink {
 public:
  static constexpr int kRetryMs = 250;         // between connection attempts
  static constexpr int kConnectLimitMs = 2000;  // an attempt that takes longer is abandoned
  static constexpr int kTickMs = 250;

  ~PaLink() { Stop(); }

  // Creates the main loop, starts its thread and the first connection
  // attempt. false only when the loop cannot be created or started.
  bool Start(const char *client_name, PaLinkClient *client);
  // Disconnects, ends the main-loop thread and frees everything. Call it
  // without the lock, never on the main-loop thread. Hooks do not run after
  // it returns.
  void Stop();

  void Lock() { pa_threaded_mainloop_lock(loop_); }
  void Unlock() { pa_threaded_mainloop_unlock(loop_); }
  bool started() const { return loop_ != nullptr; }
  // Any thread.
  bool ready() const { return ready_.load(std::memory_order_acquire); }
  // Connection attempts that ended without a ready context.
  int failures() const { return failures_.load(std::memory_order_acquire); }
  // Lock held: the ready context, else null.
  pa_context *context() const { return ready() ? ctx_ : nullptr; }
  // Lock held: runs the client's tick now (e.g. after a change of wishes).
  void Poke();

 private:
  static void OnState(pa_context *c, void *self);
  static void OnTimer(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self);
  void Connect();
  void Arm(int ms);

  pa_threaded_mainloop *loop_ = nullptr;
  pa_mainloop_api *api_ = nullptr;
  pa_context *ctx_ = nullptr;
  pa_time_event *timer_ = nullptr;
  PaLinkClient *client_ = nullptr;
  char name_[64] = {};
  std::atomic<bool> ready_{false};
  std::atomic<int> failures_{0};
  bool dead_ = false;  // ctx_ failed: release it and retry at the next timer
};

// Lock held: latency of a stream in whole milliseconds, 0 when unknown.
int StreamLatencyMs(pa_stream *s);

}  // namespace hxpa

#endif
