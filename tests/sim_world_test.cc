// The stand-in back-ends driven directly (without the module): a stop returns
// only after the callback it interrupts, as every back-end's stop must.
#include <dlfcn.h>

#include <atomic>
#include <thread>

#include "backends/api/brisa_dll.h"
#include "backends/api/mirel_dll.h"
#include "backends/api/tovan_dll.h"
#include "hxsim.h"
#include "platform/tick.h"
#include "support/log_capture.h"

namespace {

using V = std::vector<int64_t>;  // values compared at once (braced lists evaluate in order)
void *g_brisa = nullptr;  // libBrisaDll.so is reached by dlopen, as the module reaches it
#define BRISA(f) reinterpret_cast<BrisaApi_##f##_t>(dlsym(g_brisa, "BrisaApi_" #f))

struct SimWorld : ::testing::Test {
  void SetUp() override {
    hxsim_reset(), hxsim_set_manual(1);
    ASSERT_TRUE((g_brisa = dlopen(HX_SIM_LIB_DIR "/libBrisaDll.so", RTLD_NOW)) != nullptr);
  }
  void TearDown() override {
    if (g_brisa) BRISA(Uninit)(), dlclose(g_brisa), g_brisa = nullptr;
    fnMirelDll_UnInit(), tovan_uninit(), hxsim_reset();
  }
};

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

}  // namespace
