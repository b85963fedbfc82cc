// Microphone packet queue and the host push entry that feeds it; no worker thread runs. Engines
// die with packets queued: the sanitizer build checks that they and refused ones are released.
#include "support/upstream_harness.h"

namespace {

class MicQueue : public UpstreamTest {
 protected:
  void SetUp() override { Open(); }
  void Offer(const Pcm &v, MicProducer &p) {
    engine_.OfferMicPacket(MakePacket(v), 960, p);
    // Each offer, appended or refused, signals once, and only while sys_capture is clear.
    EXPECT_EQ(!engine_.sys_capture.load(), engine_.m_micEvent.Wait(0));
    EXPECT_FALSE(engine_.m_micEvent.Wait(0));
  }

  MicProducer a_ = {"A-FULL %d\n", "A-QUIET %d\n", 0, 0}, b_ = {"B-FULL %d\n", "B-QUIET %d\n", 0, 0};
};

}  // namespace

TEST_F(MicQueue, AdmissionBoundariesAndRefusalLinesPerProducer) {
  const Pcm quiet(960, 0), loud = ConstBlock(9000, -9000);
  while (QueueCount(engine_) < 7) Offer(quiet, a_);
  LogCapture log;
  Offer(quiet, a_);  // 7 queued: a quiet packet is appended
  EXPECT_EQ(8u, QueueCount(engine_));
  Offer(quiet, a_), Offer(PowerBlock(199), a_);  // 8 queued: refused (A's 1st refusal: logged)
  EXPECT_EQ(8u, QueueCount(engine_));
  for (int i = 0; i < 4; ++i) Offer(PowerBlock(200), a_);  // exactly 200: appended
  EXPECT_EQ(12u, QueueCount(engine_));
  Offer(loud, b_);                               // 12 queued: refused; B's 1st offer and refusal
  for (int i = 0; i < 20; ++i) Offer(loud, a_);  // A's 3rd..22nd refusals: 11th, 21st logged
  Offer(loud, b_);
  EXPECT_EQ((std::vector<std::string>{"A-QUIET 8", "audio_HXAec::===> ((((((((((((((: +++++:  power=9000",
                                      "B-FULL 12", "A-FULL 12", "A-FULL 12"}),
            log.Lines());
  engine_.sys_capture.store(1);
  Offer(loud, a_);  // no signal with system audio on
}

TEST_F(MicQueue, DeliverBitExactInOrderWithPushesOrDropped) {
  CBlockResample reference;
  ASSERT_TRUE(engine_.m_resample_16to48.Init(16000, 48000, 320) == 0 && reference.Init(16000, 48000, 320) == 0);
  const int32_t counted = g_micCapCount.load();
  Pcm in(320), ref(960);
  std::vector<Pcm> want;
  for (int block = 0; block < 2; ++block) {  // the filter state carries over
    for (int i = 0; i < 320; ++i) in[i] = (int16_t)((i * 97 + block * 1013) % 20000 - 10000);
    uint32_t produced = 0;
    reference.Process(in.data(), ref.data(), &produced);
    engine_.DeliverMicData(in.data(), 320);  // two packets, the mono result on both channels
    want.insert(want.end(), {Dup(Pcm(ref.begin(), ref.begin() + 480)), Dup(Pcm(ref.begin() + 480, ref.end())),
                             ConstBlock(111, (int16_t)block)});
    ASSERT_EQ(0, Push(want.back(), 480, 2, 48000));
  }
  for (const Pcm &w : want) EXPECT_EQ(w, TakeBlock(engine_));
  engine_.micro_capture.store(0), engine_.DeliverMicData(in.data(), 320);  // counted, not queued
  engine_.micro_capture.store(1);
  engine_.DeliverMicData(Pcm(100, 1000).data(), 100);  // another length: not read
  engine_.m_resample_16to48.Release();                 // as after a stop: dropped whole
  engine_.DeliverMicData(in.data(), 320);
  EXPECT_EQ(0u, QueueCount(engine_));
  EXPECT_EQ(counted + 6, g_micCapCount.load());
}

// The capture path takes its packets' blocks from the engine's pool: a full queue holds 12 of
// them, refused packets give theirs back at once, and every block taken off the queue returns.
TEST_F(MicQueue, DeliveredPacketsUseThePoolAndGiveEveryBlockBack) {
  ASSERT_EQ(0, engine_.m_resample_16to48.Init(16000, 48000, 320));
  ASSERT_EQ(kMicPoolBlocks, engine_.m_micPool.available());
  const Pcm in(320, 3000);
  for (int block = 0; block < 7; ++block) engine_.DeliverMicData(const_cast<int16_t *>(in.data()), 320);
  EXPECT_EQ(12u, QueueCount(engine_));  // the 13th and 14th packets were refused
  EXPECT_EQ(kMicPoolBlocks - 12, engine_.m_micPool.available());
  for (int i = 0; i < 5; ++i) TakeBlock(engine_);
  engine_.DeliverMicData(const_cast<int16_t *>(in.data()), 320);  // the queue wraps around
  EXPECT_EQ(9u, QueueCount(engine_));
  EXPECT_EQ(kMicPoolBlocks - 9, engine_.m_micPool.available());
  while (QueueCount(engine_)) TakeBlock(engine_);
  EXPECT_EQ(kMicPoolBlocks, engine_.m_micPool.available());
}

TEST_F(MicQueue, PushedBlocksOfAnySizeBecomeOnePacketInsideTheHostBuffer) {
  const Pcm st = StereoBlock([](int j, int ch) { return (int16_t)(ch ? -j * 60 : j * 50); });
  LogCapture log;
  ASSERT_EQ(0, push_(&engine_, const_cast<int16_t *>(st.data()), 480, 4, 2, 48000, 7, 8, 9, 1, 2));
  AudioPacket f = {};
  EXPECT_EQ(st, TakeBlock(engine_, &f));  // as given, aux values carried
  EXPECT_EQ((std::vector<uint32_t>{7, 8, 9}), (std::vector<uint32_t>{f.aux0, f.aux1, f.aux2}));
  ASSERT_EQ(0, Push(Pcm(8, 100), 4, 2, 48000));
  EXPECT_EQ(1, log.Count("audio_HXAec::===> >>>>>: push block of 4 frames at 48000 Hz padded with "
                         "silence to 480 frames of 48000 Hz\n"));
  TakeBlock(engine_);
  // Other sizes at converted rates, in exact-size buffers (a read past one trips ASan): a block
  // reaches no further than its first 10 ms at 48 kHz plus the stream's slack
  // (3 x (48000 / rate + 2)). Copied blocks (48 kHz, and rates taken as it): fuzz_push.
  for (uint32_t rate : {8000, 11025, 16000, 22050, 44100, 96000, 192000})
    for (uint32_t n : {1, 2, 7, 8, 159, 161, 440, 441, 479, 481, 2000})
      for (uint8_t ch = 1; ch <= 2; ++ch) {
        Pcm v(n * ch);
        for (size_t i = 0; i < v.size(); ++i) v[i] = (int16_t)(100 + i / ch);
        ASSERT_EQ(0, Push(v, n, ch, rate));
        const Pcm got = TakeBlock(engine_);
        const uint64_t used = std::min<uint64_t>(n, (rate + 99) / 100);
        const uint64_t reach = (used * 48000 + rate - 1) / rate + 3 * (48000 / rate + 2);
        for (int j = 0; j < 480; ++j) {
          ASSERT_TRUE(j < (int)reach || got[2 * j] == 0) << rate << " " << n << " " << j << ": " << got[2 * j];
          ASSERT_EQ(got[2 * j], got[2 * j + 1]) << rate << " " << n << " " << j;
        }
      }
}
