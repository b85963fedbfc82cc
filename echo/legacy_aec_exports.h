// What WebRTC 0.3's echo canceller exports without a header, declared once
// for the component and its tests (checked against the installed library by
// tests/double_talk_test.cc and the canceller's own start).
#ifndef HX_ECHO_LEGACY_AEC_EXPORTS_H
#define HX_ECHO_LEGACY_AEC_EXPORTS_H

#include <cstdint>

struct AecCore;

extern "C" {
// What the canceller actually runs with.
int WebRtcAec_extended_filter_enabled(AecCore *self);
int WebRtcAec_delay_agnostic_enabled(AecCore *self);

// A bare canceller: made, initialised (rate and sound card rate), freed.
void *WebRtcAec_Create(void);
int32_t WebRtcAec_Init(void *aec, int32_t rate, int32_t sound_card_rate);
void WebRtcAec_Free(void *aec);

// The suppression step: scales the error spectrum `efw` (real and
// imaginary parts of 65 bins) by the gains `hNl` after overdriving them
// (`hNlFb` sets the overdrive). Each canceller's initialisation sets the
// pointer to the library's own step.
typedef void (*AecSuppressStep)(AecCore *aec, float *hNl, const float hNlFb, float (*efw)[65]);
extern AecSuppressStep WebRtcAec_OverdriveAndSuppress;
}

constexpr int kAecBins = 65;

#endif  // HX_ECHO_LEGACY_AEC_EXPORTS_H
