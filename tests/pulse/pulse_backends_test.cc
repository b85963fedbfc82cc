// The five PulseAudio back-end libraries through their C contracts, on a
// private daemon: endpoint counts, block sizes, voice flags, stops and a
// stalled server. Their signals are checked through the module
// (pulse_module_test.cc).
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
#include "pulse_daemon.h"
#include "signal_check.h"
#include "support/shell.h"

using namespace hxtest;

namespace {

// Render and capture counts of active endpoints, or -1s when enumeration fails.
std::pair<long, long> Counts() {
  void *e = nullptr, *c = nullptr;
  uint32_t n[2] = {0, 0};
  if (MMDevApi_CreateDeviceEnumerator(&e) < 0) return {-1, -1};
  for (int flow = 0; flow < 2; ++flow) {
    if (MMDevApi_EnumAudioEndpoints(e, flow, 1, &c) < 0 || MMDevApi_GetCount(c, &n[flow]) < 0) n[flow] = uint32_t(-1);
    MMDevApi_Release(c);
  }
  MMDevApi_Release(e);
  return {long(int32_t(n[0])), long(int32_t(n[1]))};
}

// What a capture callback received: the smallest and largest block.
struct Blocks {
  std::atomic<int32_t> min_len{INT32_MAX}, max_len{0};
  std::atomic<int> calls{0}, in_call{0}, sleep_ms{0};
  void Add(int32_t len) {
    in_call = 1;
    min_len = std::min(min_len.load(), len), max_len = std::max(max_len.load(), len);
    if (sleep_ms) usleep(useconds_t(sleep_ms * 1000));
    calls++;
    in_call = 0;
  }
};

// The voice path's callbacks: capture flags, play requests that hand over
// `far` 320 values at a time (after slow_request_ms), an Uninit from inside
// the capture callback on request.
struct Voice {
  std::mutex mu;
  std::vector<int> flags;
  std::atomic<int> blocks{0}, bad_counts{0}, requests{0}, slow_request_ms{0};
  std::atomic<bool> uninit_inside{false}, in_request{false};
  std::vector<int16_t> far;
  size_t far_pos = 0;
} g_voice;

void VoiceBlock(int16_t *s, int16_t count, uint8_t, void *user) {
  if (count != 320 || user != &g_voice) g_voice.bad_counts++;
  {
    std::lock_guard<std::mutex> lk(g_voice.mu);
    g_voice.flags.push_back((s[0] & 1) + 2 * (s[1] & 1));
  }
  g_voice.blocks++;
  if (g_voice.uninit_inside.exchange(false)) BrisaApi_Uninit();
}

void VoiceRequest(int32_t) {
  g_voice.requests++;
  if (const int ms = g_voice.slow_request_ms) g_voice.in_request = true, usleep(useconds_t(ms * 1000));
  std::lock_guard<std::mutex> lk(g_voice.mu);
  if (g_voice.far.empty()) return;
  BrisaApi_PutPlayData(0, g_voice.far.data() + g_voice.far_pos, 320);
  g_voice.far_pos = (g_voice.far_pos + 320) % g_voice.far.size();
}

class Pulse : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(daemon_.Start(), "") << "a real-device test needs its private PulseAudio daemon"; }
  PulseDaemon daemon_;
};

}  // namespace

// Endpoints: bad objects are refused with nothing written; spk (sink) and
// mic (source) count, spk.monitor does not; without a server enumeration
// fails, and the counts come back with it. Plain capture and system audio:
// the microphone in exact 640-byte blocks, system audio in blocks of at most
// 1920 bytes that the callee may overwrite; after UnInit returns, no
// callback runs, even one that was under way.
TEST_F(Pulse, EndpointsCountAndPlainCaptureAndSystemAudioComeInTheirBlocksAndStopCleanly) {
  void *e = nullptr, *c = reinterpret_cast<void *>(1);
  uint32_t n = 7;
  EXPECT_LT(MMDevApi_CreateDeviceEnumerator(nullptr), 0);
  // The library connects on first use (slow under the sanitizers).
  ASSERT_TRUE(WaitFor([&] { return MMDevApi_CreateDeviceEnumerator(&e) >= 0; }, 10)) << "no endpoint picture in 10 s";
  EXPECT_LT(MMDevApi_EnumAudioEndpoints(e, 2, 1, &c), 0);
  EXPECT_EQ(c, nullptr);
  EXPECT_LT(MMDevApi_GetCount(e, &n), 0) << "an enumerator is not a collection";
  EXPECT_EQ(n, 7u);
  MMDevApi_Release(e);
  MMDevApi_Release(nullptr);

  ASSERT_GE(MMDevApi_CoInitialize(nullptr), 0);
  auto counts_become = [](long render, long capture) {
    return WaitFor([&] { return Counts() == std::make_pair(render, capture); }, 10);
  };
  EXPECT_TRUE(counts_become(1, 1)) << Counts().first;
  daemon_.Kill();
  EXPECT_TRUE(counts_become(-1, -1)) << "no server: enumeration fails";
  ASSERT_EQ(daemon_.Launch(), "");
  EXPECT_TRUE(counts_become(1, 1)) << "reconnected";
  MMDevApi_CoUninitialize();

  // Both plain libraries side by side, as the module runs them.
  static Blocks mic, sys;  // outlive a callback that a failed check leaves running
  MicFeeder feeder(daemon_.fifo());
  SimpleStream player;
  ASSERT_EQ(player.Play("spk", 48000, 2, StereoTone(48000, 1000, 1000, 0, 8000)), "");
  ASSERT_NE(fnMirelDll_Init([](uint8_t *, int32_t len) { mic.Add(len); }, 16000, 1), 0);
  ASSERT_GE(tovan_init([](uint8_t *d, int32_t len) {
    sys.Add(len);
    memset(d, 0x55, size_t(len));  // the callee owns the buffer during the call
  }), 0);
  ASSERT_TRUE(WaitFor([] { return mic.calls > 10 && sys.calls > 10; }, 15)) << "no microphone or system audio blocks";
  tovan_uninit();
  const int sys_calls = sys.calls;
  EXPECT_EQ(mic.min_len.load(), 640);
  EXPECT_EQ(mic.max_len.load(), 640);
  EXPECT_GT(sys.min_len.load(), 0);
  EXPECT_LE(sys.max_len.load(), 1920);

  mic.sleep_ms = 100;
  ASSERT_TRUE(WaitFor([] { return mic.in_call.load() == 1; }, 5));
  fnMirelDll_UnInit();
  EXPECT_EQ(mic.in_call.load(), 0) << "UnInit returned while its callback ran";
  const int calls = mic.calls;
  usleep(300000);
  EXPECT_EQ(mic.calls.load(), calls) << "a callback after UnInit";
  EXPECT_EQ(sys.calls.load(), sys_calls) << "a system-audio callback after its uninit";
  EXPECT_EQ(fnMirelDll_UnInit(), 1) << "a second UnInit is harmless";
}

// Without a server the voice path still initialises at once and starts its
// streams when the server appears. Then: 320-sample blocks flagged voice
// during speech only; an Uninit from inside the capture callback returns,
// and no callback follows it. Initialised again: a stop that comes while a
// play-request callback is still handing over far end returns (the put does
// not wait behind the stop that waits for it); started again, it asks the
// module to select again when its streams fail (here: the speaker it plays
// to is unloaded).
TEST_F(Pulse, VoicePathStartsWithoutServerFlagsVoiceUninitsFromItsCallbackStopsDuringAPutAndReportsFailedStreams) {
  daemon_.Kill();
  g_voice.far = StereoTone(16000, 500, 1500, 6000, 3000);
  ASSERT_NE(BrisaApi_Init(0, VoiceBlock, &g_voice), 0) << "Init needs no server";
  ASSERT_EQ(BrisaApi_Start(1), 0);
  ASSERT_EQ(BrisaApi_AddPlayChannel(0, VoiceRequest), 0);
  ASSERT_EQ(daemon_.Launch(), "");
  MicFeeder feeder(daemon_.fifo());
  ASSERT_TRUE(WaitFor([] { return g_voice.blocks > 25 && g_voice.requests > 50; }, 10)) << "no blocks or play requests";
  std::vector<int16_t> speech = Speech16k();
  speech.resize(48000);
  const int first = g_voice.blocks;
  feeder.Queue(speech);
  ASSERT_TRUE(WaitFor([&] { return g_voice.blocks > first + 150 + 50; }, 20));

  g_voice.uninit_inside = true;
  ASSERT_TRUE(WaitFor([] { return !g_voice.uninit_inside; }, 5));
  const int blocks = g_voice.blocks;
  usleep(300000);
  EXPECT_EQ(g_voice.blocks.load(), blocks) << "a capture callback after Uninit";
  EXPECT_EQ(BrisaApi_Start(1), -1) << "uninitialised";
  EXPECT_EQ(BrisaApi_Stop(), 0);
  EXPECT_EQ(BrisaApi_Uninit(), 0);
  EXPECT_EQ(g_voice.bad_counts.load(), 0);
  {
    std::lock_guard<std::mutex> lk(g_voice.mu);
    EXPECT_EQ(std::count(g_voice.flags.begin() + 10, g_voice.flags.begin() + first, 1), 0) << "silence before the speech";
    EXPECT_GT(std::count(g_voice.flags.begin() + first, g_voice.flags.end(), 1), 40) << "blocks around 3 s of speech";
    EXPECT_EQ(std::count_if(g_voice.flags.begin(), g_voice.flags.end(), [](int f) { return f > 1; }), 0)
        << "bit 0 of sample 1 must stay 0";
  }

  auto flag = [] { return __atomic_load_n(&g_is_brisa_switch_to_wave, __ATOMIC_RELAXED); };
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

  __atomic_store_n(&g_is_brisa_switch_to_wave, 0, __ATOMIC_RELAXED);
  ASSERT_EQ(BrisaApi_Start(1), 0);
  const int again = g_voice.blocks, req = g_voice.requests;
  ASSERT_TRUE(WaitFor([&] { return g_voice.blocks > again + 5 && g_voice.requests > req + 5; }, 10));
  EXPECT_EQ(flag(), 0);
  ASSERT_EQ(daemon_.Pactl("unload-module module-null-sink"), 0);
  EXPECT_TRUE(WaitFor([&] { return flag() == 1; }, 10)) << "no switch request when the speaker went";
  EXPECT_EQ(BrisaApi_Uninit(), 0);
}

// A server that accepts connections but never answers (stopped): every call
// of every library returns promptly (1.5 s is a hang bound: below the 2 s a
// connection attempt may take, above a sanitizer build's slowest call on a
// busy machine, 1.01 s); once the server wakes up, the voice path records.
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

// Each library exports its contract and nothing else (the voice path also
// the two webrtc option keys of its linked canceller, unique symbols that
// must bind to the dependency's copies), and finds its neighbours through
// RUNPATH, never RPATH (which would beat LD_LIBRARY_PATH).
TEST(PulseLibraries, ExportOnlyTheirContractAndCarryRunpath) {
  const std::pair<const char *, const char *> libs[] = {
      {"libBrisaDll.so", "BrisaApi_AddPlayChannel BrisaApi_DelPlayChannel BrisaApi_Init BrisaApi_PutPlayData "
                         "BrisaApi_Start BrisaApi_Stop BrisaApi_Uninit "
                         "_ZZN6webrtc6Config10identifierINS_13DelayAgnosticEEEPvvE14id_placeholder "
                         "_ZZN6webrtc6Config10identifierINS_14ExtendedFilterEEEPvvE14id_placeholder "
                         "g_is_brisa_switch_to_wave "},
      {"libMirelDll.so", "fnMirelDll_Init fnMirelDll_UnInit "},
      {"libTovanDll.so", "tovan_init tovan_uninit "},
      {"libMMDevApi.so", "MMDevApi_CoInitialize MMDevApi_CoUninitialize MMDevApi_CreateDeviceEnumerator "
                         "MMDevApi_EnumAudioEndpoints MMDevApi_GetCount MMDevApi_Release "},
      {"libntdll.so", "RtlGetNtVersionNumbers "}};
  int status;
  for (const auto &lib : libs) {
    const std::string path = std::string(HX_LIB_DIR) + "/" + lib.first;
    EXPECT_EQ(Shell("nm -D --defined-only " + path + " | awk '{print $3}' | sort | tr '\\n' ' '", &status), lib.second);
    const std::string dynamic = Shell("readelf -d " + path, &status);
    EXPECT_NE(dynamic.find("(RUNPATH)"), std::string::npos) << path;
    EXPECT_EQ(dynamic.find("(RPATH)"), std::string::npos) << path;
  }
}
