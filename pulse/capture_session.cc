#include "pulse/capture_session.h"

namespace hxpa {

namespace {
constexpr int kFifoMs = 200;  // longest backlog kept for a slow consumer
}

uint32_t BytesPer10Ms(const pa_sample_spec &ss) {
  return (uint32_t)(pa_bytes_per_second(&ss) / 100);
}

bool CaptureSession::Start(const char *client_name, const StreamSpec &spec, size_t block_bytes,
                           Deliver cb) {
  Stop();
  spec_ = spec;
  cb_ = cb;
  size_t capacity = BytesPer10Ms(spec.ss) * (kFifoMs / 10);
  if (capacity < 4 * block_bytes) capacity = 4 * block_bytes;
  if (!pump_.Start(client_name, block_bytes, capacity, OnBlock, this)) return false;
  if (!link_.Start(client_name, this)) {
    pump_.Stop();
    return false;
  }
  return true;
}

// The stream is closed under the lock first, so no byte reaches the pump
// afterwards; then the connection, then the delivery thread.
void CaptureSession::Stop() {
  if (link_.started()) {
    link_.Lock();
    stream_.Close();
    link_.Unlock();
    link_.Stop();
  }
  pump_.Stop();
}

bool CaptureSession::Ensure(pa_context *c) {
  if (!stream_.Check()) stream_.OpenRecord(c, spec_, OnRead, OnFail, this);
  return !stream_.open();
}

void CaptureSession::OnRead(void *self, const void *data, size_t n) {
  static_cast<CaptureSession *>(self)->pump_.Push(data, n);  // a hole is pushed as silence
}

// The failed stream is released and opened again at the tick.
void CaptureSession::OnFail(void *self) { static_cast<CaptureSession *>(self)->link_.RequestTick(); }

void CaptureSession::OnBlock(void *self, uint8_t *block, size_t len) {
  static_cast<CaptureSession *>(self)->cb_(block, (int32_t)len);
}

}  // namespace hxpa
