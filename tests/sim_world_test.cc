// The simulated world and its stand-in libraries driven directly (without the
// module): device API, deliveries, stop guarantees, real-time pace.
#include <dlfcn.h>

#include <atomic>
#include <thread>

#include "backends/api/brisa_dll.h"
#include "backends/api/mirel_dll.h"
#include "backends/api/mmdevapi.h"
#include "backends/api/tovan_dll.h"
#include "hxsim.h"
#include "platform/tick.h"
#include "support/log_capture.h"

namespace {

using V = std::vector<int64_t>;  // values compared at once (braced lists evaluate in order)
void *g_brisa = nullptr;  // libBrisaDll.so is reached by dlopen, as the module reaches it
#define BRISA(f) reinterpret_cast<BrisaApi_##f##_t>(dlsym(g_brisa, "BrisaApi_" #f))
bool LoadBrisa() { return (g_brisa = dlopen(HX_SIM_LIB_DIR "/libBrisaDll.so", RTLD_NOW)) != nullptr; }

struct SimWorld : ::testing::Test {
  void SetUp() override { hxsim_reset(), hxsim_set_manual(1); ASSERT_TRUE(LoadBrisa()); }
  void TearDown() override {
    if (g_brisa) BRISA(Uninit)(), dlclose(g_brisa), g_brisa = nullptr;
    fnMirelDll_UnInit(), tovan_uninit(), hxsim_reset();
  }
};

// Recorders; the voice flag rides in bit 0 of samples 0 and 1.
std::atomic<int> g_count{0};
std::vector<int16_t> g_last(960);
std::vector<int32_t> g_requests;
void Mic(int16_t *s, int16_t n, uint8_t, void *) { g_last.assign(s, s + n), g_count = n; }
void Play(int32_t no) { g_requests.push_back(no); }
int Flag() { return (g_last[0] & 1) + 2 * (g_last[1] & 1); }

TEST_F(SimWorld, DeviceApiFailureStepsAndObjectAccounting) {
  // Step 0 runs the whole sequence; every other step fails alone with the
  // injected result and a null object (count untouched); nothing leaks.
  const int32_t hr = static_cast<int32_t>(0x88890008u);
  const V want[] = {{0, 0, 0, 2, 0, 0, 3, 0}, {hr, 0}, {0, hr, 0, 0, 3, 0},
                    {0, 0, hr, 9, 0, 0, 3, 0}, {0, 0, 0, 2, hr, 0}, {0, 0, 0, 2, 0, hr, 9, 0}};
  uint32_t n = 9;
  void *e = (hxsim_set_endpoints(2, 3), &n), *c = &n;
  for (int32_t step = HXSIM_FAIL_NONE; step <= HXSIM_FAIL_COUNT_CAPTURE; ++step, e = &n) {
    hxsim_fail_device_api(step, hr);
    V got{MMDevApi_CreateDeviceEnumerator(&e)};
    for (int flow = 0; e && flow < 2; ++flow, c = &n, n = 9) {
      got.push_back(MMDevApi_EnumAudioEndpoints(e, flow, 1, &c));
      if (c) got.push_back(MMDevApi_GetCount(c, &n)), got.push_back(n), MMDevApi_Release(c);
    }
    if (e) MMDevApi_Release(e);
    EXPECT_EQ((got.push_back(hxsim_device_objects_alive()), got), want[step]) << "step " << step;
  }
  // A second release, or one of garbage, is caught.
  MMDevApi_CreateDeviceEnumerator(&e), MMDevApi_Release(e), MMDevApi_Release(e), MMDevApi_Release(&n);
  EXPECT_EQ((V{hxsim_device_bad_releases(), hxsim_device_objects_alive()}), (V{2, 0}));
}

TEST_F(SimWorld, BrisaStartStopVoiceFlagsAndPlayRequests) {
  std::vector<int16_t> tone(320);  // arrives unchanged but for the flag bits
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t((i % 40) * 800 - 15997);
  hxsim_set_mic_pcm(tone.data(), tone.size(), 1);
  // Initialised, not started: nothing delivered.
  EXPECT_EQ((V{BRISA(Init)(0, Mic, nullptr) != 0, hxsim_pump_mic(1)}), (V{1, 0}));
  BRISA(Start)(1), BRISA(AddPlayChannel)(0, Play), g_requests.clear();
  for (int m : {HXSIM_VOICE_NEVER, HXSIM_VOICE_ALWAYS, HXSIM_VOICE_BREACH, HXSIM_VOICE_AUTO})
    EXPECT_EQ((V{(hxsim_set_voice_mode(m), hxsim_pump_mic(1)), g_count, Flag(), g_last[0] & ~1,
                 std::equal(&tone[2], &tone[320], &g_last[2])}),
              (V{1, 320, m < 0 ? 1 : m, tone[0] & ~1, 1}));
  // Render only: play requests go on, the microphone stops; none once
  // stopped; numbered from 1 in each session.
  EXPECT_EQ((V{BRISA(Start)(0), hxsim_pump_play_requests(2), hxsim_pump_mic(1), BRISA(Stop)(),
               hxsim_pump_play_requests(1)}), (V{0, 2, 0, 0, 0}));
  BRISA(Uninit)(), BRISA(Init)(0, Mic, nullptr), BRISA(Start)(1), BRISA(AddPlayChannel)(0, Play);
  EXPECT_EQ((hxsim_pump_play_requests(1), g_requests), (std::vector<int32_t>{1, 2, 1}));
}

std::atomic<int> g_entered{0}, g_inside{0}, g_late{0}, g_stopping{0}, g_stopped{0};
// Held until the test begins its stop (never more than 5 s), then 50 ms more,
// so the stop finds it running however late the test sees it enter.
void Slow(uint8_t *, int32_t) {
  g_late += g_stopped, ++g_entered, g_inside = 1;
  WaitUntil([] { return g_stopping.load() == 1; }, 5000), hx::Sleep(50), g_inside = 0;
}
void SlowMic(int16_t *, int16_t, uint8_t, void *) { Slow(nullptr, 0); }
void SlowPlay(int32_t) { Slow(nullptr, 0); }

TEST_F(SimWorld, StopWaitsForRunningCallbacks) {
  // A stop while a slow callback runs (delivered by `pump` on another thread,
  // or by the world's own thread without one) returns after it; none follows.
  using Fn = int (*)();
  auto check = [](const char *what, Fn start, Fn pump, Fn stop) {
    g_entered = g_inside = g_late = g_stopping = g_stopped = 0;
    hxsim_set_manual(pump ? 1 : 0), start();
    std::thread deliverer([&] { if (pump) pump(); });
    EXPECT_TRUE(WaitUntil([] { return g_entered.load() >= 1; }, 10000)) << what;
    g_stopping = 1;
    EXPECT_EQ((stop(), g_stopped = 1, g_inside.load()), 0) << what;
    deliverer.join(), hx::Sleep(50);
    EXPECT_EQ((V{pump ? pump() : 0, g_late}), (V{0, 0})) << what;
  };
  Fn mic = [] { return hxsim_pump_mic(1); };
  check("mirel", [] { return fnMirelDll_Init(Slow, 16000, 1); }, mic, fnMirelDll_UnInit);
  check("tovan", [] { return tovan_init(Slow); }, [] { return hxsim_pump_sys(1); }, tovan_uninit);
  check("brisa", [] { return BRISA(Init)(0, SlowMic, 0), BRISA(Start)(1); }, mic, BRISA(Stop));
  check("brisa play", [] { return BRISA(Start)(0), BRISA(AddPlayChannel)(0, SlowPlay); },
        [] { return hxsim_pump_play_requests(1); }, BRISA(Uninit));
  check("tovan, world thread", [] { return tovan_init(Slow); }, nullptr, tovan_uninit);
}

std::atomic<int> g_rt[3];  // microphone blocks, system blocks, play requests
TEST_F(SimWorld, RealTimeDeliveryKeepsItsRate) {
  uint32_t t0 = (hxsim_set_manual(0), hx::GetTickCount());
  BRISA(Init)(0, [](int16_t *, int16_t n, uint8_t, void *) { g_rt[0] += n == 320; }, nullptr);
  BRISA(Start)(1), BRISA(AddPlayChannel)(0, [](int32_t) { ++g_rt[2]; });
  tovan_init([](uint8_t *, int32_t n) { g_rt[1] += n == 1920; });
  ASSERT_TRUE(WaitUntil([] { return g_rt[0].load() >= 25; }, 10000));
  BRISA(Uninit)(), tovan_uninit();
  // Never faster than the clock (no bursts); the 10 ms streams keep up with the 20 ms one.
  const double ms = hx::GetTickCount() - t0 + 40.0;
  const V got{g_rt[0], g_rt[1], g_rt[2]};
  EXPECT_TRUE(got[0] <= ms / 20 && got[1] <= ms / 10 && got[2] <= ms / 10 && got[1] >= 25 &&
              got[2] >= 25) << got[0] << " " << got[1] << " " << got[2] << " in " << ms << " ms";
}

}  // namespace
