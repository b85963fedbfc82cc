// How far a linear stage's output lags its input: noise through the engine
// with no far end (nothing to cancel), the lag of the best correlation.
#ifndef HX_TESTS_SUPPORT_CANCELLER_LATENCY_H
#define HX_TESTS_SUPPORT_CANCELLER_LATENCY_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "echo/echo_canceller.h"

// The engine `engine` with the component's default settings; null, with
// *why set, when it cannot be had.
inline std::unique_ptr<EchoCanceller> DefaultEngine(int32_t engine, const char **why) {
  hx_echo_settings s;
  hx_echo_default_settings(&s);
  s.engine = engine;
  return std::unique_ptr<EchoCanceller>(CreateEchoCanceller(s, why));
}

// The lag (samples) of the best correlation, and the correlation there.
struct CancellerLag {
  int lag;
  double correlation;
};

inline CancellerLag MeasureCancellerLatency(EchoCanceller *c) {
  std::vector<int16_t> mic(3 * HX_ECHO_RATE), out(mic.size());
  uint32_t seed = 1;
  for (int16_t &v : mic) {
    seed = seed * 1664525u + 1013904223u;
    v = int16_t((int32_t(seed >> 16) - 32768) / 8);
  }
  const int16_t silent[kEchoHalf] = {};
  for (size_t at = 0; at + kEchoHalf <= mic.size(); at += kEchoHalf) {
    c->Render(silent);
    c->Capture(&mic[at], &out[at]);
  }
  CancellerLag best{-1, 0};
  for (int lag = 0; lag <= 2 * kEchoHalf; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = HX_ECHO_RATE; i + lag < mic.size(); ++i) {
      xy += double(mic[i]) * out[i + lag];
      xx += double(mic[i]) * mic[i];
      yy += double(out[i + lag]) * out[i + lag];
    }
    const double r = xy / std::sqrt(xx * yy + 1);
    if (r > best.correlation) best = {lag, r};
  }
  return best;
}

// The engine's output lags its input by the latency it states, at a
// correlation of at least `min_correlation`.
inline void ExpectStatedLatency(int32_t engine, double min_correlation) {
  const char *why = nullptr;
  const std::unique_ptr<EchoCanceller> c = DefaultEngine(engine, &why);
  ASSERT_NE(c, nullptr) << why;
  const CancellerLag lag = MeasureCancellerLatency(c.get());
  EXPECT_GT(lag.correlation, min_correlation);
  EXPECT_EQ(lag.lag, c->Latency());
}

#endif  // HX_TESTS_SUPPORT_CANCELLER_LATENCY_H
