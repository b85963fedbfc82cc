// A residual-echo stage after the linear canceller: a broadband gate per
// 10 ms half (the figures and why: GateTuning in echo_tuning.h), selected
// with residual_suppressor 0; the default is the per-bin suppressor
// (residual_suppressor.h).
//
// The seam, per 10 ms half (kEchoHalf samples of 16 kHz mono) of each
// capture block, on the capture thread:
//   in:  - `mic`: the half as the microphone heard it;
//        - `linear`: the linear canceller's output for the same half;
//        - `capture`: the capture index of the half's first sample;
//        - `echo`: the far end on the capture clock and where the echo was
//          found in it (far_history.h): the far end whose echo reaches
//          capture index c is history index c + echo.offset while
//          echo.found;
//   out: - `out`: the half the host gets (may equal `mic`: `mic` is read
//          in full before `out` is written);
//        - the return value: whether the half may hold near-end voice (the
//          caller ANDs it with the canceller's voice detection).
// The suppressor takes the same signals (the far end as the canceller's
// reference) and gives the same outputs: the capture loop swaps one call.
#ifndef HX_ECHO_RESIDUAL_GATE_H
#define HX_ECHO_RESIDUAL_GATE_H

#include <cstdint>

#include "echo/echo_tuning.h"
#include "echo/far_history.h"

class ResidualGate {
 public:
  explicit ResidualGate(const GateTuning &tuning = GateTuning()) : tuning_(tuning) {}

  bool Process(const int16_t *mic, const int16_t *linear, int64_t capture, const EchoLocation &echo,
               int16_t *out);

  // The echo's loss learnt so far (echo at the microphone over the far end
  // it comes from, dB) and the halves it learnt from.
  double erl_db() const { return erl_db_; }
  int erl_halves() const { return erl_halves_; }

 private:
  bool EchoOnly(int64_t capture, const EchoLocation &echo, double heard, double cut_db);
  double GateDb(double cut_db, bool echo_only) const;

  GateTuning tuning_;
  float gain_ = 1;       // gain applied at the end of the last half
  double erl_db_ = 0;
  int erl_halves_ = 0;
};

#endif  // HX_ECHO_RESIDUAL_GATE_H
