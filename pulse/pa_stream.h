// One record or playback stream of a library's context. Everything here runs
// with the main-loop lock held. A stream that fails (device gone, server
// gone) is released at the library's next tick and opened again while it
// is still wanted.
#ifndef HX_PULSE_PA_STREAM_H
#define HX_PULSE_PA_STREAM_H

#include <pulse/pulseaudio.h>

#include <atomic>

namespace hxpa {

struct StreamSpec {
  const char *name;           // as the server lists it
  char device[256];           // empty: the default sink or source
  pa_sample_spec ss;
  uint32_t period_bytes;      // record: fragment size; playback: request size
  uint32_t target_bytes;      // playback: buffered target (tlength)
};

class PaStream {
 public:
  // Record: n bytes read, data null for a hole (n bytes of silence).
  using ReadFn = void (*)(void *arg, const void *data, size_t n);
  // Playback: fills n bytes of buf for the sink.
  using FillFn = void (*)(void *arg, uint8_t *buf, size_t n);
  // Called once when the stream fails after it was opened.
  using FailFn = void (*)(void *arg);

  ~PaStream() { Close(); }

  // Record: every byte read goes to `read`. `on_fail` may be null.
  bool OpenRecord(pa_context *c, const StreamSpec &spec, ReadFn read, FailFn on_fail, void *arg);
  bool OpenPlayback(pa_context *c, const StreamSpec &spec, FillFn fill, FailFn on_fail, void *arg);
  void Close();
  // Releases a stream that failed; true while the stream is open and sound.
  bool Check();
  bool open() const { return s_ != nullptr; }
  // Latency of the stream as last known (any thread); 0 until the server
  // has reported one since the stream opened.
  int latency_ms() const { return latency_ms_.load(std::memory_order_relaxed); }
  // Seconds since the stream was opened, 0 while it is closed (any thread).
  double age_s() const;

 private:
  bool Connect(pa_context *c, const StreamSpec &spec, bool record);
  static void OnState(pa_stream *s, void *self);
  static void OnRead(pa_stream *s, size_t n, void *self);
  static void OnWrite(pa_stream *s, size_t n, void *self);
  void KeepLatency(pa_stream *s);

  pa_stream *s_ = nullptr;
  ReadFn read_ = nullptr;
  FillFn fill_ = nullptr;
  FailFn on_fail_ = nullptr;
  void *arg_ = nullptr;
  std::atomic<int> latency_ms_{0};
  std::atomic<double> opened_{0};  // monotonic seconds
};

}  // namespace hxpa

#endif
