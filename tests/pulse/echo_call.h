// Echo calls on the private daemon's echo path (Microphone::kEchoPath):
// a host that plays speech as the far end and keeps what comes upstream,
// the alignment of the upstream audio with a recording of the microphone,
// and the echo reduction between the two (echo/echo_measure.h). Shared by
// the real-path echo tests and the side-by-side tool (bench/echo_real.cc).
#ifndef HX_TESTS_PULSE_ECHO_CALL_H
#define HX_TESTS_PULSE_ECHO_CALL_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "echo/echo_measure.h"

namespace hxtest {

// tests/data/speech16k.wav without its silent ends (7.2 s of speech whose
// longest pause is 0.3 s), so that a loop of it keeps the far end talking.
std::vector<int16_t> SpeechLoop16k();

// The host of an echo call. Stream 0 of the far end plays `far` (16 kHz
// mono, looped) while far_on is set, as 48 kHz stereo with every sample
// repeated three times: the module's play thread keeps every third value,
// so the voice path receives exactly `far`. Upstream blocks are kept.
struct EchoHost {
  std::mutex mu;
  std::vector<int16_t> up;   // 48 kHz stereo
  std::vector<int16_t> far;  // 16 kHz mono
  size_t far_pos = 0;
  std::atomic<bool> far_on{false};
  std::atomic<long> blocks{0};
  std::vector<double> block_time;  // arrival of each upstream block

  static int32_t Capture(void *ctx, int16_t *s, int32_t len);
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream);
  size_t UpFrames() { std::lock_guard<std::mutex> lk(mu); return up.size() / 2; }
  std::vector<int16_t> Up() { std::lock_guard<std::mutex> lk(mu); return up; }
  // Longest gap between upstream blocks that arrived in [from, to).
  double LongestGap(double from, double to);
};

// Where an output follows the microphone: out16[i + lag] is microphone
// sample i; ncc says how well the talker matched.
struct Lag {
  long lag = 0;
  double ncc = 0;
};

class MicFeeder;
class SimpleStream;

// The microphone recorded beside an output that passes it.
struct MicRecording {
  SimpleStream *mic;
  std::vector<int16_t> recorded;  // everything since the stream opened
  std::vector<int16_t> Recorded();  // brought up to date
};

// A near-end talker (`talk`, played into the microphone by `feeder`) on a
// silent far end: where the microphone recording and the output line up.
// out_count() is how many 16 kHz samples the output holds, out16() those
// samples. Waits (within 20 s each) for 2 s of microphone after the talker
// and 1 s of output beyond it.
Lag AlignByTalker(MicFeeder &feeder, MicRecording &mic, const std::vector<int16_t> &talk,
                  const std::function<size_t()> &out_count,
                  const std::function<std::vector<int16_t>()> &out16);

// Echo reduction over the microphone samples [from, to): the microphone
// holds echo only there (its near end is silent), `out` is 48 kHz stereo
// (the host's upstream audio, or any 16 kHz output repeated by Stereo48).
echo_measure::Erle ErleBetween(const std::vector<int16_t> &mic, size_t from, size_t to,
                               const std::vector<int16_t> &out, long lag);

// A 16 kHz mono output as 48 kHz stereo on the same scale.
std::vector<int16_t> Stereo48(const std::vector<int16_t> &mono16);

}  // namespace hxtest

#endif
