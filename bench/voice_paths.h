// The live echo paths of voice_quality, on a private daemon with the echo
// path (Microphone::kEchoPath) that rig/voice_call.h calls over.
#ifndef HX_BENCH_VOICE_PATHS_H
#define HX_BENCH_VOICE_PATHS_H

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rig/pulse_daemon.h"
#include "room.h"

namespace hxtest {

// An echo path of its own: records spk.monitor, optionally soft-clips it
// (clip * tanh(x / clip)), convolves it with a room response in 10 ms
// blocks and plays the result into micsrc (about 90 ms later).
class RoomEcho {
 public:
  ~RoomEcho() { Stop(); }
  // "" when both streams are open and the filter runs.
  std::string Start(const std::vector<float> &response, double clip);
  void Stop();

 private:
  void Run();
  hxsim::RoomConvolver filter_;
  void *rec_ = nullptr, *play_ = nullptr;  // pa_simple
  double clip_ = 0;
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

// The echo paths: (a) the daemon's module-loopback (40 ms); (b) a room of
// RT60 0.4 s; (c) that room behind a loudspeaker soft clip at about the
// near end's level; (d) the loopback, with a second speaker spk2 (its own
// 80 ms loopback) that becomes the default sink kSwitchAt s into the call.
enum class EchoPath { kLoopback, kRoom, kClippedRoom, kSwitch };
const char *EchoPathName(EchoPath p);

// A private daemon with one echo path set up; torn down by its destructor.
// `server`: "pulseaudio" or "pipewire" (PulseDaemon).
class LiveEchoPath {
 public:
  LiveEchoPath(EchoPath path, std::string server)
      : path_(path), daemon_(Microphone::kEchoPath, std::move(server)) {}
  std::string Start();  // "" when the daemon and its path are up
  EchoPath path() const { return path_; }
  const PulseDaemon &daemon() const { return daemon_; }

 private:
  EchoPath path_;
  PulseDaemon daemon_;
  RoomEcho room_;
};

}  // namespace hxtest

#endif
