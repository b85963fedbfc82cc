// Whether a sound server (PulseAudio, or PipeWire through pipewire-pulse)
// answers, for hxaec-host --devices pulse.
#ifndef HX_HOST_PULSE_PROBE_H
#define HX_HOST_PULSE_PROBE_H

#include <string>

namespace host {

// Connects as libpulse would (PULSE_SERVER, else the user's default) and
// disconnects. *server names the server reached, or the one tried.
bool ProbeSoundServer(double timeout_s, std::string *server);

}  // namespace host

#endif
