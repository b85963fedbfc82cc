// The simulated audio world and its stand-in libraries, driven directly
// (without the module): call log, device API, deliveries, stop guarantees
// and real-time pacing.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backends/api/brisa_dll.h"
#include "backends/api/mirel_dll.h"
#include "backends/api/mmdevapi.h"
#include "backends/api/ntdll.h"
#include "backends/api/tovan_dll.h"
#include "hxsim.h"
#include "support/log_capture.h"

namespace {

// Several values compared in one expectation (a braced list evaluates in order).
using V = std::vector<int64_t>;
std::string CallLog() {
  std::string log(hxsim_call_log(nullptr, 0), '\0');
  hxsim_call_log(&log[0], log.size() + 1);
  return log;
}
hxsim_status Status() { hxsim_status st; return hxsim_get_status(&st), st; }
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// libBrisaDll.so is reached by dlopen, as the module reaches it.
void *g_brisa = nullptr;
#define BRISA(f) reinterpret_cast<BrisaApi_##f##_t>(dlsym(g_brisa, "BrisaApi_" #f))
int32_t *SwitchToWave() {
  return static_cast<int32_t *>(dlsym(g_brisa, "g_is_brisa_switch_to_wave"));
}
void LoadBrisa() {
  g_brisa = dlopen(HX_LIB_DIR "/libBrisaDll.so", RTLD_NOW);
  ASSERT_NE(g_brisa, nullptr) << dlerror();
  ASSERT_TRUE(BRISA(Init) && BRISA(Start) && BRISA(Stop) && BRISA(Uninit) &&
              BRISA(PutPlayData) && BRISA(AddPlayChannel) && SwitchToWave());
}
void UnloadBrisa() { if (g_brisa) dlclose(g_brisa), g_brisa = nullptr; }

class SimWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LoadBrisa());
    StopAll(), hxsim_set_manual(1);
  }
  void TearDown() override { StopAll(), UnloadBrisa(); }
  static void StopAll() {
    if (g_brisa && BRISA(Uninit)) BRISA(Uninit)();
    fnMirelDll_UnInit(), tovan_uninit(), hxsim_reset();
  }
};

// Recorders. The byte recorder overwrites its block, so the next block
// shows whether the world hands out fresh data each time.
std::atomic<int> g_calls{0}, g_count{0};
std::vector<int16_t> g_last(960);
void *g_user = nullptr;
std::vector<int32_t> g_requests;
void MicRecorder(int16_t *s, int16_t count, uint8_t, void *user) {
  if (count > 0) memcpy(g_last.data(), s, std::min<int>(count, 960) * 2);
  g_count = count, g_user = user, ++g_calls;
}
void BytesRecorder(uint8_t *data, int32_t len) {
  if (len > 0) memcpy(g_last.data(), data, std::min(len, 1920));
  memset(data, 0x55, len);
  g_count = len, ++g_calls;
}
void PlayRecorder(int32_t no) { g_requests.push_back(no); }
int Flag() { return (g_last[0] & 1) + 2 * (g_last[1] & 1); }

TEST_F(SimWorld, DeviceApiLogFailureStepsObjectAccountingAndReset) {
  hxsim_set_endpoints(2, 3);
  void *en = nullptr, *coll[2] = {};
  uint32_t n[2] = {};
  EXPECT_GE(MMDevApi_CoInitialize(nullptr), 0);
  ASSERT_EQ(MMDevApi_CreateDeviceEnumerator(&en), 0);
  for (int flow : {0, 1}) ASSERT_EQ(MMDevApi_EnumAudioEndpoints(en, flow, 1, &coll[flow]), 0);
  hxsim_set_endpoints(0, 0);  // a collection is a snapshot
  EXPECT_EQ((V{MMDevApi_GetCount(coll[0], &n[0]), MMDevApi_GetCount(coll[1], &n[1]), n[0], n[1],
               hxsim_device_objects_alive()}), (V{0, 0, 2, 3, 3}));
  for (void *o : {coll[0], coll[1], en}) MMDevApi_Release(o);
  MMDevApi_CoUninitialize();
  EXPECT_EQ(hxsim_device_objects_alive(), 0);
  EXPECT_EQ(CallLog(),
            "MMDevApi_CoInitialize()\nMMDevApi_CreateDeviceEnumerator()\n"
            "MMDevApi_EnumAudioEndpoints(0,1)\nMMDevApi_EnumAudioEndpoints(1,1)\n"
            "MMDevApi_GetCount()\nMMDevApi_GetCount()\nMMDevApi_Release()\n"
            "MMDevApi_Release()\nMMDevApi_Release()\nMMDevApi_CoUninitialize()\n");

  // Each step fails alone with the injected result and a null object (a
  // non-null one would be used below and change the sequence); nothing leaks.
  const int32_t hr = static_cast<int32_t>(0x88890008u);
  const V want[] = {{hr, 0}, {0, hr, 0, 0, 0}, {0, 0, hr, 0, 0, 0}, {0, 0, 0, hr, 0},
                    {0, 0, 0, 0, hr, 0}};  // results of each call, then objects alive
  for (int32_t step = HXSIM_FAIL_CREATE_ENUMERATOR; step <= HXSIM_FAIL_COUNT_CAPTURE; ++step) {
    hxsim_fail_device_api(step, hr);
    void *e = n, *c = n;
    V got{MMDevApi_CreateDeviceEnumerator(&e)};
    for (int flow = 0; e && flow < 2; ++flow) {
      got.push_back(MMDevApi_EnumAudioEndpoints(e, flow, 1, &c));
      if (c) got.push_back(MMDevApi_GetCount(c, n)), MMDevApi_Release(c);
    }
    if (e) MMDevApi_Release(e);
    got.push_back(hxsim_device_objects_alive());
    EXPECT_EQ(got, want[step - HXSIM_FAIL_CREATE_ENUMERATOR]) << "step " << step;
  }
  hxsim_fail_device_api(HXSIM_FAIL_NONE, 0);
  EXPECT_EQ(MMDevApi_CreateDeviceEnumerator(&en), 0);
  MMDevApi_Release(en);

  // A second release, or one of garbage, is caught; a released enumerator
  // is unusable.
  EXPECT_EQ(hxsim_device_bad_releases(), 0);
  MMDevApi_Release(en), MMDevApi_Release(n);
  EXPECT_LT(MMDevApi_EnumAudioEndpoints(en, 0, 1, &coll[0]), 0);
  EXPECT_EQ((V{hxsim_device_bad_releases(), hxsim_device_objects_alive(), coll[0] == nullptr}),
            (V{2, 0, 1}));

  // The OS version comes from the world; reset restores the defaults.
  void *nt = dlopen(HX_LIB_DIR "/libntdll.so", RTLD_NOW);
  auto get = reinterpret_cast<RtlGetNtVersionNumbers_t>(dlsym(nt, "RtlGetNtVersionNumbers"));
  ASSERT_TRUE(nt && get) << dlerror();
  auto world = [&] {
    uint32_t v[3] = {};
    get(&v[0], &v[1], &v[2]), hxsim_get_endpoints(&n[0], &n[1]);
    return V{v[0], v[1], v[2], n[0], n[1]};
  };
  hxsim_set_os_version(6, 1, 7601);
  EXPECT_EQ(world(), (V{6, 1, 7601, 0, 0}));
  hxsim_reset();
  EXPECT_EQ(world(), (V{10, 0, 19045, 1, 1}));
  EXPECT_EQ(CallLog(), "RtlGetNtVersionNumbers()\n");
  dlclose(nt);
}

TEST_F(SimWorld, BrisaLifecycleLogVoiceFlagsAndPlayRequests) {
  g_requests.clear();
  EXPECT_EQ((V{BRISA(Stop)(), BRISA(Uninit)()}), (V{0, 0}));  // safe before any Init
  hxsim_set_brisa_init_result(0);
  EXPECT_EQ((V{BRISA(Init)(0, MicRecorder, &g_calls), BRISA(Start)(1) < 0}), (V{0, 1}));
  hxsim_set_brisa_init_result(1);
  // Initialised, not started: nothing delivered.
  EXPECT_EQ((V{BRISA(Init)(0, MicRecorder, &g_calls) != 0, hxsim_pump_mic(1)}), (V{1, 0}));
  BRISA(Start)(1), BRISA(AddPlayChannel)(0, PlayRecorder);
  hxsim_status st = Status();
  EXPECT_EQ((V{st.brisa_initialised, st.brisa_started, st.brisa_play_channel}), (V{1, 1, 1}));

  // The signal arrives unchanged but for bit 0 of samples 0 and 1.
  std::vector<int16_t> tone(320 * 4);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i % 40) * 800 - 15997);
  hxsim_set_mic_pcm(tone.data(), tone.size(), 1);
  const int modes[][2] = {{HXSIM_VOICE_ALWAYS, 1}, {HXSIM_VOICE_NEVER, 0},
                          {HXSIM_VOICE_BREACH, 2}, {HXSIM_VOICE_AUTO, 1}};
  for (const auto &m : modes) {
    SCOPED_TRACE(m[0]);
    hxsim_set_voice_mode(m[0]);
    g_calls = 0, g_user = nullptr;
    EXPECT_EQ((V{hxsim_pump_mic(1), g_calls, g_count, g_user == &g_calls, Flag(),
                 g_last[0] & ~1}), (V{1, 1, 320, 1, m[1], tone[0] & ~1}));
    EXPECT_TRUE(std::equal(tone.begin() + 2, tone.begin() + 320, g_last.begin() + 2));
  }
  // Automatic detection: silence turns the flag off after a short hangover.
  hxsim_set_mic_pcm(nullptr, 0, 0);
  int voiced = 0;
  for (int i = 0; i < 20; ++i) voiced += hxsim_pump_mic(1) * Flag();
  EXPECT_TRUE(voiced >= 1 && voiced <= 10 && Flag() == 0) << voiced;

  EXPECT_EQ(hxsim_pump_play_requests(3), 3);
  BRISA(Start)(0);  // render only: play requests go on, the microphone stops
  EXPECT_EQ((V{hxsim_pump_mic(2), hxsim_pump_play_requests(1)}), (V{0, 1}));
  BRISA(Stop)();
  EXPECT_EQ((V{hxsim_pump_play_requests(1), Status().brisa_started, Status().brisa_play_channel}),
            (V{0, 0, 1}));
  // Raw deliveries pass size and content through as given; none after Uninit.
  BRISA(Start)(1);
  int16_t odd[321] = {7, 9};
  EXPECT_EQ((V{hxsim_deliver_brisa_block(odd, 321), g_count, g_last[0]}), (V{1, 321, 7}));
  BRISA(Uninit)();
  EXPECT_EQ((V{hxsim_deliver_brisa_block(odd, 320), hxsim_pump_play_requests(1)}), (V{0, 0}));
  // Requests are numbered from 1 in each session.
  BRISA(Init)(0, MicRecorder, nullptr), BRISA(Start)(1), BRISA(AddPlayChannel)(0, PlayRecorder);
  hxsim_pump_play_requests(1);
  EXPECT_EQ(g_requests, (std::vector<int32_t>{1, 2, 3, 4, 1}));
  EXPECT_EQ(CallLog(),
            "BrisaApi_Stop()\nBrisaApi_Uninit()\nBrisaApi_Init(0)\nBrisaApi_Start(1)\n"
            "BrisaApi_Init(0)\nBrisaApi_Start(1)\nBrisaApi_AddPlayChannel(0)\n"
            "BrisaApi_Start(0)\nBrisaApi_Stop()\nBrisaApi_Start(1)\nBrisaApi_Uninit()\n"
            "BrisaApi_Init(0)\nBrisaApi_Start(1)\nBrisaApi_AddPlayChannel(0)\n");
}

TEST_F(SimWorld, PlayedAudioStoreAndSwitchToWaveAcrossReload) {
  std::vector<int16_t> a(640), got(2000000);
  for (int i = 0; i < 640; ++i) a[i] = static_cast<int16_t>(i < 320 ? i : 320 - i);
  // Accepted without Init, counted, not logged, handed back in order.
  EXPECT_EQ((V{BRISA(PutPlayData)(0, a.data(), 320), BRISA(PutPlayData)(0, &a[320], 320),
               Status().put_play_calls, Status().put_play_samples}), (V{0, 0, 2, 640}));
  EXPECT_EQ(CallLog(), "");
  EXPECT_EQ((V{int64_t(hxsim_take_played(got.data(), 500)),
               int64_t(hxsim_take_played(&got[500], 1000)),
               int64_t(hxsim_take_played(&got[640], 1000))}), (V{500, 140, 0}));
  EXPECT_TRUE(std::equal(a.begin(), a.end(), got.begin()));
  // The store keeps the newest 60 s (1 920 000 samples) only.
  for (int k = 0; k < 61; ++k) {
    std::vector<int16_t> block(32000, static_cast<int16_t>(k));
    BRISA(PutPlayData)(0, block.data(), 32000);
  }
  EXPECT_EQ((V{int64_t(hxsim_take_played(got.data(), got.size())), got[0], got[1919999]}),
            (V{1920000, 1, 60}));

  // g_is_brisa_switch_to_wave: written into the loaded library, cleared
  // there by the module, kept by the world across unload and reload.
  hxsim_set_brisa_switch_to_wave(1);
  EXPECT_EQ((V{hxsim_brisa_loaded(), *SwitchToWave()}), (V{1, 1}));
  *SwitchToWave() = 0;
  EXPECT_EQ(hxsim_get_brisa_switch_to_wave(), 0);
  hxsim_set_brisa_switch_to_wave(1);
  UnloadBrisa();
  EXPECT_EQ((V{hxsim_brisa_loaded(), hxsim_get_brisa_switch_to_wave()}), (V{0, 1}));
  ASSERT_NO_FATAL_FAILURE(LoadBrisa());
  EXPECT_EQ(*SwitchToWave(), 1);
  hxsim_reset();
  EXPECT_EQ(*SwitchToWave(), 0);
}

// Writes a 16-bit PCM WAV file.
std::string WriteWav(const char *name, uint32_t rate, uint32_t channels,
                     const std::vector<int16_t> &pcm) {
  std::string path = "/tmp/hxsim_" + std::to_string(getpid()) + "_" + name, h;
  auto put = [&h](uint32_t v, int bytes) { h.append(reinterpret_cast<char *>(&v), bytes); };
  uint32_t data = static_cast<uint32_t>(pcm.size() * 2);
  h += "RIFF", put(36 + data, 4), h += "WAVEfmt ", put(16, 4), put(1, 2), put(channels, 2);
  put(rate, 4), put(rate * channels * 2, 4), put(channels * 2, 2), put(16, 2);
  h += "data", put(data, 4);
  FILE *f = fopen(path.c_str(), "wb");
  fwrite(h.data(), 1, h.size(), f), fwrite(pcm.data(), 2, pcm.size(), f), fclose(f);
  return path;
}

TEST_F(SimWorld, MirelTovanAndWavSignals) {
  std::vector<int16_t> pcm(640), sys(480 * 2, 1234);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(i * 3 + 1);
  hxsim_set_mic_pcm(pcm.data(), pcm.size(), 0);
  hxsim_set_mirel_init_result(0);
  EXPECT_EQ((V{fnMirelDll_Init(BytesRecorder, 16000, 1), hxsim_pump_mic(1)}), (V{0, 0}));
  hxsim_set_mirel_init_result(1);
  EXPECT_EQ((V{fnMirelDll_Init(BytesRecorder, 16000, 1) != 0, hxsim_pump_mic(2), g_count,
               g_last[0]}), (V{1, 2, 640, pcm[320]}));
  EXPECT_EQ(hxsim_pump_mic(1), 1);  // past the end of a non-looping signal: silence
  EXPECT_TRUE(std::all_of(g_last.begin(), g_last.begin() + 320, [](int16_t s) { return !s; }));
  fnMirelDll_UnInit();

  hxsim_set_sys_pcm(sys.data(), 480, 1);
  hxsim_set_tovan_init_result(-5);
  EXPECT_EQ((V{tovan_init(BytesRecorder), hxsim_pump_sys(1)}), (V{-5, 0}));
  hxsim_set_tovan_init_result(0);
  g_calls = 0;
  EXPECT_EQ((V{tovan_init(BytesRecorder), hxsim_pump_sys(2), g_calls, g_count, g_last[0]}),
            (V{0, 2, 2, 1920, 1234}));
  uint8_t raw[7] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ((V{hxsim_deliver_tovan_bytes(raw, 7), g_count}), (V{1, 7}));
  tovan_uninit();
  EXPECT_EQ((V{hxsim_deliver_tovan_bytes(raw, 7), Status().mic_blocks, Status().sys_blocks}),
            (V{0, 3, 3}));
  EXPECT_EQ(CallLog(),
            "fnMirelDll_Init(16000,1)\nfnMirelDll_Init(16000,1)\nfnMirelDll_UnInit()\n"
            "tovan_init()\ntovan_init()\ntovan_uninit()\n");

  std::string rate = WriteWav("rate.wav", 44100, 1, pcm), stereo = WriteWav("2.wav", 16000, 2, pcm);
  std::string mic = WriteWav("mic.wav", 16000, 1, pcm), sys48 = WriteWav("sys.wav", 48000, 2, pcm);
  const struct {
    int32_t (*set)(const char *, int);
    std::string path, reason;
  } refused[] = {{hxsim_set_mic_wav, rate, "16000 Hz required"},
                 {hxsim_set_mic_wav, stereo, "channel"},
                 {hxsim_set_sys_wav, mic, "48000 Hz required"},
                 {hxsim_set_mic_wav, "/nonexistent/x.wav", "/nonexistent/x.wav"}};
  for (const auto &k : refused) {
    EXPECT_EQ(k.set(k.path.c_str(), 0), -1) << k.path;
    EXPECT_NE(std::string(hxsim_last_error()).find(k.reason), std::string::npos)
        << hxsim_last_error();
  }
  ASSERT_EQ(hxsim_set_mic_wav(mic.c_str(), 1), 0);
  fnMirelDll_Init(BytesRecorder, 16000, 1);
  // Blocks 2 and 3 of a looping file: its second half, then its start again.
  EXPECT_TRUE(hxsim_pump_mic(2) && std::equal(pcm.begin() + 320, pcm.end(), g_last.begin()));
  EXPECT_TRUE(hxsim_pump_mic(1) && std::equal(pcm.begin(), pcm.begin() + 320, g_last.begin()));
  ASSERT_EQ(hxsim_set_sys_wav(sys48.c_str(), 0), 0);
  tovan_init(BytesRecorder);
  EXPECT_TRUE(hxsim_pump_sys(1) && std::equal(pcm.begin(), pcm.end(), g_last.begin()));
  for (auto *p : {&rate, &stereo, &mic, &sys48}) unlink(p->c_str());
}

std::atomic<int> g_in_callback{0}, g_after_stop{0}, g_self_stops{0};
std::atomic<bool> g_stopped{false};
void SlowBytes(uint8_t *, int32_t) {
  if (g_stopped) ++g_after_stop;
  g_in_callback = 1, SleepMs(150), g_in_callback = 0;
}
void SlowBrisa(int16_t *, int16_t, uint8_t, void *) { SlowBytes(nullptr, 0); }
void SlowPlay(int32_t) { SlowBytes(nullptr, 0); }
void StopsBrisaFromCapture(int16_t *, int16_t, uint8_t, void *) { BRISA(Stop)(), ++g_self_stops; }
void UninitsBrisaFromPlay(int32_t) { BRISA(Uninit)(), ++g_self_stops; }
void UninitsTovanFromCallback(uint8_t *, int32_t) { tovan_uninit(), ++g_self_stops; }

TEST_F(SimWorld, StopWaitsForRunningCallbacksExceptFromInsideOne) {
  using Fn = std::function<int()>;
  // Stops while a slow callback runs, delivered by `pump` on another thread
  // or (pump empty) by the world's own thread.
  auto check = [](const char *what, Fn start, Fn pump, Fn stop) {
    SCOPED_TRACE(what);
    g_in_callback = g_after_stop = 0;
    g_stopped = false;
    hxsim_set_manual(pump ? 1 : 0);
    start();
    std::thread deliverer([&] { if (pump) pump(); });
    EXPECT_TRUE(WaitUntil([] { return g_in_callback.load() == 1; }, 5000));
    stop();
    g_stopped = true;
    EXPECT_EQ(g_in_callback, 0) << "stop returned while the callback ran";
    deliverer.join();
    SleepMs(50);
    EXPECT_EQ((V{pump ? pump() : 0, g_after_stop}), (V{0, 0}));
  };
  Fn pump_mic = [] { return hxsim_pump_mic(1); };
  check("mirel", [] { return fnMirelDll_Init(SlowBytes, 16000, 1); }, pump_mic, fnMirelDll_UnInit);
  check("tovan", [] { return tovan_init(SlowBytes); }, [] { return hxsim_pump_sys(1); },
        tovan_uninit);
  check("brisa capture", [] { return BRISA(Init)(0, SlowBrisa, nullptr), BRISA(Start)(1); },
        pump_mic, BRISA(Stop));
  check("brisa play", [] { return BRISA(Start)(0), BRISA(AddPlayChannel)(0, SlowPlay); },
        [] { return hxsim_pump_play_requests(1); }, BRISA(Uninit));
  check("tovan, world thread", [] { return tovan_init(SlowBytes); }, nullptr, tovan_uninit);

  // A stop from inside its own callback returns at once and only marks it.
  g_self_stops = 0;
  hxsim_set_manual(1);
  BRISA(Init)(0, StopsBrisaFromCapture, nullptr), BRISA(Start)(1);
  EXPECT_EQ(hxsim_pump_mic(3), 1);
  BRISA(Start)(0), BRISA(AddPlayChannel)(0, UninitsBrisaFromPlay);
  EXPECT_EQ((V{hxsim_pump_play_requests(3), Status().brisa_initialised}), (V{1, 0}));
  hxsim_set_manual(0);
  int64_t sys_before = Status().sys_blocks;
  tovan_init(UninitsTovanFromCallback);
  ASSERT_TRUE(WaitUntil([] { return g_self_stops.load() == 3; }, 5000));
  EXPECT_EQ((V{Status().tovan_running, Status().sys_blocks - sys_before}), (V{0, 1}));
}

std::atomic<int> g_rt_mic{0}, g_rt_sys{0}, g_rt_req{0};
void RtBrisa(int16_t *, int16_t count, uint8_t, void *) { g_rt_mic += count == 320; }
void RtMirel(uint8_t *, int32_t len) { g_rt_mic += len == 640; }
void RtPlay(int32_t) { ++g_rt_req; }
void RtSys(uint8_t *, int32_t len) { g_rt_sys += len == 1920; }
double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(SimWorld, RealTimeDeliveryKeepsItsRateAndForkedChildHasItsOwnThreads) {
  g_rt_mic = g_rt_sys = g_rt_req = 0;
  hxsim_set_manual(0);
  auto t0 = std::chrono::steady_clock::now();
  BRISA(Init)(0, RtBrisa, nullptr), BRISA(Start)(1), BRISA(AddPlayChannel)(0, RtPlay);
  tovan_init(RtSys);
  ASSERT_TRUE(WaitUntil([] { return g_rt_mic.load() >= 25; }, 10000));
  BRISA(Uninit)(), tovan_uninit();  // nothing arrives after the stops
  double ms = MsSince(t0);
  int mic = g_rt_mic, sys = g_rt_sys, req = g_rt_req;
  // Never faster than the clock (no bursts); the 10 ms streams keep up
  // roughly with the 20 ms one.
  EXPECT_TRUE(mic <= ms / 20 + 2 && sys <= ms / 10 + 2 && req <= ms / 10 + 2)
      << mic << " " << sys << " " << req << " in " << ms << " ms";
  EXPECT_TRUE(sys >= 25 && req >= 25) << sys << " " << req;
  hxsim_status st = Status();
  EXPECT_EQ((V{st.mic_blocks, st.sys_blocks, st.play_requests}), (V{mic, sys, req}));

  // The Mirel path keeps the same pace; manual mode silences world threads
  // at once.
  g_rt_mic = 0;
  t0 = std::chrono::steady_clock::now();
  fnMirelDll_Init(RtMirel, 16000, 1);
  ASSERT_TRUE(WaitUntil([] { return g_rt_mic.load() >= 20; }, 10000));
  hxsim_set_manual(1);
  EXPECT_LE(g_rt_mic.load(), MsSince(t0) / 20 + 2);
  int frozen = g_rt_mic;
  SleepMs(50);
  EXPECT_EQ(g_rt_mic, frozen);
  fnMirelDll_UnInit();

#ifndef __SANITIZE_THREAD__  // ThreadSanitizer forbids threads in a forked child
  hxsim_set_manual(0);
  tovan_init(RtSys);
  ASSERT_TRUE(WaitUntil([sys] { return g_rt_sys.load() > sys; }, 5000));
  pid_t pid = fork();
  if (pid == 0) {
    int before = g_rt_sys;
    _exit(WaitUntil([before] { return g_rt_sys.load() >= before + 5; }, 5000) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

}  // namespace
