// Command line of hxaec-host.
#ifndef HX_HOST_OPTIONS_H
#define HX_HOST_OPTIONS_H

#include <string>
#include <vector>

#include "cli/option_table.h"

namespace host {

enum class DeviceEventKind { kUnplugSpeaker, kPlugSpeaker, kUnplugMic, kPlugMic };

struct DeviceEvent {
  double at_s;
  DeviceEventKind kind;
};

struct Options {
  std::string module_path;             // empty: built-in default
  std::string mic_wav;                 // made 16 kHz mono
  std::vector<std::string> farend_wavs;  // up to 4, made 48 kHz, mono or stereo
  std::string sys_wav;                 // made 48 kHz stereo, optional
  std::string out_dir = "hxaec-out";
  double seconds = 0;                  // 0: length of the microphone signal
  bool loop = false;
  int aec_mode = 1;
  int micro_capture = 1;
  int sys_capture = 0;
  int online_sys_capture = 0;
  int render_endpoints = 1;
  int capture_endpoints = 1;
  std::vector<DeviceEvent> events;     // sorted by time after parsing
  bool quiet = false;                  // no progress line
  bool live = false;                   // --devices pulse: the default sound devices
  std::string sim_only_option;         // first option given that needs --devices sim
  // Echo path of the simulated voice path (on by default: a laptop's
  // built-in loudspeaker and microphone).
  bool echo = true;
  int echo_delay_ms = 60;
  double echo_gain_db = -6;
  int echo_room = 1;
  double echo_rt60_s = 0.3;            // with echo_room: a reverberant room; 0: a short one
  double echo_drive_db = 0;            // loudspeaker soft clip; 0: linear
  double echo_noise_dbfs = -50;        // room noise at the microphone; 0: none
  double echo_drift_ppm = 0;
  bool echo_cancel = true;
  double echo_change_at_s = -1;        // < 0: the delay never changes
  int echo_change_to_ms = -1;          // < 0: 100 ms more than echo_delay_ms
};

// Parses argv into *opt (which holds the defaults). kHelp: the help was
// printed; kBad: the error and the usage line were.
cli::Parsed ParseOptions(int argc, char **argv, Options *opt);
const char *DeviceEventName(DeviceEventKind kind);

}  // namespace host

#endif
