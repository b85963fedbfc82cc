// Command line of hxaec-host.
#ifndef HX_HOST_OPTIONS_H
#define HX_HOST_OPTIONS_H

#include <string>
#include <vector>

namespace host {

enum class DeviceEventKind { kUnplugSpeaker, kPlugSpeaker, kUnplugMic, kPlugMic };

struct DeviceEvent {
  double at_s;
  DeviceEventKind kind;
};

struct Options {
  std::string module_path;             // empty: built-in default
  std::string mic_wav;                 // 16 kHz mono
  std::vector<std::string> farend_wavs;  // up to 4, 48 kHz mono or stereo
  std::string sys_wav;                 // 48 kHz stereo, optional
  std::string out_dir = "hxaec-out";
  double seconds = 0;                  // 0: length of the microphone signal
  bool loop = false;
  int aec_mode = 1;
  int micro_capture = 1;
  int sys_capture = 0;
  int online_sys_capture = 0;
  unsigned render_endpoints = 1;
  unsigned capture_endpoints = 1;
  std::vector<DeviceEvent> events;     // sorted by time after parsing
  bool quiet = false;                  // no progress line
  bool live = false;                   // --devices pulse: the default sound devices
  std::string sim_only_option;         // first option given that needs --devices sim
};

// Parses argv into *opt. Returns 0 to run, 1 when help was printed, -1 on
// an error (message in *error).
int ParseOptions(int argc, char **argv, Options *opt, std::string *error);
const char *UsageText();
const char *DeviceEventName(DeviceEventKind kind);

}  // namespace host

#endif
