// voice_quality: the voice path as the far side hears it, on live echo paths
// of a private PulseAudio daemon (voice_paths.h): the 22 s
// conversation through (a) a module-loopback, (b) a room of RT60 0.4 s,
// (c) that room behind a soft-clipping loudspeaker, (d) a default-sink
// switch at 16 s. Side by side in each run:
//   module      this module's voice path (a host that plays the far end
//               and keeps what comes upstream)
//   pa-aec      PulseAudio's module-echo-cancel (webrtc, gain control off),
//               live on the same daemon, its own call
//   aec3        current WebRTC's AEC3 (aec3_anchor), offline on the
//               module's call's microphone recording
//   speex       speexdsp's echo canceller (300 ms filter) and preprocessor,
//               offline on the same recording
//   replay      this module's echo component (echo/hx_echo.h, default
//               settings) offline on the same recording: the loudspeaker's
//               signal as played, the echo's delay reported exactly; no
//               cleaning chain after it. Beside "module" it tells what the
//               live call's timing costs from what the signal processing
//               leaves.
//   aec3+chain, replay+chain
//               those two followed by the module's own cleaning chain
//               (high-pass filter, noise suppression, gain control), as
//               the module's output is: the noise suppression lowers the
//               background by 14 to 19 dB and leaves an echo's residue, so
//               only these compare with "module" on residual and leak.
// The offline ones get the loudspeaker's signal 10 ms ahead of its echo
// (found by cross-correlation), as a render tap at the sink would.
// Printed per path and system: the median over the runs of each figure
// (measure/voice_metrics.h), and the worst run's residual.
//
//   build/bin/voice_quality [--runs N] [--paths abcd] [--server pulseaudio|pipewire] [--verbose]
//
// Defaults: 3 runs of every path, on PulseAudio (--server pipewire: on
// PipeWire with pipewire-pulse; pa-aec is then whatever echo canceller
// pipewire-pulse loads for module-echo-cancel). --verbose prints every run's figures.
// Exit status 0 when every call ran, 1 when one failed or the daemon could
// not start, 2 on a bad option.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "rig/signal_check.h"
#include "cli/option_table.h"
#include "rig/shell.h"
#include "rig/voice_call.h"
#include "offline_systems.h"
#include "voice_paths.h"
#include "voice_table.h"

using namespace hxtest;
using voice_metrics::VoiceMetrics;

namespace {

enum System { kModule, kPaAec, kAec3, kSpeex, kReplay, kAec3Chain, kReplayChain, kSystems };
const char *const kSystemName[kSystems] = {"module", "pa-aec", "aec3", "speex", "replay", "aec3+chain",
                                           "replay+chain"};

// PulseAudio's module-echo-cancel on the same path, its own call: the far
// end plays into its sink (the default sink, so that a switch moves it),
// its source is the output.
std::string RunPaAecCall(const LiveEchoPath &path, const ConversationSignals &c,
                         VoiceRecording *r) {
  const PulseDaemon &daemon = path.daemon();
  const std::string index = daemon.LoadModule(
      {"module-echo-cancel", "source_master=mic", "sink_master=spk", "source_name=aec_src",
       "sink_name=aec_sink", "aec_method=webrtc",
       "'aec_args=\"analog_gain_control=0 digital_gain_control=0\"'"});
  if (index.empty()) return "module-echo-cancel did not load";
  const size_t end = c.near.size() + size_t(1.6 * kVoiceRate);
  std::vector<int16_t> far = c.far;
  far.resize(far.size() + 8 * kVoiceRate, 0);
  std::string error;
  std::vector<int16_t> out_raw, mic_raw;
  size_t o0 = 0, m0 = 0;
  {
    SimpleStream out, mic_stream, talker, speaker;
    MicRecording mic{&mic_stream, {}};
    // Its source settles its latency in its first second: the call starts after 2 s.
    error = out.Record("aec_src", kVoiceRate, 1);
    if (error.empty() && !WaitFor([&] { return out.received() > 2 * size_t(kVoiceRate); }, 20))
      error = "module-echo-cancel's source gave nothing for 20 s";
    if (error.empty()) error = mic_stream.Record("mic", kVoiceRate, 1);
    if (error.empty() && daemon.Pactl("set-default-sink aec_sink") != 0)
      error = "cannot make aec_sink the default sink";
    // The recording runs before the talker starts: a record stream's first
    // samples can be older than its start, and held the talker's first
    // milliseconds before the timeline's start (the call could not be
    // lined up in about half of these calls).
    if (error.empty() && !WaitFor([&] { return mic_stream.received() >= kVoiceRate / 2; }, 10))
      error = "the microphone's recording gave nothing for 10 s";
    if (error.empty()) error = StartNearEnd(talker, mic, c, &m0);
    if (error.empty()) {
      o0 = out.received();
      error = speaker.Play(nullptr, kVoiceRate, 1, far, 10);
    }
    if (error.empty() && path.path() == EchoPath::kSwitch) {
      WaitFor([&] { return mic_stream.received() >= m0 + size_t(kSwitchAt * kVoiceRate); }, 60);
      daemon.Pactl("set-default-sink spk2");
    }
    if (error.empty() &&
        !WaitFor([&] { return mic_stream.received() >= m0 + end && out.received() >= o0 + end; }, 90))
      error = "the call's recordings did not reach its end within 90 s";
    talker.Stop();
    speaker.Stop();
    out_raw = out.Take();
    mic_raw = mic.Recorded();
  }
  daemon.Pactl("set-default-sink spk");
  daemon.Pactl("unload-module " + index);
  if (!error.empty()) return error;
  // The near end came in at m0 (within a block): it is looked for from
  // half a second earlier.
  const size_t from = std::min(m0 - std::min(m0, size_t(kVoiceRate / 2)), mic_raw.size());
  const std::string off =
      OnTimeline(c, std::vector<int16_t>(mic_raw.begin() + long(from), mic_raw.end()), r);
  if (!off.empty()) return off;
  r->out = PcmToFloat(std::vector<int16_t>(out_raw.begin() + long(std::min(o0, out_raw.size())), out_raw.end()));
  return "";
}

// The table goes here; stdout belongs to the module's log (/dev/null).
FILE *table = nullptr;

void PrintHeader() { PrintVoiceHeader(table, 22, 12); }

void PrintRow(const char *path, const char *system, const std::vector<VoiceMetrics> &runs) {
  PrintVoiceRow(table, 22, 12, path, system, runs);
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 3;
  std::string paths = "abcd";
  bool verbose = false;
  std::string keep;
  int server = 0;  // 0 PulseAudio, 1 PipeWire
  const cli::Command command{
      "voice_quality", "[options]",
      "The voice path as the far side hears it on live echo paths of a private PulseAudio (or\n"
      "PipeWire) daemon, beside module-echo-cancel, AEC3 and speexdsp (see docs/performance.md).",
      {cli::Int("runs", &runs, 1, 1000, "N", "runs per path (default 3)"),
       cli::Call("paths", "LETTERS", "echo paths, some of abcd (default abcd)",
                 [&paths](const char *v, std::string *why) {
                   paths = v;
                   if (!paths.empty() && paths.find_first_not_of("abcd") == std::string::npos) return true;
                   *why = "option --paths wants letters of abcd, not '" + paths + "'";
                   return false;
                 }),
       cli::Choice("server", &server, "pulseaudio|pipewire", "the private server (default pulseaudio)"),
       cli::Flag("verbose", &verbose, "every run's figures"),
       cli::Text("keep", &keep, "DIR", "keep each run's recordings in DIR (bench/voice_replay reads them)")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  // The recordings' folder is made here, and a folder that cannot take them
  // stops the run before any call: a run whose recordings were lost
  // silently cannot be replayed.
  if (!keep.empty() && mkdir(keep.c_str(), 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "voice_quality: cannot make %s: %s\n", keep.c_str(), strerror(errno));
    return 1;
  }
  ConversationSignals conversation;
  std::string error = LoadConversation(&conversation);
  if (!error.empty()) {
    fprintf(stderr, "voice_quality: %s\n", error.c_str());
    return 1;
  }
  // The module's log goes to /dev/null, for as long as it is loaded (it
  // says goodbye at exit): this tool reports figures only.
  fflush(stdout);
  table = fdopen(dup(1), "w");
  if (!table || !freopen("/dev/null", "w", stdout)) return 1;
  host::ModuleApi api;
  if (!host::LoadModule(HX_MODULE_PATH, &api, &error)) {
    fprintf(stderr, "voice_quality: %s\n", error.c_str());
    return 1;
  }
  bool header = false;
  int failed = 0;
  for (char letter : paths) {
    const EchoPath path = EchoPath(letter - 'a');
    std::vector<VoiceMetrics> figures[kSystems];
    for (int run = 1; run <= runs; ++run) {
      LiveEchoPath live(path, server ? "pipewire" : "pulseaudio");
      error = live.Start();
      if (!error.empty()) {
        // One line: the daemon's log that follows the reason is left out.
        fprintf(stderr, "voice_quality: no private %s daemon with the echo path: %s\n",
                server ? "PipeWire" : "PulseAudio",
                error.substr(0, std::min(error.find(" (server"), error.find('\n'))).c_str());
        return 1;
      }
      if (!header) {
        fprintf(table, "median of %d runs per path; residual, leak and holes on far-alone frames "
                "against the background; dt: near end in double talk\n", runs);
        PrintHeader();
        header = true;
      }
      VoiceRecording rec, pa;
      // With --keep the voice path also keeps what its canceller consumed
      // (HX_BRISA_RECORD, read as the back-end starts).
      const std::string base = keep.empty() ? "" : keep + "/" + char(letter) + std::to_string(run) + "_";
      if (!keep.empty()) setenv("HX_BRISA_RECORD", (base + "live.rec").c_str(), 1);
      error = RunModuleCall(live.daemon(), path == EchoPath::kSwitch, api, conversation, &rec);
      unsetenv("HX_BRISA_RECORD");
      std::vector<std::pair<System, VoiceMetrics>> got;
      std::vector<std::pair<System, std::vector<float>>> outputs;
      const voice_metrics::VoiceTimeline tl = LiveTimeline();
      if (error.empty()) {
        long delay = 0;
        RenderTap(rec, &delay);
        if (verbose)
          fprintf(table, "run %d: near end found at ncc %.3f, echo %.0f ms after the loudspeaker's signal\n",
                 run, rec.near_ncc, delay * 1000.0 / kVoiceRate);
        got.push_back({kModule, MeasureRecording(rec, tl)});
        outputs.push_back({kModule, rec.out});
        // Each offline system's output, measured when it ran.
        const auto add = [&](System system, std::vector<float> out) {
          VoiceRecording offline = rec;
          offline.out = std::move(out);
          if (!offline.out.empty()) got.push_back({system, MeasureRecording(offline, tl)});
          outputs.push_back({system, offline.out});
        };
        add(kSpeex, RunSpeex(rec));
        const std::vector<float> aec3 = RunAec3(HX_AEC3_ANCHOR, rec, &error);
        add(kAec3, aec3);
        VoiceMarks replay_voice;
        const std::vector<float> replay = RunComponent(rec, ComponentFeed(), &error, nullptr, &replay_voice);
        add(kReplay, replay);
        add(kAec3Chain, aec3.empty() ? aec3 : Chain(aec3, DetectVoice(aec3)));
        add(kReplayChain, replay.empty() ? replay : Chain(replay, replay_voice));
      }
      if (!error.empty()) fprintf(stderr, "voice_quality: %s, run %d: module: %s\n", EchoPathName(path), run, error.c_str());
      failed += !error.empty();
      error = RunPaAecCall(live, conversation, &pa);
      if (error.empty()) got.push_back({kPaAec, MeasureRecording(pa, tl)});
      else fprintf(stderr, "voice_quality: %s, run %d: pa-aec: %s\n", EchoPathName(path), run, error.c_str());
      failed += !error.empty();
      outputs.push_back({kPaAec, pa.out});
      if (!keep.empty()) {
        // Each run's signals, on the timeline (16 kHz): DIR/<path><run>_<signal>.wav.
        bool kept = WriteWav(base + "near.wav", FloatToPcm(rec.near));
        kept &= WriteWav(base + "echo.wav", FloatToPcm(rec.echo));
        kept &= WriteWav(base + "mic.wav", FloatToPcm(rec.mic));
        kept &= WriteWav(base + "far.wav", FloatToPcm(rec.far));
        for (const auto &[system, o] : outputs) kept &= WriteWav(base + kSystemName[system] + ".wav", FloatToPcm(o));
        if (!kept) {
          fprintf(stderr, "voice_quality: cannot write the recordings of %s, run %d, into %s\n",
                  EchoPathName(path), run, keep.c_str());
          return 1;
        }
      }
      for (const auto &[system, m] : got) {
        if (!m.valid) {
          fprintf(stderr, "voice_quality: %s, run %d: %s: output not lined up (ncc %.2f), not counted\n",
                  EchoPathName(path), run, kSystemName[system], m.near_correlation);
          ++failed;
          continue;
        }
        figures[system].push_back(m);
        if (verbose) PrintRow(EchoPathName(path), kSystemName[system], {m});
      }
    }
    for (int s = 0; s < kSystems; ++s) PrintRow(EchoPathName(path), kSystemName[s], figures[s]);
  }
  fflush(table);
  return failed ? 1 : 0;
}
