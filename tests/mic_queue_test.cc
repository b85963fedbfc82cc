// Microphone packet queue: admission boundaries, refusal-line pacing per
// producer, the wake-up event, delivery of the module's own blocks and the
// order across both producers. No worker thread runs here.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/upstream_harness.h"

namespace {

class MicQueue : public UpstreamEngineTest {
 protected:
  void Fill(size_t n, const Pcm &v) {
    while (QueueCount(engine_) < n) engine_.OfferMicPacket(MakePacket(v), 960, a_);
  }

  MicProducer a_ = {"A-FULL %d\n", "A-QUIET %d\n", 0, 0};
  MicProducer b_ = {"B-FULL %d\n", "B-QUIET %d\n", 0, 0};
};

// Module-style block of 320 samples at 16 kHz.
std::vector<int16_t> MicBlock(int seed) {
  std::vector<int16_t> v(320);
  for (int i = 0; i < 320; ++i) v[i] = (int16_t)((i * 97 + seed * 1013) % 20000 - 10000);
  return v;
}

}  // namespace

TEST_F(MicQueue, AdmissionBoundaries) {
  const Pcm silent(960, 0), loud = ConstBlock(5000, 5000);
  Fill(7, silent);
  LogCapture log;
  engine_.OfferMicPacket(MakePacket(silent), 960, a_);  // 7 queued: appended
  EXPECT_EQ(8u, QueueCount(engine_));
  engine_.OfferMicPacket(MakePacket(silent), 960, a_);  // 8 queued: quiet, refused
  EXPECT_EQ(8u, QueueCount(engine_));
  EXPECT_EQ(1, log.Count("A-QUIET 8\n"));
  engine_.OfferMicPacket(MakePacket(PowerBlock(199)), 960, a_);
  EXPECT_EQ(8u, QueueCount(engine_));
  for (size_t n = 8; n < 12; ++n) {
    engine_.OfferMicPacket(MakePacket(PowerBlock(200)), 960, a_);  // exactly 200: appended
    EXPECT_EQ(n + 1, QueueCount(engine_));
  }
  log.Clear();
  engine_.OfferMicPacket(MakePacket(loud), 960, a_);  // 12 queued: refused
  EXPECT_EQ(12u, QueueCount(engine_));
  // Third refusal of this producer: not logged. The pacing test covers lines.
  EXPECT_EQ(0, log.Count("A-FULL"));
  // The refused packets were released (the sanitizer build checks leaks).
}

TEST_F(MicQueue, RefusalLinesPacedPerProducer) {
  const Pcm silent(960, 0), loud = ConstBlock(9000, -9000);
  Fill(8, silent);
  LogCapture log;
  for (int i = 0; i < 5; ++i) engine_.OfferMicPacket(MakePacket(silent), 960, a_);  // 1..5 quiet
  Fill(12, loud);
  engine_.OfferMicPacket(MakePacket(loud), 960, b_);  // B's first refusal
  for (int i = 0; i < 20; ++i) engine_.OfferMicPacket(MakePacket(loud), 960, a_);  // 6..25 full
  engine_.OfferMicPacket(MakePacket(loud), 960, b_);  // B's second: not logged
  std::vector<std::string> refusals;
  for (const std::string &l : log.Lines())
    if (l.find("FULL") != std::string::npos || l.find("QUIET") != std::string::npos)
      refusals.push_back(l);
  std::vector<std::string> want = {"A-QUIET 8", "B-FULL 12", "A-FULL 12", "A-FULL 12"};
  EXPECT_EQ(want, refusals);  // A: 1st, 11th, 21st; B: 1st
}

TEST_F(MicQueue, PowerLineEvery300Offers) {
  LogCapture log;
  engine_.OfferMicPacket(MakePacket(PowerBlock(1600)), 960, a_);
  EXPECT_EQ(1, log.Count("audio_HXAec::===> ((((((((((((((: +++++:  power=1600\n"));
  for (int i = 1; i < 300; ++i) {
    engine_.OfferMicPacket(MakePacket(PowerBlock(7)), 960, a_);
    TakeBlock(engine_);
  }
  EXPECT_EQ(1, log.Count("power="));
  engine_.OfferMicPacket(MakePacket(PowerBlock(1234)), 960, a_);  // 301st
  EXPECT_EQ(1, log.Count("power=1234\n"));
}

TEST_F(MicQueue, EventOncePerOfferOnlyWithoutSystemAudio) {
  EXPECT_FALSE(engine_.m_micEvent.Wait(0));
  engine_.OfferMicPacket(MakePacket(ConstBlock(1, 1)), 960, a_);
  EXPECT_TRUE(engine_.m_micEvent.Wait(0));
  EXPECT_FALSE(engine_.m_micEvent.Wait(0));
  Fill(12, ConstBlock(900, 900));
  engine_.m_micEvent.Wait(0);
  engine_.OfferMicPacket(MakePacket(ConstBlock(900, 900)), 960, a_);  // refused, still signals
  EXPECT_TRUE(engine_.m_micEvent.Wait(0));
  engine_.sys_capture.store(1);
  TakeBlock(engine_);
  engine_.OfferMicPacket(MakePacket(ConstBlock(900, 900)), 960, a_);  // appended
  engine_.OfferMicPacket(MakePacket(ConstBlock(900, 900)), 960, a_);  // refused
  EXPECT_FALSE(engine_.m_micEvent.Wait(0));
}

TEST_F(MicQueue, DeliverMatchesConverterAndCounts) {
  ASSERT_EQ(0, engine_.m_resample_16to48.Init(16000, 48000, 320));
  CBlockResample reference;
  ASSERT_EQ(0, reference.Init(16000, 48000, 320));
  for (int block = 0; block < 3; ++block) {
    std::vector<int16_t> in = MicBlock(block);
    int16_t ref48[960];
    uint32_t produced = 0;
    reference.Process(in.data(), ref48, &produced);
    const int32_t before = g_micCapCount.load();
    engine_.DeliverMicData(in.data(), 320);
    EXPECT_EQ(before + 2, g_micCapCount.load());
    for (int half = 0; half < 2; ++half) {
      AudioPacket fields;
      Pcm got = TakeBlock(engine_, &fields);
      ASSERT_EQ(960u, got.size());
      EXPECT_EQ(480u, fields.frames);
      EXPECT_EQ(4, fields.bytes_per_frame);
      EXPECT_EQ(2, fields.channels);
      EXPECT_EQ(48000u, fields.sample_rate);
      EXPECT_EQ(0u, fields.aux0 | fields.aux1 | fields.aux2);
      for (int j = 0; j < 480; ++j) {
        ASSERT_EQ(ref48[480 * half + j], got[2 * j]) << block << ":" << half << ":" << j;
        ASSERT_EQ(ref48[480 * half + j], got[2 * j + 1]);
      }
    }
    EXPECT_EQ(0u, QueueCount(engine_));
  }
}

TEST_F(MicQueue, DeliverQueuesNothingWithoutCaptureOrCallback) {
  ASSERT_EQ(0, engine_.m_resample_16to48.Init(16000, 48000, 320));
  std::vector<int16_t> in = MicBlock(1);
  engine_.micro_capture.store(0);
  int32_t before = g_micCapCount.load();
  engine_.DeliverMicData(in.data(), 320);
  EXPECT_EQ(before + 2, g_micCapCount.load());
  EXPECT_EQ(0u, QueueCount(engine_));

  engine_.micro_capture.store(1);
  engine_.SetDownComCallBackPtr((void *)&CaptureSink::Fn, nullptr, nullptr, nullptr);
  before = g_micCapCount.load();
  engine_.DeliverMicData(in.data(), 320);
  EXPECT_EQ(before + 2, g_micCapCount.load());
  EXPECT_EQ(0u, QueueCount(engine_));

  // After a stop released the converter, a late block is dropped whole.
  engine_.SetDownComCallBackPtr((void *)&CaptureSink::Fn, &sink_, nullptr, nullptr);
  engine_.m_resample_16to48.Release();
  engine_.DeliverMicData(in.data(), 320);
  EXPECT_EQ(0u, QueueCount(engine_));
  // A block of any other length is not read.
  ASSERT_EQ(0, engine_.m_resample_16to48.Init(16000, 48000, 320));
  std::vector<int16_t> short_block(100, 1000);
  engine_.DeliverMicData(short_block.data(), 100);
  EXPECT_EQ(0u, QueueCount(engine_));
}

TEST_F(MicQueue, OrderAcrossBothProducers) {
  ASSERT_EQ(0, engine_.m_resample_16to48.Init(16000, 48000, 320));
  engine_.m_running.store(1);  // the host push needs a running engine
  std::vector<int16_t> quiet(320, 0);
  const Pcm host1 = ConstBlock(111, 222), host2 = ConstBlock(333, 444);
  Pcm h1 = host1, h2 = host2;
  engine_.DeliverMicData(quiet.data(), 320);
  ASSERT_EQ(0, engine_.PushMicData(h1.data(), 480, 4, 2, 48000, 1, 2, 3));
  engine_.DeliverMicData(quiet.data(), 320);
  ASSERT_EQ(0, engine_.PushMicData(h2.data(), 480, 4, 2, 48000, 4, 5, 6));
  ASSERT_EQ(6u, QueueCount(engine_));
  std::vector<uint32_t> aux;
  for (int i = 0; i < 6; ++i) {
    AudioPacket f;
    Pcm b = TakeBlock(engine_, &f);
    aux.push_back(f.aux0);
    if (i == 2) {
      EXPECT_EQ(host1, b);
    }
    if (i == 5) {
      EXPECT_EQ(host2, b);
    }
  }
  EXPECT_EQ((std::vector<uint32_t>{0, 0, 1, 0, 0, 4}), aux);
}

TEST_F(MicQueue, DestroyedWithPacketsQueued) {
  // The engine frees queued packets on destruction (leak check under ASan).
  Hx_AEC_Impl *e = new Hx_AEC_Impl;
  for (int i = 0; i < 5; ++i) e->OfferMicPacket(MakePacket(ConstBlock(1, 2)), 960, a_);
  EXPECT_EQ(5u, QueueCount(*e));
  delete e;
}
