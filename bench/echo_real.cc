// echo_real: this module's voice path and PulseAudio's own echo canceller
// (module-echo-cancel, aec_method=webrtc, its gain control off) side by side
// on one private daemon with the echo path of the real-device tests: the
// speaker's monitor comes back into the microphone through module-loopback
// (40 ms). Each run gives both the same far-end speech (the test speech,
// looped) for the same time, one after the other: first the module (a host
// that plays it and keeps what comes upstream), then module-echo-cancel
// (loaded for the run with source_master=mic sink_master=spk; the speech
// plays into its sink, its source is recorded). Both start fresh each run.
// A near-end talker on a silent far end lines each output up with the
// microphone recorded beside it; ERLE is the microphone's power over the
// output's on the far-end-only stretches after the first 2 s, for the whole
// stretch and as the median of its 1 s parts. For module-echo-cancel the
// run also counts its "Playback after capture ... drop sink" realignments
// in the daemon's log.
//
//   build/bin/echo_real [--runs N] [--seconds S] [--switch T] [--parts]
//                       [--server pulseaudio|pipewire]
//
// (defaults 5 runs of 10 s, on PulseAudio; on PipeWire the anchor is
// pipewire-pulse's module-echo-cancel). With --switch, a second speaker spk2 with its
// own echo (an 80 ms loopback into the microphone) is there from the start
// of each run, and T s into the far end it becomes the default sink
// (pactl set-default-sink): the module's streams name no device and follow
// it; module-echo-cancel stays on its sink_master, and the far end, played
// to the default sink (its aec_sink until then), moves to spk2 past it, as
// an application's stream would. Printed then: ERLE from 2 s to the switch,
// and 0-2 s and 2-5 s after it, for both (S must be at least T + 6). A call
// of 120 s or more also gets the ERLE of its first and last minute. --parts
// prints every 1 s part, and the monotonic time the module's far end began
// (to set beside the voice path's HX_BRISA_STATS lines).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "rig/echo_call.h"
#include "host/module_api.h"
#include "rig/pulse_daemon.h"
#include "rig/signal_check.h"

using namespace hxtest;

namespace {

constexpr size_t kRate = 16000;

struct Figures {
  double erle = 0, median = 0;
  double after = 0, later = 0;  // 0-2 s and 2-5 s after a switch
  double first = 0, last = 0;   // a long call's first and last minute (after 2 s)
  long lag = 0;
  double ncc = 0;
  bool ok = false;
  std::vector<double> parts;  // the 1 s parts in order (--parts)
  double t0 = 0;              // monotonic time at the far end's start
};

// ERLE of the far-end stretch [m0, m0 + seconds) after its first 2 s, or
// up to the switch at microphone sample `switched` (0: none) and after it.
Figures Measure(MicRecording &mic, const std::vector<int16_t> &out48, size_t m0, double seconds,
                const Lag &lag, size_t switched) {
  Figures f;
  f.lag = lag.lag;
  f.ncc = lag.ncc;
  const std::vector<int16_t> heard = mic.Recorded();
  if (switched) {
    f.after = ErleBetween(heard, switched, switched + 2 * kRate, out48, lag.lag).db;
    f.later = ErleBetween(heard, switched + 2 * kRate, switched + 5 * kRate, out48, lag.lag).db;
  }
  const size_t end = switched ? switched : m0 + size_t(seconds * kRate);
  if (seconds >= 120) {
    f.first = ErleBetween(heard, m0 + 2 * kRate, m0 + 62 * kRate, out48, lag.lag).db;
    f.last = ErleBetween(heard, end - 60 * kRate, end, out48, lag.lag).db;
  }
  const echo_measure::Erle e = ErleBetween(heard, m0 + 2 * kRate, end, out48, lag.lag);
  std::vector<double> parts;
  for (size_t s = m0 + 2 * kRate; s + kRate <= end; s += kRate) {
    const echo_measure::Erle w = ErleBetween(heard, s, s + kRate, out48, lag.lag);
    if (w.valid) parts.push_back(w.db);
    f.parts.push_back(w.valid ? w.db : -1);
  }
  std::sort(parts.begin(), parts.end());
  f.erle = e.db;
  f.median = parts.empty() ? 0 : parts[parts.size() / 2];
  f.ok = e.valid && lag.ncc >= 0.8;
  return f;
}

std::vector<int16_t> Talker(const std::vector<int16_t> &speech) {
  std::vector<int16_t> talk(speech.begin(), speech.begin() + long(kRate));
  for (int16_t &v : talk) v = int16_t(v / 2);
  return talk;
}

// Waits until the microphone holds `at` samples, then makes spk2 the
// default sink; the microphone sample count then, 0 if there is no switch.
size_t SwitchAt(const PulseDaemon &daemon, MicRecording &mic, size_t at, bool on) {
  if (!on) return 0;
  WaitFor([&] { return mic.mic->received() >= at; }, 60);
  daemon.Pactl("set-default-sink spk2");
  return mic.mic->received();
}

Figures RunModule(const PulseDaemon &daemon, host::ModuleApi &api, MicFeeder &feeder,
                  MicRecording &mic, const std::vector<int16_t> &speech, double seconds,
                  double switch_at) {
  EchoHost host;
  host.far = speech;
  api.SetDownComCallBackPtr(reinterpret_cast<void *>(&EchoHost::Capture), &host,
                            reinterpret_cast<void *>(&EchoHost::Play), &host);
  api.SetAecMode(1);
  api.SetMicroCapture(1);
  Figures f;
  if (api.Init() == 0 && WaitFor([&] { return host.blocks > 50; }, 15)) {
    const Lag lag = AlignByTalker(feeder, mic, Talker(speech), [&] { return host.UpFrames() / 3; },
                                  [&] { return Channel(host.Up(), 2, 0, 3); });
    host.far_on = true;
    const double t0 = Now();
    const size_t m0 = mic.mic->received(), end = m0 + size_t(seconds * kRate);
    const size_t switched = SwitchAt(daemon, mic, m0 + size_t(switch_at * kRate), switch_at > 0);
    WaitFor([&] {
      return mic.mic->received() >= end && long(host.UpFrames() / 3) >= long(end) + lag.lag + 3200;
    }, seconds + 30);
    f = Measure(mic, host.Up(), m0, seconds, lag, switched);
    f.t0 = t0;
  }
  api.DeInit();
  return f;
}

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

Figures RunAnchor(const PulseDaemon &daemon, MicFeeder &feeder, MicRecording &mic,
                  const std::vector<int16_t> &speech, double seconds, double switch_at,
                  size_t *realigned) {
  const char *kRealign = "Playback after capture";
  Figures f;
  const std::string index = daemon.LoadModule(
      {"module-echo-cancel", "source_master=mic", "sink_master=spk", "source_name=aec_src",
       "sink_name=aec_sink", "aec_method=webrtc",
       // pactl runs through the shell: the quotes the module's parser needs are kept in ''.
       "'aec_args=\"analog_gain_control=0 digital_gain_control=0\"'"});
  if (index.empty()) {
    fprintf(stderr, "echo_real: module-echo-cancel did not load; the daemon's log:\n%s\n",
            daemon.Log().c_str());
    return f;
  }
  {
    SimpleStream out_stream, far;
    MicRecording out{&out_stream, {}};
    // Its source settles its latency in its first second (it adds and drops
    // audio meanwhile): the talker comes after 2 s.
    if (out_stream.Record("aec_src", int(kRate), 1).empty() &&
        WaitFor([&] { return out_stream.received() > 2 * kRate; }, 20)) {
      const Lag lag = AlignByTalker(feeder, mic, Talker(speech),
                                    [&] { return out_stream.received(); },
                                    [&] { return out.Recorded(); });
      const size_t before = Count(daemon.Log(), kRealign);
      // To the default sink, aec_sink, so that a change of the default moves it.
      daemon.Pactl("set-default-sink aec_sink");
      far.Play(nullptr, int(kRate), 1, speech);
      const size_t m0 = mic.mic->received(), end = m0 + size_t(seconds * kRate);
      const size_t switched = SwitchAt(daemon, mic, m0 + size_t(switch_at * kRate), switch_at > 0);
      WaitFor([&] {
        return mic.mic->received() >= end &&
               long(out_stream.received()) >= long(end) + lag.lag + 3200;
      }, seconds + 30);
      far.Stop();
      f = Measure(mic, Stereo48(out.Recorded()), m0, seconds, lag, switched);
      *realigned = Count(daemon.Log(), kRealign) - before;
    }
  }
  daemon.Pactl("set-default-sink spk");
  daemon.Pactl("unload-module " + index);
  return f;
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 5;
  double seconds = 10, switch_at = 0;
  bool show_parts = false;
  int server = 0;  // 0 PulseAudio, 1 PipeWire
  const cli::Command command{
      "echo_real", "[options]",
      "This module's voice path and the server's module-echo-cancel side by side on a private\n"
      "sound server's echo path: ERLE per run (see the comment at the top of bench/echo_real.cc).",
      {cli::Int("runs", &runs, 1, 1000, "N", "runs (default 5)"),
       cli::Number("seconds", &seconds, 4, 1e6, "S", "far-end speech per run (default 10)"),
       cli::Number("switch", &switch_at, 3, 1e6, "T",
                   "the default sink becomes spk2 T s into the far end\n(S must be at least T + 6)"),
       cli::Flag("parts", &show_parts, "every 1 s part's ERLE"),
       cli::Choice("server", &server, "pulseaudio|pipewire", "the private server (default pulseaudio)")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  if (switch_at > 0 && seconds < switch_at + 6)
    return cli::Refuse(command, "--seconds must be at least --switch + 6");
  PulseDaemon daemon(Microphone::kEchoPath, server ? "pipewire" : "pulseaudio");
  std::string error = daemon.Start();
  if (!error.empty()) {
    fprintf(stderr, "echo_real: %s\n", error.c_str());
    return 1;
  }
  MicFeeder feeder(daemon);
  SimpleStream mic_stream;
  MicRecording mic{&mic_stream, {}};
  error = mic_stream.Record("mic", int(kRate), 1);
  if (!error.empty()) {
    fprintf(stderr, "echo_real: cannot record the microphone: %s\n", error.c_str());
    return 1;
  }
  // The module's log goes to /dev/null: this tool reports figures only.
  const int saved = dup(1);
  FILE *null = freopen("/dev/null", "w", stdout);
  (void)null;
  host::ModuleApi api;
  if (!host::LoadModule(HX_MODULE_PATH, &api, &error)) {
    dprintf(saved, "echo_real: %s\n", error.c_str());
    return 1;
  }
  const std::vector<int16_t> speech = SpeechLoop16k();
  dprintf(saved, "%d runs of %.0f s of far-end speech; ERLE after the first 2 s: whole stretch "
          "(median of its 1 s parts), dB\n", runs, seconds);
  if (switch_at > 0)
    dprintf(saved, "switch to spk2 at %.0f s: ERLE 2 s..switch (median of 1 s), 0-2 s after, "
            "2-5 s after\n", switch_at);
  dprintf(saved, "run   this module        module-echo-cancel   its realignments\n");
  int failed = 0;
  for (int r = 1; r <= runs; ++r) {
    std::string sink2, echo2;
    if (switch_at > 0) {
      error = daemon.AddSpeaker("spk2", 80, &sink2, &echo2);
      if (!error.empty()) {
        dprintf(saved, "echo_real: %s\n", error.c_str());
        return 1;
      }
    }
    const Figures m = RunModule(daemon, api, feeder, mic, speech, seconds, switch_at);
    daemon.Pactl("set-default-sink spk");
    size_t realigned = 0;
    const Figures a = RunAnchor(daemon, feeder, mic, speech, seconds, switch_at, &realigned);
    if (switch_at > 0) {
      daemon.Pactl("unload-module " + echo2);
      daemon.Pactl("unload-module " + sink2);
    }
    dprintf(saved, "%3d   %5.1f (%5.1f)%s     %5.1f (%5.1f)%s       %zu\n", r, m.erle, m.median,
            m.ok ? "  " : " ?", a.erle, a.median, a.ok ? "  " : " ?", realigned);
    if (switch_at > 0)
      dprintf(saved, "      after: %5.1f, %5.1f      after: %5.1f, %5.1f\n", m.after, m.later,
              a.after, a.later);
    if (show_parts) {
      for (const Figures *x : {&m, &a}) {
        dprintf(saved, "      %s 1 s parts from 2 s:", x == &m ? "module" : "anchor");
        for (double p : x->parts) dprintf(saved, " %.0f", p);
        dprintf(saved, x == &m ? " (far end from t=%.1f)\n" : "\n", m.t0);
      }
    }
    if (seconds >= 120)
      dprintf(saved, "      first / last minute: %5.1f / %5.1f      %5.1f / %5.1f\n", m.first,
              m.last, a.first, a.last);
    failed += !m.ok || !a.ok;
  }
  if (failed)
    dprintf(saved, "?: the talker did not line the output up with the microphone (ncc < 0.8), "
            "or no far-end-only stretch: that figure does not count\n");
  return failed ? 1 : 0;
}
