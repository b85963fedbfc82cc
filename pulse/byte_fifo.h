// Fixed-capacity byte FIFO without a lock of its own. Storage is allocated
// once by Reset(); pushing into a full FIFO drops the oldest bytes, so what
// it holds is always the newest audio and its latency stays bounded.
#ifndef HX_PULSE_BYTE_FIFO_H
#define HX_PULSE_BYTE_FIFO_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace hxpa {

class ByteFifo {
 public:
  void Reset(size_t capacity) {
    buf_.assign(capacity, 0);
    head_ = fill_ = 0;
  }
  size_t size() const { return fill_; }
  size_t capacity() const { return buf_.size(); }
  void Clear() { head_ = fill_ = 0; }

  // Appends len bytes (zeros when data is null). Returns the bytes dropped
  // from the front to make room.
  size_t Push(const void *data, size_t len) {
    const size_t cap = buf_.size();
    if (cap == 0) return len;
    size_t dropped = 0;
    if (len > cap) {  // only the newest cap bytes can stay
      dropped = len - cap;
      if (data) data = static_cast<const uint8_t *>(data) + dropped;
      len = cap;
    }
    if (fill_ + len > cap) dropped += Drop(fill_ + len - cap);
    size_t tail = (head_ + fill_) % cap;
    size_t first = len < cap - tail ? len : cap - tail;
    Copy(&buf_[tail], data, 0, first);
    Copy(&buf_[0], data, first, len - first);
    fill_ += len;
    return dropped;
  }

  // Moves up to len bytes out (into out unless it is null). Returns the count.
  size_t Pop(void *out, size_t len) {
    const size_t cap = buf_.size();
    if (len > fill_) len = fill_;
    size_t first = len < cap - head_ ? len : cap - head_;
    if (out) {
      memcpy(out, &buf_[head_], first);
      memcpy(static_cast<uint8_t *>(out) + first, &buf_[0], len - first);
    }
    if (len) head_ = (head_ + len) % cap;
    fill_ -= len;
    return len;
  }

  size_t Drop(size_t len) { return Pop(nullptr, len); }

 private:
  static void Copy(uint8_t *dst, const void *src, size_t offset, size_t len) {
    if (!len) return;
    if (src) memcpy(dst, static_cast<const uint8_t *>(src) + offset, len);
    else memset(dst, 0, len);
  }

  std::vector<uint8_t> buf_;
  size_t head_ = 0, fill_ = 0;
};

}  // namespace hxpa

#endif
