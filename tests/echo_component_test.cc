// The echo-canceller component on its own: its contract, its drift tracker,
// an echo the report does not show, an echo that drops out, two threads at
// once.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "echo/drift_tracker.h"
#include "echo/echo_recording.h"
#include "echo/hx_echo.h"
#include "echo/residual_suppressor.h"
#include "echo/echo_canceller.h"
#include "support/canceller_latency.h"
#include "support/digital_echo.h"

namespace {

using V = std::vector<int64_t>;

struct Canceller {
  hx_echo *e = nullptr;
  Canceller() {
    const char *why = nullptr;
    EXPECT_NE(e = hx_echo_create(nullptr, &why), nullptr) << why;
  }
  ~Canceller() { hx_echo_destroy(e); }
  hx_echo_stats Stats() const { hx_echo_stats st; hx_echo_get_stats(e, &st); return st; }
};

// Bad arguments change nothing; the far end waits for the capture side in a
// queue of 1 s, and a stalled capture side loses the oldest (counted).
TEST(EchoComponent, RefusesBadArgumentsAndKeepsTheNewestSecondOfFarEnd) {
  Canceller c;
  int16_t st[2 * HX_ECHO_REVERSE_FRAMES] = {}, mic[HX_ECHO_BLOCK] = {}, out[HX_ECHO_BLOCK];
  for (int i = 0; i < 150; ++i) hx_echo_reverse(c.e, st, HX_ECHO_REVERSE_FRAMES);
  hx_echo_reverse(c.e, st, 0), hx_echo_reverse(c.e, nullptr, 160), hx_echo_reverse(nullptr, st, 160);
  EXPECT_EQ((V{c.Stats().reverse_samples, c.Stats().reverse_dropped}), (V{24000, 8000}));
  std::fill(out, out + HX_ECHO_BLOCK, int16_t(1234));
  int32_t voice = 7;
  EXPECT_EQ((V{hx_echo_capture(c.e, mic, 319, 100, out, &voice),
               hx_echo_capture(c.e, mic, 321, 100, out, &voice),
               hx_echo_capture(c.e, nullptr, HX_ECHO_BLOCK, 100, out, &voice),
               hx_echo_capture(nullptr, mic, HX_ECHO_BLOCK, 100, out, &voice), voice, out[0],
               c.Stats().capture_blocks}),
            (V{-1, -1, -1, -1, 7, 1234, 0}));
  EXPECT_EQ(hx_echo_capture(c.e, mic, HX_ECHO_BLOCK, 100, out, &voice), 0);
  EXPECT_EQ((V{voice, c.Stats().capture_blocks, c.Stats().reported_delay_ms}), (V{0, 1, 100}));
  hx_echo_destroy(nullptr);  // safe
}

// An engine this program does not carry, or one that does not exist, is
// refused with its reason; the default settings pick the built-in engine.
TEST(EchoComponent, RefusesAnEngineItDoesNotCarry) {
  hx_echo_settings s;
  hx_echo_default_settings(&s);
  EXPECT_EQ(s.engine, HX_ECHO_ENGINE_WEBRTC);
  const char *why = nullptr;
  s.engine = HX_ECHO_ENGINE_AEC3;
  EXPECT_EQ(hx_echo_create(&s, &why), nullptr);
  EXPECT_STREQ(why, "the AEC3 engine is not linked into this program");
  s.engine = 7;
  EXPECT_EQ(hx_echo_create(&s, &why), nullptr);
  EXPECT_STREQ(why, "unknown echo canceller engine");
}

// The residual stage compares the microphone with what the linear stage
// leaves, so it is given the microphone delayed by the latency the engine
// states: a wrong figure lets the end of every word through the stage's
// output unmatched by the microphone, where it is taken for the engine's
// own echo estimate and removed.
TEST(EchoComponent, TheLinearStageLagsItsInputByTheLatencyItStates) {
  ExpectStatedLatency(HX_ECHO_ENGINE_WEBRTC, 0.99);
}

// An echo the report does not show (a loopback, a converter's buffer) and
// device changes that move it while the report stays: the canceller finds
// the echo in the signals. The report says 40 ms throughout; the echo comes
// at 40, 200, 120, 60 and 160 ms, 10 s each. From 2 s after each move, every
// half second with echo (above -50 dBFS) is back above 20 dB.
TEST(EchoComponent, FindsAnEchoTheReportDoesNotShow) {
  Canceller c;
  DigitalEcho echo;
  ASSERT_FALSE(echo.speech.empty()) << "cannot read tests/data/speech16k.wav";
  for (int echo_ms : {40, 200, 120, 60, 160}) {
    double in = 0, left = 0;
    for (int b = 0; b < 500; ++b) {
      echo.Block(c.e, echo_ms, 40);
      const double heard = BlockPower(echo.mic);
      if (b >= 100 && heard > HX_ECHO_BLOCK * 1e4) in += heard, left += BlockPower(echo.out);
      if (b % 25 == 24 && in > 0) {
        EXPECT_GE(10 * log10(in / (left + 1)), 20) << "echo at " << echo_ms << " ms, " << (b + 1) * 0.02 << " s";
        in = left = 0;
      }
    }
    EXPECT_EQ(c.Stats().applied_delay_ms, echo_ms);
    EXPECT_NEAR(c.Stats().path_offset_ms, echo_ms - 40, 1);
  }
}

// What a live canceller consumed, recorded, replays in a fresh canceller
// to the very samples it gave back; the file holds whole blocks only, and a
// recording that is full stops growing (a second asked for: not all of 100
// blocks).
TEST(EchoComponent, ARecordingReplaysToTheSameSamples) {
  Canceller live, again, plain;
  DigitalEcho echo;
  ASSERT_FALSE(echo.speech.empty()) << "cannot read tests/data/speech16k.wav";
  ASSERT_EQ(hx_echo_record(live.e, 1), 0);
  std::vector<std::vector<int16_t>> mics, outs;
  for (int b = 0; b < 100; ++b) {
    ASSERT_EQ(echo.Block(live.e, 60, 40), 0);
    mics.emplace_back(echo.mic, echo.mic + HX_ECHO_BLOCK);
    outs.emplace_back(echo.out, echo.out + HX_ECHO_BLOCK);
  }
  const std::string path = testing::TempDir() + "echo_component.rec";
  ASSERT_EQ(hx_echo_save_recording(live.e, path.c_str()), 0);
  EXPECT_EQ(hx_echo_save_recording(plain.e, path.c_str()), -1);  // nothing recorded there
  EchoRecordingReader reader;
  ASSERT_TRUE(reader.Open(path.c_str()));
  size_t blocks = 0;
  RecordedBlock b;
  int got = 0;
  while ((got = reader.Next(&b)) == 1) {
    ASSERT_LT(blocks, mics.size());
    EXPECT_EQ(b.far.size(), size_t(2 * HX_ECHO_REVERSE_FRAMES)) << "block " << blocks;
    EXPECT_EQ(b.received, int64_t(blocks + 1) * 2 * HX_ECHO_REVERSE_FRAMES) << "block " << blocks;
    EXPECT_EQ(b.delay_ms, 40) << "block " << blocks;
    EXPECT_EQ(std::vector<int16_t>(b.mic, b.mic + HX_ECHO_BLOCK), mics[blocks]) << "block " << blocks;
    EXPECT_EQ(std::vector<int16_t>(b.out, b.out + HX_ECHO_BLOCK), outs[blocks]) << "block " << blocks;
    std::vector<int16_t> out(HX_ECHO_BLOCK);
    ASSERT_EQ(ReplayRecordedBlock(again.e, b, out.data()), 0);
    EXPECT_EQ(out, outs[blocks]) << "block " << blocks << " replayed";
    ++blocks;
  }
  EXPECT_EQ(got, 0) << "block " << blocks << " torn";
  EXPECT_GE(blocks, 50u);
  EXPECT_LT(blocks, 100u);
}

// A server whose reported capture latency swings (pipewire's reads 5 to
// 150 ms and back within seconds) while the echo stays where it is: the
// report holds each value for 0.6 to 1.4 s, longer than a device change
// needs to be believed. Once the canceller has found the echo in the signals
// it keeps it: the alignment does not follow the swings, and every half
// second with echo from 4 s on stays above 20 dB.
TEST(EchoComponent, AReportThatSwingsDoesNotMoveAnEchoItHasFound) {
  Canceller c;
  DigitalEcho echo;
  ASSERT_FALSE(echo.speech.empty()) << "cannot read tests/data/speech16k.wav";
  const int reports[] = {60, 150, 20, 110, 5, 140, 60, 90, 10, 130};
  const int hold[] = {30, 45, 60, 35, 70, 50, 40, 65, 30, 55};  // blocks
  int64_t steps_at_4s = -1;
  double in = 0, left = 0;
  for (int b = 0, r = 0, until = hold[0]; b < 1000; ++b) {
    if (b == until) r = (r + 1) % 10, until += hold[r];
    echo.Block(c.e, 60, reports[r]);
    if (b == 200) steps_at_4s = c.Stats().alignment_steps;
    const double heard = BlockPower(echo.mic);
    if (b >= 200 && heard > HX_ECHO_BLOCK * 1e4) in += heard, left += BlockPower(echo.out);
    if (b % 25 == 24 && in > 0) {
      EXPECT_GE(10 * log10(in / (left + 1)), 20) << (b + 1) * 0.02 << " s";
      in = left = 0;
    }
  }
  EXPECT_EQ(c.Stats().alignment_steps, steps_at_4s);
  EXPECT_EQ(c.Stats().path_locked, 1);
}

// The microphone hears digital silence for 200 ms while the far end plays
// (a glitch in the echo path or the capture): the canceller then puts out
// its own estimate of the echo (about 40 dB below it), which must not reach
// the host. Over the dropout the host gets the silence, below one step rms,
// after the linear stage's latency and 10 ms more: the residual stage's
// output is 5 ms late and its 10 ms windows carry what came before the
// dropout 5 ms further.
TEST(EchoComponent, AnEchoThatDropsOutLeavesNoEstimateBehind) {
  const char *why = nullptr;
  const std::unique_ptr<EchoCanceller> engine = DefaultEngine(HX_ECHO_ENGINE_WEBRTC, &why);
  ASSERT_NE(engine, nullptr) << why;
  const int skip = engine->Latency() + 2 * kResidualLatency;
  Canceller c;
  DigitalEcho echo;
  ASSERT_FALSE(echo.speech.empty()) << "cannot read tests/data/speech16k.wav";
  for (int b = 0; b < 250; ++b) echo.Block(c.e, 60, 60);
  echo.echo_on = false;
  double far = 0, left = 0;
  for (int b = 0; b < 10; ++b) {
    echo.Block(c.e, 60, 60);
    far += BlockPower(&echo.played[echo.played.size() - HX_ECHO_BLOCK - 16 * 60]);
    for (int i = b ? 0 : skip; i < HX_ECHO_BLOCK; ++i) left += double(echo.out[i]) * echo.out[i];
  }
  ASSERT_GT(far, 1e6 * 10 * HX_ECHO_BLOCK) << "the far end must play during the dropout";
  EXPECT_LT(left, 10 * HX_ECHO_BLOCK);
}

// One thread hands over the far end while another captures (as the real
// voice path does); a third reads the statistics.
TEST(EchoComponent, RenderCaptureAndStatisticsThreadsAtOnce) {
  Canceller c;
  std::atomic<bool> stop{false};
  std::thread render([&] {
    int16_t st[2 * HX_ECHO_REVERSE_FRAMES];
    for (int k = 0; !stop.load(); ++k) {
      for (int i = 0; i < 2 * HX_ECHO_REVERSE_FRAMES; ++i) st[i] = int16_t((k * 37 + i * 11) % 2000);
      hx_echo_reverse(c.e, st, HX_ECHO_REVERSE_FRAMES);
      std::this_thread::yield();
    }
  });
  std::thread reader([&] {  // every copy whole: no torn or stale-then-newer figures
    for (hx_echo_stats st, was{}; !stop.load(); was = st, std::this_thread::yield()) {
      st = c.Stats();
      EXPECT_GE(st.capture_blocks, was.capture_blocks);
      EXPECT_EQ(st.reported_delay_ms, st.capture_blocks ? 80 : 0);
    }
  });
  const auto t0 = std::chrono::steady_clock::now();  // the render thread first: the threads overlap
  while (!c.Stats().reverse_samples && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {}
  int16_t mic[HX_ECHO_BLOCK] = {}, out[HX_ECHO_BLOCK];
  int32_t voice;
  for (int b = 0; b < 200; ++b) EXPECT_EQ(hx_echo_capture(c.e, mic, HX_ECHO_BLOCK, 80, out, &voice), 0);
  stop = true, render.join(), reader.join();
  EXPECT_EQ(c.Stats().capture_blocks, 200);
  EXPECT_GT(c.Stats().reverse_samples, 0);
}

// A step of the lead (far end received - reported delay - captured, in
// samples, one value per 20 ms block) starts a new fit; slopes beyond the
// limit are clamped.
TEST(DriftTracker, ASuddenStepStartsANewFitInsteadOfBendingThisOne) {
  DriftTracker t;
  double lead = 0;
  for (int k = 0; k < 50 * 60; ++k) DriftTrackerUpdate(&t, lead += 0.032, 320);  // 100 ppm
  EXPECT_NEAR(t.ppm, 100, 0.5);
  lead -= 1600;  // the delay grew by 100 ms
  for (int k = 0; k < 50 * 5; ++k) DriftTrackerUpdate(&t, lead += 0.032, 320);
  EXPECT_EQ(t.steps, 1);
  EXPECT_NEAR(t.ppm, 100, 0.5) << "the estimate in use stays while the new fit settles";
  for (int k = 0; k < 50 * 60; ++k) DriftTrackerUpdate(&t, lead -= 0.5, 320);  // far end stopped
  EXPECT_EQ(t.ppm, -kDriftMaxPpm) << "clamped";
}

}  // namespace
