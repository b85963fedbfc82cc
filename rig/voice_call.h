// Conversations on the live echo path of the private daemon (Microphone::
// kEchoPath), measured as the far side hears them (measure/voice_metrics.h);
// shared by the real-path voice test and bench/voice_quality.cc. The far end
// (tests/data/far_talker16k.wav) goes to the loudspeaker, the near end
// (tests/data/near_talker16k.wav plus room noise) is played into micsrc. The
// microphone is recorded beside the system under test; the near end found
// in it gives the timeline's start, and the echo is the rest.
#ifndef HX_RIG_VOICE_CALL_H
#define HX_RIG_VOICE_CALL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "measure/voice_metrics.h"
#include "rig/echo_call.h"
#include "host/module_api.h"
#include "rig/pulse_daemon.h"

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
// and mic on the timeline. Empty, or why the recording cannot be put on it
// or, put on it, does not measure: a text that starts with kCannotLineUp
// (the server's path broke up under load; the tests run such a call again).
extern const char kCannotLineUp[];
std::string OnTimeline(const ConversationSignals &c, const std::vector<int16_t> &mic_raw,
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

// With `sink_switch` a second speaker spk2 (set up by the caller) becomes
// the default sink this far into the call.
constexpr double kSwitchAt = 16;

// One call of the module (loaded in `api`) on the daemon's echo path: the
// module, then the near end, then the far end when the near end is heard;
// the upstream audio is kept. "" when the call ran to its end.
std::string RunModuleCall(const PulseDaemon &daemon, bool sink_switch, host::ModuleApi &api,
                          const ConversationSignals &c, VoiceRecording *r);

}  // namespace hxtest

#endif
