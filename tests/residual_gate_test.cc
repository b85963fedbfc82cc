// The broadband residual-echo gate on synthetic halves: the microphone, what
// the linear canceller left of it, and the far end the echo comes from.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "echo/residual_gate.h"

namespace {

constexpr int64_t kRing = 1 << 15;
using Half = std::vector<int16_t>;

double Db(const int16_t *x) {
  double p = 0;
  for (int i = 0; i < kEchoHalf; ++i) p += double(x[i]) * x[i];
  return 10 * std::log10(p / kEchoHalf + 1e-9);
}

Half Scaled(const Half &x, double gain) {
  Half y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = int16_t(std::lround(x[i] * gain));
  return y;
}

Half Voice(int halves_in) {
  Half v(kEchoHalf);
  for (int i = 0; i < kEchoHalf; ++i) v[i] = int16_t(std::lround(3000 * std::sin(0.21 * (i + kEchoHalf * halves_in))));
  return v;
}

// A far end of white noise (rms about 1000) in a ring, written well past the
// microphone (history index = capture index); the echo reaches the
// microphone at half its level (-6 dB), 800 samples later.
struct Call {
  Half ring = Half(kRing);
  int64_t capture = 0;
  ResidualGate gate;
  int16_t out[kEchoHalf];

  Call() {
    uint32_t seed = 3;
    for (auto &x : ring) {
      seed = seed * 1664525u + 1013904223u;
      x = int16_t(std::lround((double(seed >> 8) / 8388608.0 - 1.0) * 1730));
    }
  }
  // The echo of the next half plus `near`.
  Half Mic(const Half &near = Half(kEchoHalf)) const {
    Half mic(kEchoHalf);
    for (int i = 0; i < kEchoHalf; ++i) mic[i] = int16_t(ring[capture + 200 + i] / 2 + near[i]);
    return mic;
  }
  // One half the canceller left as `linear`; returns the voice verdict.
  bool Step(const Half &mic, const Half &linear, bool found = true) {
    const EchoLocation echo{FarHistory{ring.data(), kRing, kRing}, found, -800.0};
    const bool v = gate.Process(mic.data(), linear.data(), capture + 1000, echo, out);
    capture += kEchoHalf;
    return v;
  }
  Half Out() const { return Half(out, out + kEchoHalf); }
};

// After learning the echo's loss, halves that hold no more than the echo and
// were cut by only 10 dB (a canceller still adapting) are taken down a
// further 24 dB (6 dB per dB beyond 6); the same cut without the echo
// located is left alone. Double talk (a near end louder than the echo, which
// the canceller took out) keeps the gate open and its level exactly.
TEST(ResidualGate, AttenuatesAnEchoOnlyHalfCutByMoreThanSixDbButKeepsDoubleTalk) {
  Call c;
  for (int i = 0; i < 20; ++i) {
    const Half mic = c.Mic();
    EXPECT_FALSE(c.Step(mic, Scaled(mic, 0.01)));  // cut by 40 dB
  }
  EXPECT_EQ(c.gate.erl_halves(), 20);
  EXPECT_NEAR(c.gate.erl_db(), -6.0, 0.5);
  for (int i = 0; i < 6; ++i) {
    const Half mic = c.Mic(), linear = Scaled(mic, std::pow(10, -10 / 20.0));
    const bool found = i < 3, voice = c.Step(mic, linear, found);
    EXPECT_TRUE(voice || !found);  // a 10 dB cut may be near end ...
    if (i == 1 || i == 2) {
      EXPECT_NEAR(Db(c.out), Db(linear.data()) - 24, 0.5);  // ... but is held down
    } else if (i > 3) {
      EXPECT_EQ(c.Out(), linear);
    }
  }
  for (int i = 0; i < 10; ++i) {
    const Half near = Voice(i), linear = Scaled(near, 0.5);  // cut by about 7 dB
    EXPECT_TRUE(c.Step(c.Mic(near), linear));
    if (i > 0) {
      EXPECT_EQ(c.Out(), linear);
    }
  }
}

// A half the canceller made louder by more than 6 dB (its echo estimate with
// no echo left to cancel) comes back at the microphone's level; one made
// louder by less is left alone.
TEST(ResidualGate, ALouderHalfComesBackToTheMicrophoneLevel) {
  Call c;
  for (int i = 0; i < 3; ++i) {
    const Half mic = Scaled(Voice(i), 0.25);
    EXPECT_TRUE(c.Step(mic, Scaled(mic, 4), false));
    if (i > 0) {
      EXPECT_NEAR(Db(c.out), Db(mic.data()), 0.1);
    }
  }
  const Half mic = Voice(5), linear = Scaled(mic, 1.8);
  c.Step(mic, linear, false);
  c.Step(mic, linear, false);
  EXPECT_EQ(c.Out(), linear);
}

}  // namespace
