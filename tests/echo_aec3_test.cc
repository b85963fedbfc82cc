// The component on its AEC3 engine, in a program that links it beside the
// default engine: both run in one process (their two WebRTC generations do
// not bind to each other) and both cancel a digital echo of real speech.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "echo/hx_echo.h"
#include "support/speech.h"

namespace {

// Far-end speech and its echo at -6 dB, 60 ms late and so reported, over a
// little noise, for 8 s; the echo reduction (dB) over the last 4 s, on the
// blocks where the far end talks.
double EchoReduction(int32_t engine) {
  hx_echo_settings s;
  hx_echo_default_settings(&s);
  s.engine = engine;
  const char *why = nullptr;
  hx_echo *e = hx_echo_create(&s, &why);
  EXPECT_NE(e, nullptr) << why;
  if (!e) return 0;
  const std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  EXPECT_FALSE(speech.empty());
  std::vector<int16_t> played;
  uint32_t seed = 5;
  double heard = 0, left = 0;
  for (int b = 0; b < 400 && !speech.empty(); ++b) {
    int16_t st[2 * HX_ECHO_REVERSE_FRAMES];
    for (int r = 0; r < 2; ++r) {
      for (int i = 0; i < HX_ECHO_REVERSE_FRAMES; ++i)
        played.push_back(st[2 * i] = st[2 * i + 1] = speech[played.size() % speech.size()]);
      hx_echo_reverse(e, st, HX_ECHO_REVERSE_FRAMES);
    }
    int16_t mic[HX_ECHO_BLOCK], out[HX_ECHO_BLOCK];
    double block = 0;
    for (int i = 0; i < HX_ECHO_BLOCK; ++i) {
      const long src = long(played.size()) - HX_ECHO_BLOCK - 16 * 60 + i;
      seed = seed * 1664525u + 1013904223u;
      mic[i] = int16_t((src >= 0 ? played[src] / 2 : 0) + int(seed >> 29) - 4);
      block += double(mic[i]) * mic[i];
    }
    int32_t voice = 0;
    EXPECT_EQ(hx_echo_capture(e, mic, HX_ECHO_BLOCK, 60, out, &voice), 0);
    if (b >= 200 && block > HX_ECHO_BLOCK * 1e4) {  // echo above -50 dBFS
      heard += block;
      for (int i = 0; i < HX_ECHO_BLOCK; ++i) left += double(out[i]) * out[i];
    }
  }
  hx_echo_destroy(e);
  return 10 * std::log10((heard + 1) / (left + 1));
}

TEST(EchoAec3, BothEnginesCancelADigitalEchoInOneProcess) {
  EXPECT_GT(EchoReduction(HX_ECHO_ENGINE_AEC3), 30);
  EXPECT_GT(EchoReduction(HX_ECHO_ENGINE_WEBRTC), 30);
}

}  // namespace
