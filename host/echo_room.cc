#include "echo_room.h"

#include <cstdio>

namespace host {

void ApplyEchoRoom(const Options &opt, hxsim_echo_path *path) {
  path->rt60_s = opt.echo_room ? opt.echo_rt60_s : 0;
  path->speaker_drive_db = opt.echo_drive_db;
  path->noise_dbfs = opt.echo_noise_dbfs;
}

std::string DescribeEchoRoom(const Options &opt) {
  char d[160];
  if (!opt.echo_room) snprintf(d, sizeof d, "no room");
  else if (opt.echo_rt60_s > 0) snprintf(d, sizeof d, "room RT60 %.2f s", opt.echo_rt60_s);
  else snprintf(d, sizeof d, "short room");
  std::string s = d;
  if (opt.echo_drive_db > 0) {
    snprintf(d, sizeof d, ", loudspeaker driven %.0f dB into soft clip", opt.echo_drive_db);
    s += d;
  }
  if (opt.echo_noise_dbfs < 0) {
    snprintf(d, sizeof d, ", room noise %.0f dBFS", opt.echo_noise_dbfs);
    s += d;
  }
  return s;
}

}  // namespace host
