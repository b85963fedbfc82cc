#include "echo/residual_gate.h"

#include <algorithm>
#include <cmath>

namespace {

double Power(const int16_t *x) {
  double p = 0;
  for (int i = 0; i < kEchoHalf; ++i) p += double(x[i]) * x[i];
  return p;
}

}  // namespace

// Whether the half captured from `capture` holds no more than the echo: its
// power `heard` against the far end it echoes (where the tracker found the
// echo, with 10 ms before it for the room's tail) times the echo's loss.
// Halves the canceller cut by more than erl_cut_db teach that loss. False
// while the echo is not found or the loss not yet learnt. A half cut by
// echo_from_db or less is left alone either way and teaches nothing: its
// far end is not summed.
bool ResidualGate::EchoOnly(int64_t capture, const EchoLocation &echo, double heard, double cut_db) {
  const GateTuning &g = tuning_;
  if (!echo.found || cut_db <= g.echo_from_db) return false;
  const int64_t from = capture + std::llround(echo.offset) - kEchoHalf;
  double far = 0;
  for (int i = 0; i < 2 * kEchoHalf; ++i) {
    const double x = echo.far.At(from + i);
    far += x * x;
  }
  far /= 2;
  if (far < g.erl_far_floor * kEchoHalf) return false;
  const double loss_db = 10 * std::log10((heard + 1) / far);
  if (cut_db > g.erl_cut_db) {
    ++erl_halves_;
    erl_db_ += (loss_db - erl_db_) * std::max(g.erl_forget, 1.0 / erl_halves_);
  }
  return erl_halves_ >= g.erl_warm_halves && loss_db <= erl_db_ + g.echo_only_db;
}

// How far the gate takes a half down, dB.
double ResidualGate::GateDb(double cut_db, bool echo_only) const {
  const GateTuning &g = tuning_;
  if (cut_db < -g.louder_db) return -cut_db;
  const double from = echo_only ? g.echo_from_db : g.from_db;
  return std::min(g.depth_db, g.slope * std::max(0.0, cut_db - from));
}

bool ResidualGate::Process(const int16_t *mic, const int16_t *linear, int64_t capture,
                           const EchoLocation &echo, int16_t *out) {
  const double heard = Power(mic);  // before `out`, which may be `mic`
  const double left = Power(linear);
  const double cut_db = 10 * std::log10((heard + 1) / (left + 1));
  const bool echo_only = EchoOnly(capture, echo, heard, cut_db);
  const float target = float(std::pow(10.0, -GateDb(cut_db, echo_only) / 20));
  for (int i = 0; i < kEchoHalf; ++i) {
    const float g = gain_ + (target - gain_) * float(i + 1) / kEchoHalf;
    out[i] = int16_t(std::lround(linear[i] * g));
  }
  gain_ = target;
  return cut_db <= tuning_.voice_cut_db;
}
