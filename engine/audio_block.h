// The module's 10 ms block of 48 kHz stereo 16-bit audio: what the host's
// callbacks exchange, what a microphone packet holds and what the play
// thread mixes from each far-end stream.
#ifndef HX_ENGINE_AUDIO_BLOCK_H
#define HX_ENGINE_AUDIO_BLOCK_H

#include <stdint.h>

constexpr int32_t kBlockRate = 48000;
constexpr int32_t kBlockFrames = 480;
constexpr int32_t kBlockValues = 2 * kBlockFrames;  // interleaved left, right
constexpr int32_t kBlockBytes = 2 * kBlockValues;   // 1920
constexpr int32_t kFarEndStreams = 4;

#endif
