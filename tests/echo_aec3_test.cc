// The component on its AEC3 engine, in a program that links it beside the
// default engine: both run in one process (their two WebRTC generations do
// not bind to each other) and both cancel a digital echo of real speech.
#include <gtest/gtest.h>

#include <memory>

#include "echo/echo_canceller.h"
#include "support/canceller_latency.h"
#include "support/digital_echo.h"

namespace {

// A digital echo 60 ms late and so reported, for 8 s; the echo reduction
// (dB) over the last 4 s, on the blocks with echo above -50 dBFS.
double EchoReduction(int32_t engine) {
  hx_echo_settings s;
  hx_echo_default_settings(&s);
  s.engine = engine;
  const char *why = nullptr;
  hx_echo *e = hx_echo_create(&s, &why);
  EXPECT_NE(e, nullptr) << why;
  DigitalEcho echo;
  EXPECT_FALSE(echo.speech.empty()) << "cannot read tests/data/speech16k.wav";
  double heard = 0, left = 0;
  for (int b = 0; e && !echo.speech.empty() && b < 400; ++b) {
    EXPECT_EQ(echo.Block(e, 60, 60), 0);
    const double block = BlockPower(echo.mic);
    if (b >= 200 && block > HX_ECHO_BLOCK * 1e4) heard += block, left += BlockPower(echo.out);
  }
  hx_echo_destroy(e);
  return 10 * log10((heard + 1) / (left + 1));
}

TEST(EchoAec3, BothEnginesCancelADigitalEchoInOneProcess) {
  EXPECT_GT(EchoReduction(HX_ECHO_ENGINE_AEC3), 30);
  EXPECT_GT(EchoReduction(HX_ECHO_ENGINE_WEBRTC), 30);
}

// The latency AEC3 states is the one the residual stage is given.
TEST(EchoAec3, TheLinearStageLagsItsInputByTheLatencyItStates) {
  ExpectStatedLatency(HX_ECHO_ENGINE_AEC3, 0.9);
}

}  // namespace
