// A capture library's whole life: its own connection, one record stream
// from a device, and a delivery thread that hands fixed blocks to the
// module's callback. Used by the plain-capture and system-audio libraries.
#ifndef HX_PULSE_CAPTURE_SESSION_H
#define HX_PULSE_CAPTURE_SESSION_H

#include <stdint.h>

#include "pulse/block_pump.h"
#include "pulse/pa_link.h"
#include "pulse/pa_stream.h"

namespace hxpa {

class CaptureSession : public PaLinkClient {
 public:
  using Deliver = void (*)(uint8_t *data, int32_t len);

  ~CaptureSession() override { Stop(); }
  // Returns at once; the stream opens when (and each time) the server is
  // reachable. false only when a thread or the main loop cannot be made.
  bool Start(const char *client_name, const StreamSpec &spec, size_t block_bytes, Deliver cb);
  // After it returns no delivery runs (from inside a delivery: none after it).
  void Stop();

 private:
  void OnReady(pa_context *c) override { Ensure(c); }
  bool OnTick(pa_context *c) override { return Ensure(c); }
  void OnLost() override { stream_.Close(); }
  // Opens the stream unless it is open and sound; true while it is not open.
  bool Ensure(pa_context *c);
  static void OnRead(void *self, const void *data, size_t n);
  static void OnFail(void *self);
  static void OnBlock(void *self, uint8_t *block, size_t len);

  PaLink link_;
  PaStream stream_;
  BlockPump pump_;
  StreamSpec spec_{};
  Deliver cb_ = nullptr;
};

// Bytes of 10 ms of audio in this format.
uint32_t BytesPer10Ms(const pa_sample_spec &ss);

}  // namespace hxpa

#endif
