// Mix thread, run for real by the engine's start, in a simulated world in manual mode: only
// what the test queues or writes into the capture ring reaches the thread.
#include "platform/tick.h"
#include "support/upstream_harness.h"

namespace {

class MixThread : public UpstreamTest {
 protected:
  MicProducer producer_ = {"FULL %d\n", "QUIET %d\n", 0, 0};
};

}  // namespace

TEST_F(MixThread, BlocksHandedUpPerMode) {
  const Pcm mic = StereoBlock([](int j, int ch) { return (int16_t)(ch ? 25000 - j : j - 25000); });
  const Pcm sys = StereoBlock([](int j, int ch) { return (int16_t)(ch ? 20 * j : -20 * j); });
  const Pcm sys_left = StereoBlock([&](int j, int) { return sys[2 * j]; });
  auto plus = [](const Pcm &a, const Pcm &b) {
    return StereoBlock([&](int j, int c) { return Sat(a[2 * j + c] + b[2 * j + c]); });
  };
  // Per row: a packet queued, then with system audio two blocks (the second goes up alone).
  const struct {
    int sys, mic, online, aec, callback;
    std::vector<Pcm> want;
  } rows[] = {
      {1, 0, 0, 0, 1, {sys}},  // micro capture off: the packet and its system block dropped
      {1, 0, 1, 0, 1, {sys}},
      {1, 0, 0, 1, 1, {sys_left}},                  // aec: left copied to right
      {1, 1, 1, 0, 1, {plus(mic, sys_left), sys}},  // online: system left, saturated
      {1, 1, 0, 1, 1, {plus(mic, sys), sys_left}},  // offline: as captured, no copy
      {0, 1, 0, 1, 1, {mic}},                       // no system audio: the packet alone
      {0, 1, 1, 0, 1, {mic}},
      {0, 0, 0, 0, 1, {}},
      {0, 1, 0, 0, 0, {}},  // no callback: the packet is released
  };
  LogCapture log;
  for (const auto &r : rows) {
    Start(r.sys, r.mic, r.online, r.aec, r.callback);
    engine_.OfferMicPacket(MakePacket(mic), 960, producer_);
    for (int i = 0; i < 2 * r.sys; ++i) ASSERT_TRUE(WriteSystem(engine_, sys));
    ASSERT_TRUE(WaitUntil([&] { return QueueCount(engine_) == 0 && sink_.Blocks().size() >= r.want.size(); }));
    hx::Sleep(50);
    EXPECT_EQ(r.want, sink_.Blocks()) << &r - rows;
  }
  // Last row: no system audio, an empty queue: reported per 500 ms wait.
  EXPECT_TRUE(log.WaitFor("audio_HXAec::===> audio_mix:: not sys-capture: get mic timeout.....\n"));
  // Each logged on the first pass of its kind in this process only.
  EXPECT_EQ(1, log.Count("audio_HXAec::===> audio_mix:: ########################################no "
                         "mic data\n"));
  EXPECT_TRUE(log.Count("audio_HXAec::===> audio_mix:: mic list_cnt=") == 1 &&
              log.Count("audio_HXAec::===> audio_mix:: mic list_cnt=1\n") == 1);
}
