#include "pulse/pa_stream.h"

#include "pulse/monotonic.h"
#include "pulse/pa_link.h"

namespace hxpa {

double PaStream::age_s() const {
  const double opened = opened_.load(std::memory_order_relaxed);
  return opened > 0 ? MonotonicSeconds() - opened : 0;
}

bool PaStream::OpenRecord(pa_context *c, const StreamSpec &spec, ReadFn read, FailFn on_fail,
                          void *arg) {
  Close();
  read_ = read;
  on_fail_ = on_fail;
  arg_ = arg;
  return Connect(c, spec, true);
}

bool PaStream::OpenPlayback(pa_context *c, const StreamSpec &spec, FillFn fill, FailFn on_fail,
                            void *arg) {
  Close();
  fill_ = fill;
  on_fail_ = on_fail;
  arg_ = arg;
  return Connect(c, spec, false);
}

// Channels pass 1:1 (NO_REMIX_CHANNELS): a stereo stream is never up- or
// down-mixed, so a silent left channel stays silent on both sides of the
// server. A mono stream keeps the server's downmix: without it a mono
// stream from a stereo source would match no channel and stay silent.
bool PaStream::Connect(pa_context *c, const StreamSpec &spec, bool record) {
  pa_channel_map map;
  pa_channel_map_init_auto(&map, spec.ss.channels, PA_CHANNEL_MAP_DEFAULT);
  s_ = pa_stream_new(c, spec.name, &spec.ss, &map);
  if (!s_) return false;
  opened_.store(MonotonicSeconds(), std::memory_order_relaxed);
  pa_stream_set_state_callback(s_, OnState, this);
  pa_buffer_attr attr;
  attr.maxlength = (uint32_t)-1;
  attr.fragsize = (uint32_t)-1;
  attr.tlength = (uint32_t)-1;
  attr.prebuf = (uint32_t)-1;
  attr.minreq = (uint32_t)-1;
  auto flags = (pa_stream_flags_t)(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                   PA_STREAM_INTERPOLATE_TIMING);
  if (spec.ss.channels > 1) flags = (pa_stream_flags_t)(flags | PA_STREAM_NO_REMIX_CHANNELS);
  int r;
  if (record) {
    attr.fragsize = spec.period_bytes;
    pa_stream_set_read_callback(s_, OnRead, this);
    r = pa_stream_connect_record(s_, spec.device[0] ? spec.device : nullptr, &attr, flags);
  } else {
    attr.tlength = spec.target_bytes;
    attr.minreq = spec.period_bytes;
    attr.prebuf = spec.period_bytes;
    pa_stream_set_write_callback(s_, OnWrite, this);
    r = pa_stream_connect_playback(s_, spec.device[0] ? spec.device : nullptr, &attr, flags, nullptr, nullptr);
  }
  if (r < 0) {
    Close();
    return false;
  }
  return true;
}

void PaStream::Close() {
  if (!s_) return;
  pa_stream_set_state_callback(s_, nullptr, nullptr);
  pa_stream_set_read_callback(s_, nullptr, nullptr);
  pa_stream_set_write_callback(s_, nullptr, nullptr);
  pa_stream_disconnect(s_);
  pa_stream_unref(s_);
  s_ = nullptr;
  latency_ms_.store(0, std::memory_order_relaxed);
  opened_.store(0, std::memory_order_relaxed);
}

bool PaStream::Check() {
  if (!s_) return false;
  pa_stream_state_t st = pa_stream_get_state(s_);
  if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) {
    Close();
    return false;
  }
  return true;
}

void PaStream::OnState(pa_stream *s, void *self_) {
  auto *self = static_cast<PaStream *>(self_);
  pa_stream_state_t st = pa_stream_get_state(s);
  if ((st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) && self->on_fail_)
    self->on_fail_(self->arg_);
}

void PaStream::OnRead(pa_stream *s, size_t, void *self_) {
  auto *self = static_cast<PaStream *>(self_);
  const void *data;
  size_t n;
  while (pa_stream_peek(s, &data, &n) >= 0 && n > 0) {
    self->read_(self->arg_, data, n);
    pa_stream_drop(s);
  }
  self->KeepLatency(s);
}

// A latency of 0 is no latency: the server reports it before timing
// arrives and when a stream underran (its queue went negative), and under
// load it can read so for seconds while the device plays with its usual
// delay. The last known latency stands instead.
void PaStream::KeepLatency(pa_stream *s) {
  if (const int ms = StreamLatencyMs(s)) latency_ms_.store(ms, std::memory_order_relaxed);
}

void PaStream::OnWrite(pa_stream *s, size_t n, void *self_) {
  auto *self = static_cast<PaStream *>(self_);
  while (n > 0) {
    void *buf = nullptr;
    size_t len = n;
    if (pa_stream_begin_write(s, &buf, &len) < 0 || !buf || len == 0) break;
    if (len > n) len = n;
    self->fill_(self->arg_, static_cast<uint8_t *>(buf), len);
    if (pa_stream_write(s, buf, len, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
    n -= len;
  }
  self->KeepLatency(s);
}

}  // namespace hxpa
