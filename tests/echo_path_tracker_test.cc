// The echo path tracker on synthetic signals: a far end of noise bursts, and
// a microphone that hears it a known number of samples later.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "echo/echo_path_tracker.h"

namespace {

constexpr int64_t kRing = 1 << 15;

// Noise in syllable-like bursts (never silent), deterministic.
class FarTalker {
 public:
  int16_t Next() {
    seed_ = seed_ * 1664525u + 1013904223u;
    const double white = (double(seed_ >> 8) / 8388608.0 - 1.0) * 1.7;
    if (pos_ % 2400 == 0) {  // a new 150 ms syllable
      seed_ = seed_ * 1664525u + 1013904223u;
      level_ = 600 + double(seed_ >> 20) * 2;  // 600 .. 8800
    }
    ++pos_;
    return int16_t(std::lround(white * level_));
  }

 private:
  uint32_t seed_ = 7;
  int64_t pos_ = 0;
  double level_ = 0;
};

// Far end in a ring (index = render sample), the microphone hears it `delay`
// samples later at half the level over a little noise; the far end reaches
// the ring 40 ms before the microphone block that starts at it.
struct Room {
  explicit Room(int64_t delay) : delay(delay), ring(kRing) {}
  int64_t delay;
  std::vector<int16_t> ring;
  int64_t count = 0;
  FarTalker talker;
  uint32_t noise = 99;
  bool echo = true;

  FarHistory History() const { return FarHistory{ring.data(), kRing, count}; }
  // The microphone block [capture, capture + n), with the far end written
  // up to 40 ms past its end.
  std::vector<int16_t> Mic(int64_t capture, int n) {
    for (; count < capture + n + 640; ++count) ring[count & (kRing - 1)] = talker.Next();
    std::vector<int16_t> mic(n);
    for (int i = 0; i < n; ++i) {
      const int64_t h = capture + i - delay;
      noise = noise * 1664525u + 1013904223u;
      const double hiss = (double(noise >> 8) / 8388608.0 - 1.0) * 30;
      const double heard = echo && h >= 0 ? 0.5 * ring[h & (kRing - 1)] : 3000.0 * std::sin(0.37 * i + capture);
      mic[i] = int16_t(std::lround(heard + hiss));
    }
    return mic;
  }
};

// Steps `blocks` blocks of n samples from capture index `*capture`.
void Step(EchoPathTracker *t, Room *room, int64_t *capture, int n, int blocks, int64_t expected) {
  for (int b = 0; b < blocks; ++b, *capture += n) {
    const std::vector<int16_t> mic = room->Mic(*capture, n);
    t->Update(mic.data(), n, *capture, expected, room->History(), 0, 0);
  }
}

// The echo is 1234 samples late, the report says 50 ms less: the tracker
// finds it to a fraction of a sample within 2 s, at the component's block
// size and at half of it, and loses it once the echo goes away.
TEST(EchoPathTracker, FindsAKnownEchoDelayAndLosesItWhenTheEchoGoes) {
  for (const int n : {int(HX_ECHO_BLOCK), int(HX_ECHO_BLOCK) / 2}) {
    SCOPED_TRACE(n);
    Room room(1234);
    EchoPathTracker t;
    int64_t capture = 0;
    const int64_t expected = -room.delay + 800;  // offset = history - capture index
    Step(&t, &room, &capture, n, 2 * HX_ECHO_RATE / n, expected);
    ASSERT_TRUE(t.locked());
    EXPECT_NEAR(t.offset(), -1234.0, 0.25);
    EXPECT_EQ(t.locks(), 1);
    EXPECT_NEAR(t.ppm(), 0.0, 0.1);  // no slide: the far end needs no correction
    room.echo = false;        // the microphone now hears something else
    Step(&t, &room, &capture, n, HX_ECHO_RATE / n, expected);
    EXPECT_FALSE(t.locked());
  }
}

// Blocks it cannot take (longer than the component's block, or not whole
// envelope hops) change nothing; a lost echo is searched anew.
TEST(EchoPathTracker, IgnoresBlocksItCannotTakeAndSearchesAgainAfterALoss) {
  Room room(500);
  EchoPathTracker t;
  const std::vector<int16_t> big = room.Mic(0, 2 * HX_ECHO_BLOCK);
  for (int b = 0; b < 200; ++b) {
    t.Update(big.data(), 2 * HX_ECHO_BLOCK, 0, -500, room.History(), 0, 0);
    t.Update(big.data(), HX_ECHO_BLOCK - 1, 0, -500, room.History(), 0, 0);
  }
  EXPECT_FALSE(t.locked());
  int64_t capture = 0;
  Step(&t, &room, &capture, HX_ECHO_BLOCK, 100, -500);
  ASSERT_TRUE(t.locked());
  EXPECT_NEAR(t.offset(), -500.0, 0.25);
  t.Lose(-500);
  EXPECT_FALSE(t.locked());
  Step(&t, &room, &capture, HX_ECHO_BLOCK, 100, -500);
  EXPECT_TRUE(t.locked());
  EXPECT_EQ(t.locks(), 2);
}

}  // namespace
