// Host push entry: refusals, the packet every accepted block becomes
// (conversion, padding, cutting), the lines, and exact-size host buffers so
// the sanitizer build catches any read past them. No worker thread runs.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/upstream_harness.h"

namespace {

class HostPush : public UpstreamEngineTest {
 protected:
  void SetUp() override {
    UpstreamEngineTest::SetUp();
    engine_.m_running.store(1);
    push_ = reinterpret_cast<UpComPushMicDataFn>(Hx_AEC_Impl::GetPushEntry());
  }
  int32_t Push(std::vector<int16_t> &v, uint32_t frames, uint8_t ch, uint32_t rate) {
    return push_(&engine_, v.empty() ? nullptr : v.data(), frames, (uint8_t)(2 * ch), ch, rate,
                 0, 0, 0, 0, 0);
  }

  UpComPushMicDataFn push_ = nullptr;
};

}  // namespace

TEST_F(HostPush, ResultsAndUnreadableBlocks) {
  Pcm v = ConstBlock(1000, 1000);
  // -1 only without context, running engine or capture callback.
  EXPECT_EQ(-1, push_(nullptr, v.data(), 480, 4, 2, 48000, 0, 0, 0, 0, 0));
  engine_.m_running.store(0);
  EXPECT_EQ(-1, Push(v, 480, 2, 48000));
  engine_.m_running.store(1);
  engine_.SetDownComCallBackPtr(nullptr, &sink_, nullptr, nullptr);
  EXPECT_EQ(-1, Push(v, 480, 2, 48000));
  engine_.SetDownComCallBackPtr((void *)&CaptureSink::Fn, &sink_, nullptr, nullptr);
  engine_.micro_capture.store(0);
  EXPECT_EQ(0, Push(v, 480, 2, 48000));
  EXPECT_EQ(0u, QueueCount(engine_));

  // A block that cannot be read is refused unread: 0, nothing queued.
  engine_.micro_capture.store(1);
  std::vector<int16_t> none;
  LogCapture log;
  EXPECT_EQ(0, Push(none, 480, 2, 48000));
  EXPECT_EQ(0, Push(v, 0, 2, 48000));
  EXPECT_EQ(0, push_(&engine_, v.data(), 480, 0, 0, 48000, 0, 0, 0, 0, 0));
  EXPECT_EQ(0, push_(&engine_, v.data(), 160, 6, 3, 48000, 0, 0, 0, 0, 0));
  EXPECT_EQ(0, push_(&engine_, v.data(), 480, 8, 2, 48000, 0, 0, 0, 0, 0));  // 32-bit
  EXPECT_EQ(0, push_(&engine_, v.data(), 480, 2, 2, 48000, 0, 0, 0, 0, 0));
  EXPECT_EQ(0u, QueueCount(engine_));
  // Rate-limited: one line per 100 refusals, whatever the counter's phase.
  for (int i = 0; i < 94; ++i) Push(none, 480, 2, 48000);
  EXPECT_EQ(1, log.Count("audio_HXAec::===> >>>>>: bad push block: "));
  EXPECT_EQ(0, log.Count("power="));  // never offered to the queue
}

TEST_F(HostPush, StandardBlockQueuedUnchanged) {
  Pcm v = StereoBlock([](int j, int ch) { return (int16_t)(ch ? -j * 60 : j * 50); });
  LogCapture log;
  ASSERT_EQ(0, push_(&engine_, v.data(), 480, 4, 2, 48000, 7, 8, 9, 0xAB, 0xCDEF));
  AudioPacket f;
  EXPECT_EQ(v, TakeBlock(engine_, &f));
  EXPECT_EQ(480u, f.frames);
  EXPECT_EQ(4, f.bytes_per_frame);
  EXPECT_EQ(2, f.channels);
  EXPECT_EQ(48000u, f.sample_rate);
  EXPECT_EQ(7u, f.aux0);
  EXPECT_EQ(8u, f.aux1);
  EXPECT_EQ(9u, f.aux2);
  EXPECT_EQ(0, log.Count("padded"));
  EXPECT_EQ(0, log.Count("cut"));
}

TEST_F(HostPush, MonoAndOtherRatesConverted) {
  // Mono 48 kHz: duplicated.
  std::vector<int16_t> mono(480);
  for (int j = 0; j < 480; ++j) mono[j] = (int16_t)(j * 11 - 2000);
  ASSERT_EQ(0, Push(mono, 480, 1, 48000));
  Pcm got = TakeBlock(engine_);
  for (int j = 0; j < 480; ++j) {
    ASSERT_EQ(mono[j], got[2 * j]);
    ASSERT_EQ(mono[j], got[2 * j + 1]);
  }
  LogCapture log;
  // 10 ms at 16 kHz mono, a ramp: interpolated at 48 kHz, 3 frames per input.
  std::vector<int16_t> m16(160);
  for (int i = 0; i < 160; ++i) m16[i] = (int16_t)(i * 30);
  ASSERT_EQ(0, Push(m16, 160, 1, 16000));
  got = TakeBlock(engine_);
  for (int k = 0; k < 477; ++k) ASSERT_EQ(k * 10, got[2 * k]) << k;
  EXPECT_EQ(159 * 30, got[2 * 479]);  // last frames hold the block's last value
  // 10 ms at 44.1 and 32 kHz stereo: a constant stays constant over all 480 frames.
  for (uint32_t rate : {44100u, 32000u}) {
    std::vector<int16_t> st(2 * (rate / 100));
    for (size_t i = 0; i < st.size(); ++i) st[i] = (i & 1) ? -777 : 555;
    ASSERT_EQ(0, Push(st, rate / 100, 2, rate));
    got = TakeBlock(engine_);
    EXPECT_EQ(ConstBlock(555, -777), got) << rate;
  }
  EXPECT_EQ(0, log.Count("padded"));
  EXPECT_EQ(0, log.Count("cut"));
}

TEST_F(HostPush, ShortPaddedLongCut) {
  LogCapture log;
  std::vector<int16_t> four = {100, 200, 300, 400, 500, 600, 700, 800};  // 4 stereo frames
  ASSERT_EQ(0, Push(four, 4, 2, 48000));
  Pcm got = TakeBlock(engine_);
  Pcm want(960, 0);
  std::copy(four.begin(), four.end(), want.begin());
  EXPECT_EQ(want, got);
  EXPECT_EQ(1, log.Count(
                   "audio_HXAec::===> >>>>>: push block of 4 frames at 48000 Hz padded with "
                   "silence to 480 frames of 48000 Hz\n"));
  std::vector<int16_t> longer(2 * 1000);
  for (size_t i = 0; i < longer.size(); ++i) longer[i] = (int16_t)i;
  ASSERT_EQ(0, Push(longer, 1000, 2, 48000));
  got = TakeBlock(engine_);
  EXPECT_EQ(Pcm(longer.begin(), longer.begin() + 960), got);
}

TEST_F(HostPush, OddSizesStayInsideHostBuffer) {
  // Exact-size heap buffers: any read past the host's block trips the
  // sanitizer build. Every accepted block becomes one full packet.
  const uint32_t rates[] = {0, 1, 8000, 11025, 16000, 22050, 44100, 48000, 96000, 192000, 400000};
  const uint32_t frames[] = {1, 2, 7, 8, 159, 161, 440, 441, 479, 481, 2000};
  for (uint32_t rate : rates)
    for (uint32_t n : frames)
      for (uint8_t ch = 1; ch <= 2; ++ch) {
        std::vector<int16_t> v(n * ch, 1234);
        ASSERT_EQ(0, Push(v, n, ch, rate));
        AudioPacket f;
        Pcm got = TakeBlock(engine_, &f);
        ASSERT_EQ(960u, got.size());
        EXPECT_EQ(480u, f.frames);
        // Frames covered by the block carry it, the rest is silence.
        const bool convert = rate != 48000 && rate >= 8000 && rate <= 192000;
        uint64_t covered = convert ? (uint64_t)n * 48000 / rate : n;
        if (covered > 480) covered = 480;
        for (uint64_t k = 0; k < 480; ++k) {
          const int16_t want = k < covered ? 1234 : 0;
          ASSERT_EQ(want, got[2 * k]) << rate << " " << n << " " << k;
          ASSERT_EQ(want, got[2 * k + 1]) << rate << " " << n << " " << k;
        }
      }
}

TEST_F(HostPush, RefusalLinesAndQuietSpan) {
  Pcm quiet(960, 0), loud = ConstBlock(4000, 4000);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(0, Push(quiet, 480, 2, 48000));
  LogCapture log;
  // 10 refusals: exactly one line, whatever the counter's phase.
  for (int i = 0; i < 10; ++i) ASSERT_EQ(0, Push(quiet, 480, 2, 48000));
  EXPECT_EQ(8u, QueueCount(engine_));
  EXPECT_EQ(1, log.Count("audio_HXAec::===> >>>>>: del mute pak: 8\n"));
  // The span is the host's frame count: a 480-frame block is measured over
  // its first 480 values only, so loud audio in its second half is quiet.
  Pcm second_half_loud = StereoBlock([](int j, int) { return (int16_t)(j >= 240 ? 8000 : 0); });
  ASSERT_EQ(0, Push(second_half_loud, 480, 2, 48000));
  EXPECT_EQ(8u, QueueCount(engine_));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(0, Push(loud, 480, 2, 48000));
  EXPECT_EQ(12u, QueueCount(engine_));
  log.Clear();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(0, Push(loud, 480, 2, 48000));
  EXPECT_EQ(12u, QueueCount(engine_));
  EXPECT_EQ(1, log.Count("audio_HXAec::===> >>>>>: drop pak: 12\n"));
  // Power line: one per 300 offers.
  log.Clear();
  for (int i = 0; i < 300; ++i) Push(loud, 480, 2, 48000);
  EXPECT_EQ(1, log.Count("audio_HXAec::===> ((((((((((((((: +++++:  power="));
}
