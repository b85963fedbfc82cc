// Mix thread, run for real by the engine's start: what reaches the host's
// capture callback for each combination of queue state and mode flags,
// saturation, discarding, and the exit while waiting for system audio.
// The simulated world runs in manual mode, so only what the test queues or
// writes into the capture ring reaches the thread.
#include <dlfcn.h>

#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "hxsim.h"
#include "platform/tick.h"
#include "support/upstream_harness.h"

namespace {

class MixThread : public ::testing::Test {
 protected:
  void SetUp() override {
    // The engine's monitor loads the voice-path stand-in by name. Under the
    // sanitizers that lookup does not see the test's RUNPATH, so it is
    // loaded here by full path once; the lookup by name then finds it.
    static void *brisa = dlopen(HX_LIB_DIR "/libBrisaDll.so", RTLD_NOW);
    ASSERT_NE(nullptr, brisa) << dlerror();
    hxsim_reset();
    hxsim_set_manual(1);
    engine_ = new Hx_AEC_Impl;
    engine_->SetDownComCallBackPtr((void *)&CaptureSink::Fn, &sink_, nullptr, nullptr);
  }
  void TearDown() override {
    engine_->DeInit();
    delete engine_;
  }
  // Flags are set before the start, so the thread's first pass sees them.
  void Start(int sys, int mic, int online, int aec) {
    engine_->SetSysCapture((uint8_t)sys);
    engine_->SetMicroCapture((uint8_t)mic);
    engine_->SetOnlineSysCapture((uint8_t)online);
    engine_->SetAecMode((uint8_t)aec);
    engine_->Init();
  }
  void Queue(const Pcm &v) { engine_->OfferMicPacket(MakePacket(v), 960, producer_); }

  CaptureSink sink_;
  Hx_AEC_Impl *engine_ = nullptr;
  MicProducer producer_ = {"FULL %d\n", "QUIET %d\n", 0, 0};
};

const Pcm kSys = StereoBlock([](int j, int ch) { return (int16_t)(ch ? 3 * j - 900 : 700 - 2 * j); });

}  // namespace

TEST_F(MixThread, SystemAudioAloneAndAecCopy) {
  LogCapture log;
  Start(1, 0, 0, 0);
  ASSERT_TRUE(WriteSystem(*engine_, kSys));
  ASSERT_TRUE(sink_.WaitCount(1));
  EXPECT_EQ(kSys, sink_.Block(0));
  EXPECT_EQ(1920, sink_.lens[0]);
  engine_->SetAecMode(1);
  ASSERT_TRUE(WriteSystem(*engine_, kSys));
  ASSERT_TRUE(sink_.WaitCount(2));
  Pcm got = sink_.Block(1);
  for (int j = 0; j < 480; ++j) {
    ASSERT_EQ(kSys[2 * j], got[2 * j]);
    ASSERT_EQ(kSys[2 * j], got[2 * j + 1]);
  }
  // Two blocks written at once: two blocks up, one per 1920 bytes.
  ASSERT_TRUE(WriteSystem(*engine_, ConstBlock(5, 6)));
  ASSERT_TRUE(WriteSystem(*engine_, ConstBlock(7, 8)));
  ASSERT_TRUE(sink_.WaitCount(4));
  EXPECT_EQ(ConstBlock(5, 5), sink_.Block(2));
  EXPECT_EQ(ConstBlock(7, 7), sink_.Block(3));
  hx::Sleep(100);
  EXPECT_EQ(4u, sink_.Count());
  // First system-only pass of this process: logged; the next 3 are not.
  EXPECT_EQ(1, log.Count(
                   "audio_HXAec::===> audio_mix:: ########################################no mic "
                   "data\n"));
}

TEST_F(MixThread, OnlineMixUsesSystemLeftSaturated) {
  LogCapture log;
  Start(1, 1, 1, 0);
  Queue(ConstBlock(30000, -30000));
  ASSERT_TRUE(WriteSystem(*engine_, ConstBlock(10000, 5000)));
  ASSERT_TRUE(sink_.WaitCount(1));
  EXPECT_EQ(ConstBlock(32767, -20000), sink_.Block(0));
  Queue(ConstBlock(-30000, 100));
  ASSERT_TRUE(WriteSystem(*engine_, ConstBlock(-10000, 999)));
  ASSERT_TRUE(sink_.WaitCount(2));
  EXPECT_EQ(ConstBlock(-32768, -9900), sink_.Block(1));
  // Per-frame content: left = mic L + sys L, right = mic R + sys L.
  Pcm mic = StereoBlock([](int j, int ch) { return (int16_t)(ch ? -j : j); });
  Queue(mic);
  ASSERT_TRUE(WriteSystem(*engine_, kSys));
  ASSERT_TRUE(sink_.WaitCount(3));
  Pcm got = sink_.Block(2);
  for (int j = 0; j < 480; ++j) {
    ASSERT_EQ(Sat(mic[2 * j] + kSys[2 * j]), got[2 * j]);
    ASSERT_EQ(Sat(mic[2 * j + 1] + kSys[2 * j]), got[2 * j + 1]);
  }
  // First online pass with a packet in this process: the count before the take.
  EXPECT_EQ(1, log.Count("audio_HXAec::===> audio_mix:: mic list_cnt="));
  EXPECT_EQ(1, log.Count("audio_HXAec::===> audio_mix:: mic list_cnt=1\n"));
}

TEST_F(MixThread, OfflineMixUsesSystemAsCaptured) {
  Start(1, 1, 0, 1);  // aec_mode does not touch a mixed block
  Pcm mic = StereoBlock([](int j, int ch) { return (int16_t)(ch ? 25000 - j : j - 25000); });
  Queue(mic);
  Pcm sys = StereoBlock([](int j, int ch) { return (int16_t)(ch ? 20 * j : -20 * j); });
  ASSERT_TRUE(WriteSystem(*engine_, sys));
  ASSERT_TRUE(sink_.WaitCount(1));
  Pcm got = sink_.Block(0);
  for (int j = 0; j < 480; ++j) {
    ASSERT_EQ(Sat(mic[2 * j] + sys[2 * j]), got[2 * j]) << j;
    ASSERT_EQ(Sat(mic[2 * j + 1] + sys[2 * j + 1]), got[2 * j + 1]) << j;
  }
  EXPECT_EQ(32767, got[2 * 479 + 1]);
  EXPECT_EQ(-32768, got[2 * 479]);
}

TEST_F(MixThread, PacketsAloneInOrderWithoutSystemAudio) {
  LogCapture log;
  Start(0, 1, 0, 1);
  std::vector<Pcm> sent;
  for (int i = 0; i < 3; ++i) {
    sent.push_back(StereoBlock([i](int j, int ch) { return (int16_t)(i * 1000 + j * (ch ? -1 : 1)); }));
    Queue(sent.back());
  }
  ASSERT_TRUE(sink_.WaitCount(3));
  // Online mode without system audio also hands the packet up alone.
  engine_->SetOnlineSysCapture(1);
  sent.push_back(ConstBlock(-4, 4));
  Queue(sent.back());
  ASSERT_TRUE(sink_.WaitCount(4));
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i], sink_.Block(i)) << i;
  // Empty queue: the thread waits for packets and reports each 500 ms timeout.
  EXPECT_TRUE(log.WaitFor(
      "audio_HXAec::===> audio_mix:: not sys-capture: get mic timeout.....\n", 1, 5000));
  EXPECT_EQ(4u, sink_.Count());
}

TEST_F(MixThread, PacketsDiscardedWithoutMicCaptureOrCallback) {
  Start(0, 0, 0, 0);
  for (int i = 0; i < 3; ++i) Queue(ConstBlock(100, 100));
  ASSERT_TRUE(WaitUntil([&] { return QueueCount(*engine_) == 0; }));
  hx::Sleep(50);
  EXPECT_EQ(0u, sink_.Count());
  // No callback: taken packets are released (leak check under ASan).
  engine_->SetDownComCallBackPtr(nullptr, nullptr, nullptr, nullptr);
  engine_->SetMicroCapture(1);
  for (int i = 0; i < 3; ++i) Queue(ConstBlock(100, 100));
  ASSERT_TRUE(WaitUntil([&] { return QueueCount(*engine_) == 0; }));
}

TEST_F(MixThread, MicCaptureOffDiscardsPacketAndSystemBlock) {
  Start(1, 0, 1, 0);
  Queue(ConstBlock(100, 100));
  ASSERT_TRUE(WriteSystem(*engine_, ConstBlock(1, 2)));
  ASSERT_TRUE(WaitUntil([&] { return QueueCount(*engine_) == 0; }));
  // The next system block, with no packet, goes up alone: the first was
  // read and discarded together with the packet.
  ASSERT_TRUE(WriteSystem(*engine_, kSys));
  ASSERT_TRUE(sink_.WaitCount(1));
  hx::Sleep(50);
  EXPECT_EQ(1u, sink_.Count());
  EXPECT_EQ(kSys, sink_.Block(0));
}

TEST_F(MixThread, ExitsWithinASecondWhenStoppedDuringSystemWait) {
  LogCapture log;
  Start(1, 1, 0, 0);
  ASSERT_TRUE(log.WaitFor(
      "audio_HXAec::===> audio_mix:: no system data#######################################\n", 1,
      10000));
  // The ring lock is free while the thread waits.
  ASSERT_TRUE(WaitUntil([] {
    if (!g_captureLock.TryLock()) return false;
    g_captureLock.Unlock();
    return true;
  }));
  const auto t0 = std::chrono::steady_clock::now();
  engine_->m_running.store(0);
  ASSERT_TRUE(log.WaitFor("audio_HXAec::===> exit MicProc thread ..............[1]\n", 1, 10000));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  EXPECT_LT(ms, 4000);  // one 1000 ms wait at most; generous for slow builds
  std::vector<std::string> lines = log.Lines();
  int inner = -1, outer = -1;
  for (int i = 0; i < (int)lines.size(); ++i) {
    if (lines[i] == "audio_HXAec::===> audio_mix:: exit MicProc thread ..............") inner = i;
    if (lines[i] == "audio_HXAec::===> exit MicProc thread ..............[1]") outer = i;
  }
  ASSERT_GE(inner, 0);
  EXPECT_GT(outer, inner);
  // Let the stop run its whole sequence (it skips everything when not running).
  engine_->m_running.store(1);
}
