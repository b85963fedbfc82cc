// Soak: the real module (loaded by path, reached through its exports only)
// against the stand-ins in real time, with random hot-plugs, mode changes,
// voice-path requests, stops and starts, and a host that pushes and pulls.
// Length: HX_SOAK_SECONDS (default 60).
//
// What "every microphone block is accounted for" can honestly mean here:
// the packet queue, its refusals and the host's capture calls are visible
// only through the host callback, the world's counters and the rate-limited
// refusal lines. So the accounting runs over a final quiet window with a
// fixed picture (microphone on, system audio off, no host pushes), where
// each microphone block becomes two packets and each packet the mix thread
// takes becomes one host call:
//   2 * blocks = host calls + refused + (queue change) + (blocks in flight),
// the queue holds 12 at most, and the refusals are bracketed by their lines
// (one line per 10 refusals on a module-wide counter). The random phase
// before it is checked for safety: no crash, no sanitizer report, every
// thread and back-end stopped at the end and nothing calling in afterwards.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/backend_harness.h"

namespace {

std::atomic<int64_t> g_captureCalls{0};
std::atomic<int64_t> g_badCaptureLen{0};
std::atomic<int64_t> g_playCalls{0};

int32_t HostCapture(void *, int16_t *samples, int32_t len) {
  if (len != 1920 || !samples) g_badCaptureLen.fetch_add(1);
  g_captureCalls.fetch_add(1);
  return 0;
}

int32_t HostPlay(void *, int16_t *buf, int32_t len, int32_t stream) {
  int64_t k = g_playCalls.fetch_add(1);
  for (int j = 0; j < len / 2; ++j) buf[j] = (int16_t)(((k + j) * (stream + 3) * 37) % 16000 - 8000);
  return (k % 7 == 3) ? 0 : len;  // now and then a stream without audio
}

int SoakSeconds() {
  const char *v = getenv("HX_SOAK_SECONDS");
  int s = v ? atoi(v) : 60;
  return s > 0 ? s : 60;
}

TEST(SoakTest, RandomEventsThenExactAccountingThenCleanUnload) {
  const int seconds = SoakSeconds();
  const unsigned seed = (unsigned)std::chrono::steady_clock::now().time_since_epoch().count();
  std::mt19937 rng(seed);
  fprintf(stderr, "soak: %d s, seed %u\n", seconds, seed);

  hxsim_reset();
  WarmWorldThreads();
  hxsim_set_manual(0);
  std::vector<int16_t> mic(16000);
  for (size_t i = 0; i < mic.size(); ++i)
    mic[i] = (int16_t)lrint(7000 * sin(2 * M_PI * 300 * i / 16000.0) *
                            (0.6 + 0.4 * sin(2 * M_PI * 2 * i / 16000.0)));
  hxsim_set_mic_pcm(mic.data(), mic.size(), 1);
  std::vector<int16_t> sys(9600);
  for (size_t i = 0; i < sys.size(); ++i) sys[i] = (int16_t)((i * 977) % 20000 - 10000);
  hxsim_set_sys_pcm(sys.data(), sys.size() / 2, 1);

  std::unique_ptr<LogCapture> log(new LogCapture);
  ModuleApi m;
  ASSERT_TRUE(m.Load(HX_MODULE_PATH)) << dlerror();
  void *push_fn = nullptr, *push_ctx = nullptr, *pull_fn = nullptr, *pull_ctx = nullptr;
  ASSERT_EQ(0, m.GetUpComCallBackPtr(&push_fn, &push_ctx, &pull_fn, &pull_ctx));
  auto push = reinterpret_cast<UpComPushMicDataFn>(push_fn);
  auto pull = reinterpret_cast<UpComPullPlayDataFn>(pull_fn);
  ASSERT_EQ(0, m.SetDownComCallBackPtr((void *)&HostCapture, (void *)0x1,
                                              (void *)&HostPlay, (void *)0x2));
  m.SetMicroCapture(1);
  ASSERT_EQ(0, m.Init());

  // Host thread: pushes its own 10 ms blocks and pulls far-end audio.
  std::atomic<bool> host_run{true}, host_push{true};
  std::atomic<int64_t> pulls{0};
  std::thread host([&] {
    std::mt19937 r(seed ^ 0x5a5a5a5au);
    std::vector<int16_t> block(960), out(2048);
    for (size_t j = 0; j < block.size(); ++j) block[j] = (int16_t)((j * 131) % 12000 - 6000);
    while (host_run.load()) {
      if (host_push.load())
        push(push_ctx, block.data(), 480, 4, 2, 48000, 1, 2, 3, 0, 0);
      uint32_t got = 0;
      bool cd = r() % 2;
      uint8_t ch = (uint8_t)(1 + r() % 2);
      pull(pull_ctx, cd ? 441 : 480, 0, ch, cd ? 44100 : 48000, out.data(), &got);
      pulls.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + r() % 10));
    }
  });

  // Random phase.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int stops = 0;
  while (std::chrono::steady_clock::now() < end) {
    switch (rng() % 12) {
      case 0:
      case 1:
      case 2:
        hxsim_set_endpoints(rng() % 3, rng() % 3);
        break;
      case 3:
        m.SetAecMode((uint8_t)(rng() % 3));
        break;
      case 4:
        m.SetMicroCapture((uint8_t)(rng() % 3));
        break;
      case 5:
        m.SetSysCapture((uint8_t)(rng() % 2));
        break;
      case 6:
        m.SetOnlineCapSys((uint8_t)(rng() % 2));
        break;
      case 7:
        hxsim_set_brisa_switch_to_wave(1);
        break;
      case 8:
        host_push.store(rng() % 2);
        break;
      case 9:
        if (rng() % 4 == 0) {
          m.DeInit();
          ++stops;
          std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 300));
          m.Init();
        }
        break;
      default:
        hxsim_set_voice_mode((int32_t)(rng() % 3) - 1);
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 250));
    // Keep the captured log small: only the accounting window is read.
    if (rng() % 20 == 0) log->Clear();
  }
  fprintf(stderr, "soak: %d stops, %lld host pulls, %lld capture calls\n", stops,
          (long long)pulls.load(), (long long)g_captureCalls.load());

  // Accounting window: fixed picture, microphone only, no host pushes.
  host_push.store(false);
  hxsim_set_voice_mode(HXSIM_VOICE_AUTO);
  hxsim_set_endpoints(1, 1);
  m.SetSysCapture(0);
  m.SetOnlineCapSys(0);
  m.SetAecMode(0);
  m.SetMicroCapture(1);
  m.DeInit();
  m.Init();  // a fresh monitor selects the voice path in its first pass
  ASSERT_TRUE(log->WaitFor("to init win7-aec[1]---end\n", 1, 20000));
  ASSERT_TRUE(WaitUntil([] { return SimStatus().brisa_started == 1; }, 20000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  log->Clear();
  int64_t blocks0 = SimStatus().mic_blocks, calls0 = g_captureCalls.load();
  std::this_thread::sleep_for(std::chrono::seconds(seconds >= 20 ? 5 : 3));
  int64_t blocks = SimStatus().mic_blocks - blocks0, calls = g_captureCalls.load() - calls0;
  std::string text = log->Text();
  int lines = 0;
  for (const char *needle : {"drop mute pak", "del mute pak"}) {
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
      ++lines;
  }
  const int64_t refused_min = lines == 0 ? 0 : 10 * (lines - 1) + 1;
  const int64_t refused_max = 10 * (lines + 1) - 1;
  const int64_t slack = 12 + 4;  // queue change, blocks and packets in flight
  fprintf(stderr, "soak: window %lld mic blocks, %lld host calls, %d refusal lines\n",
          (long long)blocks, (long long)calls, lines);
  EXPECT_GT(blocks, 50);
  EXPECT_LE(2 * blocks, calls + refused_max + slack)
      << blocks << " blocks, " << calls << " host calls, " << lines << " refusal lines";
  EXPECT_GE(2 * blocks, calls + refused_min - slack)
      << blocks << " blocks, " << calls << " host calls, " << lines << " refusal lines";
  EXPECT_EQ(0, g_badCaptureLen.load());

  // End: stop, unload, and nothing left running or calling in.
  host_run.store(false);
  host.join();
  m.DeInit();
  m.Unload();
  EXPECT_EQ(1, log->Count("audio_HXAec::===> exit ......~Hx_AEC_Impl\n"));
  EXPECT_EQ("", LeftRunning());
  std::string tail = log->Text();
  log.reset();
  if (HasFailure()) fprintf(stderr, "---- module log (tail) ----\n%s\n", tail.c_str());
}

}  // namespace
