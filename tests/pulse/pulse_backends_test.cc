// The PulseAudio back-end libraries through their C contracts, on a private
// server: the voice path without a server and stopped during a put, and
// every library against a stalled server (their signals: pulse_module_test).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <thread>

#define HX_BRISA_DLL_IMPLEMENTATION
#include "backends/api/brisa_dll.h"
#include "backends/api/mirel_dll.h"
#include "backends/api/mmdevapi.h"
#include "backends/api/tovan_dll.h"
#include "rig/pulse_daemon.h"
#include "rig/signal_check.h"

using namespace hxtest;

namespace {

// The voice path's callbacks: capture blocks counted, play requests that
// hand over `far` 320 values at a time (after slow_request_ms). With
// try_entries set, the next block and the next request call every entry
// but the put from inside, and keep what they returned.
struct Voice {
  std::mutex mu;
  std::atomic<int> blocks{0}, bad_counts{0}, requests{0}, slow_request_ms{0};
  std::atomic<bool> try_entries{false};
  std::atomic<int> block_entries{0}, request_entries{0};  // 1 + 10 * each refusal
  std::atomic<bool> in_request{false};
  std::vector<int16_t> far;
  size_t far_pos = 0;
} g_voice;

void VoiceRequest(int32_t);

// Inside a callback every entry but the put would wait for that callback:
// each must be refused (Init with 0, the others with -1).
int TryEntries() {
  int refused = 1;
  refused += 10 * (BrisaApi_Stop() == -1);
  refused += 10 * (BrisaApi_Start(1) == -1);
  refused += 10 * (BrisaApi_AddPlayChannel(0, VoiceRequest) == -1);
  refused += 10 * (BrisaApi_DelPlayChannel(0) == -1);
  refused += 10 * (BrisaApi_Init(0, [](int16_t *, int16_t, uint8_t, void *) {}, nullptr) == 0);
  refused += 10 * (BrisaApi_Uninit() == -1);
  return refused;
}

void VoiceBlock(int16_t *, int16_t count, uint8_t, void *user) {
  if (count != 320 || user != &g_voice) g_voice.bad_counts++;
  g_voice.blocks++;
  if (g_voice.try_entries && !g_voice.block_entries) g_voice.block_entries = TryEntries();
}

void VoiceRequest(int32_t) {
  g_voice.requests++;
  if (g_voice.try_entries && !g_voice.request_entries) g_voice.request_entries = TryEntries();
  if (const int ms = g_voice.slow_request_ms) g_voice.in_request = true, usleep(useconds_t(ms * 1000));
  std::lock_guard<std::mutex> lk(g_voice.mu);
  if (g_voice.far.empty()) return;
  BrisaApi_PutPlayData(0, g_voice.far.data() + g_voice.far_pos, 320);
  g_voice.far_pos = (g_voice.far_pos + 320) % g_voice.far.size();
}

class Pulse : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(daemon_.Start(), "") << "a real-device test needs its private " << daemon_.server_name() << " server"; }
  PulseDaemon daemon_;
};

}  // namespace

// Without a server the voice path still initialises at once and starts its
// streams, in 320-sample blocks, when the server appears; from inside a
// block or a request every entry but the put is refused and the path goes
// on. Initialised again: a stop that comes while a play-request callback is
// handing over far end returns (the put does not wait behind it).
TEST_F(Pulse, VoicePathStartsWithoutServerAndStopsDuringAPut) {
  daemon_.Kill();
  g_voice.far = StereoTone(16000, 500, 1500, 6000, 3000);
  ASSERT_NE(BrisaApi_Init(0, VoiceBlock, &g_voice), 0) << "Init needs no server";
  ASSERT_EQ(BrisaApi_Start(1), 0);
  ASSERT_EQ(BrisaApi_AddPlayChannel(0, VoiceRequest), 0);
  ASSERT_EQ(daemon_.Launch(), "");
  MicFeeder feeder(daemon_.fifo());
  ASSERT_TRUE(WaitFor([] { return g_voice.blocks > 25 && g_voice.requests > 50; }, 10)) << "no blocks or play requests";
  g_voice.try_entries = true;
  ASSERT_TRUE(WaitFor([] { return g_voice.block_entries && g_voice.request_entries; }, 10)) << "no block or request after";
  EXPECT_EQ(g_voice.block_entries.load(), 61) << "entries from inside a block: 1 + 10 per refusal";
  EXPECT_EQ(g_voice.request_entries.load(), 61) << "entries from inside a request: 1 + 10 per refusal";
  const int blocks = g_voice.blocks, requests = g_voice.requests;
  EXPECT_TRUE(WaitFor([&] { return g_voice.blocks > blocks + 10 && g_voice.requests > requests + 10; }, 10))
      << "the refused entries changed nothing: blocks and requests go on";
  g_voice.try_entries = false;
  EXPECT_EQ(BrisaApi_Uninit(), 0);
  EXPECT_EQ(BrisaApi_Start(1), -1) << "uninitialised";
  EXPECT_EQ(g_voice.bad_counts.load(), 0);

  ASSERT_NE(BrisaApi_Init(0, VoiceBlock, &g_voice), 0);
  ASSERT_EQ(BrisaApi_AddPlayChannel(0, VoiceRequest), 0);
  g_voice.slow_request_ms = 200;
  ASSERT_EQ(BrisaApi_Start(0), 0);
  ASSERT_TRUE(WaitFor([] { return g_voice.in_request.load(); }, 10)) << "no play request";
  std::atomic<bool> stopped{false};
  std::thread stopper([&] { BrisaApi_Stop(), stopped = true; });
  if (!WaitFor([&] { return stopped.load(); }, 10)) {
    fprintf(stderr, "BrisaApi_Stop deadlocked against a BrisaApi_PutPlayData from its callback\n");
    daemon_.Kill();
    _Exit(1);
  }
  stopper.join();
  g_voice.slow_request_ms = 0;
  EXPECT_EQ(BrisaApi_Uninit(), 0);
}

// A stopped server (it accepts connections but never answers): every call
// of every library returns within 1.5 s (a hang bound: below the 2 s a
// connection attempt may take, above a sanitizer build's slowest call seen,
// 1.01 s); once the server wakes up, the voice path records.
TEST_F(Pulse, EveryCallReturnsWhileTheServerIsStalled) {
  MicFeeder feeder(daemon_.fifo());
  daemon_.Signal(SIGSTOP);
  double slowest = 0;
  std::string slowest_call;
  auto timed = [&](const char *name, const std::function<void()> &call) {
    const double t0 = Now();
    call();
    if (Now() - t0 > slowest) slowest = Now() - t0, slowest_call = name;
  };
  void *e = nullptr;
  int16_t block[320] = {};
  timed("MMDevApi_CoInitialize", [] { MMDevApi_CoInitialize(nullptr); });
  timed("MMDevApi_CreateDeviceEnumerator", [&] { MMDevApi_CreateDeviceEnumerator(&e); });
  timed("MMDevApi_Release", [&] { MMDevApi_Release(e); });
  timed("MMDevApi_CoUninitialize", [] { MMDevApi_CoUninitialize(); });
  timed("fnMirelDll_Init", [] { fnMirelDll_Init([](uint8_t *, int32_t) {}, 16000, 1); });
  timed("fnMirelDll_UnInit", [] { fnMirelDll_UnInit(); });
  timed("tovan_init", [] { tovan_init([](uint8_t *, int32_t) {}); });
  timed("tovan_uninit", [] { tovan_uninit(); });
  timed("BrisaApi_Init", [] { BrisaApi_Init(0, VoiceBlock, &g_voice); });
  timed("BrisaApi_Start", [] { BrisaApi_Start(1); });
  timed("BrisaApi_PutPlayData", [&] { BrisaApi_PutPlayData(0, block, 320); });
  timed("BrisaApi_Stop", [] { BrisaApi_Stop(); });
  timed("BrisaApi_Start again", [] { BrisaApi_Start(1); });
  usleep(300000);  // connection attempts under way
  EXPECT_LT(slowest, 1.5) << slowest_call;
  const int blocks = g_voice.blocks;
  daemon_.Signal(SIGCONT);
  EXPECT_TRUE(WaitFor([&] { return g_voice.blocks > blocks + 25; }, 15)) << "the voice path records once the server answers";
  timed("BrisaApi_Uninit", [] { BrisaApi_Uninit(); });
  EXPECT_LT(slowest, 1.5) << slowest_call;
}
