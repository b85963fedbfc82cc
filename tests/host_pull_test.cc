// Host pull entry: the mixed block per format, refusals, statistics line.
#include "platform/tick.h"
#include "support/upstream_harness.h"

namespace {

const int32_t kResults[4] = {1920, 0, 1920, -1};  // what each stream's pull answers
int16_t Sample(int cycle, int stream, int i) {
  return (int16_t)((i * (37 + 11 * stream) + cycle * 4099 + stream * 7919) % 40001 - 20000);
}

// The fixture is the host's far-end source; every stream fills its block.
class HostPull : public ::testing::Test {
 protected:
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t s) {
    for (int i = 0; i < len / 2; ++i) buf[i] = Sample(static_cast<HostPull *>(ctx)->cycle_, s, i);
    return kResults[s];
  }
  void SetUp() override { Source(this, (void *)&Play), engine_.aec_mode.store(1), engine_.online_sys_capture.store(1); }
  void Source(void *ctx, void *fn) { engine_.SetDownComCallBackPtr(nullptr, nullptr, fn, ctx); }
  int32_t Pull(int32_t frames, uint8_t ch, int32_t rate) {
    std::fill(out_, out_ + 960, (int16_t)0x5555);
    count_ = 0xC0FFEE, ++cycle_;  // the host's own count before; new far-end content every pull
    return pull_(&engine_, frames, 0, ch, rate, out_, &count_);
  }

  int cycle_ = 0;
  Hx_AEC_Impl engine_;
  UpComPullPlayDataFn pull_ = reinterpret_cast<UpComPullPlayDataFn>(Hx_AEC_Impl::GetPullEntry());
  int16_t out_[960];
  uint32_t count_ = 0;
};

}  // namespace

TEST_F(HostPull, MixedBlockPerRequest) {
  CBlockResample ref44;
  ASSERT_TRUE(engine_.m_resample_48to44.Init(48000, 44100, 480) == 0 && ref44.Init(48000, 44100, 480) == 0);
  // 44100, a refused pair: the 48 kHz copy, no push. Each 16000 follows a full reset.
  const int32_t steps[][4] = {// frames, channels, rate, sys_capture
                              {480, 2, 16000, 0}, {480, 2, 44100, 0}, {480, 2, 44100, 0},
                              {480, 1, 48000, 0}, {480, 2, 16000, 1}, {441, 2, 44100, 0},
                              {441, 1, 48000, 0}, {441, 2, 44100, 1}, {441, 1, 48000, 1}};
  for (const auto &[frames, ch, rate, sys] : steps) {
    engine_.sys_capture.store(sys);
    ASSERT_EQ(0, Pull(frames, ch, rate));  // count and the bytes past it: misuse_test, fuzz_pull
    Pcm in(480);  // right channel of the saturated mix of the streams above 0: 0 and 2
    for (int j = 0; j < 480; ++j) in[j] = Sat(Sample(cycle_, 0, 2 * j + 1) + Sample(cycle_, 2, 2 * j + 1));
    Pcm want(in);
    size_t n = frames;
    uint32_t produced = 0;
    webrtc::Resampler fresh;
    if (frames == 441) ref44.Process(in.data(), want.data(), &produced);
    ASSERT_FALSE(frames == 480 && rate == 16000 &&
                 (fresh.Reset(48000, 16000, 1) || fresh.Push(in.data(), 480, want.data(), 480, n)));
    want.resize(n);  // left: silent for all frames with system capture on
    EXPECT_EQ(want, Channel(out_, 1, n)) << frames << " " << rate;
    EXPECT_EQ(sys ? Pcm(frames, 0) : want, Channel(out_, 0, sys ? frames : n));
  }
  LogCapture log;  // one stream-count line per 100 mixing calls
  for (int i = 0; i < 100; ++i) ASSERT_EQ(0, Pull(480, 2, 48000));
  EXPECT_EQ(1, log.Count("audio_HXAec::===> -------------vcnt=2\n"));
}

TEST_F(HostPull, RefusalsAndStatisticsLineAfter2000Ms) {
  uint32_t now = 1000;
  auto pull_at = [&](uint32_t advance) { return hx::SetTickOffsetForTest(now += advance), Pull(480, 2, 48000); };
  for (uint32_t advance : {0u, 2500u}) pull_at(advance);  // the window restarts at the second
  LogCapture log;
  EXPECT_EQ(-1, pull_(nullptr, 480, 0, 2, 48000, out_, &count_));  // not counted
  Source(this, nullptr);
  EXPECT_EQ(-1, pull_at(1500));  // refusals count too
  Source(nullptr, (void *)&Play);
  EXPECT_EQ(-1, pull_at(0));
  Source(this, (void *)&Play);
  EXPECT_EQ(0, log.Count("play_cnt="));  // 2000 ms not yet over
  g_micCapCount.store(7), sys_cnt.store(-5);
  pull_at(1000);  // 1 (window restart) + 2 refused calls before the line: 3 / 2 = 1
  EXPECT_EQ(1, log.Count("audio_HXAec::===> <++++++++++++++++++++++++++++++++++++++++++++++"
                         "play_cnt=1; mic_cap=3; sys_cnt=-2\n"));
  EXPECT_EQ(0, g_micCapCount.load() | sys_cnt.load());
  hx::SetTickOffsetForTest(0);
}
