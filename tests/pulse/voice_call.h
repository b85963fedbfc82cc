// Conversations on live echo paths of the private daemon (Microphone::
// kEchoPath), measured as the far side hears them (measure/voice_metrics.h);
// shared by the real-path voice test and bench/voice_quality.cc. The far end
// (tests/data/far_talker16k.wav) goes to the loudspeaker, the near end
// (tests/data/near_talker16k.wav plus room noise) is played into micsrc. The
// microphone is recorded beside the system under test; the near end found
// in it gives the timeline's start, and the echo is the rest.
#ifndef HX_TESTS_PULSE_VOICE_CALL_H
#define HX_TESTS_PULSE_VOICE_CALL_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "measure/voice_metrics.h"
#include "echo_call.h"
#include "module_api.h"
#include "pulse_daemon.h"
#include "room.h"

namespace hxtest {

constexpr int kVoiceRate = 16000;

// 16-bit samples as floats (full scale 1.0) from `from` on, and back.
std::vector<float> PcmToFloat(const std::vector<int16_t> &x, size_t from = 0);
std::vector<int16_t> FloatToPcm(const std::vector<float> &x);

struct ConversationSignals {
  std::vector<int16_t> far;   // the far end's talker, on the timeline
  std::vector<int16_t> near;  // the near end's talker plus room noise
};
// "" when both talkers were read.
std::string LoadConversation(ConversationSignals *c);

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
// 80 ms loopback) that becomes the default sink 16 s into the call.
enum class EchoPath { kLoopback, kRoom, kClippedRoom, kSwitch };
const char *EchoPathName(EchoPath p);
constexpr double kSwitchAt = 16;

// A private daemon with one echo path set up; torn down by its destructor.
// `server`: "pulseaudio" or "pipewire" (PulseDaemon).
class LiveEchoPath {
 public:
  explicit LiveEchoPath(EchoPath path, std::string server = TestServer())
      : path_(path), daemon_(Microphone::kEchoPath, std::move(server)) {}
  std::string Start();  // "" when the daemon and its path are up
  EchoPath path() const { return path_; }
  const PulseDaemon &daemon() const { return daemon_; }

 private:
  EchoPath path_;
  PulseDaemon daemon_;
  RoomEcho room_;
};

// What one call recorded, on the timeline (sample 0 = its start at the
// microphone), 16 kHz floats.
struct VoiceRecording {
  std::vector<float> near, echo, mic;  // n samples each
  std::vector<float> far;  // the far end's source signal, or (module calls)
                           // what the loudspeakers played, n samples
  std::vector<float> out;  // the system's output (any lag)
  double near_ncc = 0;     // how well the near end was found
  long offset = 0;         // where the timeline starts in the recording
};

// From a microphone recording that holds the whole conversation: near, echo
// and mic on the timeline. false when the near end is not found in it.
bool OnTimeline(const ConversationSignals &c, const std::vector<int16_t> &mic_raw,
                VoiceRecording *r);

voice_metrics::VoiceMetrics MeasureRecording(const VoiceRecording &r,
                                             const voice_metrics::VoiceTimeline &tl);
// The live timeline: the conversation, with the output up to 1.5 s away.
voice_metrics::VoiceTimeline LiveTimeline();

// Starts the near end's talker into micsrc (400 ms buffered) and waits
// until it reaches the microphone: the timeline's start, *at the
// microphone's sample count then. "" when it came within 5 s.
std::string StartNearEnd(SimpleStream &talker, MicRecording &mic, const ConversationSignals &c,
                         size_t *at);

// One call of the module (loaded in `api`) on the path: the module, then
// the near end, then the far end when the near end is heard; the upstream
// audio is kept. "" when the call ran to its end.
std::string RunModuleCall(const LiveEchoPath &path, host::ModuleApi &api,
                          const ConversationSignals &c, VoiceRecording *r);

}  // namespace hxtest

#endif
