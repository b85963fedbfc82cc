// Echo cancellation through the module: stepped calls on the simulated
// world's echo path with real speech, measured at the host's capture
// callback (echo/echo_measure.h: far-end-only blocks after the first 2 s).
#include <math.h>

#include <random>

#include "echo/echo_measure.h"
#include "support/stepped_call.h"

namespace {

const std::string kSpeech = HX_SOURCE_DIR "/tests/data/speech16k.wav";
const std::string kFarEnd = HX_SOURCE_DIR "/host/scenario/far_end.wav";

// White noise at -70 dBFS: a quiet microphone's own floor.
std::vector<int16_t> Floor(size_t n, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0, 32768 * pow(10, -70 / 20.0));
  std::vector<int16_t> x(n);
  for (auto &v : x) v = (int16_t)lrint(g(rng));
  return x;
}

hxsim_echo_path Path(int delay_ms, double drift_ppm = 0) {
  hxsim_echo_path p;
  hxsim_default_echo_path(&p);
  p.delay_ms = delay_ms;
  p.drift_ppm = drift_ppm;
  return p;
}

echo_measure::Erle Erle(const std::vector<int16_t> &heard, const std::vector<int16_t> &echo,
                        const std::vector<int16_t> &out, double from_s, double to_s = 1e30) {
  return echo_measure::FarEndOnlyBetween(heard.data(), echo.data(), heard.size(), out.data(),
                                         out.size() / 2, 0, from_s, to_s);
}

// Far end talking, near end silent but for the microphone's floor.
struct FarEndOnly : ::testing::TestWithParam<int> {};

TEST_P(FarEndOnly, ReducesTheEchoBy30DbAtEveryDelay) {
  std::vector<int16_t> speech = ReadMono(kSpeech);
  ASSERT_FALSE(speech.empty()) << "cannot read " << kSpeech;
  SteppedCall call(Triple(speech));
  ASSERT_TRUE(call.Start(Floor(16000 * 7), Path(GetParam())));
  ASSERT_TRUE(call.Step(50 * 12));
  std::vector<int16_t> heard, echo, out;
  call.Take(&heard, &echo, &out);
  ASSERT_EQ(out.size(), 6 * heard.size());
  echo_measure::Erle e = Erle(heard, echo, out, 2);
  ASSERT_GT(e.blocks, 200u);
  hxsim_echo_status st;
  hxsim_get_echo_status(&st);
  const hx_echo_stats &c = st.canceller;
  EXPECT_GE(e.db, 30) << "microphone " << e.mic_dbfs << " dBFS, host " << e.out_dbfs
                      << " dBFS; delay reported " << c.reported_delay_ms << " ms, aligned by "
                      << c.applied_delay_ms << " ms, lead " << c.lead_ms << " ms, "
                      << c.starved_blocks << " starved blocks, " << c.alignment_steps << " steps";
  fprintf(stderr, "delay %d ms: ERLE %.1f dB over %zu far-end-only blocks\n", GetParam(), e.db, e.blocks);
  EXPECT_EQ(st.canceller_running, 1) << (st.canceller_error ? st.canceller_error : "");
  EXPECT_EQ(st.underruns, 0);
}

INSTANTIATE_TEST_SUITE_P(DelayMs, FarEndOnly, ::testing::Values(20, 60, 100, 150, 200, 250));

// The loudspeaker's clock runs 100 ppm fast: 60 ms over ten minutes.
// HX_ECHO_CALL_MINUTES shortens the call (the ThreadSanitizer run takes 3:
// ten minutes would cost it two and a half).
TEST(LongCall, TenMinutesWith100PpmDriftKeep25Db) {
  std::vector<int16_t> speech = ReadMono(kSpeech);
  ASSERT_FALSE(speech.empty()) << "cannot read " << kSpeech;
  const char *env = getenv("HX_ECHO_CALL_MINUTES");
  const int minutes = env && atoi(env) > 0 ? atoi(env) : 10;
  SteppedCall call(Triple(speech));
  ASSERT_TRUE(call.Start(Floor(16000 * 7), Path(100, 100)));
  double mic = 0, host = 0;
  size_t blocks = 0;
  std::vector<int16_t> heard, echo, out;
  for (int m = 0; m < minutes; ++m) {
    ASSERT_TRUE(call.Step(50 * 60));
    call.Take(&heard, &echo, &out);
    echo_measure::Erle e = Erle(heard, echo, out, m == 0 ? 2 : 0);
    ASSERT_TRUE(e.valid) << "minute " << m;
    fprintf(stderr, "  minute %d: ERLE %.1f dB\n", m + 1, e.db);
    EXPECT_GE(e.db, 25) << "minute " << m;
    mic += e.blocks * pow(10, e.mic_dbfs / 10);
    host += e.blocks * pow(10, e.out_dbfs / 10);
    blocks += e.blocks;
  }
  EXPECT_GE(10 * log10(mic / host), 25) << blocks << " far-end-only blocks";
  fprintf(stderr, "%d min at 100 ppm: ERLE %.1f dB over %zu far-end-only blocks\n", minutes,
          10 * log10(mic / host), blocks);
  hxsim_echo_status st;
  hxsim_get_echo_status(&st);
  EXPECT_NEAR(st.canceller.drift_ppm, 100, 5);
  EXPECT_EQ(st.canceller.drift_used, 1) << "the echo's slide did not confirm the drift";
}

// The output device changes mid-call: the delay grows by 100 ms at once
// (and the voice path reports it).
TEST(DelayJump, EchoReductionBackAbove20DbWithin2Seconds) {
  std::vector<int16_t> speech = ReadMono(kSpeech);
  ASSERT_FALSE(speech.empty()) << "cannot read " << kSpeech;
  SteppedCall call(Triple(speech));
  ASSERT_TRUE(call.Start(Floor(16000 * 7), Path(60)));
  ASSERT_TRUE(call.Step(50 * 10));
  hxsim_echo_path p = Path(160);
  ASSERT_EQ(hxsim_set_echo_path(&p), 0);
  ASSERT_TRUE(call.Step(50 * 8));
  std::vector<int16_t> heard, echo, out;
  call.Take(&heard, &echo, &out);
  EXPECT_GE(Erle(heard, echo, out, 2, 10).db, 30) << "before the jump";
  for (double t = 10; t < 18; t += 0.5) {
    echo_measure::Erle e = Erle(heard, echo, out, t, t + 0.5);
    if (e.valid) fprintf(stderr, "  %.1f-%.1f s after the jump: ERLE %.1f dB\n", t - 10, t - 9.5, e.db);
    if (e.valid && t >= 12) {
      EXPECT_GE(e.db, 20) << "second " << t - 10 << " after the jump";
    }
  }
  EXPECT_GE(Erle(heard, echo, out, 12).db, 20) << "from 2 s after the jump";
}

// Both talk: the near end's speech in the host's audio keeps its level and
// shape against the same call without echo (measured -1.4 dB, 0.915).
TEST(DoubleTalk, NearEndSpeechKeepsLevelAndShape) {
  std::vector<int16_t> near = ReadMono(kSpeech);
  ASSERT_FALSE(near.empty()) << "cannot read " << kSpeech;
  const std::vector<int16_t> far48 = ReadMono(kFarEnd, 48000);
  ASSERT_FALSE(far48.empty()) << "cannot read " << kFarEnd;
  std::vector<int16_t> floor = Floor(near.size());
  for (size_t i = 0; i < near.size(); ++i) near[i] = (int16_t)(near[i] + floor[i]);
  const int kBlocks = 50 * 16;
  std::vector<int16_t> heard, echo, with, without, unused;
  {
    SteppedCall call(far48);
    ASSERT_TRUE(call.Start(near, Path(100)));
    ASSERT_TRUE(call.Step(kBlocks));
    call.Take(&heard, &echo, &with);
  }
  {
    hxsim_echo_path off = {};
    SteppedCall call(far48);
    ASSERT_TRUE(call.Start(near, off));
    ASSERT_TRUE(call.Step(kBlocks));
    call.Take(&unused, &unused, &without);
  }
  ASSERT_EQ(with.size(), without.size());
  echo_measure::DoubleTalk d = echo_measure::CompareDoubleTalk(
      heard.data(), echo.data(), heard.size(), with.data(), without.data(), with.size() / 2, 0);
  ASSERT_GT(d.blocks, 50u);
  fprintf(stderr, "double talk: level %+.2f dB, correlation %.3f over %zu blocks\n", d.level_db,
          d.correlation, d.blocks);
  EXPECT_LE(fabs(d.level_db), 3) << d.blocks << " double-talk blocks, shift " << d.shift_frames;
  EXPECT_GE(d.correlation, 0.9) << d.blocks << " double-talk blocks, shift " << d.shift_frames;
}

}  // namespace
