// The residual-echo suppressor (see residual_suppressor.h).
#include "echo/residual_suppressor.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <new>

#include "echo/sound_floor.h"

namespace {

constexpr int kHop = kResidualLatency;   // 5 ms
constexpr int kWin = 2 * kHop;           // 10 ms window, sqrt-Hann analysis and synthesis
constexpr int kBins = kWin / 2 + 1;      // 100 Hz apart
// Hops of microphone sound after which no window reaches back before it.
constexpr int kWholeWindow = kWin / kHop + 1;
constexpr int kLags = 12;                // the echo comes up to 60 ms after its far end
constexpr int kLowBin = 3, kHighBin = 70;  // 300 Hz to 7 kHz: where speech and echo are judged
constexpr float kScale = 1.0f / 32768;
// The echo's envelope per bin: the far end's power, held at its peak over
// the last kLags frames (the echo's delay is known only roughly), then
// decaying by kTailDecay per frame as a room of RT60 0.6 s does (-0.5 dB
// per 5 ms); shorter rooms are covered, with room to spare.
constexpr float kTailDecay = 0.89f;
constexpr float kEnvelopeZero = 1e-20f;
// The residual is its envelope times a ratio learnt per bin: an upper
// quantile of (output - background) / envelope, stepped up by kRatioUp and
// down by kRatioDown (powers per frame: the ratio sits above about 5 of 6
// frames' ratios). Frames where the canceller cut the microphone by less
// than kDoubleTalkCut are double talk (or a canceller not yet adapted):
// they only step the ratio down. The first kWarmFrames frames with far end
// all teach, at kWarmUp per frame.
constexpr float kRatioUp = 1.0715f;      // +0.3 dB
constexpr float kRatioDown = 0.9863f;    // -0.06 dB
constexpr float kWarmUp = 1.26f;         // +1 dB
constexpr float kRatioStart = 1e-3f;
constexpr float kRatioMin = 1e-6f, kRatioMax = 1e3f;  // -60 to +30 dB: a long call stays in range
constexpr float kDoubleTalkCut = 4.0f;   // 6 dB
constexpr int kWarmFrames = 100;
// While warming, a bin holding more than kWarmPlausible times the echo's
// envelope (the far end's held peak) beyond the background teaches
// nothing: such a bin holds a near end talking as the far end starts, and
// learning it takes that near end out for seconds afterwards (the ratio
// comes down by 12 dB a second). Measured on a call whose near end talked
// as a far-end tone started, with no echo at all: at 1 and 0.3 the near end
// still taught the ratios; at 0.1 the simulated rooms kept their figures.
constexpr float kWarmPlausible = 0.1f;
// A ratio steps up only while the microphone holds echo: while it is, or
// was in the last kFarHoldFrames (a room's tail is not coherent with the
// far end it follows), coherent with the far end. A near end or the
// background is not, and without this taught the ratios wherever the far
// end's envelope stood over it (a far tone's skirt; speech's quiet ends in
// the pauses between its words, which are not double talk) and was then cut
// for seconds: a near end talking over a far tone with no echo path kept a
// correlation of 0.873 (0.979 with this; 1.0 with no far end).
//   Coherence: |Sxm|^2 / (Sxx Smm) per bin, of the far end's spectrum at
// each of kCohereLags delays (5 ms apart: the far end reaches the
// suppressor 10 to 55 ms before its echo on live paths) and the
// microphone's, averaged over about 40 frames (kCoherenceStep; a plain mean
// over the first ones). Summed over the delays (a room spreads its echo
// over many; chance gives each about 1 / frames averaged, which is taken
// off) and averaged over the bins. The simulated rooms read 1 to 2 while
// the far end talks alone, a near end over a far tone about 0.
//   The first kCohereTrust frames of far end teach as before: a mean over
// a few frames reads coherent whatever it holds (one frame reads exactly
// 1), and the echo of the far end's first words must teach at once (the
// simulated rooms' residual rose 1.5 to 5 dB when those frames taught
// nothing).
constexpr int kCohereLags = 24;
constexpr float kCoherenceStep = 0.05f;
constexpr int kCohereTrust = 30;
// An echo heard for kEchoRecentRun frames in a row (50 ms; a far end of one
// tone makes the coherence flicker over kTeachCoherence for a frame or two
// with no echo path at all) counts as recent for kEchoRecentFrames (2 s).
constexpr int kEchoRecentRun = 10;
constexpr int kEchoRecentFrames = 400;
constexpr float kTeachCoherence = 0.3f;
// The far end's first words: the linear canceller has not converged (it
// leaves the echo whole, or most of it) and the ratios are not learnt (an
// echo as loud as the far end cannot teach them while warming, see
// kWarmPlausible; once warm, a canceller leaving much of the echo reads as
// double talk, which holds them). For the far end's first kStartFrames
// hops of sound (2 s), and again after the echo path changed
// (ResidualSuppressorRestart), a bin whose microphone is coherent with the
// far end is taken for echo up to kStartEcho times its envelope (an echo
// path returning up to 12 dB more than the far end in a bin: a clipping
// loudspeaker puts the echo's harmonics where the far end has little, and
// a room's tail is still sounding where the far end fell); comfort noise
// fills what it takes. A near end talking over the far end is not coherent with
// it and keeps its voice.
//   Per bin, the coherence at the delay where the bins' mean is highest
// and its two neighbours, summed, averaged with the neighbouring bins,
// chance taken off, over kStartCoherence. Only where there is an echo path
// at all: the bins' mean at that delay stands kStartPath over twice chance
// (the highest of 22 means over a few frames is itself over chance), after
// kStartTrust frames (a mean over fewer reads coherent whatever it holds,
// one frame exactly 1), at a delay of kStartMinLag hops or more (the far
// end reaches the suppressor at least 10 ms before its echo). Each of
// these three was found cutting a near end over a far tone with no echo
// path, on the real-device speech test under ThreadSanitizer and load.
//   A room behind a clipping loudspeaker spreads its echo over many delays
// and makes it partly incoherent: no single delay stands out, though the
// sum over the delays (the echo decision's coherence) does. An echo path
// is also taken where that sum stands over kStartSpread. Live recordings
// of such a room, replayed: the first words came out 4 to 24 dB over the
// background after the chain (24 where the linear canceller never
// converged), 2 to 7 dB with this and kStartEcho at 12 dB; a near end
// talking over the far end's first words lost 0.9 dB where it lost 0.3
// (tests/residual_suppressor_test.cc).
constexpr float kStartEcho = 16.0f;
constexpr int kStartFrames = 400;
constexpr int kStartTrust = 3;
constexpr float kStartCoherence = 0.4f;
constexpr float kStartPath = 0.25f;
constexpr float kStartSpread = 0.5f;
constexpr int kStartMinLag = 2;
// A bin found coherent stays taken for echo for kStartHoldFrames hops
// (100 ms) after its coherence fell: a loudspeaker that clips the far
// end's loudest syllables makes their echo less coherent just where it is
// loudest. Without the hold the first words' peak came out 8 to 12 dB over
// the background while the bins were dropped (live room behind a soft
// clip, replayed: residual over the chain's background 13.1 dB, 5.5 dB with
// the hold; the near end's double talk unchanged).
constexpr int kStartHoldFrames = 20;
// A microphone holding more than kExplained times the echo predicted plus
// the background holds a near end: the echo's ratio is then only stepped
// down.
constexpr float kExplained = 2.0f;
constexpr float kRestoreOver = 8.0f;     // 9 dB
constexpr float kEnvelopeFloor = 1e-6f * kHop;  // a far-end bin at -60 dBFS: too weak to teach
// The far end counts as sounding above -60 dBFS; echo is expected for
// kFarHoldFrames (300 ms: the room's tail) after it last sounded.
constexpr float kFarFloor = 1e-6f * kHop * (kHighBin - kLowBin + 1);  // white noise at -60 dBFS
constexpr int kFarHoldFrames = 60;
// Background: the canceller's output, smoothed per bin, followed where no
// echo is expected and the bin holds less than kNoiseSpeech times the
// background; louder bins (speech) only let it creep up.
constexpr float kNoiseSmooth = 0.2f;
constexpr float kNoiseFollow = 0.02f;
constexpr float kNoiseSpeech = 2.0f;
constexpr float kNoiseCreep = 1.0002f;
constexpr int kNoiseInitFrames = 40;
constexpr float kSilence = 1e-10f * kHop * (kHighBin - kLowBin + 1);  // -100 dBFS
// The follower stays between 1 / kNoiseUnderMinimum and kNoiseOverMinimum
// times the smoothed power's minimum over the last 2.6 s without echo
// (kMinimumSpans spans of kMinimumSpan frames),
// corrected by kMinimumBias (measured on white noise): speech and echo
// pause within that time, the background does not. Until it has followed
// anything (a call that starts with the far end talking), the minimum is
// the background.
constexpr int kMinimumSpan = 64;
constexpr int kMinimumSpans = 8;
constexpr float kMinimumBias = 8.0f;  // 9 dB
constexpr float kNoiseOverMinimum = 2.0f;
constexpr float kNoiseUnderMinimum = 4.0f;
// An output louder than the microphone by this factor (6 dB) while echo is
// expected holds the canceller's own estimate (the echo dropped out): what
// it adds beyond the microphone is removed.
constexpr float kLouder = 4.0f;
// Near-end voice: the output holds more than kVoiceOverNoise times the
// background beyond the residual predicted.
constexpr float kVoiceOverNoise = 2.0f;
// The background's follower and minimum rest while near-end voice was heard
// in the last kVoiceHoldFrames (100 ms): speech's quieter parts are not
// background. Voice that has not paused for kVoiceRunFrames (4 s) is.
constexpr int kVoiceHoldFrames = 20;
constexpr int kVoiceRunFrames = 800;
constexpr int kPhases = 256;
// The background (its follower and its minimum) is learnt only from bins
// the linear canceller's own suppression kept at least this share of
// (-1 dB): it cuts the background with the echo, and a background learnt
// there sat 3 dB low after the far end's first words (the demo's call),
// and near-end voice was then heard in the background after every far-end
// phrase. The first frames learn from every bin: a call whose far end
// talks from the start has nothing else to learn from.
constexpr float kLearnKept = 0.8f;

float Power(const kiss_fft_cpx &c) { return c.r * c.r + c.i * c.i; }

}  // namespace

struct ResidualSuppressor {
  ResidualSuppressorSettings settings;
  float floor_gain = 0;
  // kiss_fft keeps all its state in these configurations (no process-wide
  // planner or cache): made at create, freed at destroy, nothing left behind
  // when the library that holds this code is unloaded.
  kiss_fftr_cfg forward = nullptr, inverse = nullptr;
  float frame[kWin];                // windowed input / synthesized output
  kiss_fft_cpx mic_spec[kBins], out_spec[kBins], far_spec[kBins];
  float window[kWin];
  float mic_in[kWin] = {}, out_in[kWin] = {}, far_in[kWin] = {};  // last window of each stream
  float overlap[kHop] = {};
  // The far end's last kCohereLags spectra (real and imaginary parts) and
  // their powers, per bin a ring written twice, at far_slot and far_slot +
  // kCohereLags: the spectra 0 .. kCohereLags - 1 frames back lie in a row
  // from far_slot on, and the coherence runs over the delays as over an
  // array.
  alignas(16) float far_re[kBins][2 * kCohereLags] = {};
  alignas(16) float far_im[kBins][2 * kCohereLags] = {};
  alignas(16) float far_pow[kBins][2 * kCohereLags] = {};
  int far_slot = 0;                 // the newest; each hop writes one slot lower
  // The far end's powers of the last kLags frames, by bin, for the
  // prediction (in no particular order: it takes their maximum).
  float far_recent[kLags][kBins] = {};
  int far_recent_slot = 0;
  // Averaged spectra for the coherence, per bin by delay (frames back from
  // now): the far end `delay` frames ago times the microphone's conjugate.
  alignas(16) float cross_re[kBins][kCohereLags] = {};
  alignas(16) float cross_im[kBins][kCohereLags] = {};
  alignas(16) float far_auto[kBins][kCohereLags] = {};
  float mic_auto[kBins] = {};
  int cohere_frames = 0;
  int start_frames = 0;             // hops the far end has sounded, up to kStartFrames
  bool start_echo[kBins] = {};      // while starting: the bin holds echo
  int start_hold[kBins] = {};       // hops the bin stays marked after its coherence fell
  int echo_hold = 0;                // frames since the microphone held echo, counting down
  int coherent_run = 0;             // frames in a row the microphone held echo
  int echo_recent = 0;              // ... and frames since it last held it that long, counting down
  bool echo_heard = true;           // the ratios may step up
  float envelope[kBins] = {};       // the echo's envelope (far power, held and decaying)
  float ratio[kBins];               // residual / envelope
  float echo_ratio[kBins];          // echo at the microphone / envelope
  float echo[kBins];                // echo at the microphone predicted
  float mic_power[kBins], out_power[kBins];
  float residual[kBins];
  float noise[kBins] = {}, smoothed[kBins] = {};
  float engine_kept[kBins];         // what the canceller's own suppression kept, this half
  bool sounded = false;             // a frame louder than digital silence came
  int mic_sound_hops = 0;           // hops in a row whose microphone held sound, up to kWholeWindow
  float follower[kBins] = {};
  float span_min[kBins];
  float spans[kMinimumSpans][kBins];
  int span_frames = 0, span_count = 0;
  float gain[kBins], raw_gain[kBins];
  float cos_table[kPhases], sin_table[kPhases];
  uint32_t rng = 1;
  int noise_frames = 0;
  int taught_frames = 0;
  int far_hold = 0;
  int voice_hold = 0;               // frames since near-end voice, counting down
  int voice_run = 0;                // frames the voice has held without a pause
  bool heard_voice = false;         // the canceller's voice detection, this half
  ResidualSuppressorState last{};
};

namespace {

void Analyse(ResidualSuppressor *r, const float *in, kiss_fft_cpx *spec) {
  for (int i = 0; i < kWin; ++i) r->frame[i] = in[i] * r->window[i];
  kiss_fftr(r->forward, r->frame, spec);
}

// Shifts a window on by one hop of int16 samples.
void Slide(float *window, const int16_t *fresh) {
  std::copy(window + kHop, window + kWin, window);
  for (int i = 0; i < kHop; ++i) window[kHop + i] = fresh[i] * kScale;
}

// The residual predicted from the far end's history.
void Predict(ResidualSuppressor *r) {
  float peak[kBins];
  std::copy(r->far_recent[0], r->far_recent[0] + kBins, peak);
  for (int l = 1; l < kLags; ++l) {
    const float *x = r->far_recent[l];
#pragma omp simd
    for (int k = 0; k < kBins; ++k) peak[k] = std::max(peak[k], x[k]);
  }
  for (int k = 0; k < kBins; ++k) {
    const float held = kTailDecay * r->envelope[k];
    r->envelope[k] = std::max(peak[k], held < kEnvelopeZero ? 0.0f : held);  // no denormals
    r->residual[k] = r->ratio[k] * r->envelope[k];
    r->echo[k] = r->echo_ratio[k] * r->envelope[k];
  }
}

// One step of a ratio per bin towards what `power` holds beyond the
// background. `hold_up`: only downwards.
void Teach(ResidualSuppressor *r, const float *power, const float *predicted, float *ratio,
           bool hold_up, bool warm) {
  const float up = warm ? kWarmUp : kRatioUp;
  for (int k = 0; k < kBins; ++k) {
    if (r->envelope[k] < kEnvelopeFloor) continue;
    const float left = std::max(0.0f, power[k] - r->noise[k]);
    if (warm && left > kWarmPlausible * r->envelope[k]) continue;
    if (left > predicted[k]) {
      if (!hold_up && r->echo_heard) ratio[k] = std::min(kRatioMax, ratio[k] * up);
    } else {
      ratio[k] = std::max(kRatioMin, ratio[k] * kRatioDown);
    }
  }
}

// Whether the microphone holds echo: its coherence with the far end,
// summed over the delays; and while starting, which bins hold it.
void Cohere(ResidualSuppressor *r, bool starting) {
  ++r->cohere_frames;
  const bool plain = 1.0f / float(r->cohere_frames) > kCoherenceStep;  // a plain mean over the first frames
  const float a = plain ? 1.0f / float(r->cohere_frames) : kCoherenceStep;
  // Outside the bins where speech and echo are judged, only the start reads
  // the coherence; its averages are cleared by the next restart, before
  // the start reads them again.
  const int from = starting ? 0 : kLowBin, to = starting ? kBins - 1 : kHighBin;
  for (int k = from; k <= to; ++k) r->mic_auto[k] += a * (r->mic_power[k] - r->mic_auto[k]);
  // Per bin, all delays at once (one row each); each delay's sum over the
  // judged bins is still taken bin after bin, as the delays' loop over the
  // bins would.
  float by_lag[kBins][kCohereLags];
  float lag_sums[kCohereLags] = {}, unjudged[kCohereLags] = {};
  for (int k = from; k <= to; ++k) {
    const float mr = r->mic_spec[k].r, mi = r->mic_spec[k].i, ma = r->mic_auto[k];
    const float *xr = r->far_re[k] + r->far_slot, *xi = r->far_im[k] + r->far_slot;
    const float *xp = r->far_pow[k] + r->far_slot;
    float *cr = r->cross_re[k], *ci = r->cross_im[k], *fa = r->far_auto[k], *q = by_lag[k];
    // The sums are over the bins where speech and echo are judged.
    float *sums = k >= kLowBin && k <= kHighBin ? lag_sums : unjudged;
#pragma omp simd
    for (int l = 0; l < kCohereLags; ++l) {
      cr[l] += a * (xr[l] * mr + xi[l] * mi - cr[l]);
      ci[l] += a * (xi[l] * mr - xr[l] * mi - ci[l]);
      fa[l] += a * (xp[l] - fa[l]);
      q[l] = (cr[l] * cr[l] + ci[l] * ci[l]) / (fa[l] * ma + 1e-20f);
      sums[l] += q[l];
    }
  }
  float sum = 0, best = -1;
  int best_lag = 0;
  for (int l = 0; l < kCohereLags; ++l) {
    sum += lag_sums[l];
    if (l >= kStartMinLag && lag_sums[l] > best) best = lag_sums[l], best_lag = l;
  }
  // Chance gives each delay about 1 / (frames averaged).
  const float chance = plain ? a : a / (2 - a);
  const int bins = kHighBin - kLowBin + 1;
  const float coherence = sum / bins - kCohereLags * chance;
  const bool coherent = coherence > kTeachCoherence && r->cohere_frames > kCohereTrust;
  if (coherent) r->echo_hold = kFarHoldFrames;
  else if (r->echo_hold > 0) --r->echo_hold;
  r->coherent_run = coherent ? r->coherent_run + 1 : 0;
  if (r->coherent_run >= kEchoRecentRun) r->echo_recent = kEchoRecentFrames;
  else if (r->echo_recent > 0) --r->echo_recent;
  r->echo_heard = r->echo_hold > 0 || r->cohere_frames <= kCohereTrust;

  if (!starting) return;
  const bool path = r->cohere_frames > kStartTrust &&
                    (best / bins - 2 * chance > kStartPath || coherence > kStartSpread);
  const int lo = std::max(0, best_lag - 1), hi = std::min(kCohereLags - 1, best_lag + 1);
  float near_best[kBins] = {};
  for (int k = 0; k < kBins; ++k)
    for (int l = lo; l <= hi; ++l) near_best[k] += by_lag[k][l];
  for (int k = 0; k < kBins; ++k) {
    const float c = (near_best[std::max(0, k - 1)] + near_best[k] + near_best[std::min(kBins - 1, k + 1)]) / 3;
    const bool coherent = path && c - float(hi - lo + 1) * chance > kStartCoherence;
    if (coherent) r->start_hold[k] = kStartHoldFrames;
    else if (r->start_hold[k] > 0) --r->start_hold[k];
    r->start_echo[k] = coherent || r->start_hold[k] > 0;
  }
}

// Whether bin k's output may teach the background (kLearnKept).
bool Teaches(const ResidualSuppressor *r, int k) {
  return r->noise_frames < kNoiseInitFrames || r->engine_kept[k] >= kLearnKept;
}

// The smoothed power's minimum over the last spans, per bin.
void TrackMinimum(ResidualSuppressor *r) {
  for (int k = 0; k < kBins; ++k)
    if (Teaches(r, k)) r->span_min[k] = std::min(r->span_min[k], r->smoothed[k]);
  if (++r->span_frames < kMinimumSpan) return;
  std::copy(r->span_min, r->span_min + kBins, r->spans[r->span_count % kMinimumSpans]);
  ++r->span_count;
  r->span_frames = 0;
  // A span whose bin taught nothing bounds nothing.
  for (int k = 0; k < kBins; ++k) r->span_min[k] = Teaches(r, k) ? r->smoothed[k] : 1e30f;
}

// The background spectrum of the output: followed where no echo is
// expected, bounded by the recent minimum.
void TrackNoise(ResidualSuppressor *r) {
  const bool trained = r->taught_frames >= kWarmFrames;
  const bool far_recent = r->far_hold > 0;
  // Voice that never pauses for 4 s is a louder background.
  const bool talking = r->voice_hold > 0 && r->voice_run < kVoiceRunFrames;
  // Digital silence (a canceller starting up) is no background; nor is a
  // window that reaches back before the microphone's first sound: a stream
  // opening mid-window, or the linear stage's faint start-up output over a
  // microphone still silent, taught the minimum a background 35 dB low, the
  // voice decision then took the real one for voice and held the minimum
  // there, and the far end's first words came out in holes (live loopback:
  // 7 calls in 16 at +5 to +10 dB residual).
  if (r->mic_sound_hops < kWholeWindow) return;
  float sum = 0;
  for (int k = kLowBin; k <= kHighBin; ++k) sum += r->out_power[k];
  if (sum < kSilence) return;
  // The smoothing starts at the first frame with sound: ramping up from
  // zero, its first frames would pass for a background far quieter than
  // the real one, and the minimum that bounds the follower would keep them
  // for seconds (residual_quality --quiet-ms 500 without the echo stages'
  // wait: holes in 73.7 % of the far-alone frames before this, 32.7 %
  // after).
  const float smooth = r->sounded ? kNoiseSmooth : 1.0f;
  r->sounded = true;
  bool any = false;
  for (int k = 0; k < kBins; ++k) {
    r->smoothed[k] += smooth * (r->out_power[k] - r->smoothed[k]);
    const bool quiet = Teaches(r, k) && (!far_recent || (trained && r->settings.over_subtraction * r->residual[k] <
                                                                         0.1f * r->follower[k]));
    if (!quiet || (talking && r->noise_frames >= kNoiseInitFrames)) continue;
    // The first background is not learnt from a near end the canceller
    // hears talking: a call whose near end talks from its first frame would
    // take that voice for the background, mark its quieter syllables as no
    // voice and fill its pauses with comfort noise at its level.
    if (r->heard_voice && r->noise_frames < kNoiseInitFrames) continue;
    any = true;
    float &f = r->follower[k];
    if (r->noise_frames < kNoiseInitFrames) f += (r->out_power[k] - f) / float(r->noise_frames + 1);
    else if (r->smoothed[k] < kNoiseSpeech * f) f += kNoiseFollow * (r->smoothed[k] - f);
    else f *= kNoiseCreep;
  }
  if (any && r->noise_frames < kNoiseInitFrames) ++r->noise_frames;
  // The minimum only where no echo is expected (the canceller's own
  // suppression leaves holes in the echo's bins), or while nothing else is
  // known.
  if ((!far_recent && !talking) || r->noise_frames == 0) TrackMinimum(r);
  const int spans = std::min(r->span_count, kMinimumSpans);
  float least[kBins];  // a minimum: exact in any order
  std::copy(r->span_min, r->span_min + kBins, least);
  for (int s = 0; s < spans; ++s) {
#pragma omp simd
    for (int k = 0; k < kBins; ++k) least[k] = std::min(least[k], r->spans[s][k]);
  }
  for (int k = 0; k < kBins; ++k) {
    const float bound = kMinimumBias * least[k];
    if (r->noise_frames == 0 && spans > 0) r->follower[k] = bound;
    if (spans > 0)
      r->follower[k] = std::max(bound / kNoiseUnderMinimum,
                                std::min(r->follower[k], kNoiseOverMinimum * bound));
    r->noise[k] = r->follower[k];
  }
}

float Dbfs(const float *power) {  // a power spectrum's level as the time signal's mean square
  double sum = power[0] + power[kBins - 1];
  for (int k = 1; k < kBins - 1; ++k) sum += 2.0 * power[k];
  return float(10 * std::log10(sum / (double(kWin) * kHop) + 1e-12));
}

// One hop: spectra, prediction, learning, gain, comfort noise, synthesis.
// Returns whether the hop holds near-end voice. `last`: the half's last hop,
// whose figures ResidualSuppressorLast gives (the levels are taken for it
// alone).
bool Hop(ResidualSuppressor *r, float *hop_out, bool last) {
  Analyse(r, r->mic_in, r->mic_spec);
  Analyse(r, r->far_in, r->far_spec);
  Analyse(r, r->out_in, r->out_spec);
  r->far_slot = (r->far_slot + kCohereLags - 1) % kCohereLags;
  r->far_recent_slot = (r->far_recent_slot + 1) % kLags;
  float *x = r->far_recent[r->far_recent_slot];
  float far_sum = 0, mic_sum = 0, out_sum = 0, noise_sum = 0;
  for (int k = 0; k < kBins; ++k) {
    x[k] = Power(r->far_spec[k]);
    for (const int at : {r->far_slot, r->far_slot + kCohereLags}) {
      r->far_re[k][at] = r->far_spec[k].r;
      r->far_im[k][at] = r->far_spec[k].i;
      r->far_pow[k][at] = x[k];
    }
    r->mic_power[k] = Power(r->mic_spec[k]);
    r->out_power[k] = Power(r->out_spec[k]);
  }
  for (int k = kLowBin; k <= kHighBin; ++k) {
    far_sum += x[k];
    mic_sum += r->mic_power[k];
    out_sum += r->out_power[k];
  }
  const bool far_now = far_sum > kFarFloor;
  if (far_now) r->far_hold = kFarHoldFrames;
  else if (r->far_hold > 0) --r->far_hold;

  Predict(r);
  float echo_sum = 0;
  for (int k = kLowBin; k <= kHighBin; ++k) {
    noise_sum += r->noise[k];
    echo_sum += r->echo[k];
  }
  const bool warm = r->taught_frames < kWarmFrames;
  // The microphone holds clearly more than the echo: a near end talks.
  const bool near_heard = mic_sum > kExplained * (echo_sum + noise_sum);
  if (r->start_frames < kStartFrames && far_now) ++r->start_frames;
  const bool starting = r->start_frames < kStartFrames;
  if (r->far_hold > 0) {
    Cohere(r, starting);
    const bool double_talk = mic_sum < kDoubleTalkCut * out_sum && out_sum > 2 * noise_sum;
    Teach(r, r->out_power, r->residual, r->ratio, double_talk && !warm, warm);
    Teach(r, r->mic_power, r->echo, r->echo_ratio, near_heard && !warm, warm);
    if (far_now && warm) ++r->taught_frames;
  }
  // A near end the canceller took down with the echo (its own suppression
  // in double talk) is taken from the microphone instead, in bins where it
  // stands kRestoreOver times above the echo predicted there; the echo's
  // share is taken off it.
  if (r->settings.restore_near && r->far_hold > 0 && !warm) {
    for (int k = 0; k < kBins; ++k) {
      const float py = r->mic_power[k];
      if (py <= kRestoreOver * r->echo[k] + r->noise[k] || r->out_power[k] >= 0.5f * py) continue;
      const float g = std::sqrt(1.0f - r->echo[k] / py);
      r->out_spec[k].r = g * r->mic_spec[k].r;
      r->out_spec[k].i = g * r->mic_spec[k].i;
      r->out_power[k] = g * g * py;
    }
  }
  TrackNoise(r);

  // Gain: the residual predicted, over-subtracted, and what the canceller
  // added beyond the microphone (its own estimate where the echo dropped
  // out) are removed.
  // The voice decision below reads what this removes, so the far end's
  // echo has to stand far over its residual to be heard as a near end.
  // Only where the microphone held echo in the far end's last 2 s: with
  // none (a headset), the ratios come down only in the near end's pauses,
  // and the factor cut its onsets under a loud far end. Not the short
  // hold: a few halves of a loud echo whose coherence dipped, passed as
  // voice, left one replayed call +21.7 dB over its background, +0.8 held.
  const bool far_alone = r->far_hold > 0 && r->voice_hold == 0 && !warm && r->echo_recent > 0;
  const float beta = far_alone ? r->settings.far_alone_over_subtraction : r->settings.over_subtraction;
  const float floor2 = r->floor_gain * r->floor_gain;
  const bool louder = r->far_hold > 0 && out_sum > kLouder * mic_sum;
  float near_sum = 0, gain_sum = 0;
  for (int k = 0; k < kBins; ++k) {
    float remove = beta * r->residual[k];
    if (starting && r->far_hold > 0 && r->start_echo[k])
      remove = std::max(remove, std::min(r->out_power[k], kStartEcho * r->envelope[k]));
    if (louder) remove = std::max(remove, r->out_power[k] - r->mic_power[k]);
    const float p = r->out_power[k] + 1e-12f;
    r->raw_gain[k] = std::sqrt(std::max(floor2, 1.0f - remove / p));
    // What the canceller added beyond the microphone goes whatever the floor.
    if (louder && r->out_power[k] > r->mic_power[k])
      r->raw_gain[k] = std::min(r->raw_gain[k], std::sqrt(r->mic_power[k] / p));
    if (k >= kLowBin && k <= kHighBin)
      near_sum += std::max(0.0f, r->out_power[k] - remove - r->noise[k]);
  }
  for (int k = 0; k < kBins; ++k) {
    const float lo = r->raw_gain[std::max(0, k - 1)], hi = r->raw_gain[std::min(kBins - 1, k + 1)];
    const float g = 0.25f * lo + 0.5f * r->raw_gain[k] + 0.25f * hi;
    // Followed at once, up as down: a gain held down after the residual
    // fell takes the onsets of a near end talking over the echo (rising
    // half the way per frame cost the near end's correlation in double
    // talk 0.014 and its level 0.2 dB, tests/echo_call_test.cc), and the
    // comfort noise keeps a gain that moves fast from being heard.
    r->gain[k] = g;
    gain_sum += r->gain[k] * r->gain[k];
  }
  // Comfort noise for what the gain took of the background: random phase,
  // scaled so that its overlap-added power equals the background's.
  const float cn_scale = float(kWin) / float(kHop);  // window length / window energy
  for (int k = 0; k < kBins; ++k) {
    const float g = r->gain[k];
    r->rng = r->rng * 1664525u + 1013904223u;
    const int ph = int(r->rng >> 24) & (kPhases - 1);
    // What the canceller's own suppression took of the background, as far
    // as its output (smoothed) falls short of it: the canceller puts some
    // noise of its own back. Where the canceller added to the microphone
    // (the echo dropped out), no more noise than the microphone heard.
    const float cut =
        std::min((1.0f - r->engine_kept[k]) * r->noise[k], std::max(0.0f, r->noise[k] - r->smoothed[k]));
    float fill = std::max(0.0f, 1.0f - g * g) * r->noise[k] + g * g * cut;
    if (louder) fill = std::min(fill, r->mic_power[k]);
    const float amp = std::sqrt(fill * cn_scale);
    r->out_spec[k].r = g * r->out_spec[k].r + amp * r->cos_table[ph];
    r->out_spec[k].i = g * r->out_spec[k].i + amp * r->sin_table[ph];
  }
  r->out_spec[0].i = 0;
  r->out_spec[kBins - 1].i = 0;
  kiss_fftri(r->inverse, r->out_spec, r->frame);
  for (int i = 0; i < kHop; ++i) {
    hop_out[i] = r->overlap[i] + r->frame[i] * r->window[i] / kWin;
    r->overlap[i] = r->frame[kHop + i] * r->window[kHop + i] / kWin;
  }
  if (last) {
    r->last.gain_db = float(10 * std::log10(gain_sum / kBins + 1e-12));
    r->last.noise_dbfs = Dbfs(r->noise);
    r->last.residual_dbfs = Dbfs(r->residual) + 10 * std::log10(beta);
    r->last.far_active = r->far_hold > 0;
    r->last.starting = starting;
  }
  // No voice before the background is known.
  const bool voice = r->noise_frames >= kNoiseInitFrames && near_sum > kVoiceOverNoise * noise_sum;
  if (voice) r->voice_hold = kVoiceHoldFrames;
  else if (r->voice_hold > 0) --r->voice_hold;
  r->voice_run = r->voice_hold > 0 ? r->voice_run + 1 : 0;
  return voice;
}

}  // namespace

ResidualSuppressor *ResidualSuppressorCreate(const ResidualSuppressorSettings &s) {
  ResidualSuppressor *r = new (std::nothrow) ResidualSuppressor;
  if (!r) return nullptr;
  r->settings = s;
  r->floor_gain = std::pow(10.0f, s.floor_db / 20);
  r->rng = s.seed;
  std::fill(r->ratio, r->ratio + kBins, kRatioStart);
  std::fill(r->echo_ratio, r->echo_ratio + kBins, kRatioStart);
  for (int i = 0; i < kWin; ++i)  // periodic sqrt-Hann: squared, overlapping halves sum to 1
    r->window[i] = float(std::sqrt(0.5 - 0.5 * std::cos(2 * M_PI * i / kWin)));
  for (int i = 0; i < kPhases; ++i) {
    r->cos_table[i] = float(std::cos(2 * M_PI * i / kPhases));
    r->sin_table[i] = float(std::sin(2 * M_PI * i / kPhases));
  }
  std::fill(r->gain, r->gain + kBins, 1.0f);
  std::fill(r->engine_kept, r->engine_kept + kBins, 1.0f);
  std::fill(r->span_min, r->span_min + kBins, 1e30f);
  r->forward = kiss_fftr_alloc(kWin, 0, nullptr, nullptr);
  r->inverse = kiss_fftr_alloc(kWin, 1, nullptr, nullptr);
  if (!r->forward || !r->inverse) {
    ResidualSuppressorDestroy(r);
    return nullptr;
  }
  return r;
}

void ResidualSuppressorDestroy(ResidualSuppressor *r) {
  if (!r) return;
  kiss_fftr_free(r->forward);
  kiss_fftr_free(r->inverse);
  delete r;
}

bool ResidualSuppressorProcess(ResidualSuppressor *r, const int16_t *mic, const int16_t *linear,
                               const int16_t *far, int16_t *out, bool heard_voice) {
  r->heard_voice = heard_voice;
  bool voice = false;
  for (int h = 0; h < kResidualHalf / kHop; ++h) {
    r->mic_sound_hops = EchoHoldsSound(mic + h * kHop, kHop) ? std::min(r->mic_sound_hops + 1, kWholeWindow) : 0;
    Slide(r->mic_in, mic + h * kHop);
    Slide(r->out_in, linear + h * kHop);
    Slide(r->far_in, far + h * kHop);
    float hop[kHop];
    voice |= Hop(r, hop, h == kResidualHalf / kHop - 1);
    for (int i = 0; i < kHop; ++i)
      out[h * kHop + i] = int16_t(std::lrint(std::max(-32768.0f, std::min(32767.0f, hop[i] * 32768))));
  }
  return voice;
}

void ResidualSuppressorEngineKept(ResidualSuppressor *r, const float *kept, int bands) {
  if (!kept || bands < 2) {
    std::fill(r->engine_kept, r->engine_kept + kBins, 1.0f);
    return;
  }
  // Bin k lies at k * 100 Hz, band j at j * 8000 / (bands - 1) Hz: linear
  // between the two bands around each bin.
  for (int k = 0; k < kBins; ++k) {
    const float at = float(k) * float(bands - 1) / float(kBins - 1);
    const int j = std::min(bands - 2, int(at));
    const float t = at - float(j);
    const float v = (1 - t) * kept[j] + t * kept[j + 1];
    r->engine_kept[k] = std::min(1.0f, std::max(0.0f, v));
  }
}

ResidualSuppressorState ResidualSuppressorLast(const ResidualSuppressor *r) { return r->last; }

void ResidualSuppressorRestart(ResidualSuppressor *r) {
  r->start_frames = 0;
  // The coherence is found anew: what was averaged at the old delay would
  // hold it down at the new one. Its first frames decide nothing (see
  // kStartTrust, kCohereTrust).
  r->cohere_frames = 0;
  std::fill(&r->cross_re[0][0], &r->cross_re[0][0] + kBins * kCohereLags, 0.0f);
  std::fill(&r->cross_im[0][0], &r->cross_im[0][0] + kBins * kCohereLags, 0.0f);
  std::fill(&r->far_auto[0][0], &r->far_auto[0][0] + kBins * kCohereLags, 0.0f);
  std::fill(r->mic_auto, r->mic_auto + kBins, 0.0f);
  std::fill(r->start_echo, r->start_echo + kBins, false);
  std::fill(r->start_hold, r->start_hold + kBins, 0);
}
