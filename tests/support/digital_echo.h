// Real speech as the far end and its echo at -6 dB, `echo_ms` late, over a
// -70 dBFS floor; one 20 ms block at a time through the echo canceller,
// which is told the delay is `report_ms`.
#ifndef HX_TESTS_SUPPORT_DIGITAL_ECHO_H
#define HX_TESTS_SUPPORT_DIGITAL_ECHO_H

#include <math.h>

#include <random>
#include <vector>

#include "echo/hx_echo.h"
#include "rig/speech.h"

inline double BlockPower(const int16_t *x) {
  double p = 0;
  for (int i = 0; i < HX_ECHO_BLOCK; ++i) p += double(x[i]) * x[i];
  return p;
}

struct DigitalEcho {
  std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  std::mt19937 rng{11};
  std::normal_distribution<double> noise{0, 10};
  std::vector<int16_t> played;  // mono far end, in order
  bool echo_on = true;          // false: the microphone hears digital silence
  int16_t mic[HX_ECHO_BLOCK], out[HX_ECHO_BLOCK];
  // The canceller's result for the block.
  int Block(hx_echo *e, int echo_ms, int report_ms) {
    int16_t st[2 * HX_ECHO_REVERSE_FRAMES];
    for (int r = 0; r < 2; ++r) {
      for (int i = 0; i < HX_ECHO_REVERSE_FRAMES; ++i)
        played.push_back(st[2 * i] = st[2 * i + 1] = speech[played.size() % speech.size()]);
      hx_echo_reverse(e, st, HX_ECHO_REVERSE_FRAMES);
    }
    for (long i = 0, src = long(played.size()) - HX_ECHO_BLOCK - 16L * echo_ms; i < HX_ECHO_BLOCK; ++i, ++src)
      mic[i] = echo_on ? int16_t((src >= 0 ? played[src] / 2 : 0) + lrint(noise(rng))) : 0;
    int32_t voice;
    return hx_echo_capture(e, mic, HX_ECHO_BLOCK, report_ms, out, &voice);
  }
};

#endif  // HX_TESTS_SUPPORT_DIGITAL_ECHO_H
