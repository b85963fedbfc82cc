// A library's own connection to the sound server: a PulseAudio main loop on
// a thread of its own and a context that connects, and reconnects after the
// server goes away, on that thread. No call here waits for the server.
//
// The loop runs under a recursive mutex that it releases while it waits.
// Before it waits, it asks its client until when nothing is due
// (QuietUntil): until then it leaves the server's messages queued, and
// wakes only for the other threads (Lock, Stop) and its own timers. A
// capture stream whose server sends a block in several pieces then wakes
// the loop once per block instead of once per piece. After a hold, once
// nothing is left queued, the loop is listening (listening()).
#ifndef HX_PULSE_PA_LINK_H
#define HX_PULSE_PA_LINK_H

#include <pulse/pulseaudio.h>

#include <pthread.h>

#include <atomic>
#include <mutex>

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
  // kTickMs after the context became ready, after a RequestTick, and again
  // while it returns true: re-open what should be open. A connection whose
  // client has nothing to re-open wakes no thread.
  virtual bool OnTick(pa_context *c) = 0;
  // Monotonic seconds until which the loop need not look at the server's
  // messages; 0 (or a past time): look now.
  virtual double QuietUntil() { return 0; }
};

class PaLink {
 public:
  static constexpr int kRetryMs = 250;         // between connection attempts
  static constexpr int kConnectLimitMs = 2000;  // an attempt that takes longer is abandoned
  static constexpr int kTickMs = 250;
  static constexpr double kMaxQuietSeconds = 0.025;  // the longest a client can hold the messages

  ~PaLink() { Stop(); }

  // Creates the main loop, starts its thread and the first connection
  // attempt. false only when the loop cannot be created or started.
  bool Start(const char *client_name, PaLinkClient *client);
  // Disconnects, ends the main-loop thread and frees everything. Call it
  // without the lock, never on the main-loop thread. Hooks do not run after
  // it returns.
  void Stop();

  // Recursive: a hook may lock again.
  void Lock() { mu_.lock(); }
  void Unlock() { mu_.unlock(); }
  bool started() const { return loop_ != nullptr; }
  // Any thread.
  bool ready() const { return ready_.load(std::memory_order_acquire); }
  // Connection attempts that ended without a ready context.
  int failures() const { return failures_.load(std::memory_order_acquire); }
  // Lock held: the ready context, else null.
  pa_context *context() const { return ready() ? ctx_ : nullptr; }
  // Main-loop thread: whether the loop found nothing queued since its last
  // hold ended, so that what it reads now came while it waited rather than
  // while it held.
  bool listening() const { return listening_; }
  // Lock held: runs the client's tick now (e.g. after a change of wishes).
  void Poke();
  // Lock held: a tick kTickMs from now (e.g. a stream failed and is to be
  // opened again), unless the link is between connection attempts.
  void RequestTick();

 private:
  static void *Run(void *self);
  static int Poll(struct pollfd *fds, unsigned long n, int timeout_ms, void *self);
  static void OnState(pa_context *c, void *self);
  static void OnTimer(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self);
  void Connect();
  void Arm(int ms);

  std::recursive_mutex mu_;
  pa_mainloop *loop_ = nullptr;
  pthread_t thread_{};
  pa_mainloop_api *api_ = nullptr;
  pa_context *ctx_ = nullptr;
  pa_time_event *timer_ = nullptr;
  PaLinkClient *client_ = nullptr;
  char name_[64] = {};
  std::atomic<bool> ready_{false};
  std::atomic<int> failures_{0};
  bool dead_ = false;  // ctx_ failed: release it and retry at the next timer
  bool listening_ = false;  // main-loop thread
};

// Lock held: latency of a stream in whole milliseconds, 0 when unknown.
int StreamLatencyMs(pa_stream *s);

}  // namespace hxpa

#endif
