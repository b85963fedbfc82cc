// The voice path as the far side hears it, offline, on simulated rooms: the
// 22 s conversation (measure/voice_metrics.h) with a far-end and a
// different near-end talker, an echo path of a delay and an exponentially
// decaying noise response (RT60), optionally a loudspeaker soft clip, and
// room noise at the microphone. Side by side per run:
//   gate        the whole echo component (echo/hx_echo.h) with the
//               broadband residual-echo gate (residual_suppressor 0);
//   component   the whole echo component with the residual-echo suppressor
//               (residual_suppressor 1);
//   linear      the linear canceller alone (webrtc AudioProcessing, set up
//               and fed as the component does: far end 40 ms early, stream
//               delay 0);
//   suppressor  that linear canceller followed by the residual-echo
//               suppressor (echo/residual_suppressor.h).
// Prints the metrics of every run and the median per room.
//
//   residual_quality [--rt60 S[,S...]] [--clip 0|1|both] [--runs N] [--delay MS]
//                    [--echo-db DB] [--noise-dbfs X] [--clip-level X] [--quiet-ms MS]
//                    [--over-subtraction X] [--floor-db X] [--restore 0|1] [--write PREFIX]
//
// Defaults: RT60 0.2,0.4,0.6 s, each without and with the clip (tanh at
// --clip-level 0.1 of full scale, about the near end's peaks), 5 runs
// (each its own room response and noise), 60 ms echo delay, echo -6 dB
// against the far end, noise -50 dBFS. --quiet-ms feeds the component that
// much digital silence (microphone and far end) before the conversation, as
// a capture stream that opens before its source plays. --write saves the
// first run's signals of each room as PREFIX-<room>-<name>.wav.
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "echo/hx_echo.h"
#include "echo/residual_suppressor.h"
#include "measure/voice_metrics.h"
#include "sim/room.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "webrtc/common.h"
#include "webrtc/modules/audio_processing/include/audio_processing.h"
#include "webrtc/modules/interface/module_common_types.h"
#pragma GCC diagnostic pop

namespace {

constexpr int kRate = 16000;
constexpr int kHalf = 160;
constexpr int kLead = 40 * kRate / 1000;  // the component hands the canceller the far end this early

struct Options {
  std::vector<double> rt60 = {0.2, 0.4, 0.6};
  std::vector<int> clips = {0, 1};
  int runs = 5, delay_ms = 60, quiet_ms = 0;
  double echo_db = -6, noise_dbfs = -50, clip_level = 0.1;
  ResidualSuppressorSettings suppressor;
  std::string write;
};

std::vector<float> Load(const std::string &path) {
  SF_INFO info = {};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f || info.samplerate != kRate || info.channels != 1) {
    fprintf(stderr, "cannot read %s as 16 kHz mono\n", path.c_str());
    exit(1);
  }
  std::vector<float> v(size_t(info.frames));
  sf_read_float(f, v.data(), info.frames);
  sf_close(f);
  return v;
}

void Save(const std::string &path, const std::vector<float> &x) {
  SF_INFO info = {};
  info.samplerate = kRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return;
  sf_write_float(f, x.data(), sf_count_t(x.size()));
  sf_close(f);
}

uint32_t Next(uint32_t *seed) { return *seed = *seed * 1664525u + 1013904223u; }
double Uniform(uint32_t *seed) { return (Next(seed) >> 8) / 8388608.0 - 1.0; }  // [-1, 1)

// The conversation's signals at the microphone, kept apart.
struct Call {
  std::vector<float> far, echo, near;  // near: the near talker plus room noise
};

Call MakeCall(const Options &o, double rt60, bool clip, uint32_t seed) {
  static const std::vector<float> far_talk = Load(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  static const std::vector<float> near_talk = Load(HX_SOURCE_DIR "/host/scenario/near_end.wav");
  const voice_metrics::VoiceTimeline tl = voice_metrics::Conversation();
  const size_t n = size_t(voice_metrics::kConversationSeconds * kRate);
  Call c;
  c.far.assign(n, 0);
  c.near.assign(n, 0);
  size_t fp = 0, np = 0;
  for (const voice_metrics::TalkSegment &s : tl.segments) {
    const bool far_on = s.who == voice_metrics::Talk::kFar || s.who == voice_metrics::Talk::kBoth;
    const bool near_on = s.who == voice_metrics::Talk::kNear || s.who == voice_metrics::Talk::kBoth;
    for (size_t i = size_t(s.from_s * kRate); i < size_t(s.to_s * kRate) && i < n; ++i) {
      if (far_on) c.far[i] = far_talk[fp++ % far_talk.size()];
      if (near_on) c.near[i] = near_talk[np++ % near_talk.size()];
    }
  }
  // The loudspeaker, then the room (the simulated world's: direct sound and
  // a decaying tail, unit energy) after the delay, at the echo's level.
  std::vector<float> spoken(c.far);
  if (clip)
    for (float &v : spoken) v = float(o.clip_level * std::tanh(v / o.clip_level));
  std::vector<float> room(size_t(o.delay_ms * kRate / 1000), 0.0f);
  const float gain = float(std::pow(10.0, o.echo_db / 20));
  for (float v : hxsim::ReverberantRoom(rt60, kRate, 3, seed)) room.push_back(v * gain);
  hxsim::RoomConvolver convolver;
  convolver.SetResponse(room);
  c.echo = spoken;
  convolver.Process(c.echo.data(), int(c.echo.size()));
  const double rms = std::pow(10.0, o.noise_dbfs / 20) * std::sqrt(3.0);
  for (float &v : c.near) v = float(v + rms * Uniform(&seed));
  return c;
}

int16_t Pcm(double v) { return int16_t(std::lrint(std::max(-32768.0, std::min(32767.0, v * 32768)))); }

// The linear canceller as the component drives it.
struct Linear {
  webrtc::AudioProcessing *apm = nullptr;
  webrtc::AudioFrame near_frame, far_frame;
  Linear() {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
    apm = webrtc::AudioProcessing::Create(config);
    apm->Initialize(kRate, kRate, kRate, webrtc::AudioProcessing::kMono,
                    webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kMono);
    webrtc::EchoCancellation *ec = apm->echo_cancellation();
    ec->enable_drift_compensation(false);
    ec->set_suppression_level(webrtc::EchoCancellation::kLowSuppression);
    ec->Enable(true);
    for (webrtc::AudioFrame *f : {&near_frame, &far_frame}) {
      f->sample_rate_hz_ = kRate;
      f->num_channels_ = 1;
      f->samples_per_channel_ = kHalf;
    }
  }
  ~Linear() { delete apm; }
  void Process(const int16_t *far, const int16_t *mic, int16_t *out) {
    std::copy(far, far + kHalf, far_frame.data_);
    apm->ProcessReverseStream(&far_frame);
    std::copy(mic, mic + kHalf, near_frame.data_);
    apm->set_stream_delay_ms(0);
    apm->ProcessStream(&near_frame);
    std::copy(near_frame.data_, near_frame.data_ + kHalf, out);
  }
};

struct Outputs {
  std::vector<float> gate, component, linear, suppressor;
  double suppressor_us_per_block = 0;
};

Outputs Run(const Options &o, const Call &c) {
  const size_t n = c.far.size();
  Outputs r;
  r.linear.assign(n, 0);
  r.suppressor.assign(n, 0);
  std::vector<int16_t> mic(n), far(n);
  for (size_t i = 0; i < n; ++i) {
    mic[i] = Pcm(c.echo[i] + c.near[i]);
    far[i] = Pcm(c.far[i]);
  }
  // The component: the far end as played, the echo delay as the stream delay.
  for (int suppressor = 0; suppressor < 2; ++suppressor) {
    std::vector<float> &to = suppressor ? r.component : r.gate;
    to.assign(n, 0);
    hx_echo_settings s;
    hx_echo_default_settings(&s);
    s.residual_suppressor = suppressor;
    const char *why = nullptr;
    hx_echo *e = hx_echo_create(&s, &why);
    if (!e) {
      fprintf(stderr, "canceller: %s\n", why);
      exit(1);
    }
    for (int b = 0; b < o.quiet_ms / 20; ++b) {
      const int16_t stereo[2 * HX_ECHO_BLOCK] = {}, silent[HX_ECHO_BLOCK] = {};
      int16_t out[HX_ECHO_BLOCK];
      int32_t voice = 0;
      hx_echo_reverse(e, stereo, HX_ECHO_BLOCK);
      hx_echo_capture(e, silent, HX_ECHO_BLOCK, o.delay_ms, out, &voice);
    }
    for (size_t at = 0; at + HX_ECHO_BLOCK <= n; at += HX_ECHO_BLOCK) {
      int16_t stereo[2 * HX_ECHO_BLOCK], out[HX_ECHO_BLOCK];
      for (int i = 0; i < HX_ECHO_BLOCK; ++i) stereo[2 * i] = stereo[2 * i + 1] = far[at + i];
      hx_echo_reverse(e, stereo, HX_ECHO_REVERSE_FRAMES);
      hx_echo_reverse(e, stereo + 2 * HX_ECHO_REVERSE_FRAMES, HX_ECHO_REVERSE_FRAMES);
      int32_t voice = 0;
      hx_echo_capture(e, mic.data() + at, HX_ECHO_BLOCK, o.delay_ms, out, &voice);
      for (int i = 0; i < HX_ECHO_BLOCK; ++i) to[at + i] = out[i] / 32768.0f;
    }
    hx_echo_destroy(e);
  }
  // The linear canceller, then the suppressor on its output.
  Linear lin;
  ResidualSuppressor *sup = ResidualSuppressorCreate(o.suppressor);
  const int delay = o.delay_ms * kRate / 1000;
  double spent = 0;
  for (size_t at = 0; at + kHalf <= n; at += kHalf) {
    int16_t early[kHalf], out[kHalf], cleaned[kHalf];
    for (int i = 0; i < kHalf; ++i) {  // the far end that echoes 40 ms from now
      const long j = long(at) + i - delay + kLead;
      early[i] = j >= 0 && size_t(j) < n ? far[size_t(j)] : 0;
    }
    lin.Process(early, mic.data() + at, out);
    const auto t0 = std::chrono::steady_clock::now();
    ResidualSuppressorProcess(sup, mic.data() + at, out, early, cleaned);
    spent += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (int i = 0; i < kHalf; ++i) {
      r.linear[at + i] = out[i] / 32768.0f;
      r.suppressor[at + i] = cleaned[i] / 32768.0f;
    }
  }
  ResidualSuppressorDestroy(sup);
  r.suppressor_us_per_block = spent * 1e6 / (double(n) / HX_ECHO_BLOCK);
  return r;
}

void Print(const char *what, const voice_metrics::VoiceMetrics &m) {
  printf("  %-10s residual %+6.1f dB  leak %5.1f %%  holes %5.1f %%  double talk %+5.1f dB "
         "clipped %5.1f %%  near corr %.3f  start %+5.1f dB%s\n",
         what, m.residual_db, m.leak_pct, m.holes_pct, m.double_talk_db, m.clipped_pct,
         m.near_correlation, m.start_db, m.valid ? "" : "  (did not line up)");
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

struct Column {
  std::vector<double> residual, leak, holes, dt, clipped, corr, start;
  void Add(const voice_metrics::VoiceMetrics &m) {
    residual.push_back(m.residual_db);
    leak.push_back(m.leak_pct);
    holes.push_back(m.holes_pct);
    dt.push_back(m.double_talk_db);
    clipped.push_back(m.clipped_pct);
    corr.push_back(m.near_correlation);
    start.push_back(m.start_db);
  }
  voice_metrics::VoiceMetrics MedianMetrics() const {
    voice_metrics::VoiceMetrics m;
    m.valid = true;
    m.residual_db = Median(residual);
    m.leak_pct = Median(leak);
    m.holes_pct = Median(holes);
    m.double_talk_db = Median(dt);
    m.clipped_pct = Median(clipped);
    m.near_correlation = Median(corr);
    m.start_db = Median(start);
    return m;
  }
};

std::vector<double> Numbers(const char *v) {
  std::vector<double> out;
  for (const char *p = v; *p;) {
    char *end = nullptr;
    out.push_back(strtod(p, &end));
    if (end == p) return {};
    p = *end == ',' ? end + 1 : end;
  }
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  double over = o.suppressor.over_subtraction, floor_db = o.suppressor.floor_db;
  int restore = o.suppressor.restore_near ? 1 : 0;
  const cli::Command command{
      "residual_quality", "[options]",
      "The echo component with each residual-echo stage side by side on simulated rooms, over\n"
      "the 22 s conversation (see docs/performance.md).",
      {cli::Call("rt60", "S[,S...]", "room reverberation times (default 0.2,0.4,0.6)",
                 [&o](const char *v, std::string *why) {
                   o.rt60 = Numbers(v);
                   if (!o.rt60.empty()) return true;
                   *why = std::string("option --rt60 wants numbers separated by commas, not '") + v + "'";
                   return false;
                 }),
       cli::Call("clip", "0|1|both", "loudspeaker soft clip (default both)",
                 [&o](const char *v, std::string *why) {
                   const std::string c = v;
                   if (c == "both") o.clips = {0, 1};
                   else if (c == "0" || c == "1") o.clips = {c == "1"};
                   else *why = "option --clip wants 0, 1 or both, not '" + c + "'";
                   return why->empty();
                 }),
       cli::Int("runs", &o.runs, 1, 1000, "N", "runs per room (default 5)"),
       cli::Int("delay", &o.delay_ms, 0, 500, "MS", "echo delay (default 60)"),
       cli::Number("echo-db", &o.echo_db, -60, 20, "DB", "echo against the far end (default -6)"),
       cli::Number("noise-dbfs", &o.noise_dbfs, -120, 0, "X", "room noise at the microphone (default -50)"),
       cli::Number("clip-level", &o.clip_level, 0.001, 1, "X", "soft clip level, of full scale (default 0.1)"),
       cli::Int("quiet-ms", &o.quiet_ms, 0, 5000, "MS", "component: digital silence before the call (default 0)"),
       cli::Number("over-subtraction", &over, 0, 10, "X", "suppressor: residual taken this many times"),
       cli::Number("floor-db", &floor_db, -100, 0, "DB", "suppressor: deepest cut of a bin"),
       cli::Int("restore", &restore, 0, 1, "0|1", "suppressor: near end restored from the microphone"),
       cli::Text("write", &o.write, "PREFIX", "the first run's signals to PREFIX*.wav")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  o.suppressor.over_subtraction = float(over);
  o.suppressor.floor_db = float(floor_db);
  o.suppressor.restore_near = restore != 0;
  const voice_metrics::VoiceTimeline tl = voice_metrics::Conversation();
  for (double rt60 : o.rt60) {
    for (int clip : o.clips) {
      printf("RT60 %.1f s%s, echo %+.0f dB, delay %d ms, noise %.0f dBFS, %d runs\n", rt60,
             clip ? ", loudspeaker soft clip" : "", o.echo_db, o.delay_ms, o.noise_dbfs, o.runs);
      Column gate, component, linear, suppressor;
      double us = 0;
      for (int run = 0; run < o.runs; ++run) {
        const Call c = MakeCall(o, rt60, clip, 1000u * uint32_t(run) + 17);
        const Outputs out = Run(o, c);
        auto measure = [&](const std::vector<float> &x) {
          return voice_metrics::MeasureVoice(tl, c.near.data(), c.echo.data(), c.near.size(),
                                             x.data(), x.size(), kRate);
        };
        const voice_metrics::VoiceMetrics g = measure(out.gate), m = measure(out.component),
                                          l = measure(out.linear), s = measure(out.suppressor);
        printf(" run %d\n", run + 1);
        Print("gate", g);
        Print("component", m);
        Print("linear", l);
        Print("suppressor", s);
        gate.Add(g);
        component.Add(m);
        linear.Add(l);
        suppressor.Add(s);
        us = std::max(us, out.suppressor_us_per_block);
        if (run == 0 && !o.write.empty()) {
          char tag[64];
          snprintf(tag, sizeof tag, "-rt%.1f%s-", rt60, clip ? "-clip" : "");
          std::vector<float> mic(c.near);
          for (size_t i = 0; i < mic.size(); ++i) mic[i] += c.echo[i];
          Save(o.write + tag + "mic.wav", mic);
          Save(o.write + tag + "near.wav", c.near);
          Save(o.write + tag + "echo.wav", c.echo);
          Save(o.write + tag + "gate.wav", out.gate);
          Save(o.write + tag + "component.wav", out.component);
          Save(o.write + tag + "linear.wav", out.linear);
          Save(o.write + tag + "suppressor.wav", out.suppressor);
        }
      }
      printf(" median of %d runs\n", o.runs);
      Print("gate", gate.MedianMetrics());
      Print("component", component.MedianMetrics());
      Print("linear", linear.MedianMetrics());
      Print("suppressor", suppressor.MedianMetrics());
      printf(" suppressor cost: %.1f us per 20 ms block (slowest run's mean)\n", us);
    }
  }
  return 0;
}
