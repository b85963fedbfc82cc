#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace host {
namespace {

// "3", "3s", "2.5s" or "500ms" -> seconds. False when malformed or negative.
bool ParseTime(const char *text, double *seconds) {
  errno = 0;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (end == text || errno != 0 || v < 0) return false;
  double scale = 1.0;
  if (strcmp(end, "ms") == 0) scale = 0.001;
  else if (*end != '\0' && strcmp(end, "s") != 0) return false;
  *seconds = v * scale;
  return true;
}

bool ParseNumber(const char *text, double lo, double hi, double *value) {
  errno = 0;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(v >= lo && v <= hi)) return false;
  *value = v;
  return true;
}

bool ParseUnsigned(const char *text, unsigned max, unsigned *value) {
  errno = 0;
  char *end = nullptr;
  unsigned long v = strtoul(text, &end, 0);
  if (end == text || *end != '\0' || errno != 0 || text[0] == '-' || v > max) return false;
  *value = static_cast<unsigned>(v);
  return true;
}

}  // namespace

const char *UsageText() {
  return
      "usage: hxaec-host [options]\n"
      "Runs a simulated call through libHx_Aec_Mod.so in real time.\n"
      "  --devices sim|pulse       sim (default): the simulated world; pulse: a live\n"
      "                            call on the default sound devices (PulseAudio or\n"
      "                            PipeWire; PULSE_SERVER, PULSE_SINK, PULSE_SOURCE)\n"
      "  --module PATH             module library (default: the build's lib folder)\n"
      "  --mic WAV                 near-end microphone, 16 kHz mono 16-bit\n"
      "                            (default: the project's scenario)\n"
      "  --farend WAV              far-end stream, 48 kHz mono or stereo; repeat for\n"
      "                            up to 4 streams (default: the scenario's talker)\n"
      "  --no-farend               no far-end stream\n"
      "  --sys WAV                 system audio, 48 kHz stereo (default: silence)\n"
      "  --seconds T               run length (default: length of the microphone WAV;\n"
      "                            10 s with --devices pulse)\n"
      "  --loop                    repeat the input signals\n"
      "  --out DIR                 output folder (default: ./hxaec-out)\n"
      "  --aec-mode N              mode flags as bytes 0..255\n"
      "  --micro-capture N           (defaults: aec_mode=1 micro_capture=1\n"
      "  --sys-capture N              sys_capture=0 online_sys_capture=0)\n"
      "  --online-sys-capture N\n"
      "simulated world only (--devices sim):\n"
      "  --render-endpoints N      speakers present at start (default 1)\n"
      "  --capture-endpoints N     microphones present at start (default 1)\n"
      "  --unplug-speaker-at T     device events during the run; T like 3, 3s,\n"
      "  --plug-speaker-at T         2.5s or 500ms; each may be repeated\n"
      "  --unplug-mic-at T\n"
      "  --plug-mic-at T\n"
      "  --quiet                   no progress line\n"
      "Echo (the simulated voice path's loudspeaker heard by its microphone; on by\n"
      "default, as on a laptop's built-in loudspeaker and microphone: 60 ms, -6 dB,\n"
      "a room of RT60 0.3 s, room noise at -50 dBFS, no clock drift, cancelled by the\n"
      "voice path):\n"
      "  --no-echo                 no echo path: the microphone hears the --mic WAV only\n"
      "  --echo-delay MS           loudspeaker to microphone, 0..300 (default 60)\n"
      "  --echo-gain DB            echo level against the far end, -60..10 (default -6)\n"
      "  --echo-room 0|1           room response (default 1)\n"
      "  --echo-drift PPM          render clock faster than capture, -1000..1000 (default 0)\n"
      "  --echo-change-at T        the delay changes at T, as with another output device,\n"
      "  --echo-change-to MS         to MS (default: 100 ms more)\n"
      "  --no-cancel               the voice path leaves the echo in (to hear it)\n"
      "  --help\n";
}

const char *DeviceEventName(DeviceEventKind kind) {
  switch (kind) {
    case DeviceEventKind::kUnplugSpeaker: return "unplug speaker";
    case DeviceEventKind::kPlugSpeaker: return "plug speaker";
    case DeviceEventKind::kUnplugMic: return "unplug microphone";
    case DeviceEventKind::kPlugMic: return "plug microphone";
  }
  return "?";
}

int ParseOptions(int argc, char **argv, Options *opt, std::string *error) {
  bool farend_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char **out) {
      if (i + 1 >= argc) {
        *error = "option " + a + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto flag = [&](int *out) {
      const char *v;
      unsigned u;
      if (!value(&v)) return false;
      if (!ParseUnsigned(v, 255, &u)) {
        *error = "option " + a + " wants a number 0..255, not '" + v + "'";
        return false;
      }
      *out = static_cast<int>(u);
      return true;
    };
    static const char *const kSimOnly[] = {"--mic", "--sys", "--render-endpoints",
        "--capture-endpoints", "--unplug-speaker-at", "--plug-speaker-at", "--unplug-mic-at",
        "--plug-mic-at", "--no-echo", "--echo-delay", "--echo-gain", "--echo-room", "--echo-drift",
        "--echo-change-at", "--echo-change-to", "--no-cancel"};
    for (const char *o : kSimOnly)
      if (a == o && opt->sim_only_option.empty()) opt->sim_only_option = a;
    auto event = [&](DeviceEventKind kind) {
      const char *v;
      double t;
      if (!value(&v)) return false;
      if (!ParseTime(v, &t)) {
        *error = "option " + a + " wants a time like 3s or 500ms, not '" + v + "'";
        return false;
      }
      opt->events.push_back({t, kind});
      return true;
    };
    auto number = [&](double lo, double hi, double *out) {
      const char *v;
      if (!value(&v)) return false;
      if (!ParseNumber(v, lo, hi, out)) {
        char range[64];
        snprintf(range, sizeof range, "%g..%g", lo, hi);
        *error = "option " + a + " wants a number " + range + ", not '" + v + "'";
        return false;
      }
      return true;
    };
    auto whole = [&](double lo, double hi, int *out) {
      double d;
      if (!number(lo, hi, &d)) return false;
      if (d != static_cast<int>(d)) {
        *error = "option " + a + " wants a whole number";
        return false;
      }
      *out = static_cast<int>(d);
      return true;
    };
    const char *v = nullptr;
    bool ok = true;
    if (a == "--help" || a == "-h") {
      fputs(UsageText(), stdout);
      return 1;
    } else if (a == "--devices") {
      if ((ok = value(&v)) && strcmp(v, "sim") != 0 && strcmp(v, "pulse") != 0) {
        *error = "option --devices wants sim or pulse, not '" + std::string(v) + "'";
        return -1;
      }
      if (ok) opt->live = strcmp(v, "pulse") == 0;
    } else if (a == "--module") {
      ok = value(&v) && (opt->module_path = v, true);
    } else if (a == "--mic") {
      ok = value(&v) && (opt->mic_wav = v, true);
    } else if (a == "--farend") {
      if ((ok = value(&v))) {
        if (!farend_given) opt->farend_wavs.clear();
        farend_given = true;
        opt->farend_wavs.push_back(v);
        if (opt->farend_wavs.size() > 4) {
          *error = "at most 4 far-end streams (--farend) are supported";
          return -1;
        }
      }
    } else if (a == "--no-farend") {
      farend_given = true;
      opt->farend_wavs.clear();
    } else if (a == "--sys") {
      ok = value(&v) && (opt->sys_wav = v, true);
    } else if (a == "--out") {
      ok = value(&v) && (opt->out_dir = v, true);
    } else if (a == "--seconds") {
      if ((ok = value(&v)) && (!ParseTime(v, &opt->seconds) || opt->seconds <= 0)) {
        *error = "option --seconds wants a positive time, not '" + std::string(v) + "'";
        return -1;
      }
    } else if (a == "--loop") {
      opt->loop = true;
    } else if (a == "--quiet") {
      opt->quiet = true;
    } else if (a == "--aec-mode") {
      ok = flag(&opt->aec_mode);
    } else if (a == "--micro-capture") {
      ok = flag(&opt->micro_capture);
    } else if (a == "--sys-capture") {
      ok = flag(&opt->sys_capture);
    } else if (a == "--online-sys-capture") {
      ok = flag(&opt->online_sys_capture);
    } else if (a == "--render-endpoints" || a == "--capture-endpoints") {
      unsigned u;
      if ((ok = value(&v)) && !ParseUnsigned(v, 64, &u)) {
        *error = "option " + a + " wants a number 0..64, not '" + v + "'";
        return -1;
      }
      if (ok) (a == "--render-endpoints" ? opt->render_endpoints : opt->capture_endpoints) = u;
    } else if (a == "--unplug-speaker-at") {
      ok = event(DeviceEventKind::kUnplugSpeaker);
    } else if (a == "--plug-speaker-at") {
      ok = event(DeviceEventKind::kPlugSpeaker);
    } else if (a == "--unplug-mic-at") {
      ok = event(DeviceEventKind::kUnplugMic);
    } else if (a == "--plug-mic-at") {
      ok = event(DeviceEventKind::kPlugMic);
    } else if (a == "--no-echo") {
      opt->echo = false;
    } else if (a == "--no-cancel") {
      opt->echo_cancel = false;
    } else if (a == "--echo-delay") {
      ok = whole(0, 300, &opt->echo_delay_ms);
    } else if (a == "--echo-gain") {
      ok = number(-60, 10, &opt->echo_gain_db);
    } else if (a == "--echo-room") {
      ok = whole(0, 1, &opt->echo_room);
    } else if (a == "--echo-drift") {
      ok = number(-1000, 1000, &opt->echo_drift_ppm);
    } else if (a == "--echo-change-at") {
      if ((ok = value(&v)) && !ParseTime(v, &opt->echo_change_at_s)) {
        *error = "option --echo-change-at wants a time like 3s or 500ms, not '" + std::string(v) + "'";
        return -1;
      }
    } else if (a == "--echo-change-to") {
      ok = whole(0, 300, &opt->echo_change_to_ms);
    } else {
      *error = "unknown option '" + a + "' (see --help)";
      return -1;
    }
    if (!ok) return -1;
  }
  if (opt->live && !opt->sim_only_option.empty()) {
    *error = "option " + opt->sim_only_option + " applies to --devices sim only";
    return -1;
  }
  std::stable_sort(opt->events.begin(), opt->events.end(),
                   [](const DeviceEvent &x, const DeviceEvent &y) { return x.at_s < y.at_s; });
  return 0;
}

}  // namespace host
