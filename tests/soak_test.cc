// Soak (HX_SOAK_SECONDS, default 60): the module through its exports against
// the stand-ins in real time, with random hot-plugs, mode changes, restart
// requests, stops and starts, and a host that pushes and pulls; checked for
// safety (the sanitizer runs), well-formed host blocks and a clean unload.
#include <math.h>

#include <random>

#include "support/backend_harness.h"

namespace {

std::atomic<int64_t> g_captureCalls{0}, g_badCaptureLen{0}, g_playCalls{0};

int32_t HostCapture(void *, int16_t *samples, int32_t len) {
  g_badCaptureLen += len != 1920 || !samples, ++g_captureCalls;
  return 0;
}
int32_t HostPlay(void *, int16_t *buf, int32_t len, int32_t stream) {
  int64_t k = g_playCalls++;
  for (int j = 0; j < len / 2; ++j) buf[j] = (int16_t)((k + j) * (stream + 3) * 37 % 16000 - 8000);
  return (k % 7 == 3) ? 0 : len;  // now and then a stream without audio
}

TEST(SoakTest, RandomEventsThenCleanUnload) {
  const char *env = getenv("HX_SOAK_SECONDS");
  const int seconds = env && atoi(env) > 0 ? atoi(env) : 60;
  const unsigned seed = (unsigned)std::chrono::steady_clock::now().time_since_epoch().count();
  std::mt19937 rng(seed);
  SCOPED_TRACE(testing::Message() << "soak: " << seconds << " s, seed " << seed);
  hxsim_reset(), WarmWorldThreads(), hxsim_set_manual(0);
  std::vector<int16_t> mic(16000), sys(9600);  // a 300 Hz tone at 2 Hz, a sawtooth
  for (size_t i = 0; i < mic.size(); ++i)
    mic[i] = (int16_t)lrint(7000 * sin(0.117810 * i) * (0.6 + 0.4 * sin(0.000785 * i)));
  for (size_t i = 0; i < sys.size(); ++i) sys[i] = (int16_t)((i * 977) % 20000 - 10000);
  hxsim_set_mic_pcm(mic.data(), mic.size(), 1), hxsim_set_sys_pcm(sys.data(), sys.size() / 2, 1);

  LogCapture log;
  ModuleApi m;
  ASSERT_TRUE(m.Load(HX_MODULE_PATH) && m.EntryPoints());  // the reason on stderr
  ASSERT_EQ(0, m.SetDownComCallBackPtr((void *)&HostCapture, (void *)0x1, (void *)&HostPlay, (void *)0x2));
  ASSERT_EQ(0, (m.SetMicroCapture(1), m.Init()));

  // Host thread: pushes its own 10 ms blocks and pulls far-end audio at 44.1 or 48 kHz.
  std::atomic<bool> host_run{true}, host_push{true};
  std::thread host([&] {
    std::mt19937 r(seed ^ 0x5a5a5a5au);
    std::vector<int16_t> block(960), out(2048);
    for (size_t j = 0; j < block.size(); ++j) block[j] = (int16_t)((j * 131) % 12000 - 6000);
    for (uint32_t got = 0; host_run.load(); hx::Sleep(5 + r() % 10)) {
      if (host_push.load()) m.push(m.push_ctx, block.data(), 480, 4, 2, 48000, 1, 2, 3, 0, 0);
      const bool cd = r() % 2;
      m.pull(m.pull_ctx, cd ? 441 : 480, 0, (uint8_t)(1 + r() % 2), cd ? 44100 : 48000, out.data(), &got);
    }
  });

  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
       std::chrono::steady_clock::now() < end; hx::Sleep(50 + rng() % 250)) {
    uint32_t r = rng() % 12, v = rng();
    if (r <= 2) hxsim_set_endpoints(v % 3, rng() % 3);
    else if (r == 3) m.SetAecMode((uint8_t)(v % 3));
    else if (r == 4) m.SetMicroCapture((uint8_t)(v % 3));
    else if (r == 5) m.SetSysCapture((uint8_t)(v % 2));
    else if (r == 6) m.SetOnlineCapSys((uint8_t)(v % 2));
    else if (r == 7) hxsim_set_brisa_switch_to_wave(1);
    else if (r == 8) host_push.store(v % 2);
    else if (r == 9 && v % 4 == 0) m.DeInit(), hx::Sleep(rng() % 300), m.Init();
    else if (r >= 10) hxsim_set_voice_mode((int32_t)(v % 3) - 1);
    if (rng() % 20 == 0) log.Clear();  // keep it small: only the end is read
  }

  EXPECT_GT(g_captureCalls.load(), 0);
  EXPECT_EQ(0, g_badCaptureLen.load());
  log.Clear();
  host_run.store(false), host.join(), m.DeInit(), m.Unload();  // nothing left running or calling in
  EXPECT_EQ(1, log.Count(kTag + "exit ......~Hx_AEC_Impl\n"));
  EXPECT_EQ("", LeftRunning());
  if (HasFailure()) log.TailToStderr(300);
}

}  // namespace
