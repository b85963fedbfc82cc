// Every tuned figure of the echo canceller, in one place, with why it has
// the value it has. The defaults are what docs/performance.md measured; a
// component copies its group when it is made, so a test may tune one.
// Sizes of storage (queue, history, search windows) are not tuning: they
// are constants beside the storage they size.
#ifndef HX_ECHO_ECHO_TUNING_H
#define HX_ECHO_ECHO_TUNING_H

#include <cstdint>

#include "echo/drift_tracker.h"
#include "echo/hx_echo.h"

// The canceller works per 10 ms half of each capture block.
constexpr int kEchoHalf = HX_ECHO_BLOCK / 2;

// Samples in `ms` milliseconds at the canceller's rate.
constexpr int64_t EchoMs(int64_t ms) { return ms * HX_ECHO_RATE / 1000; }

// The clock conversion: libsoxr's variable-rate resampler, whose ratio may
// change at every block. It holds back 240 output samples and delays by 2
// more (measured at ratios 1 +- 0.001): the newest sample it has put out is
// the far end received 242 samples before the newest.
struct ClockTuning {
  double max_ratio = 1.002;
  int64_t latency = 242;
  double update_ppm = 0.1;  // the ratio follows changes above this
};

// Alignment of the far end against the reported stream delay.
struct AlignTuning {
  int32_t max_delay_ms = 1000;  // longer reported delays are clamped
  // After a start or a jump the measured alignment is averaged over 1 s and
  // the one in use moves to that mean once (single reports are less
  // certain). Smaller changes of the reported delay are left to the
  // canceller, whose filter covers -30 to +50 ms around the lead: moving the
  // reference with every few ms of report jitter would keep it re-adapting.
  int settle_blocks = 50;
  // A step of the reported delay by more than 20 ms that holds for half a
  // second is a new device delay: the alignment jumps to it. Shorter swings
  // are report noise (a busy machine: a capture latency that reads 100 ms
  // for a moment, a render queue refilled after an underrun), and a report
  // that creeps away is a buffer filling, not a new device.
  double jump_samples = 20 * HX_ECHO_RATE / 1000;
  int jump_blocks = 25;
  // A report that moves by more than 30 ms from one block to the next is a
  // jolt: the render side ran dry or caught up, which moves the echo inside
  // the canceller's filter even where the alignment stays (a live loopback
  // call: 62, 95, 75, 55 ms in three blocks, and the filter took nothing
  // off the echo for 20 blocks). Counted for the double-talk rule.
  int32_t jolt_ms = 30;
  // How early the far end reaches the canceller; it needs at least 10 ms and
  // keeps its full strength up to about 80 ms (a lead of 20 instead of 40 ms
  // left +2.9 and +4.1 dB in 2 of 3 live loopback calls that starved
  // nothing). Never more than the far end already in the history allows,
  // with a block (20 ms) to spare, or 10 ms where a block would leave less
  // than 20 ms of lead: the far end may come that much later for good
  // without the lead, and so the echo's place in the filter, having to move.
  // A render side one block behind for good is common live (in one block
  // nothing comes, then the far end comes 20 ms later); with 10 ms to spare
  // it starved the canceller for 25 blocks and the echo of the far end's
  // first words passed (three calls traced on a live loopback: +21, +27.5
  // and +30.5 dB over the background). Falls of 30 ms and more, and falls of
  // a block and a few samples against a lead with exactly a block to spare,
  // still starve it until the lead shrinks.
  int64_t lead_max = EchoMs(40);
  int64_t lead_min = EchoMs(10);
  int64_t lead_short = EchoMs(20);        // the least lead a block of spare may leave
  int64_t lead_spare = EchoMs(10);        // spare where the room is short, and after a shrink
  int64_t lead_spare_block = EchoMs(20);  // spare where the room allows it
  // A lead the far end misses in this many blocks in a row, or in over a
  // third of the blocks for longer, shrinks; a far end missing by more than
  // late_max has stopped, not come late.
  int starve_blocks = 25;
  int64_t late_max = EchoMs(20);
};

// The echo found in the signals where the canceller's filter cannot hold it
// (a delay the server does not report: a loopback, a device behind a
// resampler; a device change that moved the echo but not the report) moves
// the alignment, once the tracker has followed it for trust_points blocks
// with sound. The filter (128 ms) holds an echo up to 100 ms into it (the
// room's tail needs the rest) and from 15 ms in (5 ms of report noise at
// least); a realignment costs the filter a second or two of re-adapting, so
// nothing it holds is moved.
struct FollowTuning {
  int trust_points = 3;
  double tap_max = 100 * HX_ECHO_RATE / 1000;
  double tap_min = 15 * HX_ECHO_RATE / 1000;
  double early_min = 5 * HX_ECHO_RATE / 1000;
  int64_t shift_max = EchoMs(400);  // never further from the report than this
  // The count-based drift corrects the far end only once the echo's slide
  // lies within agree_ppm + agree_share of it.
  double agree_ppm = 30;
  double agree_share = 0.25;
};

// Finding the echo in the signals (echo_path_tracker.h).
struct PathTuning {
  float emphasis = 0.95f;       // pre-emphasis: sharpens the correlation peak
  double sound_floor = 8;       // mean |pre-emphasised sample| of a block with sound
  int search_blocks = 25;       // blocks with sound before the search decides
  int search_give_up = 250;     // ... and before it starts over
  double search_min_ncc = 0.5;  // envelope correlation of a found echo
  double search_margin = 0.05;  // over the best peak outside its lobe
  int search_lobe = 16;         // ms: the envelope peak is broad
  int64_t search_rebase = 32 * 16;  // reported delay moved 32 ms: search anew
  int refine_blocks = 12;
  double refine_min_peak = 0.2;  // normalised peak of a found echo
  double track_forget = 0.85;    // per block with sound: about 0.13 s
  int track_warm = 8;            // blocks before a tracked peak is used
  double track_min_peak = 0.2;   // weaker peaks are not used (a clear echo: 0.7) ...
  int track_fade_blocks = 15;    // ... and this many in a row lose the echo
  // The slide's rate: a line through the tracked offset (as it would be
  // without the corrections applied meanwhile) with a memory of about 1.5 s;
  // a jump of more than 4 samples (the server dropped or added audio) or 1.5
  // samples on average lasting a quarter of a second starts a new line.
  SlopeFitParams slide = {1.0 - 1.0 / 75, 4, 1.5, 1.0 / 12, 25, 1000, 0, 0};
  // The offset is pulled back to where it was found by this many ppm per
  // sample it is away (a time constant of about 1.5 s).
  double pull_ppm_per_sample = 40;
  double max_ppm = 1000;
};

// The broadband residual-echo gate (residual_gate.h). Voice detection runs
// on what the canceller leaves, and a residue of echo sounds like speech to
// it; near-end speech keeps its power through the canceller, echo does not.
// So a 10 ms half whose power the canceller cut by more than voice_cut_db is
// echo (no voice flag, so the gain control never lifts it), and one cut by
// more than from_db holds no near end: what is left of it is attenuated by
// slope dB per dB of cut beyond from_db, up to depth_db, the gain ramped
// across the half; the background noise in such a half goes down with it.
// Where the microphone heard no more than the echo the far end makes (within
// echo_only_db of the far end's power times the echo's loss, learnt on
// halves cut by more than erl_cut_db), the gate starts at echo_from_db: a
// canceller still adapting (after a pause, a move of the echo) cuts such
// halves by only 6 to 15 dB. A half the canceller made louder by more than
// louder_db holds its own echo estimate (the echo dropped out: a glitch in
// the echo path) and is brought back to the level the microphone heard.
// Double talk keeps the near end: the canceller cuts it by little and the
// microphone holds more than the echo, so the gate stays open.
struct GateTuning {
  double voice_cut_db = 12;
  double from_db = 15;
  double echo_from_db = 6;
  double slope = 6;
  double depth_db = 40;
  double echo_only_db = 3;
  double erl_cut_db = 25;
  double erl_far_floor = 100;  // mean square of a far end with sound (20 dB)
  int erl_warm_halves = 20;    // averaged before the echo's loss is used, then ...
  double erl_forget = 0.05;    // ... followed with this weight per half
  double louder_db = 6;
};

// Double talk: the linear stage's own suppression (WebRTC 0.3's) cuts a
// near end talking over the echo by 4 to 5 dB, and a quarter to a half of
// its frames by over 10 dB. After a half where the linear filter took off
// the microphone less than max_removed_db, and below_echo_db less than it
// takes off the echo alone (learnt on far-alone halves, echo_step per half,
// once echo_known_halves have come), and where either the residual-echo
// suppressor heard near-end voice or the filter took under
// unheard_removed_db off a microphone more than unheard_over_echo_db louder
// against the far end than the echo alone is (learnt alike), the engine's
// suppression keeps only voice_depth of its cut (its gains raised to that
// power), and none (clear_depth) where the filter took under
// clear_removed_db.
//   Why the filter's share: the voice decision reads the output, and fires
// on a loud syllable of echo and on the echo a diverged filter lets
// through (after double talk); a softer cut then leaves more echo, read as
// voice again. In live double talk the filter takes under 6 dB off 86 % of
// the voiced halves, and 6 dB or more off three in four far-alone halves
// wrongly called voiced. Judged instead by the microphone against the echo
// predicted (which fires in a fifth of far-alone halves), a call whose
// decision fired on its echo left +21.6 dB of residual (+3.2 unsoftened).
//   Why not the decision alone: it reads the output after the engine's cut,
// so a near end the cut took out is not heard and stays cut. Live calls
// replayed (eight sessions, 77 calls, live feeds, with the module's
// chain), mean double talk dB / clipped %: the decision alone -2.45 /
// 20.2; with this rule and a margin of 4 dB below the echo's share and
// none over the echo's level, -2.02 / 15.9, but one call whose filter
// diverged in double talk rose from +22.4 to +26.2 dB, and a live
// PipeWire conversation test then left its last far-alone words only 8.9
// dB down; a margin of 3 dB, -1.75 / 11.5 with six calls' residual up by
// 0.8 to 7.9 dB. Then 5 dB and 3 dB, -2.39 / 18.9 with no call's residual
// up (nine sessions, 89 calls: -2.49 / 19.5 against -2.56 / 20.8). Since
// the suppressor takes the residual 64 times over where the far end talks
// alone (ResidualSuppressorSettings), its decision no longer fires on the
// echo a jolted or diverged filter lets through, and 4 dB holds: 13
// sessions, 137 calls, -2.09 / 17.3 with a residual of 1.76 dB mean and no
// call up by over 0.5 dB (5 dB: -2.46 / 19.9, 1.79 dB; 3 dB: -1.87 / 15.5,
// 2.05 dB; the diverged call above +0.4 dB). Without
// the level (a filter that lost the echo takes nothing off it either, but
// the echo is no louder) two calls rose; gating the voice decision by the
// level too lost more than it kept.
//   Full depth while the suppressor starts (the far end's first words, a
// new echo path), and for calm_blocks (5 s) after the far end starved or
// the alignment moved (default-sink switches replayed: worst calls +24.8
// dB with no calm, +9.5 with 2 s, +7.6 and +4.8 with 5 s, as without any
// softening), and for jolt_blocks (0.8 s) after the reported delay jolted
// (AlignTuning::jolt_ms): the filter re-adapts, its residue passes for a
// near end, and a softened cut let it through (the call above: +17.7 dB
// over the background, -0.0 with the hold; over 105 replayed calls
// residual 1.84 -> 1.67 dB mean, double talk -2.40 -> -2.42 dB; a jolt of
// 20 ms, or a hold of 5 s, cost double talk 0.06 and 0.29 dB).
struct DoubleTalkTuning {
  float voice_depth = 0.3f;
  float clear_depth = 0.0f;
  double max_removed_db = 6;
  double clear_removed_db = 4;
  double below_echo_db = 4;
  double unheard_removed_db = 1.5;
  double unheard_over_echo_db = 3;
  double echo_step = 0.02;      // per half: follows the filter over about half a second
  int echo_known_halves = 50;   // far-alone halves before it is trusted
  int calm_blocks = 250;
  int jolt_blocks = 40;
};

struct EchoTuning {
  ClockTuning clock;
  AlignTuning align;
  FollowTuning follow;
  PathTuning path;
  GateTuning gate;
  DoubleTalkTuning double_talk;
  int metrics_period_blocks = 50;  // the canceller's own figures once a second
};

#endif  // HX_ECHO_ECHO_TUNING_H
