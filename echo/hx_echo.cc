// The C face of the voice path's echo canceller: one capture block runs
// render queue -> far-end aligner -> per 10 ms half: linear canceller ->
// residual-echo stage, then publishes the statistics. Each job lives in its
// own file; this one only wires them (the header describes the behaviour).
#include "echo/hx_echo.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "echo/double_talk_depth.h"
#include "echo/echo_canceller.h"
#include "echo/echo_recording.h"
#include "echo/echo_stats.h"
#include "echo/echo_tuning.h"
#include "echo/far_end_aligner.h"
#include "echo/render_queue.h"
#include "echo/residual_gate.h"
#include "echo/residual_suppressor.h"
#include "echo/sound_floor.h"

// A microphone half over -50 dBFS: more than a quiet room, so what the
// linear filter takes off it says something of the echo.
constexpr double kRoomMeanSquare = 1e4;

// The microphone's level over the far end's in a half (mean squares), dB;
// kNoFar where the far end is below a quiet room.
static double OverFar(double heard_square, const int16_t *far) {
  double far_square = 0;
  for (int i = 0; i < kEchoHalf; ++i) far_square += double(far[i]) * far[i];
  far_square /= kEchoHalf;
  return far_square > kRoomMeanSquare ? 10 * std::log10((heard_square + 1) / far_square) : kNoFar;
}

struct SuppressorDelete {
  void operator()(ResidualSuppressor *r) const { ResidualSuppressorDestroy(r); }
};

struct hx_echo {
  explicit hx_echo(const EchoTuning &t) : tuning(t), aligner(t), gate(t.gate), double_talk(t.double_talk) {}

  EchoTuning tuning;
  hx_echo_settings settings{};
  RenderQueue queue;                       // render thread -> capture thread
  std::unique_ptr<EchoCanceller> canceller;
  // Capture thread only.
  int16_t taken[kRenderQueueCapacity];     // far end drained this block
  FarEndAligner aligner;
  ResidualGate gate;                       // the residual-echo stage: the gate, or ...
  std::unique_ptr<ResidualSuppressor, SuppressorDelete> suppressor;  // ... when set, this
  DoubleTalkDepth double_talk;             // with the suppressor: the linear stage's cut
  int64_t losses = 0;                      // the aligner's, at the last block
  int64_t jolts = 0;                       // ... and its jolts
  // The microphone as the residual stage sees it: delayed by the linear
  // stage's latency, so that it lines up with what that stage leaves.
  int16_t mic_line[2 * kEchoHalf] = {};
  int latency = 0;
  bool sounded = false;                    // the microphone has held a block with sound
  int64_t capture_blocks = 0;
  hx_echo_stats stats{};                   // the capture thread's own copy
  EchoStatsBoard board;                    // ... and for readers on any thread
  std::unique_ptr<EchoRecording> recording;  // diagnostics, when asked for
};

extern "C" {

void hx_echo_default_settings(hx_echo_settings *s) {
  if (!s) return;
  s->extended_filter = 1;
  s->delay_agnostic = 0;
  s->suppression = HX_ECHO_SUPPRESSION_LOW;
  s->drift_tracking = 1;
  s->path_tracking = 1;
  s->engine = HX_ECHO_ENGINE_WEBRTC;
  s->residual_suppressor = 1;
}

hx_echo *hx_echo_create(const hx_echo_settings *s, const char **error) {
  const char *ignored;
  if (!error) error = &ignored;
  *error = nullptr;
  hx_echo *e = new (std::nothrow) hx_echo(EchoTuning());
  if (!e) {
    *error = "out of memory";
    return nullptr;
  }
  hx_echo_default_settings(&e->settings);
  if (s) e->settings = *s;
  const char *fail = nullptr;
  e->canceller.reset(CreateEchoCanceller(e->settings, &fail));
  if (!fail) {
    e->latency = e->canceller->Latency();
    if (e->latency < 0 || e->latency > kEchoHalf) fail = "the linear stage's latency is out of range";
  }
  if (!fail) fail = e->aligner.Start(e->settings.drift_tracking != 0, e->settings.path_tracking != 0);
  if (!fail && e->settings.residual_suppressor) {
    e->suppressor.reset(ResidualSuppressorCreate(ResidualSuppressorSettings()));
    if (!e->suppressor) fail = "out of memory";
  }
  if (fail) {
    *error = fail;
    hx_echo_destroy(e);
    return nullptr;
  }
  return e;
}

void hx_echo_destroy(hx_echo *e) { delete e; }

void hx_echo_reverse(hx_echo *e, const int16_t *stereo, int32_t frames) {
  if (!e || !stereo || frames <= 0) return;
  e->queue.Push(stereo, frames);
}

int32_t hx_echo_capture(hx_echo *e, const int16_t *mic, int32_t count, int32_t stream_delay_ms,
                        int16_t *out, int32_t *voice) {
  if (!e || !mic || !out || !voice || count != HX_ECHO_BLOCK) return -1;
  int64_t received = 0;
  const size_t n = e->queue.Take(e->taken, &received);
  if (e->recording) e->recording->Begin(e->taken, n, received, stream_delay_ms, mic);
  const bool moved = e->aligner.Step(e->taken, n, received, stream_delay_ms, mic);
  if (e->suppressor && moved) ResidualSuppressorRestart(e->suppressor.get());
  e->double_talk.Block(e->aligner.losses() != e->losses, e->aligner.jolts() != e->jolts);
  e->losses = e->aligner.losses();
  e->jolts = e->aligner.jolts();
  const EchoLocation echo = e->aligner.echo();
  int32_t any_voice = 0;
  // Until the microphone first sounds (a stream that opens on digital
  // silence or near it: a mean square of at most 4, 2 LSB rms), the stages
  // wait. Fed zeros first, the linear stage kept the echo it suppresses far
  // under the room's background for the rest of the call (-62 to -85 dBFS
  // against -50); the residual stage followed that quiet output down, and
  // the far side heard holes (residual_quality --quiet-ms 500: a third of
  // the far-alone frames without this wait, none with it; +-1 LSB instead
  // of zeros: 84 % in the near-silent voice room when any sample other
  // than 0 ended the wait). Near-silence in, silence out.
  if (!e->sounded) e->sounded = EchoHoldsSound(mic, count);
  if (!e->sounded) std::fill(out, out + count, 0);
  for (int h = 0; h < 2 && e->sounded; ++h) {
    int16_t far[kEchoHalf], linear[kEchoHalf];
    e->aligner.Half(h, far);
    if (e->suppressor) e->canceller->SetSuppressionDepth(e->double_talk.Next());
    e->canceller->Render(far);
    const bool heard_voice = e->canceller->Capture(mic + h * kEchoHalf, linear);
    if (e->suppressor) {
      float kept[kEngineKeptBands];
      const bool said = e->canceller->EngineKept(kept);
      ResidualSuppressorEngineKept(e->suppressor.get(), said ? kept : nullptr, kEngineKeptBands);
    }
    int16_t *line = e->mic_line;  // [latency held back | this half]
    std::copy(mic + h * kEchoHalf, mic + (h + 1) * kEchoHalf, line + e->latency);
    const int16_t *heard = line;  // the microphone that `linear` came from
    // The suppressor takes the canceller's own reference: the far end a
    // lead (10 to 40 ms) ahead of its echo, inside the suppressor's reach.
    const bool near_end =
        e->suppressor
            ? ResidualSuppressorProcess(e->suppressor.get(), heard, linear, far, out + h * kEchoHalf,
                                        heard_voice)
            : e->gate.Process(heard, linear, e->aligner.capture() + h * kEchoHalf,
                              echo, out + h * kEchoHalf);
    any_voice |= near_end && heard_voice ? 1 : 0;
    if (e->suppressor) {
      // What the linear filter took off the microphone it worked on; an
      // engine that cannot say is never softened anyway.
      const float left = e->canceller->LinearMeanSquare();
      double heard_square = 0;
      for (int i = 0; i < kEchoHalf; ++i) heard_square += double(heard[i]) * heard[i];
      heard_square /= kEchoHalf;
      const ResidualSuppressorState last = ResidualSuppressorLast(e->suppressor.get());
      e->double_talk.Heard(HalfHeard{near_end, last.far_active, heard_square > kRoomMeanSquare,
                                     left < 0 ? 0.0 : 10 * std::log10((heard_square + 1) / (left + 1)),
                                     last.starting, OverFar(heard_square, far)});
    }
    std::copy(line + kEchoHalf, line + kEchoHalf + e->latency, line);
  }
  *voice = any_voice;
  if (e->recording) e->recording->End(out);
  ++e->capture_blocks;

  hx_echo_stats &st = e->stats;
  st.capture_blocks = e->capture_blocks;
  st.reported_delay_ms = stream_delay_ms;
  e->aligner.Report(&st);
  st.voice = any_voice;
  if (e->capture_blocks % e->tuning.metrics_period_blocks == 0) e->canceller->Figures(&st);
  e->board.Publish(st);
  return 0;
}

void hx_echo_get_stats(hx_echo *e, hx_echo_stats *st) {
  if (!e || !st) return;
  e->board.Read(st);
  st->reverse_samples = e->queue.received();
  st->reverse_dropped = e->queue.dropped();
}

int32_t hx_echo_record(hx_echo *e, int32_t seconds) {
  if (!e) return -1;
  std::unique_ptr<EchoRecording> r(new (std::nothrow) EchoRecording);
  if (!r || !r->Start(seconds)) return -1;
  e->recording = std::move(r);
  return 0;
}

int32_t hx_echo_save_recording(hx_echo *e, const char *path) {
  return e && e->recording && e->recording->Save(path) ? 0 : -1;
}

}  // extern "C"
