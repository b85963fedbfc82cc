// The linear stage of the voice path's echo canceller, behind one narrow
// interface so that an engine can be swapped without touching the
// alignment or the residual-echo stage around it. One implementation per
// engine, each in its own file.
//
// The component drives an engine per 10 ms half (kEchoHalf samples of
// 16 kHz mono): first Render with the far end already aligned (it reaches
// the engine a lead ahead of its echo, with no delay of its own to find),
// then Capture with the microphone. Both run on the capture thread.
#ifndef HX_ECHO_ECHO_CANCELLER_H
#define HX_ECHO_ECHO_CANCELLER_H

#include <cstdint>

#include "echo/echo_tuning.h"
#include "echo/hx_echo.h"

class EchoCanceller {
 public:
  virtual ~EchoCanceller() = default;
  // The aligned far end for the next half.
  virtual void Render(const int16_t *far) = 0;
  // One microphone half: writes what the linear stage leaves to `out` (may
  // equal `mic`) and returns whether the engine's voice detection heard
  // speech in it.
  virtual bool Capture(const int16_t *mic, int16_t *out) = 0;
  // Samples by which Capture's output lags its input (the engine's own
  // framing); at most kEchoHalf. What compares the two delays the
  // microphone by this much.
  virtual int Latency() const = 0;
  // The engine's own figures: writes metrics_valid, erle_db, erl_db,
  // a_nlp_db, delay_median_ms, delay_std_ms and fraction_poor_delays, 0
  // where it has none (yet).
  virtual void Figures(hx_echo_stats *st) = 0;
  // How much of the engine's own suppression the next Capture keeps: 1 all
  // of it (the default), 0 none. Engines without a suppression of their own
  // ignore it.
  virtual void SetSuppressionDepth(float /*depth*/) {}
  // The mean square per sample of what the linear filter left in the last
  // Capture, before the engine's own suppression; negative when the engine
  // cannot say.
  virtual float LinearMeanSquare() { return -1.0f; }
  // Per band (kEngineKeptBands, evenly spaced from 0 to 8 kHz), the share
  // of the linear filter's output power that the engine's own suppression
  // kept in the last Capture, 0 to 1. False when the engine cannot say.
  virtual bool EngineKept(float * /*kept*/) { return false; }
};

constexpr int kEngineKeptBands = 65;

// The engine the settings choose. NULL when it cannot be had; *error then
// says why.
EchoCanceller *CreateEchoCanceller(const hx_echo_settings &s, const char **error);

// The engine of WebRTC's AudioProcessing (webrtc-audio-processing 0.3).
// NULL when the dependency refuses a setting; *error then says which.
EchoCanceller *CreateLegacyCanceller(const hx_echo_settings &s, const char **error);

// The AEC3 engine (aec3_canceller.cc) is linked only into programs that
// ask for it (the hxecho_aec3 library); elsewhere choosing it fails with an
// error.

#endif  // HX_ECHO_ECHO_CANCELLER_H
