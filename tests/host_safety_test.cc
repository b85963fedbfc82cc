// A host callback that stalls: the stop returns in its time, the next start
// at once and working, and the stalled worker of the old start never calls
// the host again once it comes back.
#include <condition_variable>

#include "support/backend_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Host whose play or capture callback, once armed, holds its next caller
// for 5 s; it remembers that thread and counts the calls after it returned.
struct StallingHost {
  enum Which { kPlay, kCapture } which = kPlay;
  std::mutex mu;
  std::condition_variable cv;
  std::atomic<bool> armed{false}, stalled{false}, returned{false};
  std::thread::id stalled_thread;
  std::atomic<int64_t> late_calls{0}, calls_after_return{0}, captures{0};  // late: by the stalled thread

  void Enter(Which w) {
    std::unique_lock<std::mutex> g(mu);
    if (returned) ++calls_after_return, late_calls += std::this_thread::get_id() == stalled_thread;
    if (w != which || !armed || stalled) return;
    stalled = true, stalled_thread = std::this_thread::get_id();
    cv.wait_for(g, std::chrono::milliseconds(5000), [] { return false; });
    returned = true;
  }
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t) {
    static_cast<StallingHost *>(ctx)->Enter(kPlay);
    return memset(buf, 0, (size_t)len), len;
  }
  static int32_t Capture(void *ctx, int16_t *, int32_t) {
    static_cast<StallingHost *>(ctx)->Enter(kCapture);
    return static_cast<StallingHost *>(ctx)->captures.fetch_add(1), 0;
  }
};

class HostSafetyTest : public EngineTest {
 protected:
  void Run(StallingHost::Which which) {
    host_.which = which;
    hxsim_set_endpoints(0, 0);  // timer mode: the play thread pulls every 10 ms
    e_ = new Hx_AEC_Impl;
    e_->SetDownComCallBackPtr((void *)&StallingHost::Capture, &host_, (void *)&StallingHost::Play, &host_);
    e_->SetMicroCapture(1);
    e_->Init();
    std::vector<int16_t> block(960, 1000);
    auto push = [&] { e_->PushMicData(block.data(), 480, 4, 2, 48000, 0, 0, 0); };
    push();
    ASSERT_TRUE(WaitUntil([&] { return host_.captures.load() > 0; }));
    host_.armed = true;
    if (which == StallingHost::kCapture) push();
    ASSERT_TRUE(WaitUntil([&] { return host_.stalled.load(); }));

    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(0, e_->DeInit());
    EXPECT_LT(MsSince(t0), 3000) << "stop waited for the stalled host";
    t0 = Clock::now();
    EXPECT_EQ(0, e_->Init());
    // The bound is 100 ms; only a wait for the stalled worker fails here.
    EXPECT_LT(MsSince(t0), 1000) << "start waited for the stalled worker";

    // The new start hands blocks up while the old worker is still held.
    const int64_t before = host_.captures.load();
    for (int i = 0; i < 3; ++i) push();
    EXPECT_TRUE(WaitUntil([&] { return host_.captures.load() >= before + 3; }));
    EXPECT_FALSE(host_.returned.load()) << "stall ended too early to tell";

    // Once back, the old worker calls nothing more while the new start keeps calling.
    ASSERT_TRUE(WaitUntil([&] { return host_.returned.load(); }, 15000));
    EXPECT_TRUE(WaitUntil([&] { return push(), host_.calls_after_return.load() >= 40; }));
    EXPECT_EQ(0, host_.late_calls.load());
    EXPECT_TRUE(WaitUntil([] { return ModuleThreads() == 3; })) << ModuleThreads();
  }
  StallingHost host_;
};

TEST_F(HostSafetyTest, PlayCallbackStalledFiveSeconds) { Run(StallingHost::kPlay); }
TEST_F(HostSafetyTest, CaptureCallbackStalledFiveSeconds) { Run(StallingHost::kCapture); }

}  // namespace
