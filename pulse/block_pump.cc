#include "pulse/block_pump.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "pulse/byte_fifo.h"

namespace hxpa {

struct BlockPump::State {
  std::mutex mu;
  std::condition_variable cv;
  ByteFifo fifo;
  std::vector<uint8_t> block;
  bool quit = false;
  BlockFn on_block = nullptr;
  void *arg = nullptr;
  pthread_t tid{};
};

namespace {

using StateRef = std::shared_ptr<BlockPump::State>;

// The thread holds a reference to the state, so a stop from inside a
// consumer call may drop the pump's own reference while that call runs.
void *Run(void *p) {
  StateRef s = std::move(*static_cast<StateRef *>(p));
  delete static_cast<StateRef *>(p);
  std::unique_lock<std::mutex> lk(s->mu);
  for (;;) {
    s->cv.wait(lk, [&] { return s->quit || s->fifo.size() >= s->block.size(); });
    if (s->quit) return nullptr;
    s->fifo.Pop(s->block.data(), s->block.size());
    lk.unlock();
    s->on_block(s->arg, s->block.data(), s->block.size());
    lk.lock();
  }
}

}  // namespace

bool BlockPump::Start(const char *thread_name, size_t block_bytes, size_t capacity,
                      BlockFn on_block, void *arg) {
  Stop();
  auto s = std::make_shared<State>();
  s->fifo.Reset(capacity);
  s->block.assign(block_bytes, 0);
  s->on_block = on_block;
  s->arg = arg;
  auto *ref = new StateRef(s);
  if (pthread_create(&s->tid, nullptr, Run, ref) != 0) {
    delete ref;
    return false;
  }
  pthread_setname_np(s->tid, thread_name);
  state_ = std::move(s);
  return true;
}

void BlockPump::Push(const void *data, size_t len) {
  if (!state_) return;
  std::lock_guard<std::mutex> lk(state_->mu);
  state_->fifo.Push(data, len);
  if (state_->fifo.size() >= state_->block.size()) state_->cv.notify_one();
}

void BlockPump::Clear() {
  if (!state_) return;
  std::lock_guard<std::mutex> lk(state_->mu);
  state_->fifo.Clear();
}

void BlockPump::Stop() {
  if (!state_) return;
  StateRef s = std::move(state_);
  {
    std::lock_guard<std::mutex> lk(s->mu);
    s->quit = true;
    s->cv.notify_one();
  }
  if (pthread_equal(s->tid, pthread_self())) pthread_detach(s->tid);
  else pthread_join(s->tid, nullptr);
}

}  // namespace hxpa
