// The voice path's echo canceller on webrtc::AudioProcessing.
//
// All processing runs on the capture thread. Each capture block drains the
// far end queued by the render thread and brings it onto the capture clock
// (a resampler at the tracked drift) into a history. The component aligns
// the far end itself: from the reported stream delay it knows which far
// sample echoes at the start of the block, and it hands the canceller
// that far end up to 40 ms early (the canceller's filter starts a little
// before the delay it is given), 10 ms before each 10 ms half of the
// microphone block, with a stream delay of 0. The canceller therefore
// always sees a steady, aligned reference: its own buffer and delay logic
// never move, a changed device delay is followed once it holds for half a
// second (the adapted filter stays valid), and drift never accumulates.
// Where the echo really is comes from the signals too (echo_path_tracker.h):
// an echo the report does not show moves the alignment once it leaves the
// filter's reach (FollowEcho).
#include "echo/hx_echo.h"

#include <soxr.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <new>

#include "echo/drift_tracker.h"
#include "echo/echo_path_tracker.h"

// The dependency keys its extra options (extended filter, delay-agnostic
// mode) by the address of a static inside an inline template. Those statics
// must bind to the library's own copies, so they keep default visibility
// here, and a library that links this component must not hide them either
// (sim/hxsim.map). hx_echo_create checks that the options arrived.
#pragma GCC visibility push(default)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "webrtc/common.h"
#include "webrtc/modules/audio_processing/include/audio_processing.h"
#include "webrtc/modules/interface/module_common_types.h"
#pragma GCC diagnostic pop
#pragma GCC visibility pop

// Exported by the dependency without a header: what the echo canceller
// actually runs with.
extern "C" {
int WebRtcAec_extended_filter_enabled(AecCore *self);
int WebRtcAec_delay_agnostic_enabled(AecCore *self);
}

namespace {

constexpr int kFrame = HX_ECHO_BLOCK / 2;              // 10 ms, one canceller frame
constexpr size_t kReverseCapacity = HX_ECHO_RATE;      // 1 s of mono far end
constexpr int64_t kHistory = 1 << 15;                  // 2 s of far end on the capture clock
constexpr int32_t kMaxDelayMs = 1000;                  // longer reported delays are clamped
constexpr int kMetricsPeriodBlocks = 50;               // canceller figures once a second
// Residual echo. Voice detection runs on what the canceller leaves, and a
// residue of echo sounds like speech to it; near-end speech keeps its power
// through the canceller, echo does not. So a 10 ms half whose power the
// canceller cut by more than kVoiceCutDb is echo (no voice flag, so the gain
// control never lifts it), and one cut by more than kGateFromDb holds no near
// end: what is left of it is attenuated by kGateSlope dB per dB of cut beyond
// kGateFromDb, up to kGateDepthDb, the gain ramped across the half; the
// background noise in such a half goes down with it. Where the microphone
// heard no more than the echo the far end makes (within kEchoOnlyDb of the
// far end's power times the echo's loss, learnt on halves cut by more than
// kErlCutDb), the gate starts at kGateEchoFromDb: a canceller still
// adapting (after a pause, a move of the echo) cuts such halves by only 6
// to 15 dB. A half the canceller made louder by more than kLouderDb holds its
// own echo estimate (the echo dropped out: a glitch in the echo path) and is
// brought back to the level the microphone heard. Double talk keeps the near
// end: the canceller cuts it by little and the microphone holds more than
// the echo, so the gate stays open (the simulated double talk keeps its
// level within 1.5 dB and its correlation with or without the gate).
constexpr double kVoiceCutDb = 12;
constexpr double kGateFromDb = 15;
constexpr double kGateEchoFromDb = 6;
constexpr double kGateSlope = 6;
constexpr double kGateDepthDb = 40;
constexpr double kEchoOnlyDb = 3;
constexpr double kErlCutDb = 25;
constexpr double kErlFarFloor = 100;  // mean square of a far end with sound (20 dB)
constexpr int kErlWarmHalves = 20;    // averaged before the echo's loss is used, then ...
constexpr double kErlForget = 0.05;   // ... followed with this weight per half
constexpr double kLouderDb = 6;
// The clock conversion: libsoxr's variable-rate resampler, whose ratio may
// change at every block. It holds back 240 output samples and delays by 2
// more (measured at ratios 1 +- 0.001): the newest sample it has put out
// is the far end received 242 samples before the newest.
constexpr double kClockMaxRatio = 1.002;
constexpr int64_t kClockLatency = 242;
constexpr double kRatioUpdatePpm = 0.1;                // follow changes above this
// Alignment. After a start or a jump the measured alignment is averaged
// over 1 s and the one in use moves to that mean once (single reports are
// less certain). Smaller changes of the reported delay are left to the
// canceller, whose filter covers -30 to +50 ms around the lead: moving the
// reference with every few ms of report jitter would keep it re-adapting.
constexpr int kSettleBlocks = 50;
// A change of the reported delay by more than 20 ms that holds for half a
// second is a new device delay: the alignment jumps to it. Shorter
// swings are report noise (a busy machine: a capture latency that reads
// 100 ms for a moment, a render queue refilled after an underrun).
constexpr double kJumpSamples = 20 * HX_ECHO_RATE / 1000;
constexpr int kJumpBlocks = 25;
// How early the far end reaches the canceller; it needs at least 10 ms and
// keeps its full strength up to about 80 ms. Never more than the far end
// already in the history allows, with 10 ms to spare: the far end may come
// that much later for good (a render buffer that shrinks) without the lead,
// and so the echo's place in the filter, having to move.
constexpr int64_t kLeadMaxSamples = 40 * HX_ECHO_RATE / 1000;
constexpr int64_t kLeadMinSamples = 10 * HX_ECHO_RATE / 1000;
constexpr int64_t kLeadSpareSamples = 10 * HX_ECHO_RATE / 1000;
constexpr int kStarveBlocks = 25;
constexpr int64_t kLateMaxSamples = 20 * HX_ECHO_RATE / 1000;
// The echo found in the signals where the canceller's filter cannot hold
// it (a delay the server does not report: a loopback, a device behind a
// resampler; a device change that moved the echo but not the report) moves
// the alignment, once the tracker has followed it for 3 blocks with sound.
// The filter (128 ms) holds an echo up to 100 ms into it (the room's tail
// needs the rest) and from 15 ms in (5 ms of report noise at least); a
// realignment costs the filter a second or two of re-adapting, so nothing
// it holds is moved.
constexpr int kPathTrustPoints = 3;
constexpr double kPathTapMax = 100 * HX_ECHO_RATE / 1000;
constexpr double kPathTapMin = 15 * HX_ECHO_RATE / 1000;
constexpr double kPathEarlyMin = 5 * HX_ECHO_RATE / 1000;
constexpr int64_t kPathShiftMax = 400 * HX_ECHO_RATE / 1000;

}  // namespace

struct hx_echo {
  webrtc::AudioProcessing *apm = nullptr;
  hx_echo_settings settings{};

  // Reverse queue: mono far end, filled by the render thread.
  std::mutex reverse_mu;
  int16_t reverse[kReverseCapacity];
  size_t reverse_head = 0, reverse_count = 0;

  // Capture thread only.
  int16_t taken[kReverseCapacity];        // far end drained this block
  int16_t clocked[2 * kReverseCapacity];  // the same on the capture clock
  int16_t history[kHistory];              // far end on the capture clock (ring)
  int64_t history_count = 0;              // samples ever written to it
  bool aligned_valid = false;
  int64_t aligned = 0;      // history index that echoes at the next block's start
  int64_t lead = 0;         // samples the far end is handed over early
  double misalign = 0;      // mean (measured - in use) while settling, samples
  double room = 0;          // mean far end held beyond the block in use, samples
  int settle_blocks = 0;    // blocks averaged since the last (re)alignment
  int jump_blocks = 0;      // consecutive blocks beyond the jump threshold
  int64_t steps = 0;        // alignment changes (jumps and settling)
  int64_t clock_input = 0;  // far-end samples handed to the resampler
  int64_t starved = 0;      // blocks whose far end was not yet there
  int starve_blocks = 0;    // ... more than fed ones since the last shrink (not below 0)
  soxr_t clock = nullptr;                 // render clock -> capture clock
  double applied_ppm = 0;
  double count_ppm = 0;     // the count-based drift in use (TrustDrift)
  DriftTracker drift;
  EchoPathTracker path;
  double path_offset = 0;   // samples the echo is later than reported (tracked)
  int64_t path_shift = 0;   // samples the alignment puts the echo later than reported
  double path_later = 0;    // samples the echo came after the alignment while the filter held it
  webrtc::AudioFrame near_frame, far_frame;
  float gate = 1;           // residual-echo gain applied at the end of the last half
  double erl_db = 0;        // echo at the microphone over the far end it comes from, dB
  int erl_halves = 0;       // halves that estimate has learnt from
  int64_t capture_blocks = 0;

  // The figures for readers on any thread: a sequence lock, so the capture
  // thread never waits on a reader. The capture thread makes the sequence
  // odd, stores the words, makes it even; a reader copies the words and
  // keeps the copy when the sequence was even and did not change meanwhile.
  // Every word is an atomic: a torn copy is discarded, never a race.
  static constexpr size_t kStatsWords = (sizeof(hx_echo_stats) + 7) / 8;
  hx_echo_stats stats{};    // capture thread's own copy
  std::atomic<uint64_t> stats_seq{0};
  std::atomic<uint64_t> stats_words[kStatsWords] = {};
  std::atomic<int64_t> reverse_total{0}, reverse_lost{0};  // written under reverse_mu; readers any thread
};

namespace {

double Power(const int16_t *x) {
  double p = 0;
  for (int i = 0; i < kFrame; ++i) p += double(x[i]) * x[i];
  return p;
}

webrtc::EchoCancellation::SuppressionLevel Level(int32_t suppression) {
  return static_cast<webrtc::EchoCancellation::SuppressionLevel>(
      std::min<int32_t>(HX_ECHO_SUPPRESSION_HIGH, std::max<int32_t>(0, suppression)));
}

const char *Configure(hx_echo *e) {
  const hx_echo_settings &s = e->settings;
  if (e->apm->Initialize(HX_ECHO_RATE, HX_ECHO_RATE, HX_ECHO_RATE, webrtc::AudioProcessing::kMono,
                         webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kMono) != 0)
    return "the audio processing module refuses 16 kHz mono";
  webrtc::EchoCancellation *ec = e->apm->echo_cancellation();
  if (ec->enable_drift_compensation(false) != 0 || ec->set_suppression_level(Level(s.suppression)) != 0 ||
      ec->enable_metrics(true) != 0 || ec->enable_delay_logging(true) != 0 || ec->Enable(true) != 0)
    return "the echo canceller refuses its settings";
  webrtc::VoiceDetection *vad = e->apm->voice_detection();
  if (vad->set_frame_size_ms(10) != 0 || vad->Enable(true) != 0)
    return "voice detection refuses its settings";
  if (e->apm->noise_suppression()->Enable(false) != 0 || e->apm->gain_control()->Enable(false) != 0 ||
      e->apm->high_pass_filter()->Enable(false) != 0)
    return "the dependency's own cleaning cannot be turned off";
  // Options keyed by another copy of the option statics would be lost
  // silently; refuse to run without them.
  AecCore *core = ec->aec_core();
  if (!core || WebRtcAec_extended_filter_enabled(core) != (s.extended_filter != 0) ||
      WebRtcAec_delay_agnostic_enabled(core) != (s.delay_agnostic != 0))
    return "the extended-filter and delay-agnostic settings did not reach the echo canceller";
  if (s.drift_tracking) {
    // No dither on the way back to 16 bits: libsoxr seeds it from the time
    // and an address, so with it no two runs of the same call were alike.
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
    soxr_error_t err = nullptr;
    e->clock = soxr_create(kClockMaxRatio, 1, 1, &err, &io, &quality, nullptr);
    if (!e->clock || err || soxr_set_io_ratio(e->clock, 1.0, 0))
      return "the clock-drift resampler cannot be created";
  }
  for (webrtc::AudioFrame *f : {&e->near_frame, &e->far_frame}) {
    f->sample_rate_hz_ = HX_ECHO_RATE;
    f->num_channels_ = 1;
    f->samples_per_channel_ = kFrame;
  }
  return nullptr;
}

// Drains the render queue; returns the samples taken and the total received.
size_t TakeReverse(hx_echo *e, int64_t *received) {
  std::lock_guard<std::mutex> lk(e->reverse_mu);
  const size_t n = e->reverse_count;
  for (size_t i = 0; i < n; ++i) e->taken[i] = e->reverse[(e->reverse_head + i) % kReverseCapacity];
  e->reverse_head = (e->reverse_head + n) % kReverseCapacity;
  e->reverse_count = 0;
  *received = e->reverse_total.load(std::memory_order_relaxed);
  return n;
}

// Moves the far end onto the capture clock (or copies it) into the history.
void ToCaptureClock(hx_echo *e, size_t n) {
  size_t made = n;
  const int16_t *src = e->taken;
  if (e->clock) {
    const double ppm = e->count_ppm + e->path.ppm();
    if (std::fabs(ppm - e->applied_ppm) > kRatioUpdatePpm) {
      soxr_set_io_ratio(e->clock, 1 + ppm * 1e-6, 0);  // render samples per capture sample
      e->applied_ppm = ppm;
    }
    size_t used = 0;
    soxr_process(e->clock, e->taken, n, &used, e->clocked,
                 sizeof e->clocked / sizeof e->clocked[0], &made);
    e->clock_input += static_cast<int64_t>(used);
    src = e->clocked;
  }
  for (size_t i = 0; i < made; ++i) e->history[(e->history_count + i) % kHistory] = src[i];
  e->history_count += static_cast<int64_t>(made);
}

// The drift the stream counts show enters the far end's resampling only
// once the echo confirms it: the slide of the echo that the path tracker
// measures lies within 30 ppm + 25 % of it. On a server with one clock the
// reported delays wander by a few ms while streams settle, which the counts
// read as hundreds of ppm. While the tracker holds the echo the sum of the
// two corrections is its measured slide either way; the choice matters
// whenever it does not (searching, the far end silent). The sum stays
// continuous when the choice changes.
void TrustDrift(hx_echo *e) {
  double use = e->drift.ppm;
  if (e->settings.path_tracking) {
    const bool measured = e->path.locked() && e->path.slide_points() >= e->path.settle_points();
    const auto agrees = [](double a, double b) { return std::fabs(a - b) <= 30 + 0.25 * std::fabs(b); };
    if (measured) use = agrees(e->path.slide_ppm(), e->drift.ppm) ? e->drift.ppm : 0;
    else if (!(e->count_ppm != 0 && agrees(e->count_ppm, e->drift.ppm))) use = e->count_ppm;
  }
  e->path.TakeOverCorrection(e->count_ppm - use);
  e->count_ppm = use;
}

// Moves the alignment so that the echo is taken `samples` later than before
// (earlier when negative), beyond what the report says; false when that
// would put it more than 400 ms from the report.
bool TakeEchoLater(hx_echo *e, int64_t samples) {
  if (std::llabs(e->path_shift + samples) > kPathShiftMax) return false;
  e->aligned -= samples;
  e->path_shift += samples;
  return true;
}

// Keeps the echo the tracker found where the canceller's filter holds it.
// An echo out of its reach moves the alignment so that the echo sits again
// where the filter last held it: after a change of the delay alone (the
// same room, another device latency) the adapted filter fits at once.
void FollowEcho(hx_echo *e, int64_t capture) {
  const double later = double(e->aligned - capture) - e->path.offset();
  if (double(e->lead) + later <= kPathTapMax &&
      -later <= std::max(kPathEarlyMin, double(e->lead) - kPathTapMin)) {
    e->path_later = later;
    return;
  }
  if (TakeEchoLater(e, std::llround(later - e->path_later))) ++e->steps;
}

int64_t Lead(double room) {
  return std::max(kLeadMinSamples,
                  std::min(kLeadMaxSamples, static_cast<int64_t>(room) - kLeadSpareSamples));
}

// Follows the reported delay: `measured` is the history index whose echo
// starts the block now captured; `room` how far the history reaches beyond
// that block. True when the alignment jumped (the streams or the device
// changed).
bool Align(hx_echo *e, int64_t measured, int64_t room) {
  const double off = static_cast<double>(measured - e->aligned);
  e->jump_blocks = std::fabs(off) > kJumpSamples ? e->jump_blocks + 1 : 0;
  if (!e->aligned_valid || e->jump_blocks >= kJumpBlocks) {
    const bool jumped = e->aligned_valid;
    if (jumped) ++e->steps;
    e->aligned_valid = true;
    e->aligned = measured;
    e->lead = Lead(static_cast<double>(room));
    e->misalign = 0;
    e->room = static_cast<double>(room);
    e->settle_blocks = 0;
    e->jump_blocks = 0;
    return jumped;
  }
  if (e->jump_blocks || e->settle_blocks >= kSettleBlocks) return false;
  ++e->settle_blocks;
  e->misalign += (off - e->misalign) / e->settle_blocks;  // running means
  e->room += (static_cast<double>(room) - e->room) / e->settle_blocks;
  if (e->settle_blocks < kSettleBlocks) return false;
  const int64_t step = std::llround(e->misalign);
  e->aligned += step;
  e->lead = Lead(e->room - static_cast<double>(step));
  if (step) ++e->steps;
  return false;
}

// The far end at history index `at`; 0 where it is not (or no longer) there.
int16_t Far(const hx_echo *e, int64_t at) {
  const bool held = at >= 0 && at < e->history_count && at >= e->history_count - kHistory;
  return held ? e->history[at % kHistory] : 0;
}

// One 10 ms frame of the history, starting at `from`.
void FarFrame(hx_echo *e, int64_t from) {
  for (int i = 0; i < kFrame; ++i) e->far_frame.data_[i] = Far(e, from + i);
  e->far_frame.samples_per_channel_ = kFrame;
  e->far_frame.num_channels_ = 1;
}

// Whether the 10 ms half captured from `capture` holds no more than the
// echo: its power `heard` against the far end it echoes (where the tracker
// found the echo, with 10 ms before it for the room's tail) times the
// echo's loss. Halves the canceller cut by more than kErlCutDb teach that
// loss. False while the echo is not found or the loss not yet learnt.
// A half cut by kGateEchoFromDb or less is left alone either way and
// teaches nothing: its far end is not summed.
bool EchoOnly(hx_echo *e, int64_t capture, double heard, double cut_db) {
  if (!e->path.locked() || cut_db <= kGateEchoFromDb) return false;
  const int64_t from = capture + std::llround(e->path.offset()) - kFrame;
  double far = 0;
  for (int i = 0; i < 2 * kFrame; ++i) {
    const double x = Far(e, from + i);
    far += x * x;
  }
  far /= 2;
  if (far < kErlFarFloor * kFrame) return false;
  const double loss_db = 10 * std::log10((heard + 1) / far);
  if (cut_db > kErlCutDb) {
    ++e->erl_halves;
    e->erl_db += (loss_db - e->erl_db) * std::max(kErlForget, 1.0 / e->erl_halves);
  }
  return e->erl_halves >= kErlWarmHalves && loss_db <= e->erl_db + kEchoOnlyDb;
}

// How far the residual-echo gate takes a half down, dB.
double GateDb(double cut_db, bool echo_only) {
  if (cut_db < -kLouderDb) return -cut_db;
  const double from = echo_only ? kGateEchoFromDb : kGateFromDb;
  return std::min(kGateDepthDb, kGateSlope * std::max(0.0, cut_db - from));
}

void PublishStats(hx_echo *e) {
  uint64_t words[hx_echo::kStatsWords] = {};
  memcpy(words, &e->stats, sizeof e->stats);
  const uint64_t seq = e->stats_seq.load(std::memory_order_relaxed);
  e->stats_seq.store(seq + 1, std::memory_order_relaxed);
  // Release stores: a reader that sees any new word also sees the odd
  // sequence stored before it (no fences: ThreadSanitizer does not model them).
  for (size_t i = 0; i < hx_echo::kStatsWords; ++i)
    e->stats_words[i].store(words[i], std::memory_order_release);
  e->stats_seq.store(seq + 2, std::memory_order_release);
}

// A consistent copy of the figures; retries while the capture thread is
// storing them (a few hundred nanoseconds every 20 ms).
void ReadStats(hx_echo *e, hx_echo_stats *st) {
  uint64_t words[hx_echo::kStatsWords];
  for (;;) {
    const uint64_t before = e->stats_seq.load(std::memory_order_acquire);
    for (size_t i = 0; i < hx_echo::kStatsWords; ++i)  // acquire: the check below comes after
      words[i] = e->stats_words[i].load(std::memory_order_acquire);
    if (!(before & 1) && e->stats_seq.load(std::memory_order_relaxed) == before) break;
  }
  memcpy(st, words, sizeof *st);
}

void RefreshMetrics(hx_echo *e, hx_echo_stats *st) {
  webrtc::EchoCancellation *ec = e->apm->echo_cancellation();
  webrtc::EchoCancellation::Metrics m;
  if (ec->GetMetrics(&m) == 0) {
    st->metrics_valid = 1;
    st->erle_db = m.echo_return_loss_enhancement.average;
    st->erl_db = m.echo_return_loss.average;
    st->a_nlp_db = m.a_nlp.average;
  }
  int median = 0, spread = 0;
  float poor = 0;
  if (ec->GetDelayMetrics(&median, &spread, &poor) == 0) {
    st->delay_median_ms = median;
    st->delay_std_ms = spread;
    st->fraction_poor_delays = poor;
  }
}

}  // namespace

extern "C" {

void hx_echo_default_settings(hx_echo_settings *s) {
  if (!s) return;
  s->extended_filter = 1;
  s->delay_agnostic = 0;
  s->suppression = HX_ECHO_SUPPRESSION_LOW;
  s->drift_tracking = 1;
  s->path_tracking = 1;
}

hx_echo *hx_echo_create(const hx_echo_settings *s, const char **error) {
  const char *ignored;
  if (!error) error = &ignored;
  *error = nullptr;
  hx_echo *e = new (std::nothrow) hx_echo;
  if (!e) {
    *error = "out of memory";
    return nullptr;
  }
  hx_echo_default_settings(&e->settings);
  if (s) e->settings = *s;
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(e->settings.extended_filter != 0));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(e->settings.delay_agnostic != 0));
  e->apm = webrtc::AudioProcessing::Create(config);
  const char *fail = e->apm ? Configure(e) : "the audio processing module cannot be created";
  if (fail) {
    *error = fail;
    hx_echo_destroy(e);
    return nullptr;
  }
  return e;
}

void hx_echo_destroy(hx_echo *e) {
  if (!e) return;
  if (e->clock) soxr_delete(e->clock);
  delete e->apm;
  delete e;
}

void hx_echo_reverse(hx_echo *e, const int16_t *stereo, int32_t frames) {
  if (!e || !stereo || frames <= 0) return;
  std::lock_guard<std::mutex> lk(e->reverse_mu);
  for (int32_t i = 0; i < frames; ++i) {
    if (e->reverse_count == kReverseCapacity) {  // the capture side stalled: keep the newest
      e->reverse_lost.fetch_add(1, std::memory_order_relaxed);
      e->reverse_head = (e->reverse_head + 1) % kReverseCapacity;
      --e->reverse_count;
    }
    // Both channels reach the one microphone: the reference is their mean.
    e->reverse[(e->reverse_head + e->reverse_count) % kReverseCapacity] =
        static_cast<int16_t>((stereo[2 * i] + stereo[2 * i + 1]) >> 1);
    ++e->reverse_count;
  }
  e->reverse_total.fetch_add(frames, std::memory_order_relaxed);
}

int32_t hx_echo_capture(hx_echo *e, const int16_t *mic, int32_t count, int32_t stream_delay_ms,
                        int16_t *out, int32_t *voice) {
  if (!e || !mic || !out || !voice || count != HX_ECHO_BLOCK) return -1;
  const int32_t delay_ms = std::max<int32_t>(0, std::min(kMaxDelayMs, stream_delay_ms));
  const int64_t delay = static_cast<int64_t>(delay_ms) * (HX_ECHO_RATE / 1000);
  int64_t received = 0;
  const size_t n = TakeReverse(e, &received);
  if (e->clock) {
    const double lead = static_cast<double>(received - delay) -
                        static_cast<double>(e->capture_blocks) * HX_ECHO_BLOCK;
    DriftTrackerUpdate(&e->drift, lead, HX_ECHO_BLOCK);
  }
  ToCaptureClock(e, n);
  // The newest far end echoes `delay` after the end of this block; the
  // resampler still holds back its look-ahead.
  const int64_t latency = e->clock ? std::min(kClockLatency, e->clock_input) : 0;
  const int64_t newest = e->history_count + latency;
  const int64_t reported = newest - delay - HX_ECHO_BLOCK;
  const int64_t measured = reported - e->path_shift;
  // How far the history reaches beyond the block: the delay less what the
  // resampler holds back once it runs (not the history of the first
  // blocks, before it holds anything back).
  const bool jumped =
      Align(e, measured, delay + e->path_shift - (e->clock ? kClockLatency : 0));
  const int64_t capture = e->capture_blocks * HX_ECHO_BLOCK;
  if (e->clock && e->settings.path_tracking) {
    // A jump of the reported delay: the streams or the device changed, and
    // where the echo was found no longer counts.
    if (jumped) e->path.Lose(reported - capture);
    const FarHistory far{e->history, kHistory, e->history_count};
    e->path.Update(mic, HX_ECHO_BLOCK, capture, reported - capture, far,
                          e->applied_ppm, e->count_ppm);
    // The echo of far end not yet received is no echo: a lock there is false.
    if (e->path.locked() && capture + HX_ECHO_BLOCK + e->path.offset() > double(newest))
      e->path.Lose(reported - capture);
    if (e->path.locked()) e->path_offset = double(reported - capture) - e->path.offset();
    // Not while the report has moved away from the alignment: the echo may
    // not have moved yet, and the report's own jump comes first.
    if (e->path.locked() && e->path.slide_points() >= kPathTrustPoints && e->jump_blocks == 0)
      FollowEcho(e, capture);
    TrustDrift(e);
  } else {
    e->count_ppm = e->drift.ppm;
  }
  const int32_t applied = static_cast<int32_t>(
      std::lround((newest - e->aligned - HX_ECHO_BLOCK) * 1000.0 / HX_ECHO_RATE));
  // Far end not received yet (a delay report too short, a render thread
  // running late) reaches the canceller as silence; the alignment itself
  // does not move for it. A lead that the far end misses in 25 blocks more
  // than it reaches (the render buffer shrank for good: every block or most
  // of them starve) shrinks to what is there, the alignment moves once the
  // lead is at its shortest: a canceller fed silence cancels nothing. Not
  // sooner: on a busy machine the render thread starves
  // a few blocks and catches up, and each shrink moves the echo inside the
  // filter, which then re-adapts.
  int64_t from = e->aligned + e->lead;
  if (from + HX_ECHO_BLOCK > e->history_count) {
    ++e->starved;
    if (++e->starve_blocks >= kStarveBlocks) {
      const int64_t reach = e->history_count - e->aligned - HX_ECHO_BLOCK - kLeadSpareSamples;
      e->lead = std::max(kLeadMinSamples, std::min(e->lead, reach));
      if (reach < kLeadMinSamples && reach >= kLeadMinSamples - kLateMaxSamples) {
        // Even the shortest lead misses it: the far end comes later than the
        // report says, and so does its echo. The alignment takes it that much
        // later for good; the tracker corrects it once it finds the echo. A
        // far end missing by more than 20 ms has stopped, not come late.
        TakeEchoLater(e, kLeadMinSamples - reach);
      }
      from = e->aligned + e->lead;
      e->starve_blocks = 0;
      ++e->steps;
    }
  } else if (e->starve_blocks > 0) {
    --e->starve_blocks;
  }
  int32_t any_voice = 0;
  for (int h = 0; h < 2; ++h) {
    FarFrame(e, from + h * kFrame);
    e->apm->ProcessReverseStream(&e->far_frame);
    const double heard = Power(mic + h * kFrame);  // before `out`, which may be `mic`
    memcpy(e->near_frame.data_, mic + h * kFrame, kFrame * sizeof(int16_t));
    e->near_frame.samples_per_channel_ = kFrame;
    e->near_frame.num_channels_ = 1;
    e->apm->set_stream_delay_ms(0);
    e->apm->ProcessStream(&e->near_frame);
    const double left = Power(e->near_frame.data_);
    const double cut_db = 10 * std::log10((heard + 1) / (left + 1));
    const bool echo_only = EchoOnly(e, capture + h * kFrame, heard, cut_db);
    const float target = float(std::pow(10.0, -GateDb(cut_db, echo_only) / 20));
    for (int i = 0; i < kFrame; ++i) {
      const float g = e->gate + (target - e->gate) * float(i + 1) / kFrame;
      out[h * kFrame + i] = int16_t(std::lround(e->near_frame.data_[i] * g));
    }
    e->gate = target;
    const bool near_end = cut_db <= kVoiceCutDb;
    any_voice |= near_end && e->apm->voice_detection()->stream_has_voice() ? 1 : 0;
  }
  e->aligned += HX_ECHO_BLOCK;
  *voice = any_voice;
  ++e->capture_blocks;

  hx_echo_stats fresh{};
  const bool refresh = e->capture_blocks % kMetricsPeriodBlocks == 0;
  if (refresh) RefreshMetrics(e, &fresh);
  hx_echo_stats &st = e->stats;
  st.capture_blocks = e->capture_blocks;
  st.reported_delay_ms = stream_delay_ms;
  st.applied_delay_ms = applied;
  st.lead_ms = static_cast<int32_t>(e->lead * 1000 / HX_ECHO_RATE);
  st.alignment_steps = e->steps;
  st.starved_blocks = e->starved;
  st.drift_ppm = e->clock ? e->drift.ppm : 0;
  st.drift_used = e->count_ppm != 0 ? 1 : 0;
  st.path_locked = e->path.locked() ? 1 : 0;
  st.path_ppm = e->path.ppm();
  st.path_offset_ms = e->path_offset * 1000.0 / HX_ECHO_RATE;
  st.path_locks = e->path.locks();
  st.voice = any_voice;
  if (refresh) {
    st.metrics_valid = fresh.metrics_valid;
    st.erle_db = fresh.erle_db;
    st.erl_db = fresh.erl_db;
    st.a_nlp_db = fresh.a_nlp_db;
    st.delay_median_ms = fresh.delay_median_ms;
    st.delay_std_ms = fresh.delay_std_ms;
    st.fraction_poor_delays = fresh.fraction_poor_delays;
  }
  PublishStats(e);
  return 0;
}

void hx_echo_get_stats(hx_echo *e, hx_echo_stats *st) {
  if (!e || !st) return;
  ReadStats(e, st);
  st->reverse_samples = e->reverse_total.load(std::memory_order_relaxed);
  st->reverse_dropped = e->reverse_lost.load(std::memory_order_relaxed);
}

}  // extern "C"
