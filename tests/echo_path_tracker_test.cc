// The echo path tracker on synthetic signals: a far end of noise bursts, and
// a microphone that hears it a known number of samples later.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "echo/echo_path_tracker.h"

namespace {

constexpr int64_t kRing = 1 << 15;

double Noise(uint32_t &seed) {
  seed = seed * 1664525u + 1013904223u;
  return double(seed >> 8) / 8388608.0 - 1.0;
}

// Far end of noise in 150 ms syllable-like bursts (never silent) in a ring
// (index = render sample), written 40 ms past the microphone block; the
// microphone hears it `delay` samples later at half the level over a little
// noise, or a tone once `echo` is off.
struct Room {
  explicit Room(int64_t delay) : delay(delay), ring(kRing) {}
  int64_t delay;
  std::vector<int16_t> ring;
  int64_t count = 0;
  uint32_t far_seed = 7, noise_seed = 99;
  double level = 0;
  bool echo = true;

  std::vector<int16_t> Mic(int64_t capture, int n) {
    for (; count < capture + n + 640; ++count) {
      const double white = Noise(far_seed) * 1.7;
      if (count % 2400 == 0) level = 600 + std::floor((Noise(far_seed) + 1.0) * 2048) * 2;
      ring[count & (kRing - 1)] = int16_t(std::lround(white * level));
    }
    std::vector<int16_t> mic(n);
    for (int i = 0; i < n; ++i) {
      const int64_t h = capture + i - delay;
      const double hiss = Noise(noise_seed) * 30;
      const double heard = echo && h >= 0 ? 0.5 * ring[h & (kRing - 1)] : 3000.0 * std::sin(0.37 * i + capture);
      mic[i] = int16_t(std::lround(heard + hiss));
    }
    return mic;
  }
  // `blocks` blocks of n samples from capture index `*capture`.
  void Step(EchoPathTracker *t, int64_t *capture, int n, int blocks, int64_t expected) {
    for (int b = 0; b < blocks; ++b, *capture += n) {
      const std::vector<int16_t> mic = Mic(*capture, n);
      t->Update(mic.data(), n, *capture, expected, FarHistory{ring.data(), kRing, count}, 0, 0);
    }
  }
};

// The echo is 1234 samples late, the report says 50 ms less: the tracker
// finds it to a fraction of a sample within 2 s, at the component's block
// size and at half of it, loses it once the echo goes away and finds it
// again when it returns.
TEST(EchoPathTracker, FindsAKnownEchoDelayLosesItWhenTheEchoGoesAndFindsItAgain) {
  for (const int n : {int(HX_ECHO_BLOCK), int(HX_ECHO_BLOCK) / 2}) {
    SCOPED_TRACE(n);
    Room room(1234);
    EchoPathTracker t;
    int64_t capture = 0;
    room.Step(&t, &capture, n, 2 * HX_ECHO_RATE / n, -1234 + 800);  // offset = history - capture index
    ASSERT_TRUE(t.locked());
    EXPECT_NEAR(t.offset(), -1234.0, 0.25);
    EXPECT_EQ(t.locks(), 1);
    EXPECT_NEAR(t.ppm(), 0.0, 0.1);  // no slide: the far end needs no correction
    room.echo = false;
    room.Step(&t, &capture, n, HX_ECHO_RATE / n, -1234 + 800);
    EXPECT_FALSE(t.locked());
    room.echo = true;  // a lost echo is searched anew
    room.Step(&t, &capture, n, 2 * HX_ECHO_RATE / n, -1234 + 800);
    EXPECT_TRUE(t.locked());
    EXPECT_EQ(t.locks(), 2);
  }
}

}  // namespace
