// Measures the voice path's echo canceller (echo/hx_echo.h) offline, on the
// simulated world's echo path model (sim/world_echo_path.h) and real speech,
// stepped as fast as the CPU allows: no module, no threads. Prints the echo
// reduction on far-end-only blocks (measure/echo_measure.h) after the first
// 2 s, optionally per time window.
//
//   echo_quality [--far WAV | --far48 WAV] [--near WAV] [--noise-dbfs X] [--seconds S]
//                [--delay MS] [--gain DB] [--room 0|1] [--drift PPM]
//                [--jump-at S --jump-ms MS] [--report-offset MS]
//                [--extended 0|1] [--agnostic 0|1] [--suppression 0|1|2]
//                [--tracking 0|1] [--path-tracking 0|1] [--engine 0|1] [--window S]
//                [--sweep-delays] [--direct]
//                [--trace]
//                [--path-drift PPM] [--path-wander PPM --wander-period S]
//
// Far end (16 kHz mono, looped; default tests/data/speech16k.wav; or 48 kHz
// mono reduced as the module's play thread does, every third sample) goes
// to the loudspeaker and to the canceller as 16 kHz stereo; the near end
// (16 kHz mono, looped; default none) plus white noise at --noise-dbfs
// (default -70) is the microphone. With a near end the double-talk blocks
// are also compared with the near end alone (level and correlation). The stream delay reported is the echo
// path's own (render queue + delay) plus --report-offset. --direct drives
// webrtc::AudioProcessing itself the common way instead of the component: the
// far end handed over as it comes, the stream delay reported with each 10 ms
// (drift tracking does not apply), for comparison.
//
// --engine 1 runs the component on WebRTC's AEC3 instead of AudioProcessing
// 0.3 (the alignment and the residual gate stay; --extended, --agnostic and
// --suppression do not apply to it).
//
// --path-drift and --path-wander move the echo against the far end without
// the stream counts showing it, as a device that the sound server resamples
// to follow another clock does (module-loopback, pipewire's adaptive
// resampling): the echo passes a delay line whose delay changes by PPM per
// second of samples, steadily or, with --path-wander, alternating in sign
// every half period (the delay then zigzags).
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "measure/echo_measure.h"
#include "echo/hx_echo.h"
#include "sim/world_echo_path.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "webrtc/common.h"
#include "webrtc/modules/audio_processing/include/audio_processing.h"
#include "webrtc/modules/interface/module_common_types.h"
#pragma GCC diagnostic pop

namespace {

struct Run {
  std::string far = HX_SOURCE_DIR "/tests/data/speech16k.wav", far48, near;
  double noise_dbfs = -70, seconds = 20, gain_db = -6, drift_ppm = 0, jump_at = 0;
  int delay_ms = 100, room = 1, jump_ms = 0, report_offset_ms = 0;
  double window_s = 0, path_drift_ppm = 0, wander_ppm = 0, wander_period_s = 20;
  bool trace = false;  // the component's figures every second
  bool direct = false;
  hx_echo_settings settings{};
};

// The dependency driven directly: what the voice path would do without the
// component (the settings but drift tracking apply).
struct Direct {
  webrtc::AudioProcessing *apm = nullptr;
  webrtc::AudioFrame frame;
  explicit Direct(const hx_echo_settings &s) {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(s.extended_filter != 0));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(s.delay_agnostic != 0));
    apm = webrtc::AudioProcessing::Create(config);
    apm->Initialize(16000, 16000, 16000, webrtc::AudioProcessing::kMono,
                    webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kMono);
    apm->echo_cancellation()->set_suppression_level(
        static_cast<webrtc::EchoCancellation::SuppressionLevel>(s.suppression));
    apm->echo_cancellation()->Enable(true);
    frame.sample_rate_hz_ = 16000;
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = 160;
  }
  ~Direct() { delete apm; }
  void Reverse(const int16_t *stereo) {
    for (int i = 0; i < 160; ++i) frame.data_[i] = stereo[2 * i];
    apm->ProcessReverseStream(&frame);
  }
  void Capture(const int16_t *mic, int delay_ms, int16_t *out) {
    for (int h = 0; h < 2; ++h) {
      std::copy(mic + 160 * h, mic + 160 * (h + 1), frame.data_);
      apm->set_stream_delay_ms(delay_ms);
      apm->ProcessStream(&frame);
      std::copy(frame.data_, frame.data_ + 160, out + 160 * h);
    }
  }
};

// A delay line whose delay changes at `ppm` (sign alternating every half
// period when `period` samples > 0), read by windowed-sinc interpolation.
class MovingDelay {
 public:
  MovingDelay(double ppm, double period) : ppm_(ppm), period_(period), line_(kSize, 0.f) {}
  float Step(float x) {
    line_[pos_ % kSize] = x;
    const double rate = period_ > 0 && std::fmod(double(pos_), period_) >= period_ / 2 ? -ppm_ : ppm_;
    delay_ += rate * 1e-6;
    const double at = double(pos_) - delay_;
    const long base = long(std::floor(at));
    const double frac = at - double(base);
    double y = 0;
    for (int k = -kHalf + 1; k <= kHalf; ++k) {
      const double t = double(k) - frac;
      const double w = 0.42 + 0.5 * std::cos(M_PI * t / kHalf) + 0.08 * std::cos(2 * M_PI * t / kHalf);
      const double sinc = std::fabs(t) < 1e-9 ? 1 : std::sin(M_PI * t) / (M_PI * t);
      y += line_[size_t(base + k) % kSize] * sinc * w;
    }
    ++pos_;
    return float(y);
  }

 private:
  static constexpr int kHalf = 16;
  static constexpr size_t kSize = 1 << 16;
  double ppm_, period_;
  double delay_ = 2 * kHalf + 640;  // room to move both ways (40 ms)
  size_t pos_ = kSize;             // history reads never go below 0
  std::vector<float> line_;
};

bool Load(const std::string &path, std::vector<int16_t> *out, int rate = 16000) {
  SF_INFO info = {};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return false;
  const bool ok = info.samplerate == rate && info.channels == 1 && info.frames > 0;
  if (ok) out->resize(static_cast<size_t>(info.frames));
  const bool read = ok && sf_read_short(f, out->data(), info.frames) == info.frames;
  sf_close(f);
  return read;
}

struct Signals {
  std::vector<int16_t> heard, echo, out48;  // out48: the output as the host would get it
  std::vector<int16_t> near48;              // the microphone without the echo, the same way
  hx_echo_stats stats{};
};

// Steps the call: per 20 ms, the far end's 10 ms blocks due on the render
// clock, then one microphone block.
bool Simulate(const Run &r, Signals *s) {
  std::vector<int16_t> far, near;
  if (!r.far48.empty()) {
    std::vector<int16_t> wide;
    if (!Load(r.far48, &wide, 48000)) {
      fprintf(stderr, "cannot read %s as 48 kHz mono\n", r.far48.c_str());
      return false;
    }
    for (size_t i = 0; i < wide.size(); i += 3) far.push_back(wide[i]);
  } else if (!Load(r.far, &far)) {
    fprintf(stderr, "cannot read %s as 16 kHz mono\n", r.far.c_str());
    return false;
  }
  if (!r.near.empty() && !Load(r.near, &near)) {
    fprintf(stderr, "cannot read %s as 16 kHz mono\n", r.near.c_str());
    return false;
  }
  const char *why = nullptr;
  hx_echo *e = hx_echo_create(&r.settings, &why);
  if (!e) {
    fprintf(stderr, "canceller: %s\n", why);
    return false;
  }
  std::unique_ptr<Direct> direct(r.direct ? new Direct(r.settings) : nullptr);
  hxsim::EchoPath path;
  hxsim_echo_path cfg{1, r.delay_ms, r.gain_db, r.room, r.drift_ppm, 1, 0, 0, 0, 0, 0};
  const bool moving = r.path_drift_ppm != 0 || r.wander_ppm != 0;
  MovingDelay mover(r.wander_ppm != 0 ? r.wander_ppm : r.path_drift_ppm,
                    r.wander_ppm != 0 ? r.wander_period_s * 16000 : 0);
  path.Configure(cfg);
  const long blocks = std::lround(r.seconds * 50);
  const double noise_rms = 32768.0 * std::pow(10.0, r.noise_dbfs / 20);
  uint32_t seed = 1;
  double due = 0;
  size_t far_pos = 0, near_pos = 0;
  int16_t stereo[2 * HX_ECHO_REVERSE_FRAMES];
  for (long b = 0; b < blocks; ++b) {
    if (r.jump_ms && b == std::lround(r.jump_at * 50)) {
      cfg.delay_ms += r.jump_ms;
      path.Configure(cfg);
    }
    due += 2 * (1 + r.drift_ppm * 1e-6);
    for (; due >= 1; due -= 1) {
      for (int i = 0; i < HX_ECHO_REVERSE_FRAMES; ++i)
        stereo[2 * i] = stereo[2 * i + 1] = far[far_pos++ % far.size()];
      path.Render(stereo, HX_ECHO_REVERSE_FRAMES);
      if (direct) direct->Reverse(stereo);
      else hx_echo_reverse(e, stereo, HX_ECHO_REVERSE_FRAMES);
    }
    int16_t mic[HX_ECHO_BLOCK], echo[HX_ECHO_BLOCK], out[HX_ECHO_BLOCK];
    for (int i = 0; i < HX_ECHO_BLOCK; ++i) {
      seed = seed * 1664525u + 1013904223u;  // uniform white noise
      const double u = ((seed >> 8) / 8388608.0 - 1.0) * std::sqrt(3.0) * noise_rms;
      const long v = (near.empty() ? 0 : near[near_pos++ % near.size()]) + std::lround(u);
      mic[i] = static_cast<int16_t>(std::max(-32768L, std::min(32767L, v)));
    }
    for (int i = 0; i < HX_ECHO_BLOCK; ++i) s->near48.insert(s->near48.end(), 6, mic[i]);
    if (moving) {  // the echo alone, moved, then added
      int16_t silent[HX_ECHO_BLOCK] = {};
      path.Capture(silent, echo, HX_ECHO_BLOCK);
      for (int i = 0; i < HX_ECHO_BLOCK; ++i) {
        const long v = std::lround(mover.Step(echo[i]));
        echo[i] = static_cast<int16_t>(std::max(-32768L, std::min(32767L, v)));
        mic[i] = static_cast<int16_t>(std::max(-32768, std::min(32767, mic[i] + echo[i])));
      }
    } else {
      path.Capture(mic, echo, HX_ECHO_BLOCK);
    }
    int32_t voice = 0;
    if (direct) direct->Capture(mic, path.StreamDelayMs() + r.report_offset_ms, out);
    else hx_echo_capture(e, mic, HX_ECHO_BLOCK, path.StreamDelayMs() + r.report_offset_ms, out, &voice);
    if (r.trace && !direct && b % 50 == 49) {
      hx_echo_stats t;
      hx_echo_get_stats(e, &t);
      printf("  t=%.0f s reported %d applied %d lead %d ms, steps %lld, starved %lld, locked %d "
             "(offset %.1f ms, locks %lld)\n",
             (b + 1) / 50.0, t.reported_delay_ms, t.applied_delay_ms, t.lead_ms,
             (long long)t.alignment_steps, (long long)t.starved_blocks, t.path_locked,
             t.path_offset_ms, (long long)t.path_locks);
    }
    s->heard.insert(s->heard.end(), mic, mic + HX_ECHO_BLOCK);
    s->echo.insert(s->echo.end(), echo, echo + HX_ECHO_BLOCK);
    for (int i = 0; i < HX_ECHO_BLOCK; ++i) s->out48.insert(s->out48.end(), 6, out[i]);
  }
  hx_echo_get_stats(e, &s->stats);
  hx_echo_destroy(e);
  return true;
}

echo_measure::Erle Measure(const Signals &s, double from, double to) {
  return echo_measure::FarEndOnlyBetween(s.heard.data(), s.echo.data(), s.heard.size(),
                                         s.out48.data(), s.out48.size() / 2, 0, from, to);
}

void PrintRun(const Run &r, const Signals &s) {
  const echo_measure::Erle all = Measure(s, 2, 1e30);
  printf("delay %3d ms  gain %5.1f dB  room %d  drift %6.1f ppm  %7.1f s  ERLE %5.1f dB "
         "(%zu blocks, mic %.1f dBFS, out %.1f dBFS)",
         r.delay_ms, r.gain_db, r.room, r.drift_ppm, r.seconds, all.db, all.blocks, all.mic_dbfs,
         all.out_dbfs);
  if (!r.direct)
    printf("  estimated drift %.2f ppm, delay in use %d ms; canceller's own figures: ERLE %d dB, "
           "A_NLP %d dB, residual delay %d ms",
           s.stats.drift_ppm, s.stats.applied_delay_ms, s.stats.erle_db, s.stats.a_nlp_db,
           s.stats.delay_median_ms);
  printf("\n");
  if (!r.near.empty()) {
    const echo_measure::DoubleTalk d = echo_measure::CompareDoubleTalk(
        s.heard.data(), s.echo.data(), s.heard.size(), s.out48.data(), s.near48.data(),
        s.out48.size() / 2, 0);
    if (d.valid)
      printf("  double talk: level %+.2f dB, correlation %.3f against the near end alone (%zu "
             "blocks)\n", d.level_db, d.correlation, d.blocks);
  }
  if (r.window_s <= 0) return;
  for (double t = 0; t < r.seconds; t += r.window_s) {
    const echo_measure::Erle w = Measure(s, t, t + r.window_s);
    if (w.valid) printf("  %7.1f-%7.1f s  ERLE %5.1f dB (%zu blocks)\n", t, t + r.window_s, w.db, w.blocks);
    else printf("  %7.1f-%7.1f s  (no far-end-only blocks)\n", t, t + r.window_s);
  }
}

}  // namespace

int main(int argc, char **argv) {
  Run r;
  hx_echo_default_settings(&r.settings);
  bool sweep = false;
  hx_echo_settings &st = r.settings;
  const cli::Command command{
      "echo_quality", "[options]",
      "The voice path's echo canceller on the simulated echo path and real speech, offline:\n"
      "echo reduction on far-end-only blocks after the first 2 s (see the comment at the top\n"
      "of bench/echo_quality.cc).",
      {cli::Text("far", &r.far, "WAV", "far end, 16 kHz mono, looped (default: the test speech)"),
       cli::Text("far48", &r.far48, "WAV", "far end, 48 kHz mono, reduced as the play thread does"),
       cli::Text("near", &r.near, "WAV", "near-end talker, 16 kHz mono, looped (default: none)"),
       cli::Number("noise-dbfs", &r.noise_dbfs, -120, 0, "X", "microphone noise (default -70)"),
       cli::Number("seconds", &r.seconds, 1, 1e6, "S", "length (default 20)"),
       cli::Int("delay", &r.delay_ms, 0, 1000, "MS", "echo delay (default 100)"),
       cli::Number("gain", &r.gain_db, -60, 20, "DB", "echo level (default -6)"),
       cli::Int("room", &r.room, 0, 1, "0|1", "short room response (default 1)"),
       cli::Number("drift", &r.drift_ppm, -10000, 10000, "PPM", "render clock drift (default 0)"),
       cli::Number("jump-at", &r.jump_at, 0, 1e6, "S", "the echo delay jumps at S"),
       cli::Int("jump-ms", &r.jump_ms, -1000, 1000, "MS", "by MS (default 0: no jump)"),
       cli::Int("report-offset", &r.report_offset_ms, -1000, 1000, "MS",
                "added to the stream delay reported"),
       cli::Int("extended", &st.extended_filter, 0, 1, "0|1", "extended filter"),
       cli::Int("agnostic", &st.delay_agnostic, 0, 1, "0|1", "delay-agnostic"),
       cli::Int("suppression", &st.suppression, 0, 2, "0|1|2", "suppression level"),
       cli::Int("tracking", &st.drift_tracking, 0, 1, "0|1", "drift tracking"),
       cli::Int("path-tracking", &st.path_tracking, 0, 1, "0|1", "echo path tracking"),
       cli::Int("engine", &st.engine, 0, 1, "0|1", "linear canceller: 0 WebRTC 0.3, 1 AEC3 (where linked)"),
       cli::Number("window", &r.window_s, 0, 1e6, "S", "ERLE per window of S (0: none)"),
       cli::Number("path-drift", &r.path_drift_ppm, -10000, 10000, "PPM",
                   "the echo slides against the far end"),
       cli::Number("path-wander", &r.wander_ppm, -10000, 10000, "PPM", "zigzag slide"),
       cli::Number("wander-period", &r.wander_period_s, 0.1, 1e6, "S", "of the zigzag (default 20)"),
       cli::Flag("sweep-delays", &sweep, "delays 0..300 ms, one run each"),
       cli::Flag("direct", &r.direct, "drive AudioProcessing directly"),
       cli::Flag("trace", &r.trace, "the component's figures every second")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  printf("%s: extended filter %d, delay-agnostic %d, suppression %d, drift tracking %d, path tracking %d\n",
         r.direct ? "AudioProcessing driven directly"
                  : r.settings.engine == HX_ECHO_ENGINE_AEC3 ? "the component on AEC3" : "the component",
         r.settings.extended_filter, r.settings.delay_agnostic, r.settings.suppression,
         r.direct ? 0 : r.settings.drift_tracking, r.direct ? 0 : r.settings.path_tracking);
  if (!sweep) {
    Signals s;
    if (!Simulate(r, &s)) return 1;
    PrintRun(r, s);
    return 0;
  }
  for (int d : {0, 20, 50, 100, 150, 200, 250, 300}) {
    r.delay_ms = d;
    Signals s;
    if (!Simulate(r, &s)) return 1;
    PrintRun(r, s);
  }
  return 0;
}
