// The far-end aligner on counted samples: every far-end sample carries its
// own index, so the far end handed to the canceller shows exactly where the
// alignment and the lead put it. The far end is copied (no clock conversion)
// and the echo is not searched in the signals, but in the last test.
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "echo/far_end_aligner.h"
#include "echo/far_history.h"

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
  // newest; the canceller gets it `lead_ms` (by default the longest lead)
  // earlier.
  void ExpectFirstHalfEchoes(int32_t delay_ms, int32_t lead_ms = 40) const {
    int16_t half[kEchoHalf];
    aligner.Half(0, half);
    EXPECT_EQ(half[0], Mark(history - EchoMs(delay_ms) - HX_ECHO_BLOCK + EchoMs(lead_ms)));
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

// A report that moves by more than 30 ms from one block to the next is a
// jolt (the render side ran dry or caught up), whether it comes back or
// not; one that moves by 30 ms, or creeps, is none. The alignment stays.
TEST(FarEndAligner, CountsReportsThatJoltByMoreThan30ms) {
  Feed f;
  f.Blocks(60, 60);
  EXPECT_EQ(f.aligner.jolts(), 0);
  f.Blocks(1, 90);
  f.Blocks(1, 60);
  EXPECT_EQ(f.aligner.jolts(), 0) << "30 ms either way";
  f.Blocks(1, 95);
  f.Blocks(1, 75);
  f.Blocks(1, 55);
  EXPECT_EQ(f.aligner.jolts(), 1) << "62, 95, 75, 55 ms as on a live loopback";
  for (int ms = 55; ms <= 155; ms += 5) f.Blocks(1, ms);
  EXPECT_EQ(f.aligner.jolts(), 1) << "a report that creeps";
  f.Blocks(1, 100);
  EXPECT_EQ(f.aligner.jolts(), 2);
  EXPECT_EQ(f.Stats().alignment_steps, 0);
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

// The render side falls a block behind for good: in one block no far end
// comes, from then on it comes 20 ms later and the report is 20 ms shorter
// (its buffer holds a block less). With 50 ms of far end beyond the block
// the lead is 30 ms, a block to spare: the fall starves nothing, and the
// lead, so the echo's place in the canceller's filter, stays.
TEST(FarEndAligner, ARenderSideABlockBehindForGoodStarvesNothing) {
  Feed f;
  f.Blocks(60, 50);
  EXPECT_EQ(f.Stats().lead_ms, 30);
  f.Blocks(1, 30, 0);
  f.Blocks(60, 30);
  const hx_echo_stats st = f.Stats();
  EXPECT_EQ(st.starved_blocks, 0);
  EXPECT_EQ(st.lead_ms, 30);
  EXPECT_EQ(st.alignment_steps, 0);
  EXPECT_EQ(st.applied_delay_ms, 30);
  f.ExpectFirstHalfEchoes(30, 30);
}

// The render side falls 30 ms behind for good (the report 30 ms shorter):
// the 30 ms lead then reaches past the newest far end. After 25 starved
// blocks the lead shrinks to what the history holds, with 10 ms to spare. A
// render side two blocks late that catches up does not shrink it.
TEST(FarEndAligner, StarvationShrinksTheLeadOnlyWhenItLasts) {
  Feed f;
  f.Blocks(60, 50);
  f.Blocks(2, 50, 0);  // the render side late by two blocks ...
  f.Blocks(4, 50);
  f.Blocks(1, 50, 3 * HX_ECHO_BLOCK);  // ... and caught up
  f.Blocks(60, 50);
  EXPECT_EQ(f.Stats().lead_ms, 30);
  const int64_t starved = f.Stats().starved_blocks;
  EXPECT_GT(starved, 0);
  f.Blocks(1, 20, 0);  // 20 ms behind: no starvation yet ...
  f.Blocks(1, 20, EchoMs(10));  // ... 30 ms behind for good
  f.Blocks(23, 20);
  EXPECT_EQ(f.Stats().starved_blocks, starved + 24);
  EXPECT_EQ(f.Stats().lead_ms, 30);
  f.Blocks(1, 20);
  const hx_echo_stats st = f.Stats();
  EXPECT_EQ(st.starved_blocks, starved + 25);
  EXPECT_EQ(st.lead_ms, 10);  // 20 ms of far end beyond the block, 10 ms spare
  EXPECT_EQ(st.alignment_steps, 1);
  f.Blocks(10, 20);
  EXPECT_EQ(f.Stats().starved_blocks, starved + 25);
  int16_t half[kEchoHalf];
  f.aligner.Half(1, half);
  EXPECT_NE(half[kEchoHalf - 1], 0);  // the far end reaches the canceller again
}

// The far end comes in 40 ms bursts, every other block, with 35 ms of it
// beyond the block (a lead of 20 ms, 15 to spare): every other block misses
// 5 ms of it. The lead shrinks within 2 s; it used to stay, half the blocks
// fed partly with silence.
TEST(FarEndAligner, StarvationInEveryOtherBlockShrinksTheLead) {
  Feed f;
  f.Blocks(60, 35);
  EXPECT_EQ(f.Stats().lead_ms, 20);
  const int64_t starved = f.Stats().starved_blocks;
  for (int b = 0; b < 100; ++b) f.Blocks(1, 35, b % 2 ? 2 * HX_ECHO_BLOCK : 0);
  const hx_echo_stats st = f.Stats();
  EXPECT_LT(st.lead_ms, 20);
  EXPECT_EQ(st.alignment_steps, 1);
  const int64_t after = st.starved_blocks;
  EXPECT_LE(after - starved, 60);
  for (int b = 0; b < 100; ++b) f.Blocks(1, 35, b % 2 ? 2 * HX_ECHO_BLOCK : 0);
  EXPECT_EQ(f.Stats().starved_blocks, after);  // fed in every block since
}

// An echo 120 ms later than the report says (a device change the server did
// not show), beyond the canceller's filter: once the echo found in the
// signals has held, the alignment moves to it, and Step says so on that
// block alone, as it does for a jump of the report, so that what follows
// the canceller starts over on the moved echo.
TEST(FarEndAligner, AMoveToAnEchoFoundInTheSignalsIsSaidOnce) {
  FarEndAligner aligner{EchoTuning()};
  ASSERT_EQ(aligner.Start(true, true), nullptr);
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0, 3000);
  std::vector<int16_t> far;
  int moves = 0, moved_at = -1;
  for (int b = 0; b < 500; ++b) {
    std::vector<int16_t> chunk(HX_ECHO_BLOCK);
    for (int16_t &v : chunk) far.push_back(v = int16_t(noise(rng)));
    int16_t mic[HX_ECHO_BLOCK];
    for (long i = 0; i < HX_ECHO_BLOCK; ++i) {
      const long src = long(far.size()) - HX_ECHO_BLOCK + i - EchoMs(50 + 120);
      mic[i] = src >= 0 ? int16_t(far[size_t(src)] / 2) : 0;
    }
    if (aligner.Step(chunk.data(), chunk.size(), int64_t(far.size()), 50, mic)) ++moves, moved_at = b;
  }
  hx_echo_stats st{};
  aligner.Report(&st);
  EXPECT_EQ(moves, 1);
  EXPECT_GT(moved_at, 0);
  EXPECT_EQ(st.alignment_steps, 1);
  EXPECT_NEAR(st.applied_delay_ms, 170, 2);
}

// A span of the history is what At gives sample by sample: zeros before
// the ring's oldest sample and after its newest, and the samples across
// the ring's wrap.
TEST(FarHistory, CopyGivesWhatAtGivesAcrossEveryEdge) {
  constexpr int64_t kSize = 64;
  int16_t ring[kSize];
  for (int64_t i = 0; i < kSize; ++i) ring[i] = Mark(i);  // each slot its own value
  for (int64_t count : {int64_t(0), int64_t(40), kSize, int64_t(200)}) {
    const FarHistory far{ring, kSize, count};
    for (int64_t at = -70; at <= count + 10; at += 3)
      for (int n : {1, 16, 64, 90}) {
        std::vector<float> span(n);
        far.Copy(at, n, span.data());
        for (int i = 0; i < n; ++i)
          ASSERT_EQ(span[i], float(far.At(at + i))) << "count " << count << ", from " << at << ", sample " << i;
      }
  }
}

}  // namespace
