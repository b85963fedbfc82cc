// The broadband residual-echo gate on synthetic halves: the microphone, what
// the linear canceller left of it, and the far end the echo comes from.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "echo/residual_gate.h"

namespace {

constexpr int64_t kRing = 1 << 15;

double Db(const int16_t *x) {
  double p = 0;
  for (int i = 0; i < kEchoHalf; ++i) p += double(x[i]) * x[i];
  return 10 * std::log10(p / kEchoHalf + 1e-9);
}

// A far end of white noise (rms about 1000) in a ring; the echo reaches the
// microphone at half its level (-6 dB), `delay` samples later.
struct Call {
  std::vector<int16_t> ring = std::vector<int16_t>(kRing);
  int64_t delay = 800;
  int64_t capture = 0;
  uint32_t seed = 3;
  ResidualGate gate;

  Call() {
    for (auto &x : ring) {
      seed = seed * 1664525u + 1013904223u;
      x = int16_t(std::lround((double(seed >> 8) / 8388608.0 - 1.0) * 1730));
    }
  }
  EchoLocation Echo(bool found) const {
    // Far end written well past the microphone: history index = capture index.
    return EchoLocation{FarHistory{ring.data(), kRing, kRing}, found, double(-delay)};
  }
  // The echo of the half starting at `capture`, plus `near` (any signal).
  std::vector<int16_t> Mic(const std::vector<int16_t> &near = {}) const {
    std::vector<int16_t> mic(kEchoHalf);
    for (int i = 0; i < kEchoHalf; ++i)
      mic[i] = int16_t(ring[capture + 1000 + i - delay] / 2 + (near.empty() ? 0 : near[i]));
    return mic;
  }
  // One half: the canceller left `linear`; returns the voice verdict.
  bool Half(const std::vector<int16_t> &mic, const std::vector<int16_t> &linear, int16_t *out,
            bool found = true) {
    const bool v = gate.Process(mic.data(), linear.data(), capture + 1000, Echo(found), out);
    capture += kEchoHalf;
    return v;
  }
};

std::vector<int16_t> Scaled(const std::vector<int16_t> &x, double gain) {
  std::vector<int16_t> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = int16_t(std::lround(x[i] * gain));
  return y;
}

std::vector<int16_t> Voice(int halves_in) {
  std::vector<int16_t> v(kEchoHalf);
  for (int i = 0; i < kEchoHalf; ++i)
    v[i] = int16_t(std::lround(3000 * std::sin(0.21 * (i + kEchoHalf * halves_in))));
  return v;
}

// Halves the canceller cut by 40 dB teach the gate the echo's loss; then
// halves that hold no more than the echo and were cut by only 10 dB (a
// canceller still adapting) are taken down a further 24 dB (6 dB per dB
// beyond 6), and carry no voice. The same cut without the echo located is
// left alone: 10 dB is no proof of echo by itself.
TEST(ResidualGate, AttenuatesAnEchoOnlyHalfCutByMoreThanSixDb) {
  Call c;
  int16_t out[kEchoHalf];
  for (int i = 0; i < 20; ++i) {
    const std::vector<int16_t> mic = c.Mic();
    EXPECT_FALSE(c.Half(mic, Scaled(mic, 0.01), out));
  }
  EXPECT_EQ(c.gate.erl_halves(), 20);
  EXPECT_NEAR(c.gate.erl_db(), -6.0, 0.5);
  for (int i = 0; i < 3; ++i) {
    const std::vector<int16_t> mic = c.Mic(), linear = Scaled(mic, std::pow(10, -10 / 20.0));
    EXPECT_TRUE(c.Half(mic, linear, out));  // a 10 dB cut may be near end ...
    if (i > 0) {
      EXPECT_NEAR(Db(out), Db(linear.data()) - 24, 0.5);  // ... but the gate holds it down
    }
  }
  for (int i = 0; i < 3; ++i) {
    const std::vector<int16_t> mic = c.Mic(), linear = Scaled(mic, std::pow(10, -10 / 20.0));
    c.Half(mic, linear, out, false);
    if (i > 0) {
      EXPECT_EQ(std::vector<int16_t>(out, out + kEchoHalf), linear);
    }
  }
}

// Double talk: the near end (louder than the echo) shares the halves. The
// canceller takes the echo out and cuts by a few dB; the microphone heard
// more than the echo alone, so the gate stays open and the near end keeps
// its level exactly, with the voice flag allowed.
TEST(ResidualGate, DoubleTalkKeepsItsLevel) {
  Call c;
  int16_t out[kEchoHalf];
  for (int i = 0; i < 20; ++i) {
    const std::vector<int16_t> mic = c.Mic();
    c.Half(mic, Scaled(mic, 0.01), out);
  }
  for (int i = 0; i < 10; ++i) {
    const std::vector<int16_t> near = Voice(i), mic = c.Mic(near);
    const std::vector<int16_t> linear = Scaled(near, 0.5);  // cut by about 7 dB
    EXPECT_TRUE(c.Half(mic, linear, out, true));
    if (i > 0) {
      EXPECT_EQ(std::vector<int16_t>(out, out + kEchoHalf), linear);
    }
  }
}

// A half the canceller made louder by more than 6 dB (its echo estimate with
// no echo left to cancel) comes back at the level the microphone heard.
TEST(ResidualGate, ALouderHalfComesBackToTheMicrophoneLevel) {
  Call c;
  int16_t out[kEchoHalf];
  for (int i = 0; i < 3; ++i) {
    const std::vector<int16_t> mic = Scaled(Voice(i), 0.25), linear = Scaled(mic, 4);
    EXPECT_TRUE(c.Half(mic, linear, out, false));
    if (i > 0) {
      EXPECT_NEAR(Db(out), Db(mic.data()), 0.1);
    }
  }
  // Made louder by less than 6 dB: left alone.
  const std::vector<int16_t> mic = Voice(5), linear = Scaled(mic, 1.8);
  c.Half(mic, linear, out, false);
  c.Half(mic, linear, out, false);
  EXPECT_EQ(std::vector<int16_t>(out, out + kEchoHalf), linear);
}

}  // namespace
