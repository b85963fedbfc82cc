// When the voice path expects its next microphone block: the first block,
// punctual, late, early and stalled blocks, and a source whose clock runs
// slow or fast.
#include "pulse/block_clock.h"

#include <gtest/gtest.h>

namespace {

using hxpa::BlockClock;
constexpr double kBlock = BlockClock::kBlockSeconds;
constexpr double kTol = 1e-9;

// Expected completions move by 20.5 ms per block (the block and the creep),
// less a quarter of a block's earliness; due is 3 ms before one.
TEST(BlockClock, FirstPunctualLateEarlyAndStalledBlocks) {
  BlockClock c;
  EXPECT_EQ(c.due(), 0) << "nothing is due before the first block";
  c.Completed(100);
  EXPECT_NEAR(c.due(), 100.017, kTol);
  c.Completed(100.020);  // punctual: 0.5 ms before the expected 100.0205
  EXPECT_NEAR(c.due(), 100.037375, kTol);
  c.Completed(100.048375);  // 8 ms late: the expected 100.040875 stands
  EXPECT_NEAR(c.due(), 100.057875, kTol);
  c.Completed(100.057375);  // 4 ms early: 1 ms earlier than the expected 100.061375
  EXPECT_NEAR(c.due(), 100.077375, kTol);
  c.Completed(100.180);  // 99 ms late, within the stall bound: the expected 100.080875 stands
  EXPECT_NEAR(c.due(), 100.097875, kTol);
  c.Completed(101.5);  // beyond it: a new start
  EXPECT_NEAR(c.due(), 101.517, kTol);
  c.Reset();
  EXPECT_EQ(c.due(), 0);
}

// A source 1 % slow or fast: after a few blocks the loop always looks again
// before the next block completes (no block is held), and at most 5 ms
// before it (the hold still covers most of the block).
TEST(BlockClock, FollowsASourceClockThatRunsSlowOrFast) {
  for (const double period : {kBlock * 1.01, kBlock * 0.99}) {
    BlockClock c;
    double t = 50;
    for (int i = 0; i < 500; ++i, t += period) {
      c.Completed(t);
      if (i < 20) continue;
      const double next = t + period;
      EXPECT_LE(c.due(), next) << "period " << period << ", block " << i;
      EXPECT_GE(c.due(), next - 0.005) << "period " << period << ", block " << i;
    }
  }
}

}  // namespace
