// The residual-echo suppressor of the voice path: what the linear canceller
// leaves of the echo (the room's tail beyond its filter, a loudspeaker's
// distortion, a filter still adapting) is taken out per frequency bin, and
// the background noise that goes with it is put back as comfort noise, so
// the far side hears neither echo nor holes, and a near end talking over the
// echo keeps its level.
//
// Per 10 ms half at 16 kHz it takes the microphone (before the canceller),
// the canceller's output and the far end that echoes in that half (aligned
// as the canceller's reference is: early by up to 100 ms is fine, the echo
// is found in the power history), and writes the half for the host and
// whether it holds near-end voice.
//
// Method, in short-time spectra (10 ms sqrt-Hann windows, 5 ms hop, 81
// bins 100 Hz apart; the output is 5 ms late):
//   - the echo's envelope per bin: the far end's power held at its peak over
//     the last 60 ms (its delay is known only roughly) and decaying as a
//     room of RT60 0.6 s does; shorter rooms are covered with room to spare;
//   - two ratios learnt per bin against that envelope, as upper quantiles:
//     the residual the canceller leaves (from its output) and the echo the
//     microphone hears. A half where the canceller cut the microphone by
//     little (double talk), or where the microphone holds clearly more than
//     the echo, only lowers them: a near end never teaches them; nor, while
//     they are first learnt, does a bin holding more than any echo path
//     returns of the far end;
//   - for the far end's first 2 s of sound, and again after the echo path
//     changed (ResidualSuppressorRestart), while the linear canceller has
//     not converged and the ratios are not learnt, a bin whose microphone
//     is coherent with the far end is taken for echo up to 12 dB over the
//     far end's envelope: a near end talking then is not coherent with the
//     far end and keeps its voice;
//   - a background spectrum followed on the canceller's output where no
//     echo is expected and no near end talks, bounded by its recent minimum;
//   - per bin, the gain that removes the residual predicted times an
//     over-subtraction factor (far larger while the far end talks alone
//     into a microphone that hears its echo), down to a floor, smoothed
//     across bins and followed at once in time; what it takes away of the
//     background comes back as noise of the background's spectrum with
//     random phase (seeded: deterministic), so the background never dips;
//     so does what the linear canceller's own suppression took of it, where
//     the canceller says how much that was (ResidualSuppressorEngineKept),
//     and the background is not learnt from the bins it cut;
//   - optionally, a near end that the canceller's own suppression took down
//     in double talk comes back from the microphone where it stands 9 dB
//     over the echo predicted in its bin.
//
// Real-time safety: everything is allocated by ResidualSuppressorCreate;
// processing allocates nothing, takes no lock and makes no system call.
// One instance is used by one thread at a time.
#ifndef HX_ECHO_RESIDUAL_SUPPRESSOR_H
#define HX_ECHO_RESIDUAL_SUPPRESSOR_H

#include <cstdint>

constexpr int kResidualHalf = 160;     // samples per call (10 ms at 16 kHz)
constexpr int kResidualLatency = 80;   // the output lags the input by 5 ms

struct ResidualSuppressorSettings {
  // The residual predicted (an upper quantile) is taken this many times:
  // half keeps the simulated rooms' residual within 1 dB of the background
  // and the near end's shape in double talk (1 cost its correlation 0.01
  // to 0.02 through the module; 2 cost double talk 0.5 dB more).
  float over_subtraction = 0.5f;
  // ... and this many times where the far end talks and no near-end voice
  // was heard in the last 100 ms. A loud syllable through a clipping
  // loudspeaker, or a filter jolted off the echo, leaves more than the
  // quantile learnt; taken half, it passed, was heard as near-end voice,
  // and that decision softened the canceller's own cut and lifted the
  // gain control's level. A near end talking over the far end stands tens
  // of dB over the residual and is heard all the same; once heard, the
  // factor above holds.
  float far_alone_over_subtraction = 64.0f;
  float floor_db = -40.0f;        // deepest cut of a bin, dB
  uint32_t seed = 1;              // comfort noise
  // A near end the canceller cut in double talk comes back from the
  // microphone. Off: where the canceller removes the echo well, the echo
  // that comes back with it outweighs the 0.1 to 0.5 dB the near end gains.
  bool restore_near = false;
};

// Figures of the last half, for measurement.
struct ResidualSuppressorState {
  float gain_db;        // mean power gain over the bins, dB
  float noise_dbfs;     // background level in use, dBFS
  float residual_dbfs;  // residual echo predicted, dBFS
  bool far_active;      // the far end sounded in the last 100 ms
  bool starting;        // the far end's first words, or the first after a restart
};

struct ResidualSuppressor;

// Null when out of memory.
ResidualSuppressor *ResidualSuppressorCreate(const ResidualSuppressorSettings &s);
void ResidualSuppressorDestroy(ResidualSuppressor *r);

// One half: `mic`, `linear` and `far` hold kResidualHalf samples each; `out`
// receives kResidualHalf samples (may alias `linear`). `heard_voice`: the
// linear canceller's voice detection for the half, if it has one (the first
// background is not learnt from halves it marks). Returns whether the half
// holds near-end voice.
bool ResidualSuppressorProcess(ResidualSuppressor *r, const int16_t *mic, const int16_t *linear,
                               const int16_t *far, int16_t *out, bool heard_voice = false);

// What the linear canceller's own suppression kept of its output's power in
// the half to come, per band: `bands` values (at least 2) evenly spaced
// from 0 to 8 kHz, each 0 to 1. Null: it kept everything (the default, and
// what a canceller without a suppression of its own gives). Holds until the
// next call.
void ResidualSuppressorEngineKept(ResidualSuppressor *r, const float *kept, int bands);

ResidualSuppressorState ResidualSuppressorLast(const ResidualSuppressor *r);

// The echo path changed (another device, another delay): the linear
// canceller adapts anew, and the far end's next words are taken for echo
// where coherent with it, as at the call's start. What was learnt stays.
void ResidualSuppressorRestart(ResidualSuppressor *r);

#endif  // HX_ECHO_RESIDUAL_SUPPRESSOR_H
