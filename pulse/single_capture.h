// The one capture session of a library that runs at most one at a time
// (plain capture, system audio): start replaces, stop is safe in any state.
#ifndef HX_PULSE_SINGLE_CAPTURE_H
#define HX_PULSE_SINGLE_CAPTURE_H

#include <mutex>

#include "pulse/capture_session.h"

namespace hxpa {

class SingleCapture {
 public:
  // A library unloaded while capturing stops first.
  ~SingleCapture() { Stop(); }
  bool Start(const char *client_name, const StreamSpec &spec, size_t block_bytes,
             CaptureSession::Deliver cb) {
    std::lock_guard<std::mutex> lk(mu_);
    StopLocked();
    auto *s = new CaptureSession;
    if (!s->Start(client_name, spec, block_bytes, cb)) {
      delete s;
      return false;
    }
    session_ = s;
    return true;
  }
  void Stop() {
    std::lock_guard<std::mutex> lk(mu_);
    StopLocked();
  }

 private:
  void StopLocked() {
    delete session_;  // its destructor stops it
    session_ = nullptr;
  }
  std::mutex mu_;
  CaptureSession *session_ = nullptr;
};

}  // namespace hxpa

#endif
