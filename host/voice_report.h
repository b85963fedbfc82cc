// The voice path as the far side hears it, for the simulated voice path: who
// talks when is found from the near end and the echo the world recorded, and
// the voice metrics measure the host's upstream audio against them.
#ifndef HX_HOST_VOICE_REPORT_H
#define HX_HOST_VOICE_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "measure/voice_metrics.h"

namespace host {

// Segments of 20 ms frames at 16 kHz: the near end talks where it is 10 dB
// over its quietest fifth (the background), the far end where its echo is
// over that background; each held 0.3 s either side, so pauses between
// words do not split a segment.
voice_metrics::VoiceTimeline TalkFromSignals(const int16_t *near, const int16_t *echo, size_t n);

// Report lines for the microphone's signals (16 kHz mono: heard = near end
// + echo + room noise, and the echo alone) and the host's upstream audio
// (48 kHz stereo, up_frames frames, starting with the microphone's first
// block within half a second).
std::string VoiceReport(const int16_t *heard, const int16_t *echo, size_t n, const int16_t *up,
                        size_t up_frames);

}  // namespace host

#endif
