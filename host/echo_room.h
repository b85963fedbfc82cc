// The room of the simulated voice path's echo path, from hxaec-host's
// options: a reverberant room with room noise by default.
#ifndef HX_HOST_ECHO_ROOM_H
#define HX_HOST_ECHO_ROOM_H

#include <string>

#include "hxsim.h"
#include "options.h"

namespace host {

// Sets the room fields of *path (rt60_s, speaker_drive_db, noise_dbfs):
// with --echo-room 0 neither room response nor reverberation.
void ApplyEchoRoom(const Options &opt, hxsim_echo_path *path);
// E.g. "room RT60 0.30 s, room noise -50 dBFS", "short room", "no room".
std::string DescribeEchoRoom(const Options &opt);

}  // namespace host

#endif
