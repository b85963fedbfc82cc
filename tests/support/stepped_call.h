// A call through the module, stepped: the module loaded by its exports, the
// simulated world in manual mode with its echo path, real speech at both
// ends. Each step delivers one 20 ms microphone block (after the far end the
// module hands over for it) and waits until the host's capture callback has
// received its two 10 ms blocks, so nothing queues up and host block 2k and
// 2k+1 belong to microphone block k. The module's log goes to a file while
// it runs; gtest's messages, written between the steps, stay on the terminal.
#ifndef HX_TESTS_SUPPORT_STEPPED_CALL_H
#define HX_TESTS_SUPPORT_STEPPED_CALL_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "support/backend_harness.h"
#include "rig/speech.h"

class SteppedCall {
 public:
  // far48: 48 kHz mono far end, played on stream 0 in a loop (empty: none).
  explicit SteppedCall(std::vector<int16_t> far48) : far_(std::move(far48)) {}
  ~SteppedCall() { Stop(); }

  // Loads and starts the module on the world (microphone `near`, 16 kHz
  // mono, looped; echo path `path`) and waits for the voice path.
  ::testing::AssertionResult Start(const std::vector<int16_t> &near, const hxsim_echo_path &path) {
    hxsim_reset(), hxsim_set_manual(1), hxsim_set_mic_pcm(near.data(), near.size(), 1);
    if (hxsim_set_echo_path(&path) != 0)
      return ::testing::AssertionFailure() << "echo path refused: " << hxsim_last_error();
    LogCapture quiet;
    if (!module_.Load(HX_MODULE_PATH)) return ::testing::AssertionFailure() << "cannot load the module";
    module_.SetDownComCallBackPtr((void *)&Capture, this, (void *)&Play, this);
    module_.SetMicroCapture(1), module_.SetAecMode(1);
    started_ = module_.Init() == 0;
    if (!started_) return ::testing::AssertionFailure() << "Hx_Aec_Init failed";
    if (!WaitUntil([] { hxsim_status s = SimStatus(); return s.brisa_started == 1 && s.brisa_play_channel; }, 20000))
      return ::testing::AssertionFailure() << "the voice path did not start";
    return ::testing::AssertionSuccess();
  }

  // n microphone blocks; false (with the reason) when the module stalls.
  ::testing::AssertionResult Step(int n) {
    LogCapture quiet;
    for (int i = 0; i < n; ++i) {
      if (hxsim_pump_call(1, 5000) != 1)
        return ::testing::AssertionFailure() << "block " << blocks_ << ": " << hxsim_last_error();
      ++blocks_;
      std::unique_lock<std::mutex> lk(mu_);
      if (!cv_.wait_for(lk, std::chrono::seconds(5), [&] { return host_blocks_ >= 2 * blocks_; }))
        return ::testing::AssertionFailure() << "block " << blocks_ << ": the host got "
                                             << host_blocks_ << " blocks";
    }
    return ::testing::AssertionSuccess();
  }

  // What the microphone heard, the echo in it and what the host received
  // since the previous call (host frames 3 * i belong to heard sample i).
  void Take(std::vector<int16_t> *heard, std::vector<int16_t> *echo, std::vector<int16_t> *out) {
    heard->assign(320 * (blocks_ - taken_blocks_), 0), echo->assign(heard->size(), 0);
    heard->resize(hxsim_take_mic_heard(heard->data(), echo->data(), heard->size())), echo->resize(heard->size());
    taken_blocks_ = blocks_;
    std::lock_guard<std::mutex> lk(mu_);
    out->swap(out_), out_.clear();
  }

  void Stop() {
    LogCapture quiet;
    if (started_) module_.DeInit();
    started_ = false;
    module_.Unload();
  }


 private:
  static int32_t Capture(void *ctx, int16_t *samples, int32_t len) {
    auto *c = static_cast<SteppedCall *>(ctx);
    std::lock_guard<std::mutex> lk(c->mu_);
    c->out_.insert(c->out_.end(), samples, samples + len / 2), ++c->host_blocks_, c->cv_.notify_all();
    return 0;
  }
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
    auto *c = static_cast<SteppedCall *>(ctx);
    if (stream != 0 || c->far_.empty()) return 0;
    for (int32_t f = 0; f < len / 4; ++f)
      buf[2 * f] = buf[2 * f + 1] = c->far_[c->far_pos_++ % c->far_.size()];
    return len;
  }

  std::vector<int16_t> far_;
  size_t far_pos_ = 0;
  ModuleApi module_;
  bool started_ = false;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int16_t> out_;
  long host_blocks_ = 0, blocks_ = 0, taken_blocks_ = 0;
};

#endif  // HX_TESTS_SUPPORT_STEPPED_CALL_H
