// The delivery thread of a plain capture library. The PulseAudio main-loop
// thread pushes bytes; this thread hands them to the library's consumer in
// fixed blocks, off the PulseAudio lock, so a slow or re-entrant consumer
// never stalls the main loop.
#ifndef HX_PULSE_BLOCK_PUMP_H
#define HX_PULSE_BLOCK_PUMP_H

#include <stddef.h>
#include <stdint.h>

#include <memory>

namespace hxpa {

class BlockPump {
 public:
  // Called on the delivery thread. The block is the pump's own buffer: the
  // consumer may change it in place.
  using BlockFn = void (*)(void *arg, uint8_t *block, size_t len);

  ~BlockPump() { Stop(); }

  // Allocates the FIFO (capacity bytes, oldest dropped when full) and
  // starts the thread. false when the thread cannot be created.
  bool Start(const char *thread_name, size_t block_bytes, size_t capacity, BlockFn on_block,
             void *arg);
  // Any thread; never blocks on the consumer.
  void Push(const void *data, size_t len);
  // Forgets buffered bytes.
  void Clear();
  // Returns after the last consumer call has returned; none follows. From
  // inside a consumer call it only marks the end: that call is the last.
  void Stop();
  bool running() const { return state_ != nullptr; }

  struct State;  // shared with the thread, which may outlive a stop from inside

 private:
  std::shared_ptr<State> state_;
};

}  // namespace hxpa

#endif
