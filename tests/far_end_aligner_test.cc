// The far-end aligner on counted samples: every far-end sample carries its
// own index, so the far end handed to the canceller shows exactly where the
// alignment and the lead put it. The far end is copied (no clock
// conversion) and the echo is not searched in the signals: these cases are
// about following the reported delay and the far end arriving late.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "echo/far_end_aligner.h"

namespace {

int16_t Mark(int64_t index) { return int16_t(index % 20000 + 1); }

struct Feed {
  FarEndAligner aligner;
  int64_t sent = 0;      // far-end samples queued so far
  int64_t history = 0;   // ... of which reached the aligner
  int16_t mic[HX_ECHO_BLOCK] = {};

  Feed() { EXPECT_EQ(aligner.Start(false, false), nullptr); }

  // One block: the far end the render side played meanwhile (`far`
  // samples, of which the first `lost` never arrive), then the capture.
  void Block(int32_t delay_ms, int far = HX_ECHO_BLOCK, int lost = 0) {
    std::vector<int16_t> chunk;
    for (int i = lost; i < far; ++i) chunk.push_back(Mark(history++));
    sent += far;
    aligner.Step(chunk.data(), chunk.size(), sent, delay_ms, mic);
  }
  void Blocks(int n, int32_t delay_ms) {
    for (int i = 0; i < n; ++i) Block(delay_ms);
  }
  hx_echo_stats Stats() const {
    hx_echo_stats st{};
    aligner.Report(&st);
    return st;
  }
  // History index of the first far-end sample handed over for this block.
  int16_t First() const {
    int16_t half[kEchoHalf];
    aligner.Half(0, half);
    return half[0];
  }
};

// The far end whose echo starts the block comes `delay` before the newest
// one; the canceller gets it 40 ms (the longest lead) earlier.
TEST(FarEndAligner, HandsOverTheFarEndThatEchoesNowFortyMsEarly) {
  Feed f;
  f.Blocks(60, 100);
  const hx_echo_stats st = f.Stats();
  EXPECT_EQ(st.applied_delay_ms, 100);
  EXPECT_EQ(st.lead_ms, 40);
  EXPECT_EQ(st.alignment_steps, 0);
  EXPECT_EQ(f.First(), Mark(f.history - EchoMs(100) - HX_ECHO_BLOCK + EchoMs(40)));
  EXPECT_EQ(f.aligner.capture(), 59 * HX_ECHO_BLOCK);
}

// A change of the reported delay by more than 20 ms moves the alignment
// once it has held for half a second (25 blocks); a swing of 24 blocks, and
// a smaller change held for long, leave it where it is.
TEST(FarEndAligner, FollowsADelayJumpHeldHalfASecondButNotShorterSwings) {
  Feed f;
  f.Blocks(60, 100);
  f.Blocks(24, 150);  // a swing: report noise
  f.Blocks(30, 100);
  EXPECT_EQ(f.Stats().applied_delay_ms, 100);
  f.Blocks(100, 110);  // within the canceller's filter: left to it
  EXPECT_EQ(f.Stats().applied_delay_ms, 100);
  EXPECT_EQ(f.Stats().alignment_steps, 0);
  f.Blocks(24, 150);
  EXPECT_EQ(f.Stats().applied_delay_ms, 100);
  f.Block(150);  // the 25th block: a new device delay
  EXPECT_EQ(f.Stats().applied_delay_ms, 150);
  EXPECT_EQ(f.Stats().alignment_steps, 1);
  EXPECT_EQ(f.First(), Mark(f.history - EchoMs(150) - HX_ECHO_BLOCK + EchoMs(40)));
}

// The far end arrives 15 ms short for good (too little to be a jump of the
// report): the 40 ms lead then reaches past the newest far end. After 25
// starved blocks the lead shrinks to what the history holds, with 10 ms to
// spare, and the far end reaches the canceller again. A few starved blocks
// that the far end catches up with do not shrink it.
TEST(FarEndAligner, StarvationShrinksTheLeadOnlyWhenItLasts) {
  Feed f;
  f.Blocks(60, 50);
  EXPECT_EQ(f.Stats().lead_ms, 40);
  f.Block(50, 0);  // the render side late by a block ...
  f.Blocks(5, 50);
  f.Block(50, 2 * HX_ECHO_BLOCK);  // ... and caught up
  f.Blocks(60, 50);
  EXPECT_EQ(f.Stats().lead_ms, 40);
  EXPECT_GT(f.Stats().starved_blocks, 0);
  const int64_t starved = f.Stats().starved_blocks;

  f.Block(50, HX_ECHO_BLOCK, EchoMs(15));  // 15 ms of far end lost for good
  for (int i = 1; i < 24; ++i) f.Block(50);
  EXPECT_EQ(f.Stats().starved_blocks, starved + 24);
  EXPECT_EQ(f.Stats().lead_ms, 40);
  f.Block(50);
  const hx_echo_stats st = f.Stats();
  EXPECT_EQ(st.starved_blocks, starved + 25);
  EXPECT_EQ(st.lead_ms, 25);  // 50 - 15 ms of far end beyond the block, 10 ms spare
  EXPECT_EQ(st.alignment_steps, 1);
  f.Blocks(10, 50);
  EXPECT_EQ(f.Stats().starved_blocks, starved + 25);
  int16_t half[kEchoHalf];
  f.aligner.Half(1, half);
  EXPECT_NE(half[kEchoHalf - 1], 0);
}

}  // namespace
