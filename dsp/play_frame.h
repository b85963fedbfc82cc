// Far-end staging frame helpers on webrtc::AudioFrame.
#ifndef HX_DSP_PLAY_FRAME_H
#define HX_DSP_PLAY_FRAME_H

#include <stdint.h>

#include "webrtc/modules/interface/module_common_types.h"

// Turns a mono frame into interleaved stereo by doubling every sample.
// Returns -1 and changes nothing unless the frame is mono and its doubled
// length stays below the frame's capacity (3840 values); 0 otherwise.
// Allocates nothing (the temporary copy lives on the stack).
int32_t MonoToStereo(webrtc::AudioFrame *f);

#endif
