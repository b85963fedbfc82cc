// The systems voice_quality and voice_replay run offline on a live call's
// recording (rig/voice_call.h's VoiceRecording, 16 kHz mono).
#ifndef HX_BENCH_OFFLINE_SYSTEMS_H
#define HX_BENCH_OFFLINE_SYSTEMS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "echo/hx_echo.h"
#include "rig/voice_call.h"

namespace hxtest {

// The loudspeaker's signal 10 ms ahead of where its echo reaches the
// microphone (the direct path's cross-correlation peak, far end alone), as
// a render tap at the sink would give it. *echo_delay: that peak, samples.
std::vector<int16_t> RenderTap(const VoiceRecording &r, long *echo_delay = nullptr);

// speexdsp's echo canceller (300 ms filter) and preprocessor on the tap.
std::vector<float> RunSpeex(const VoiceRecording &r);

// Current WebRTC's AEC3 (the aec3_anchor program at `anchor`) on the tap;
// empty, with *error set, on failure.
std::vector<float> RunAec3(const std::string &anchor, const VoiceRecording &r, std::string *error);

// Per 20 ms block of a voice path's output, whether it is marked voice (the
// module's gain control runs on those blocks only).
using VoiceMarks = std::vector<uint8_t>;

// How the echo component is fed: by default the loudspeaker's signal as
// played, with the echo's own delay as the stream delay. A live voice path
// hands the far end over ahead of its playing (the render latency, which
// the stream delay includes), and an echo path the server does not know (a
// room client, a loopback) puts the echo later than the stream delay says.
struct ComponentFeed {
  int ahead_ms = 0;       // the far end reaches the component this much before it plays
  int unreported_ms = 0;  // the stream delay says this much less than the echo's delay
};

// This module's echo component (echo/hx_echo.h, default settings) on the
// recording, fed as `feed` says; its figures at the end go to *stats and
// its voice marks to *voice when given. Empty, with *error, on failure.
std::vector<float> RunComponent(const VoiceRecording &r, const ComponentFeed &feed, std::string *error,
                                hx_echo_stats *stats = nullptr, VoiceMarks *voice = nullptr);

// A live voice path's recording of its canceller (HX_BRISA_RECORD,
// echo/echo_recording.h) replayed through a fresh component with default
// settings: *mic the microphone it consumed, *live what it gave back live,
// and the result the replayed output (all from the canceller's first
// block); the replay's figures at the end go to *stats and its voice marks
// to *voice when given. Empty, with *error, when the file does not read.
std::vector<float> ReplayLiveFeed(const std::string &path, std::vector<float> *mic, std::vector<float> *live,
                                  std::string *error, hx_echo_stats *stats = nullptr,
                                  VoiceMarks *voice = nullptr);

// Voice marks for a canceller that gives none (AEC3): WebRTC's voice
// detector on its output, as the voice path's own canceller runs it (10 ms
// frames, low likelihood asked; a block is voice when either half is).
VoiceMarks DetectVoice(const std::vector<float> &x);

// The module's cleaning chain on a 16 kHz signal as the module runs it:
// high-pass filter and noise suppression on every block, gain control on
// the blocks marked voice (dsp/ns_agc.h, backends/capture_callbacks.cc).
// From fresh processors: this program's own copy of the chain's
// process-wide processors (a module library loaded beside keeps its own),
// one caller at a time.
std::vector<float> Chain(const std::vector<float> &x, const VoiceMarks &voice);

bool WriteWav(const std::string &path, const std::vector<int16_t> &x);

}  // namespace hxtest

#endif
