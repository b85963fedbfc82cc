#include "options.h"

#include <algorithm>
#include <cmath>

namespace host {
namespace {

constexpr int kSimOnly = 1;  // option tag: needs --devices sim

cli::Option SimOnly(cli::Option o) {
  o.tag = kSimOnly;
  return o;
}

}  // namespace

const char *DeviceEventName(DeviceEventKind kind) {
  switch (kind) {
    case DeviceEventKind::kUnplugSpeaker: return "unplug speaker";
    case DeviceEventKind::kPlugSpeaker: return "plug speaker";
    case DeviceEventKind::kUnplugMic: return "unplug microphone";
    case DeviceEventKind::kPlugMic: return "plug microphone";
  }
  return "?";
}

cli::Parsed ParseOptions(int argc, char **argv, Options *opt) {
  int devices = opt->live ? 1 : 0;
  bool farend_given = false;
  double event_at = 0;
  auto farend = [&](const char *path, std::string *why) {
    if (!farend_given) opt->farend_wavs.clear();
    farend_given = true;
    if (!path) return true;  // --no-farend
    if (opt->farend_wavs.size() == 4) {
      *why = "at most 4 far-end streams (--farend) are supported";
      return false;
    }
    opt->farend_wavs.push_back(path);
    return true;
  };
  auto event = [&](const char *name, DeviceEventKind kind, const char *help) {
    cli::Option o = SimOnly(cli::Time(name, &event_at, 0, INFINITY, "T", help));
    o.call = [opt, &event_at, kind](const char *, std::string *) {
      opt->events.push_back({event_at, kind});
      return true;
    };
    return o;
  };
  const cli::Command command{
      "hxaec-host", "[options]",
      "Runs a call through libHx_Aec_Mod.so in real time, on the simulated world or on the\n"
      "default sound devices, and writes what the host received and a report.\n"
      "A WAV of another rate or channel count is converted (and the report says so).",
      {cli::Choice("devices", &devices, "sim|pulse",
                   "sim (default): the simulated world; pulse: a live\n"
                   "call on the default sound devices (PulseAudio or\n"
                   "PipeWire; PULSE_SERVER, PULSE_SINK, PULSE_SOURCE)"),
       cli::Text("module", &opt->module_path, "PATH", "module library (default: the build's lib folder)"),
       cli::Call("farend", "WAV",
                 "far-end stream, made 48 kHz mono or stereo; repeat\n"
                 "for up to 4 streams (default: the scenario's talker)",
                 farend),
       cli::Call("no-farend", nullptr, "no far-end stream",
                 [&](const char *, std::string *why) { return farend(nullptr, why); }),
       cli::Time("seconds", &opt->seconds, 0.01, INFINITY, "T",
                 "run length (default: length of the microphone WAV;\n"
                 "10 s with --devices pulse)"),
       cli::Flag("loop", &opt->loop, "repeat the input signals"),
       cli::Text("out", &opt->out_dir, "DIR", "output folder (default: ./hxaec-out)"),
       cli::Int("aec-mode", &opt->aec_mode, 0, 255, "N", "mode flag (default 1)"),
       cli::Int("micro-capture", &opt->micro_capture, 0, 255, "N", "mode flag (default 1)"),
       cli::Int("sys-capture", &opt->sys_capture, 0, 255, "N", "mode flag (default 0)"),
       cli::Int("online-sys-capture", &opt->online_sys_capture, 0, 255, "N", "mode flag (default 0)"),
       cli::Flag("quiet", &opt->quiet, "no progress line"),
       cli::Heading("simulated world only (--devices sim):"),
       SimOnly(cli::Text("mic", &opt->mic_wav, "WAV",
                         "near-end microphone, made 16 kHz mono\n(default: the project's scenario)")),
       SimOnly(cli::Text("sys", &opt->sys_wav, "WAV", "system audio, made 48 kHz stereo (default: silence)")),
       SimOnly(cli::Int("render-endpoints", &opt->render_endpoints, 0, 64, "N",
                        "speakers present at start (default 1)")),
       SimOnly(cli::Int("capture-endpoints", &opt->capture_endpoints, 0, 64, "N",
                        "microphones present at start (default 1)")),
       event("unplug-speaker-at", DeviceEventKind::kUnplugSpeaker,
             "device events during the run; T like 3, 3s,"),
       event("plug-speaker-at", DeviceEventKind::kPlugSpeaker, "  2.5s or 500ms; each may be repeated"),
       event("unplug-mic-at", DeviceEventKind::kUnplugMic, ""),
       event("plug-mic-at", DeviceEventKind::kPlugMic, ""),
       cli::Heading(
           "Echo (the simulated voice path's loudspeaker heard by its microphone; on by\n"
           "default, as on a laptop's built-in loudspeaker and microphone: 60 ms, -6 dB,\n"
           "a room of RT60 0.3 s, room noise at -50 dBFS, no clock drift, cancelled by the\n"
           "voice path):"),
       SimOnly(cli::Flag("no-echo", &opt->echo,
                         "no echo path: the microphone hears the --mic WAV only", false)),
       SimOnly(cli::Int("echo-delay", &opt->echo_delay_ms, 0, 300, "MS",
                        "loudspeaker to microphone (default 60)")),
       SimOnly(cli::Number("echo-gain", &opt->echo_gain_db, -60, 10, "DB",
                           "echo level against the far end (default -6)")),
       SimOnly(cli::Int("echo-room", &opt->echo_room, 0, 1, "0|1", "room response (default 1)")),
       SimOnly(cli::Number("echo-rt60", &opt->echo_rt60_s, 0, 2, "S",
                           "the room's reverberation time; 0: a short room (default 0.3)")),
       SimOnly(cli::Number("echo-drive", &opt->echo_drive_db, 0, 40, "DB",
                           "loudspeaker driven into a soft clip by DB; 0: linear (default 0)")),
       SimOnly(cli::Number("echo-noise", &opt->echo_noise_dbfs, -100, 0, "DBFS",
                           "room noise at the microphone; 0: none (default -50)")),
       SimOnly(cli::Number("echo-drift", &opt->echo_drift_ppm, -1000, 1000, "PPM",
                           "render clock faster than capture (default 0)")),
       SimOnly(cli::Time("echo-change-at", &opt->echo_change_at_s, 0, INFINITY, "T",
                         "the delay changes at T, as with another output device")),
       SimOnly(cli::Int("echo-change-to", &opt->echo_change_to_ms, 0, 300, "MS",
                        "the delay it changes to (default: 100 ms more)")),
       SimOnly(cli::Flag("no-cancel", &opt->echo_cancel, "the voice path leaves the echo in (to hear it)",
                         false))}};
  std::vector<size_t> seen;
  const cli::Parsed parsed = cli::Parse(argc, argv, command, &seen);
  if (parsed != cli::Parsed::kRun) return parsed;
  opt->live = devices == 1;
  for (size_t i : seen) {
    if (command.options[i].tag != kSimOnly) continue;
    opt->sim_only_option = std::string("--") + command.options[i].name;
    break;
  }
  if (opt->live && !opt->sim_only_option.empty()) {
    cli::Refuse(command, "option " + opt->sim_only_option + " applies to --devices sim only");
    return cli::Parsed::kBad;
  }
  std::stable_sort(opt->events.begin(), opt->events.end(),
                   [](const DeviceEvent &x, const DeviceEvent &y) { return x.at_s < y.at_s; });
  return cli::Parsed::kRun;
}

}  // namespace host
