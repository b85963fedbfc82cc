// The simulated voice path's echo: hooks the rest of the world calls. State
// and lock of their own (world_echo.cc); lock order: the world lock before
// the echo lock, never the other way round.
#ifndef HXSIM_WORLD_ECHO_H
#define HXSIM_WORLD_ECHO_H

#include <cstdint>

namespace hxsim {

// Back to no echo path (hxsim_reset).
void EchoReset();
// The loudspeaker starts (Brisa started, either mode) or stops (Brisa
// stopped or uninitialised): a stop ends the canceller's session and
// silences the path.
void EchoSpeaker(bool on);
// Every BrisaApi_PutPlayData (16 kHz stereo, `count` values): played and
// handed to the canceller while the loudspeaker runs; always counted for
// hxsim_pump_call.
void EchoRender(const int16_t *stereo, int32_t count);
// One microphone block as the world delivers it. Adds the echo into `mic`
// while the loudspeaker runs and records what the microphone heard. When
// `cleaned` is given and the voice path cancels, writes the canceller's
// output there, sets *voice (0/1) and returns true.
bool EchoCapture(int16_t *mic, int n, int16_t *cleaned, int *voice);
// Real-time pacing of play requests: the render clock's period factor,
// 1 / (1 + drift).
double EchoRenderPeriodScale();

}  // namespace hxsim

#endif  // HXSIM_WORLD_ECHO_H
