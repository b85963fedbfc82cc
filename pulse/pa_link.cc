#include "pulse/pa_link.h"

#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "pulse/monotonic.h"

namespace hxpa {

bool PaLink::Start(const char *client_name, PaLinkClient *client) {
  Stop();
  snprintf(name_, sizeof name_, "%s", client_name);
  client_ = client;
  loop_ = pa_mainloop_new();
  if (!loop_) return false;
  api_ = pa_mainloop_get_api(loop_);
  pa_mainloop_set_poll_func(loop_, Poll, this);
  struct timeval never = {0, 0};
  timer_ = api_->time_new(api_, &never, OnTimer, this);
  if (timer_) api_->time_restart(timer_, nullptr);  // disabled until armed
  Lock();  // the thread waits for the first connection attempt
  if (!timer_ || pthread_create(&thread_, nullptr, Run, this) != 0) {
    Unlock();
    if (timer_) api_->time_free(timer_);
    timer_ = nullptr;
    pa_mainloop_free(loop_);
    loop_ = nullptr;
    return false;
  }
  pthread_setname_np(thread_, client_name);
  Connect();
  Unlock();
  return true;
}

void *PaLink::Run(void *self_) {
  auto *self = static_cast<PaLink *>(self_);
  self->Lock();
  while (pa_mainloop_iterate(self->loop_, 1, nullptr) >= 0) {
  }
  self->Unlock();
  return nullptr;
}

// The main loop's wait, entered and left with the lock held. While the
// client's quiet time lasts, only the loop's own wakeup pipe (first in fds:
// the main loop puts it there) and the timeout end the wait; what is
// already ready is taken first (a look that never sleeps), so nothing
// queued is held back. The server's messages that came meanwhile are seen
// together afterwards. After a hold the loop takes what is queued with such
// looks; once one finds nothing it is listening: what it reads from then on
// came while it waited.
int PaLink::Poll(struct pollfd *fds, unsigned long n, int timeout_ms, void *self_) {
  auto *self = static_cast<PaLink *>(self_);
  const double quiet = self->ready() ? self->client_->QuietUntil() : 0;
  self->Unlock();
  int r = 0;
  if (quiet > 0 && n > 1) {
    double hold = std::min(quiet - MonotonicSeconds(), kMaxQuietSeconds);
    if (timeout_ms >= 0) hold = std::min(hold, timeout_ms / 1000.0);
    if (hold > 0) {
      self->listening_ = false;
      r = poll(fds, n, 0);
      if (r == 0) {
        struct timespec ts;
        ts.tv_sec = (time_t)hold;
        ts.tv_nsec = (long)((hold - (double)ts.tv_sec) * 1e9);
        r = ppoll(fds, 1, &ts, nullptr);
        for (unsigned long i = 1; i < n; ++i) fds[i].revents = 0;
        if (timeout_ms > 0) timeout_ms = std::max(0, timeout_ms - (int)ceil(hold * 1000));
      }
    }
    if (r == 0 && !self->listening_) {
      r = poll(fds, n, 0);
      if (r == 0) self->listening_ = true;
    }
  }
  if (r == 0) r = poll(fds, n, timeout_ms);
  self->Lock();
  return r;
}

void PaLink::Stop() {
  if (!loop_) return;
  Lock();
  ready_.store(false, std::memory_order_release);
  if (ctx_) {
    pa_context_set_state_callback(ctx_, nullptr, nullptr);
    pa_context_disconnect(ctx_);
    pa_context_unref(ctx_);
    ctx_ = nullptr;
  }
  if (timer_) api_->time_free(timer_);
  timer_ = nullptr;
  pa_mainloop_quit(loop_, 0);  // wakes the loop, which ends
  Unlock();
  pthread_join(thread_, nullptr);
  pa_mainloop_free(loop_);
  loop_ = nullptr;
  api_ = nullptr;
  dead_ = false;
}

void PaLink::Poke() {
  if (ctx_ && ready() && client_->OnTick(ctx_)) Arm(kTickMs);
}

void PaLink::RequestTick() {
  if (ready()) Arm(kTickMs);
}

void PaLink::Arm(int ms) {
  struct timeval tv;
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, (pa_usec_t)ms * PA_USEC_PER_MSEC);
  api_->time_restart(timer_, &tv);
}

// NOAUTOSPAWN: a library never starts a server of its own. The server is
// the one libpulse finds (PULSE_SERVER, then the user's runtime folder).
void PaLink::Connect() {
  dead_ = false;
  ctx_ = pa_context_new(api_, name_);
  if (ctx_) {
    pa_context_set_state_callback(ctx_, OnState, this);
    if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      Arm(kConnectLimitMs);
      return;
    }
  }
  failures_.fetch_add(1, std::memory_order_acq_rel);
  dead_ = true;
  Arm(kRetryMs);
}

void PaLink::OnState(pa_context *c, void *self_) {
  auto *self = static_cast<PaLink *>(self_);
  switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
      self->ready_.store(true, std::memory_order_release);
      self->client_->OnReady(c);
      self->Arm(kTickMs);
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      if (self->ready_.exchange(false, std::memory_order_acq_rel)) self->client_->OnLost();
      else self->failures_.fetch_add(1, std::memory_order_acq_rel);
      // The context is released at the timer, outside its own callback.
      self->dead_ = true;
      self->Arm(kRetryMs);
      break;
    default:
      break;
  }
}

// One timer: the retry after a failure, the deadline of an attempt under
// way, and the tick while ready and wanted.
void PaLink::OnTimer(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self_) {
  auto *self = static_cast<PaLink *>(self_);
  if (self->ready()) {
    if (self->client_->OnTick(self->ctx_)) self->Arm(kTickMs);
    else self->api_->time_restart(self->timer_, nullptr);
    return;
  }
  if (self->ctx_) {  // failed, or still not ready at its deadline
    if (!self->dead_) self->failures_.fetch_add(1, std::memory_order_acq_rel);
    pa_context_set_state_callback(self->ctx_, nullptr, nullptr);
    pa_context_disconnect(self->ctx_);
    pa_context_unref(self->ctx_);
    self->ctx_ = nullptr;
  }
  self->Connect();
}

int StreamLatencyMs(pa_stream *s) {
  pa_usec_t usec = 0;
  int negative = 0;
  if (!s || pa_stream_get_latency(s, &usec, &negative) < 0 || negative) return 0;
  return (int)(usec / PA_USEC_PER_MSEC);
}

}  // namespace hxpa
