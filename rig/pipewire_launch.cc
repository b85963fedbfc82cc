// PulseDaemon on PipeWire: a session bus of its own, then pipewire,
// wireplumber and pipewire-pulse, started in that order.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "rig/pulse_daemon.h"

namespace hxtest {

namespace {

bool WriteFile(const std::string &path, const std::string &text) {
  std::ofstream f(path);
  f << text;
  return bool(f.flush());
}

}  // namespace

std::string PulseDaemon::WritePipeWireConfig() const {
  const std::string wp = dir_ + "/config/wireplumber";
  for (const std::string &d : {dir_ + "/config", wp, wp + "/main.lua.d", wp + "/bluetooth.lua.d"})
    if (mkdir(d.c_str(), 0700) != 0) return "cannot create " + d + ": " + strerror(errno);
  // A session bus on the folder's socket that knows no services, so it
  // starts none that could outlive it.
  const std::string bus =
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" + dir_ + "/bus</listen>\n"
      "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
      "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n"
      "    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
  // wireplumber takes these fragments instead of its own of the same names:
  // everything but the ALSA, camera and Bluetooth monitors, so it opens no
  // hardware and needs no system bus (nor logind), and but the suspension
  // of idle devices, which PulseAudio's test daemon does not load either
  // (with it the pipe microphone's delay was seen at 300 ms and growing;
  // without, 90 to 120 ms and steady). Its policy is its own.
  const std::string main =
      "load_module(\"metadata\")\ndefault_access.enable()\ndevice_defaults.enable()\n"
      "stream_defaults.enable()\nload_script(\"intended-roles.lua\")\n";
  if (!WriteFile(dir_ + "/bus.conf", bus) || !WriteFile(wp + "/main.lua.d/90-enable-all.lua", main) ||
      !WriteFile(wp + "/bluetooth.lua.d/90-enable-all.lua", "-- no Bluetooth monitor\n"))
    return "cannot write the server's configuration in " + dir_;
  return "";
}

std::string PulseDaemon::LaunchPipeWire() {
  std::string why;
  if (!bus_.Running()) {
    unlink((dir_ + "/bus").c_str());
    why = Spawn(bus_, {"--config-file=" + dir_ + "/bus.conf", "--nofork", "--nopidfile"});
    if (why.empty()) why = AwaitSocket(bus_, dir_ + "/bus");
  }
  if (why.empty() && !pipewire_.Running()) {
    unlink((dir_ + "/pipewire-0").c_str());  // left behind by a killed pipewire
    why = Spawn(pipewire_, {});
    if (why.empty()) why = AwaitSocket(pipewire_, dir_ + "/pipewire-0");
  }
  if (why.empty() && !wireplumber_.Running()) why = Spawn(wireplumber_, {});
  if (why.empty() && !pipewire_pulse_.Running()) {
    why = Spawn(pipewire_pulse_, {});
    if (why.empty()) why = AwaitSocket(pipewire_pulse_, dir_ + "/pulse/native");
  }
  if (why.empty()) why = LoadDevices();
  return why.empty() ? "" : Failed("the private PipeWire did not start: " + why);
}

}  // namespace hxtest
