// When the voice path's main loop holds the server's messages before its
// next microphone block: the first block, watched blocks that come
// punctual, late, early or after a stall, blocks found complete at the end
// of a hold, the probes among them, and sources whose clock runs slow or
// fast.
#include "pulse/block_clock.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using hxpa::BlockClock;
constexpr double kBlock = BlockClock::kBlockSeconds;
constexpr double kTol = 1e-9;

// Watched blocks: an ordinary hold ends 0.5 ms after the next expected
// completion; a late block moves the expectation by 0.5 ms at most, an
// early one by a quarter of its earliness, and then the next hold is a
// probe's, 3 ms before the block is expected.
TEST(BlockClock, WatchedBlocksFirstPunctualLateEarlyAndStalled) {
  BlockClock c;
  EXPECT_EQ(c.due(), 0) << "no hold before the first block";
  EXPECT_FALSE(c.probing());
  c.Completed(100, true);
  EXPECT_NEAR(c.due(), 100.0205, kTol);
  c.Completed(100.0202, true);  // 0.2 ms late: followed
  EXPECT_NEAR(c.due(), 100.0407, kTol);
  c.Completed(100.0482, true);  // 8 ms late: 0.5 ms of it followed
  EXPECT_NEAR(c.due(), 100.0612, kTol);
  EXPECT_FALSE(c.probing());
  c.Completed(100.0567, true);  // 4 ms early: 1 ms of it followed, then a probe
  EXPECT_TRUE(c.probing());
  EXPECT_NEAR(c.due(), 100.0767, kTol);
  c.Completed(100.1756, true);  // 95.9 ms late, within the stall bound
  EXPECT_FALSE(c.probing());
  EXPECT_NEAR(c.due(), 100.1007, kTol);
  c.Completed(101.5, true);  // beyond it: a new start
  EXPECT_NEAR(c.due(), 101.5205, kTol);
  c.Reset();
  EXPECT_EQ(c.due(), 0);
}

// Blocks found complete when a hold ended: each moves the expectation by
// one block exactly (the time found is only a bound), one in ten holds is
// a probe, and a block found complete at a probe's end (it came earlier
// than expected) makes the next hold a probe too.
TEST(BlockClock, BlocksFoundCompleteAndTheProbesAmongThem) {
  BlockClock c;
  c.Completed(10, false);  // a first block found complete: probe at once
  EXPECT_TRUE(c.probing());
  EXPECT_NEAR(c.due(), 10.017, kTol);
  c.Completed(10.0203, true);  // the probe sees it come, 0.3 ms late: followed
  EXPECT_FALSE(c.probing());
  double expected = 10.0203 - kBlock;
  for (int i = 0; i < BlockClock::kProbeEvery; ++i) {
    expected += kBlock;
    EXPECT_FALSE(c.probing()) << "block " << i;
    EXPECT_NEAR(c.due(), expected + kBlock + BlockClock::kLateSeconds, kTol) << "block " << i;
    c.Completed(c.due() + 0.0001, false);
  }
  expected += kBlock;
  EXPECT_TRUE(c.probing());
  EXPECT_NEAR(c.due(), expected + kBlock - BlockClock::kEarlySeconds, kTol);
  c.Completed(c.due() + 0.0001, false);  // found complete at the probe's end: 2.9 ms early
  EXPECT_TRUE(c.probing());
  EXPECT_NEAR(c.due(), expected + 2 * kBlock - 0.25 * 0.0029 - BlockClock::kEarlySeconds, kTol);
  c.Completed(10.0 + 200, false);  // after a stall: a new start, probed
  EXPECT_TRUE(c.probing());
  EXPECT_NEAR(c.due(), 210.017, kTol);
}

// A loop in front of a source whose blocks complete every `period`: a
// block found complete at the end of its hold was held that long past its
// completion; one that was not is watched and delivered as it comes.
struct SimRun {
  double worst_hold = 0;  // the longest a block waited past its completion
  int watched = 0;
};

SimRun Simulate(double period, int blocks, int settle) {
  BlockClock c;
  SimRun r;
  double t = 50;
  for (int i = 0; i < blocks; ++i, t += period) {
    const double hold_end = c.due();
    const bool found = hold_end >= t;
    c.Completed(found ? hold_end : t, !found);
    if (i < settle) continue;
    if (found) r.worst_hold = std::max(r.worst_hold, hold_end - t);
    else r.watched++;
  }
  return r;
}

// A punctual source: about one block in ten is watched (the probes) and
// none waits more than the hold's half millisecond past its completion.
TEST(BlockClock, APunctualSourceIsWatchedOnlyAtProbes) {
  const SimRun r = Simulate(kBlock, 1000, 50);
  EXPECT_LE(r.worst_hold, BlockClock::kLateSeconds + 1e-6);
  EXPECT_GE(r.watched, 950 / (BlockClock::kProbeEvery + 1) - 2);
  EXPECT_LE(r.watched, 950 / BlockClock::kProbeEvery + 2);
}

// A source 1 % slow or fast: followed, and no block waits more than
// 1.5 ms past its completion. The slow one is still taken in one wakeup
// at most holds; the fast one comes early at every hold and is watched at
// every block (as far faster than any real source's clock drifts).
TEST(BlockClock, FollowsASourceClockThatRunsSlowOrFast) {
  for (const double period : {kBlock * 1.01, kBlock * 0.99}) {
    const SimRun r = Simulate(period, 1000, 50);
    EXPECT_LE(r.worst_hold, 0.0015) << "period " << period;
    if (period > kBlock) {
      EXPECT_LE(r.watched, 950 / 2);
    }
  }
}

}  // namespace
