// The far-end aligner on counted samples: every far-end sample carries its
// own index, so the far end handed to the canceller shows exactly where the
// alignment and the lead put it. The far end is copied (no clock conversion)
// and the echo is not searched in the signals.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "echo/far_end_aligner.h"

namespace {

int16_t Mark(int64_t index) { return int16_t(index % 20000 + 1); }

struct Feed {
  FarEndAligner aligner;
  int64_t sent = 0;     // far-end samples queued so far
  int64_t history = 0;  // ... of which reached the aligner
  int16_t mic[HX_ECHO_BLOCK] = {};

  Feed() { EXPECT_EQ(aligner.Start(false, false), nullptr); }
  // Blocks of capture, each after the far end the render side played
  // meanwhile (`far` samples, of which the first `lost` never arrive).
  void Blocks(int n, int32_t delay_ms, int far = HX_ECHO_BLOCK, int lost = 0) {
    for (int b = 0; b < n; ++b) {
      std::vector<int16_t> chunk;
      for (int i = lost; i < far; ++i) chunk.push_back(Mark(history++));
      sent += far;
      aligner.Step(chunk.data(), chunk.size(), sent, delay_ms, mic);
    }
  }
  hx_echo_stats Stats() const {
    hx_echo_stats st{};
    aligner.Report(&st);
    return st;
  }
  // The far end whose echo starts the block came `delay_ms` before the
  // newest; the canceller gets it 40 ms (the longest lead) earlier.
  void ExpectFirstHalfEchoes(int32_t delay_ms) const {
    int16_t half[kEchoHalf];
    aligner.Half(0, half);
    EXPECT_EQ(half[0], Mark(history - EchoMs(delay_ms) - HX_ECHO_BLOCK + EchoMs(40)));
  }
};

// A change of the reported delay by more than 20 ms moves the alignment once
// it has held for half a second (25 blocks); a swing of 24 blocks, and a
// smaller change held for long, leave it where it is.
TEST(FarEndAligner, FollowsADelayJumpHeldHalfASecondButNotShorterSwings) {
  Feed f;
  f.Blocks(60, 100);
  EXPECT_EQ(f.Stats().lead_ms, 40);
  EXPECT_EQ(f.aligner.capture(), 59 * HX_ECHO_BLOCK);
  f.ExpectFirstHalfEchoes(100);
  f.Blocks(24, 150);  // a swing: report noise
  f.Blocks(30, 100);
  f.Blocks(100, 110);  // within the canceller's filter: left to it
  f.Blocks(24, 150);
  EXPECT_EQ(f.Stats().applied_delay_ms, 100);
  EXPECT_EQ(f.Stats().alignment_steps, 0);
  f.Blocks(1, 150);  // the 25th block: a new device delay
  EXPECT_EQ(f.Stats().applied_delay_ms, 150);
  EXPECT_EQ(f.Stats().alignment_steps, 1);
  f.ExpectFirstHalfEchoes(150);
}

// The reported delay creeps 30 ms later over 6 s (a render buffer filling
// as the streams settle) and stays there: the alignment stays where the
// canceller's filter holds the echo. A step after it still moves it.
TEST(FarEndAligner, AReportThatCreepsAwayIsNoJumpButAStepAfterItIs) {
  Feed f;
  f.Blocks(60, 100);
  for (int ms = 101; ms <= 130; ++ms) f.Blocks(10, ms);
  f.Blocks(100, 130);
  EXPECT_EQ(f.Stats().applied_delay_ms, 100);
  EXPECT_EQ(f.Stats().alignment_steps, 0);
  f.Blocks(24, 170);
  EXPECT_EQ(f.Stats().alignment_steps, 0);
  f.Blocks(1, 170);
  EXPECT_EQ(f.Stats().applied_delay_ms, 170);
  EXPECT_EQ(f.Stats().alignment_steps, 1);
  f.ExpectFirstHalfEchoes(170);
}

// The far end arrives 15 ms short for good: the 40 ms lead then reaches past
// the newest far end. After 25 starved blocks the lead shrinks to what the
// history holds, with 10 ms to spare. A few starved blocks that the far end
// catches up with do not shrink it.
TEST(FarEndAligner, StarvationShrinksTheLeadOnlyWhenItLasts) {
  Feed f;
  f.Blocks(60, 50);
  f.Blocks(1, 50, 0);  // the render side late by a block ...
  f.Blocks(5, 50);
  f.Blocks(1, 50, 2 * HX_ECHO_BLOCK);  // ... and caught up
  f.Blocks(60, 50);
  EXPECT_EQ(f.Stats().lead_ms, 40);
  const int64_t starved = f.Stats().starved_blocks;
  EXPECT_GT(starved, 0);
  f.Blocks(1, 50, HX_ECHO_BLOCK, EchoMs(15));  // 15 ms of far end lost for good
  f.Blocks(23, 50);
  EXPECT_EQ(f.Stats().starved_blocks, starved + 24);
  EXPECT_EQ(f.Stats().lead_ms, 40);
  f.Blocks(1, 50);
  const hx_echo_stats st = f.Stats();
  EXPECT_EQ(st.starved_blocks, starved + 25);
  EXPECT_EQ(st.lead_ms, 25);  // 50 - 15 ms of far end beyond the block, 10 ms spare
  EXPECT_EQ(st.alignment_steps, 1);
  f.Blocks(10, 50);
  EXPECT_EQ(f.Stats().starved_blocks, starved + 25);
  int16_t half[kEchoHalf];
  f.aligner.Half(1, half);
  EXPECT_NE(half[kEchoHalf - 1], 0);  // the far end reaches the canceller again
}

// The far end comes in 40 ms bursts, every other block: with the lead the
// report allows, every other block misses 20 ms of it. The lead shrinks
// within 2 s; it used to stay, half the blocks fed partly with silence.
TEST(FarEndAligner, StarvationInEveryOtherBlockShrinksTheLead) {
  Feed f;
  f.Blocks(60, 50);
  const int64_t starved = f.Stats().starved_blocks;
  for (int b = 0; b < 100; ++b) f.Blocks(1, 50, b % 2 ? 2 * HX_ECHO_BLOCK : 0);
  const hx_echo_stats st = f.Stats();
  EXPECT_LT(st.lead_ms, 40);
  EXPECT_EQ(st.alignment_steps, 1);
  const int64_t after = st.starved_blocks;
  EXPECT_LE(after - starved, 60);
  for (int b = 0; b < 100; ++b) f.Blocks(1, 50, b % 2 ? 2 * HX_ECHO_BLOCK : 0);
  EXPECT_EQ(f.Stats().starved_blocks, after);  // fed in every block since
}

}  // namespace
