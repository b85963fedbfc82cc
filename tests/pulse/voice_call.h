// Conversations on live echo paths of the private daemon (Microphone::
// kEchoPath), measured as the far side hears them (measure/voice_metrics.h).
// Shared by the real-path voice test and the side-by-side tool
// (bench/voice_quality.cc).
//
// The conversation (voice_metrics::Conversation, 22 s): the far end
// (tests/data/far_talker16k.wav) is what the loudspeaker is given, the near
// end (tests/data/near_talker16k.wav plus room noise at -50 dBFS
// throughout) is played into micsrc, where the echo path adds the echo.
// The microphone is recorded beside the system under test; the near end is
// found in it by cross-correlation, which gives the timeline's start at the
// microphone, and the echo at the microphone is the recording minus the
// near end.
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

// 16-bit samples as floats (full scale 1.0) from `from` on, and back
// (rounded, clamped).
std::vector<float> PcmToFloat(const std::vector<int16_t> &x, size_t from = 0);
std::vector<int16_t> FloatToPcm(const std::vector<float> &x);

struct ConversationSignals {
  std::vector<int16_t> far;   // the far end's talker, on the timeline
  std::vector<int16_t> near;  // the near end's talker plus room noise
};
// "" when both talkers were read.
std::string LoadConversation(ConversationSignals *c);

// An echo path of the tool's own: records spk.monitor, optionally drives a
// soft-clipping loudspeaker (clip * tanh(x / clip)), convolves with a room
// response (hxsim::RoomConvolver, in 10 ms blocks) and plays the result
// into micsrc. Its latency is about 10 ms of recording plus the playback
// stream's 80 ms.
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
// microphone), 16 kHz, full scale 1.0.
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

// Starts the near end's talker into micsrc (400 ms buffered, so that a
// stalled thread does not shift it) and waits until its room noise reaches
// the microphone: the timeline's start, where the far end is to start too.
// *at: the microphone's sample count then. "" when it came within 5 s.
std::string StartNearEnd(SimpleStream &talker, MicRecording &mic, const ConversationSignals &c,
                         size_t *at);

// One call of the module on the path: the module (loaded in `api`) is
// started, then the near end, and the far end when the near end is heard;
// the upstream audio is kept. "" when the call ran to its end.
std::string RunModuleCall(const LiveEchoPath &path, host::ModuleApi &api,
                          const ConversationSignals &c, VoiceRecording *r);

}  // namespace hxtest

#endif
