// Host pull entry: the mixing branch at 48 kHz and as 441-frame blocks, the
// far-end rate conversion (including the resampler's refused-pair trap), the
// playing branch with its pipe lines, and the statistics line. No worker
// thread runs: the pull does not need a started engine.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "dsp/play_frame.h"
#include "gtest/gtest.h"
#include "platform/tick.h"
#include "playback/output_pipes.h"
#include "support/upstream_harness.h"

namespace {

// Host far-end source: stream i answers results[i] and always fills its
// block, so a stream left out of the mix would show.
struct PlaySource {
  std::atomic<int32_t> results[4] = {{1920}, {1920}, {1920}, {1920}};
  std::atomic<int> cycle{0};
  std::mutex mu;
  std::vector<int> streams;  // stream numbers in call order
  std::vector<int> lens;

  static int16_t Sample(int cycle, int stream, int idx) {
    return (int16_t)(((idx * (37 + 11 * stream) + cycle * 4099 + stream * 7919) % 24001) - 12000);
  }
  static int32_t Fn(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
    PlaySource *self = static_cast<PlaySource *>(ctx);
    for (int i = 0; i < len / 2; ++i) buf[i] = Sample(self->cycle.load(), stream, i);
    std::lock_guard<std::mutex> g(self->mu);
    self->streams.push_back(stream);
    self->lens.push_back(len);
    return self->results[stream].load();
  }
  // Right channel of the saturated mix of the streams answering above 0.
  std::vector<int16_t> MixRight() {
    std::vector<int16_t> r(480);
    for (int j = 0; j < 480; ++j) {
      int32_t s = 0;
      for (int i = 0; i < 4; ++i)
        if (results[i].load() > 0) s += Sample(cycle.load(), i, 2 * j + 1);
      r[j] = Sat(s);
    }
    return r;
  }
};

class HostPull : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_.SetDownComCallBackPtr(nullptr, nullptr, (void *)&PlaySource::Fn, &src_);
    engine_.aec_mode.store(1);
    engine_.online_sys_capture.store(1);
    pull_ = reinterpret_cast<UpComPullPlayDataFn>(Hx_AEC_Impl::GetPullEntry());
  }
  int32_t Pull(int32_t frames, uint8_t ch, int32_t rate) {
    std::fill(out_, out_ + 960, (int16_t)0x5555);
    count_ = 12345;
    return pull_(&engine_, frames, 0, ch, rate, out_, &count_);
  }
  std::vector<std::string> PipeLines(const LogCapture &log) {
    std::vector<std::string> v;
    for (const std::string &l : log.Lines())
      if (l.find("g_waveout is null") != std::string::npos) v.push_back(l);
    return v;
  }

  PlaySource src_;
  Hx_AEC_Impl engine_;
  UpComPullPlayDataFn pull_ = nullptr;
  int16_t out_[960];
  uint32_t count_ = 0;
};

std::vector<int16_t> FreshResample(const std::vector<int16_t> &in48, int out_rate) {
  webrtc::Resampler rs;
  std::vector<int16_t> out(3840);
  size_t len = 0;
  EXPECT_EQ(0, rs.Reset(48000, out_rate, 1));
  EXPECT_EQ(0, rs.Push(in48.data(), in48.size(), out.data(), out.size(), len));
  out.resize(len);
  return out;
}

}  // namespace

TEST_F(HostPull, MissingContextOrCallbacks) {
  EXPECT_EQ(-1, pull_(nullptr, 480, 0, 2, 48000, out_, &count_));
  engine_.SetDownComCallBackPtr(nullptr, nullptr, nullptr, &src_);
  EXPECT_EQ(-1, Pull(480, 2, 48000));
  engine_.SetDownComCallBackPtr(nullptr, nullptr, (void *)&PlaySource::Fn, nullptr);
  EXPECT_EQ(-1, Pull(480, 2, 48000));
  engine_.SetDownComCallBackPtr(nullptr, nullptr, (void *)&PlaySource::Fn, &src_);
  EXPECT_EQ(-1, pull_(&engine_, 480, 0, 2, 48000, nullptr, &count_));
  EXPECT_TRUE(src_.streams.empty());
  EXPECT_EQ(0, pull_(&engine_, 480, 0, 2, 48000, out_, nullptr));
}

TEST_F(HostPull, MixingBranch480) {
  src_.results[1] = 0;
  src_.results[3] = -1;
  for (int cycle = 0; cycle < 3; ++cycle) {
    src_.cycle = cycle;
    ASSERT_EQ(0, Pull(480, 2, 48000));
    EXPECT_EQ(960u, count_);
    std::vector<int16_t> r = src_.MixRight();
    for (int j = 0; j < 480; ++j) {
      ASSERT_EQ(r[j], out_[2 * j + 1]) << j;
      ASSERT_EQ(r[j], out_[2 * j]) << j;
    }
  }
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), std::vector<int>(src_.streams.begin(), src_.streams.begin() + 4));
  for (int len : src_.lens) ASSERT_EQ(1920, len);
  // Mono request: still stereo out. System capture on: left silent.
  ASSERT_EQ(0, Pull(480, 1, 48000));
  std::vector<int16_t> r = src_.MixRight();
  for (int j = 0; j < 480; ++j) ASSERT_EQ(r[j], out_[2 * j]);
  engine_.sys_capture.store(1);
  ASSERT_EQ(0, Pull(480, 2, 48000));
  for (int j = 0; j < 480; ++j) {
    ASSERT_EQ(0, out_[2 * j]);
    ASSERT_EQ(r[j], out_[2 * j + 1]);
  }
  // Also past the 160 converted frames of a 16 kHz request.
  ASSERT_EQ(0, Pull(480, 2, 16000));
  for (int j = 0; j < 480; ++j) ASSERT_EQ(0, out_[2 * j]) << j;
  // Nothing above 0: 960 zeros. One stream-count line per 100 mixing calls.
  for (auto &res : src_.results) res = 0;
  LogCapture log;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(0, Pull(480, 2, 48000));
  for (int i = 0; i < 960; ++i) ASSERT_EQ(0, out_[i]);
  EXPECT_EQ(1, log.Count("audio_HXAec::===> -------------vcnt=0\n"));
}

TEST_F(HostPull, Frames441BitExactToBlockResampler) {
  ASSERT_EQ(0, engine_.m_resample_48to44.Init(48000, 44100, 480));
  CBlockResample reference;
  ASSERT_EQ(0, reference.Init(48000, 44100, 480));
  const int32_t rates[] = {44100, 48000, 44100, 44100, 48000};
  const uint8_t chans[] = {2, 1, 1, 2, 1};
  for (int cycle = 0; cycle < 5; ++cycle) {
    src_.cycle = cycle;
    engine_.sys_capture.store(cycle >= 3 ? 1 : 0);
    ASSERT_EQ(0, Pull(441, chans[cycle], rates[cycle]));
    EXPECT_EQ(882u, count_);
    std::vector<int16_t> right = src_.MixRight();
    int16_t ref[960];
    uint32_t produced = 0;
    reference.Process(right.data(), ref, &produced);
    for (int j = 0; j < 441; ++j) {
      ASSERT_EQ(ref[j], out_[2 * j + 1]) << cycle << ":" << j;
      ASSERT_EQ(cycle >= 3 ? 0 : ref[j], out_[2 * j]) << cycle << ":" << j;
    }
    for (int i = 882; i < 960; ++i) ASSERT_EQ(0x5555, out_[i]);  // only 1764 bytes written
  }
}

TEST_F(HostPull, Frames441WithoutConverterIsSilent) {
  ASSERT_EQ(0, Pull(441, 2, 44100));
  EXPECT_EQ(882u, count_);
  for (int i = 0; i < 882; ++i) ASSERT_EQ(0, out_[i]);
}

TEST(PlayFrame, RefusedPairTrap) {
  // 16000, then 44100 twice, then 48000, then 16000: a refused pair must
  // never reach a push on the broken resampler (clean under the sanitizers).
  Hx_AEC_Impl engine;
  std::vector<int16_t> in(480);
  for (int i = 0; i < 480; ++i) in[i] = (int16_t)((i * 523) % 20000 - 10000);
  engine.SetPlayFrame(in.data(), 960);
  const std::vector<int16_t> at16 = FreshResample(in, 16000);
  ASSERT_EQ(160u, at16.size());
  struct Step {
    int32_t rate;
    int32_t result;
  } steps[] = {{16000, 0}, {44100, -1}, {44100, -1}, {44000, -1}, {48000, 0}, {16000, 0},
               {22050, -1}, {0, -1},     {-8000, -1}, {8000, 0},   {44100, -1}, {16000, 0}};
  for (const Step &s : steps) {
    webrtc::AudioFrame dst;
    ASSERT_EQ(s.result, engine.ResamplePlayFrame(s.rate, 1, &dst)) << s.rate;
    ASSERT_EQ(1, dst.num_channels_);
    if (s.result != 0 || s.rate == 48000) {
      // Refused: the 48 kHz copy. 1:1: unchanged.
      EXPECT_EQ(48000, dst.sample_rate_hz_);
      ASSERT_EQ(480u, dst.samples_per_channel_);
      EXPECT_EQ(0, memcmp(dst.data_, in.data(), 960)) << s.rate;
    } else if (s.rate == 16000) {
      EXPECT_EQ(16000, dst.sample_rate_hz_);
      ASSERT_EQ(160u, dst.samples_per_channel_);
      // Every 16000 request here follows a full reset: fresh filter state.
      EXPECT_EQ(0, memcmp(dst.data_, at16.data(), 320)) << s.rate;
    } else {
      EXPECT_EQ(80u, dst.samples_per_channel_);
    }
  }
}

TEST(PlayFrame, ChannelsAndMonoToStereo) {
  Hx_AEC_Impl engine;
  std::vector<int16_t> in(480);
  for (int i = 0; i < 480; ++i) in[i] = (int16_t)(i * 3 - 700);
  engine.SetPlayFrame(in.data(), 960);
  EXPECT_EQ(1, engine.m_audioFrame_Play.id_);
  EXPECT_EQ(webrtc::AudioFrame::kVadActive, engine.m_audioFrame_Play.vad_activity_);
  webrtc::AudioFrame st;
  ASSERT_EQ(0, engine.ResamplePlayFrame(48000, 2, &st));
  ASSERT_EQ(2, st.num_channels_);
  ASSERT_EQ(480u, st.samples_per_channel_);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(in[i], st.data_[2 * i]);
    ASSERT_EQ(in[i], st.data_[2 * i + 1]);
  }
  EXPECT_EQ(-1, MonoToStereo(&st));  // already stereo
  webrtc::AudioFrame big;
  big.num_channels_ = 1;
  big.samples_per_channel_ = 1920;
  big.data_[0] = 9;
  EXPECT_EQ(-1, MonoToStereo(&big));
  EXPECT_EQ(1, big.num_channels_);
  big.samples_per_channel_ = 1919;
  EXPECT_EQ(0, MonoToStereo(&big));
  EXPECT_EQ(9, big.data_[1]);
  // An oversized SetPlayFrame copies at most the frame's capacity.
  std::vector<int16_t> huge(5000, 3);
  engine.SetPlayFrame(huge.data(), 10000);
  EXPECT_EQ(3, engine.m_audioFrame_Play.data_[3839]);
}

TEST_F(HostPull, TrapSequenceThroughPull) {
  const int32_t rates[] = {16000, 44100, 44100, 48000, 16000};
  for (int32_t rate : rates) {
    ASSERT_EQ(0, Pull(480, 2, rate));
    EXPECT_EQ(960u, count_);
    std::vector<int16_t> r = src_.MixRight();
    std::vector<int16_t> want = rate == 16000 ? FreshResample(r, 16000) : r;
    for (size_t j = 0; j < want.size(); ++j) {
      ASSERT_EQ(want[j], out_[2 * j]) << rate << ":" << j;
      ASSERT_EQ(want[j], out_[2 * j + 1]) << rate << ":" << j;
    }
  }
}

TEST_F(HostPull, PlayingBranchPipes) {
  engine_.online_sys_capture.store(0);
  LogCapture log;
  ASSERT_EQ(0, Pull(480, 2, 48000));
  for (int i = 0; i < 960; ++i) ASSERT_EQ(0, out_[i]);
  EXPECT_EQ(960u, count_);
  std::vector<std::string> want = {
      "g_waveout is null ...........: no=0", "g_waveout is null ...........: no=1",
      "g_waveout is null ...........: no=2", "g_waveout is null ...........: no=3"};
  EXPECT_EQ(want, PipeLines(log));
  // A failed pull is handed to its pipe twice; a pull of 0 is not a failure.
  log.Clear();
  src_.results[1] = 0;
  src_.results[2] = -1;
  engine_.online_sys_capture.store(1);
  engine_.aec_mode.store(0);
  engine_.sys_capture.store(1);
  ASSERT_EQ(0, Pull(441, 2, 44100));
  for (int i = 0; i < 960; ++i) ASSERT_EQ(0, out_[i]);
  want.insert(want.begin() + 2, "g_waveout is null ...........: no=2");
  EXPECT_EQ(want, PipeLines(log));
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 0, 1, 2, 3}), src_.streams);
}

TEST(WaveOutPipes, NeverReadsData) {
  LogCapture log;
  EXPECT_EQ(0, waveOutPlay_Put(1, nullptr, 1920));
  EXPECT_EQ(0, waveOutPlay_Put(7, (const void *)16, 1920));  // no slot: data not touched
  EXPECT_EQ("g_waveout is null ...........: no=1\ng_waveout is null ...........: no=7\n",
            log.Text());
}

TEST_F(HostPull, StatisticsLineAfter2000Ms) {
  const char kStat[] = "<++++++++++++++++++++++++++++++++++++++++++++++play_cnt=";
  uint32_t offset = 1000;
  hx::SetTickOffsetForTest(offset);
  ASSERT_EQ(0, Pull(480, 2, 48000));  // starts (or continues) the window
  offset += 2500;
  hx::SetTickOffsetForTest(offset);
  ASSERT_EQ(0, Pull(480, 2, 48000));  // window over: a line, new window
  LogCapture log;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, Pull(480, 2, 48000));
  offset += 1500;
  hx::SetTickOffsetForTest(offset);
  ASSERT_EQ(0, Pull(480, 2, 48000));
  EXPECT_EQ(0, log.Count(kStat));
  g_micCapCount.store(7);
  sys_cnt.store(-5);
  // A call with the callbacks missing still counts.
  engine_.SetDownComCallBackPtr(nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(-1, Pull(480, 2, 48000));
  engine_.SetDownComCallBackPtr(nullptr, nullptr, (void *)&PlaySource::Fn, &src_);
  offset += 1000;
  hx::SetTickOffsetForTest(offset);
  ASSERT_EQ(0, Pull(480, 2, 48000));
  // 1 (reset call) + 3 + 1 + 1 calls before the line: 6 / 2 = 3.
  EXPECT_EQ(1, log.Count(std::string("audio_HXAec::===> ") + kStat +
                         "3; mic_cap=3; sys_cnt=-2\n"));
  EXPECT_EQ(0, g_micCapCount.load());
  EXPECT_EQ(0, sys_cnt.load());
  hx::SetTickOffsetForTest(0);
}
