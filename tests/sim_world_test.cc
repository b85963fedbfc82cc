// The simulated audio world and its stand-in libraries, driven directly
// (without the module): call log, device API, deliveries, stop guarantees
// and real-time pacing.
#include <dlfcn.h>
#include <sys/wait.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

std::string CallLog() {
  std::vector<char> buf(hxsim_call_log(nullptr, 0) + 1);
  hxsim_call_log(buf.data(), buf.size());
  return std::string(buf.data());
}

// libBrisaDll.so is reached by dlopen, as the module reaches it.
struct Brisa {
  void *handle = nullptr;
  BrisaApi_Uninit_t Uninit;
  BrisaApi_Init_t Init;
  BrisaApi_Start_t Start;
  BrisaApi_Stop_t Stop;
  BrisaApi_PutPlayData_t PutPlayData;
  BrisaApi_AddPlayChannel_t AddPlayChannel;
  BrisaApi_DelPlayChannel_t DelPlayChannel;
  int32_t *switch_to_wave;

  void Load() {
    handle = dlopen(HX_LIB_DIR "/libBrisaDll.so", RTLD_NOW);
    ASSERT_NE(handle, nullptr) << dlerror();
    Uninit = reinterpret_cast<BrisaApi_Uninit_t>(dlsym(handle, "BrisaApi_Uninit"));
    Init = reinterpret_cast<BrisaApi_Init_t>(dlsym(handle, "BrisaApi_Init"));
    Start = reinterpret_cast<BrisaApi_Start_t>(dlsym(handle, "BrisaApi_Start"));
    Stop = reinterpret_cast<BrisaApi_Stop_t>(dlsym(handle, "BrisaApi_Stop"));
    PutPlayData = reinterpret_cast<BrisaApi_PutPlayData_t>(dlsym(handle, "BrisaApi_PutPlayData"));
    AddPlayChannel =
        reinterpret_cast<BrisaApi_AddPlayChannel_t>(dlsym(handle, "BrisaApi_AddPlayChannel"));
    DelPlayChannel =
        reinterpret_cast<BrisaApi_DelPlayChannel_t>(dlsym(handle, "BrisaApi_DelPlayChannel"));
    switch_to_wave = static_cast<int32_t *>(dlsym(handle, "g_is_brisa_switch_to_wave"));
    ASSERT_TRUE(Uninit && Init && Start && Stop && PutPlayData && AddPlayChannel &&
                DelPlayChannel && switch_to_wave);
  }
  void Unload() {
    if (handle) dlclose(handle);
    handle = nullptr;
  }
};

class SimWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(brisa_.Load());
    brisa_.Uninit();
    fnMirelDll_UnInit();
    tovan_uninit();
    hxsim_reset();
    hxsim_set_manual(1);
  }
  void TearDown() override {
    if (brisa_.handle) brisa_.Uninit();
    fnMirelDll_UnInit();
    tovan_uninit();
    brisa_.Unload();
    hxsim_reset();
  }
  Brisa brisa_;
};

// ---- callbacks recording what they receive ----

struct MicRecord {
  std::atomic<int> calls{0};
  std::atomic<int> count{0};
  std::vector<int16_t> last = std::vector<int16_t>(320);
  std::atomic<int> user_ok{0};
} g_mic;

void BrisaRecorder(int16_t *samples, int16_t count, uint8_t, void *user) {
  g_mic.count = count;
  if (count > 0) memcpy(g_mic.last.data(), samples, std::min<int>(count, 320) * sizeof(int16_t));
  if (user == &g_mic) ++g_mic.user_ok;
  ++g_mic.calls;
}

std::vector<int32_t> g_requests;
void PlayRecorder(int32_t no) { g_requests.push_back(no); }

std::atomic<int> g_bytes_calls{0};
std::atomic<int> g_bytes_len{0};
std::vector<uint8_t> g_bytes_last(1920);
void BytesRecorder(uint8_t *data, int32_t len) {
  g_bytes_len = len;
  if (len > 0 && len <= 1920) memcpy(g_bytes_last.data(), data, len);
  memset(data, 0x55, len);  // the callee may scale in place: next block must be fresh
  ++g_bytes_calls;
}

int Flag(const std::vector<int16_t> &b) { return (b[0] & 1) + 2 * (b[1] & 1); }

// ---- tests ----

TEST_F(SimWorld, DeviceApiCountsLogsAndAccountsObjects) {
  hxsim_set_endpoints(2, 3);
  uint32_t r = 0, c = 0;
  hxsim_get_endpoints(&r, &c);
  EXPECT_EQ(r, 2u);
  EXPECT_EQ(c, 3u);

  EXPECT_GE(MMDevApi_CoInitialize(nullptr), 0);
  void *en = nullptr, *render = nullptr, *capture = nullptr;
  ASSERT_GE(MMDevApi_CreateDeviceEnumerator(&en), 0);
  ASSERT_GE(MMDevApi_EnumAudioEndpoints(en, 0, 1, &render), 0);
  uint32_t count = 0;
  ASSERT_GE(MMDevApi_GetCount(render, &count), 0);
  EXPECT_EQ(count, 2u);
  ASSERT_GE(MMDevApi_EnumAudioEndpoints(en, 1, 1, &capture), 0);
  hxsim_set_endpoints(0, 0);  // a collection is a snapshot
  ASSERT_GE(MMDevApi_GetCount(capture, &count), 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(hxsim_device_objects_alive(), 3);
  MMDevApi_Release(render);
  MMDevApi_Release(capture);
  MMDevApi_Release(en);
  MMDevApi_CoUninitialize();
  EXPECT_EQ(hxsim_device_objects_alive(), 0);
  EXPECT_EQ(hxsim_device_bad_releases(), 0);
  EXPECT_EQ(CallLog(),
            "MMDevApi_CoInitialize()\n"
            "MMDevApi_CreateDeviceEnumerator()\n"
            "MMDevApi_EnumAudioEndpoints(0,1)\n"
            "MMDevApi_GetCount()\n"
            "MMDevApi_EnumAudioEndpoints(1,1)\n"
            "MMDevApi_GetCount()\n"
            "MMDevApi_Release()\n"
            "MMDevApi_Release()\n"
            "MMDevApi_Release()\n"
            "MMDevApi_CoUninitialize()\n");

  // A second release of the same object, or of garbage, is caught.
  MMDevApi_Release(en);
  int not_an_object = 0;
  MMDevApi_Release(&not_an_object);
  EXPECT_EQ(hxsim_device_bad_releases(), 2);
  EXPECT_EQ(hxsim_device_objects_alive(), 0);
  // Using a released enumerator fails.
  void *coll = &not_an_object;
  EXPECT_LT(MMDevApi_EnumAudioEndpoints(en, 0, 1, &coll), 0);
  EXPECT_EQ(coll, nullptr);
}

TEST_F(SimWorld, DeviceApiFailureInjectionPerStep) {
  const int32_t hr = static_cast<int32_t>(0x88890008u);
  struct {
    int32_t step;
    bool enum_fails, render_count_fails, capture_enum_fails, capture_count_fails;
  } cases[] = {
      {HXSIM_FAIL_CREATE_ENUMERATOR, false, false, false, false},
      {HXSIM_FAIL_ENUM_RENDER, true, false, false, false},
      {HXSIM_FAIL_COUNT_RENDER, false, true, false, false},
      {HXSIM_FAIL_ENUM_CAPTURE, false, false, true, false},
      {HXSIM_FAIL_COUNT_CAPTURE, false, false, false, true},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.step);
    hxsim_fail_device_api(k.step, hr);
    void *en = nullptr;
    int32_t res = MMDevApi_CreateDeviceEnumerator(&en);
    if (k.step == HXSIM_FAIL_CREATE_ENUMERATOR) {
      EXPECT_EQ(res, hr);
      EXPECT_EQ(en, nullptr);
      EXPECT_EQ(hxsim_device_objects_alive(), 0);
      continue;
    }
    ASSERT_EQ(res, 0);
    void *rc = nullptr, *cc = nullptr;
    uint32_t n = 99;
    EXPECT_EQ(MMDevApi_EnumAudioEndpoints(en, 0, 1, &rc), k.enum_fails ? hr : 0);
    if (rc) {
      EXPECT_EQ(MMDevApi_GetCount(rc, &n), k.render_count_fails ? hr : 0);
    }
    EXPECT_EQ(MMDevApi_EnumAudioEndpoints(en, 1, 1, &cc), k.capture_enum_fails ? hr : 0);
    if (cc) {
      EXPECT_EQ(MMDevApi_GetCount(cc, &n), k.capture_count_fails ? hr : 0);
    }
    if (rc) MMDevApi_Release(rc);
    if (cc) MMDevApi_Release(cc);
    MMDevApi_Release(en);
    EXPECT_EQ(hxsim_device_objects_alive(), 0);
  }
  hxsim_fail_device_api(HXSIM_FAIL_NONE, 0);
  void *en = nullptr;
  EXPECT_EQ(MMDevApi_CreateDeviceEnumerator(&en), 0);
  MMDevApi_Release(en);
  EXPECT_EQ(hxsim_device_bad_releases(), 0);
}

TEST_F(SimWorld, ResetRestoresDefaultsAndOsVersionComesFromTheWorld) {
  void *nt = dlopen(HX_LIB_DIR "/libntdll.so", RTLD_NOW);
  ASSERT_NE(nt, nullptr) << dlerror();
  auto get = reinterpret_cast<RtlGetNtVersionNumbers_t>(dlsym(nt, "RtlGetNtVersionNumbers"));
  ASSERT_NE(get, nullptr);
  uint32_t major = 0, minor = 0, build = 0;
  hxsim_set_os_version(6, 1, 7601);
  get(&major, &minor, &build);
  EXPECT_EQ(major, 6u);
  EXPECT_EQ(minor, 1u);
  EXPECT_EQ(build, 7601u);
  hxsim_set_endpoints(0, 5);
  hxsim_reset();
  get(&major, &minor, &build);
  EXPECT_EQ(major, 10u);
  EXPECT_EQ(minor, 0u);
  EXPECT_EQ(build, 19045u);
  uint32_t r = 0, c = 0;
  hxsim_get_endpoints(&r, &c);
  EXPECT_EQ(r, 1u);
  EXPECT_EQ(c, 1u);
  EXPECT_EQ(CallLog(), "RtlGetNtVersionNumbers()\n");
  dlclose(nt);
}

TEST_F(SimWorld, BrisaLifecycleLogVoiceFlagsAndPlayRequests) {
  hxsim_status st;
  // Safe in any state, before any Init.
  EXPECT_EQ(brisa_.Stop(), 0);
  EXPECT_EQ(brisa_.Uninit(), 0);

  hxsim_set_brisa_init_result(0);
  EXPECT_EQ(brisa_.Init(0, BrisaRecorder, &g_mic), 0);
  EXPECT_LT(brisa_.Start(1), 0);
  hxsim_get_status(&st);
  EXPECT_EQ(st.brisa_initialised, 0);
  hxsim_set_brisa_init_result(1);
  EXPECT_NE(brisa_.Init(0, BrisaRecorder, &g_mic), 0);
  EXPECT_EQ(hxsim_pump_mic(1), 0);  // initialised, not started
  brisa_.Start(1);
  brisa_.AddPlayChannel(0, PlayRecorder);
  hxsim_get_status(&st);
  EXPECT_EQ(st.brisa_initialised, 1);
  EXPECT_EQ(st.brisa_started, 1);
  EXPECT_EQ(st.brisa_play_channel, 1);

  // The signal arrives unchanged but for bit 0 of samples 0 and 1.
  std::vector<int16_t> tone(320 * 4);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i % 40) * 800 - 16000 + 3);
  hxsim_set_mic_pcm(tone.data(), tone.size(), 1);
  g_mic.user_ok = 0;
  struct {
    int32_t mode;
    int flag;
  } modes[] = {{HXSIM_VOICE_ALWAYS, 1},
               {HXSIM_VOICE_NEVER, 0},
               {HXSIM_VOICE_BREACH, 2},
               {HXSIM_VOICE_AUTO, 1}};
  for (const auto &m : modes) {
    SCOPED_TRACE(m.mode);
    hxsim_set_voice_mode(m.mode);
    g_mic.calls = 0;
    ASSERT_EQ(hxsim_pump_mic(1), 1);
    EXPECT_EQ(g_mic.calls, 1);
    EXPECT_EQ(g_mic.count, 320);
    EXPECT_EQ(g_mic.user_ok, 1);
    g_mic.user_ok = 0;
    EXPECT_EQ(Flag(g_mic.last), m.flag);
    for (int i = 2; i < 320; ++i) ASSERT_EQ(g_mic.last[i], tone[i]) << i;
    EXPECT_EQ(g_mic.last[0] & ~1, tone[0] & ~1);
  }
  // Automatic detection: silence turns the flag off after a short hangover.
  hxsim_set_mic_pcm(nullptr, 0, 0);
  int voiced = 0;
  for (int i = 0; i < 20; ++i) {
    hxsim_pump_mic(1);
    voiced += Flag(g_mic.last);
  }
  EXPECT_GE(voiced, 1);
  EXPECT_LE(voiced, 10);
  EXPECT_EQ(Flag(g_mic.last), 0);

  g_requests.clear();
  EXPECT_EQ(hxsim_pump_play_requests(3), 3);
  EXPECT_EQ(g_requests, (std::vector<int32_t>{1, 2, 3}));

  // Render only: play requests go on, the microphone stops.
  brisa_.Start(0);
  EXPECT_EQ(hxsim_pump_mic(2), 0);
  EXPECT_EQ(hxsim_pump_play_requests(1), 1);
  brisa_.Stop();
  EXPECT_EQ(hxsim_pump_play_requests(1), 0);
  hxsim_get_status(&st);
  EXPECT_EQ(st.brisa_started, 0);
  EXPECT_EQ(st.brisa_play_channel, 1);

  // Raw deliveries pass size and content through as given.
  brisa_.Start(1);
  int16_t odd[321] = {7, 9};
  EXPECT_EQ(hxsim_deliver_brisa_block(odd, 321), 1);
  EXPECT_EQ(g_mic.count, 321);
  EXPECT_EQ(g_mic.last[0], 7);
  brisa_.Uninit();
  EXPECT_EQ(hxsim_deliver_brisa_block(odd, 320), 0);
  EXPECT_EQ(hxsim_pump_play_requests(1), 0);

  // A new session numbers its requests from 1 again.
  brisa_.Init(0, BrisaRecorder, &g_mic);
  brisa_.Start(1);
  brisa_.AddPlayChannel(0, PlayRecorder);
  g_requests.clear();
  hxsim_pump_play_requests(1);
  EXPECT_EQ(g_requests, (std::vector<int32_t>{1}));

  EXPECT_EQ(CallLog(),
            "BrisaApi_Stop()\nBrisaApi_Uninit()\n"
            "BrisaApi_Init(0)\nBrisaApi_Start(1)\n"
            "BrisaApi_Init(0)\nBrisaApi_Start(1)\nBrisaApi_AddPlayChannel(0)\n"
            "BrisaApi_Start(0)\nBrisaApi_Stop()\nBrisaApi_Start(1)\nBrisaApi_Uninit()\n"
            "BrisaApi_Init(0)\nBrisaApi_Start(1)\nBrisaApi_AddPlayChannel(0)\n");
}

TEST_F(SimWorld, PutPlayDataIsCountedStoredAndNotLogged) {
  std::vector<int16_t> a(320), b(320);
  for (int i = 0; i < 320; ++i) {
    a[i] = static_cast<int16_t>(i);
    b[i] = static_cast<int16_t>(-i);
  }
  // Accepted without Init.
  EXPECT_EQ(brisa_.PutPlayData(0, a.data(), 320), 0);
  EXPECT_EQ(brisa_.PutPlayData(0, b.data(), 320), 0);
  hxsim_status st;
  hxsim_get_status(&st);
  EXPECT_EQ(st.put_play_calls, 2);
  EXPECT_EQ(st.put_play_samples, 640);
  EXPECT_EQ(CallLog(), "");
  std::vector<int16_t> got(1000);
  ASSERT_EQ(hxsim_take_played(got.data(), 500), 500u);
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[319], 319);
  EXPECT_EQ(got[320], 0);
  EXPECT_EQ(got[499], -179);
  ASSERT_EQ(hxsim_take_played(got.data(), 1000), 140u);
  EXPECT_EQ(got[139], -319);
  EXPECT_EQ(hxsim_take_played(got.data(), 1000), 0u);

  // The store keeps the newest 60 s (1 920 000 samples) only.
  std::vector<int16_t> block(32000);
  for (int k = 0; k < 61; ++k) {
    for (auto &s : block) s = static_cast<int16_t>(k);
    brisa_.PutPlayData(0, block.data(), static_cast<int32_t>(block.size()));
  }
  std::vector<int16_t> all(2000000);
  ASSERT_EQ(hxsim_take_played(all.data(), all.size()), 1920000u);
  EXPECT_EQ(all[0], 1);
  EXPECT_EQ(all[1919999], 60);
}

TEST_F(SimWorld, SwitchToWaveSurvivesUnloadAndReload) {
  ASSERT_EQ(hxsim_brisa_loaded(), 1);
  hxsim_set_brisa_switch_to_wave(1);
  EXPECT_EQ(*brisa_.switch_to_wave, 1);
  *brisa_.switch_to_wave = 0;  // the module clears it
  EXPECT_EQ(hxsim_get_brisa_switch_to_wave(), 0);
  hxsim_set_brisa_switch_to_wave(1);
  brisa_.Unload();
  EXPECT_EQ(hxsim_brisa_loaded(), 0);
  EXPECT_EQ(hxsim_get_brisa_switch_to_wave(), 1);
  ASSERT_NO_FATAL_FAILURE(brisa_.Load());
  EXPECT_EQ(*brisa_.switch_to_wave, 1);
  hxsim_reset();
  EXPECT_EQ(*brisa_.switch_to_wave, 0);
}

TEST_F(SimWorld, MirelAndTovanBlocksAndInitResults) {
  std::vector<int16_t> mic(320 * 2);
  for (size_t i = 0; i < mic.size(); ++i) mic[i] = static_cast<int16_t>(i);
  hxsim_set_mic_pcm(mic.data(), mic.size(), 0);
  hxsim_set_mirel_init_result(0);
  EXPECT_EQ(fnMirelDll_Init(BytesRecorder, 16000, 1), 0);
  EXPECT_EQ(hxsim_pump_mic(1), 0);
  hxsim_set_mirel_init_result(1);
  EXPECT_NE(fnMirelDll_Init(BytesRecorder, 16000, 1), 0);
  g_bytes_calls = 0;
  EXPECT_EQ(hxsim_pump_mic(3), 3);
  EXPECT_EQ(g_bytes_len, 640);
  // Third block: past the end of a non-looping signal, silence.
  EXPECT_EQ(g_bytes_last[0], 0);
  EXPECT_EQ(g_bytes_last[639], 0);
  fnMirelDll_UnInit();
  EXPECT_EQ(hxsim_pump_mic(1), 0);

  std::vector<int16_t> sys(480 * 2, 1234);
  hxsim_set_sys_pcm(sys.data(), 480, 1);
  hxsim_set_tovan_init_result(-5);
  EXPECT_EQ(tovan_init(BytesRecorder), -5);
  EXPECT_EQ(hxsim_pump_sys(1), 0);
  hxsim_set_tovan_init_result(0);
  EXPECT_EQ(tovan_init(BytesRecorder), 0);
  g_bytes_calls = 0;
  EXPECT_EQ(hxsim_pump_sys(2), 2);
  EXPECT_EQ(g_bytes_calls, 2);
  EXPECT_EQ(g_bytes_len, 1920);
  int16_t first = 0;
  memcpy(&first, g_bytes_last.data(), 2);
  EXPECT_EQ(first, 1234);  // the callback overwrote block 1; block 2 is fresh
  uint8_t raw[7] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(hxsim_deliver_tovan_bytes(raw, 7), 1);
  EXPECT_EQ(g_bytes_len, 7);
  tovan_uninit();
  EXPECT_EQ(hxsim_deliver_tovan_bytes(raw, 7), 0);
  hxsim_status st;
  hxsim_get_status(&st);
  EXPECT_EQ(st.mic_blocks, 3);
  EXPECT_EQ(st.sys_blocks, 3);
  EXPECT_EQ(CallLog(),
            "fnMirelDll_Init(16000,1)\nfnMirelDll_Init(16000,1)\nfnMirelDll_UnInit()\n"
            "tovan_init()\ntovan_init()\ntovan_uninit()\n");
}

// Writes a 16-bit PCM WAV file.
std::string WriteWav(const char *name, int rate, int channels, const std::vector<int16_t> &pcm) {
  std::string path = std::string("/tmp/hxsim_") + std::to_string(getpid()) + "_" + name;
  FILE *f = fopen(path.c_str(), "wb");
  uint32_t data_bytes = static_cast<uint32_t>(pcm.size() * 2);
  uint32_t riff = 36 + data_bytes, fmt_len = 16, byte_rate = rate * channels * 2;
  uint16_t pcm_tag = 1, ch = static_cast<uint16_t>(channels), align = ch * 2, bits = 16;
  uint32_t r = static_cast<uint32_t>(rate);
  fwrite("RIFF", 1, 4, f);
  fwrite(&riff, 4, 1, f);
  fwrite("WAVEfmt ", 1, 8, f);
  fwrite(&fmt_len, 4, 1, f);
  fwrite(&pcm_tag, 2, 1, f);
  fwrite(&ch, 2, 1, f);
  fwrite(&r, 4, 1, f);
  fwrite(&byte_rate, 4, 1, f);
  fwrite(&align, 2, 1, f);
  fwrite(&bits, 2, 1, f);
  fwrite("data", 1, 4, f);
  fwrite(&data_bytes, 4, 1, f);
  fwrite(pcm.data(), 2, pcm.size(), f);
  fclose(f);
  return path;
}

TEST_F(SimWorld, WavSignalsAreCheckedAndPlayed) {
  std::vector<int16_t> pcm(640);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(i * 3);
  std::string wrong_rate = WriteWav("rate.wav", 44100, 1, pcm);
  std::string stereo = WriteWav("stereo.wav", 16000, 2, pcm);
  std::string good = WriteWav("good.wav", 16000, 1, pcm);
  std::string sys = WriteWav("sys.wav", 48000, 2, pcm);

  EXPECT_EQ(hxsim_set_mic_wav(wrong_rate.c_str(), 0), -1);
  EXPECT_NE(std::string(hxsim_last_error()).find("16000 Hz required"), std::string::npos)
      << hxsim_last_error();
  EXPECT_EQ(hxsim_set_mic_wav(stereo.c_str(), 0), -1);
  EXPECT_NE(std::string(hxsim_last_error()).find("channel"), std::string::npos);
  EXPECT_EQ(hxsim_set_sys_wav(good.c_str(), 0), -1);
  EXPECT_NE(std::string(hxsim_last_error()).find("48000 Hz required"), std::string::npos);
  EXPECT_EQ(hxsim_set_mic_wav("/nonexistent/x.wav", 0), -1);
  EXPECT_NE(std::string(hxsim_last_error()).find("/nonexistent/x.wav"), std::string::npos);

  ASSERT_EQ(hxsim_set_mic_wav(good.c_str(), 1), 0);
  fnMirelDll_Init(BytesRecorder, 16000, 1);
  hxsim_pump_mic(2);  // second block: samples 320..639
  int16_t s[2];
  memcpy(s, g_bytes_last.data(), 4);
  EXPECT_EQ(s[0], pcm[320]);
  EXPECT_EQ(s[1], pcm[321]);
  hxsim_pump_mic(1);  // looped to the start
  memcpy(s, g_bytes_last.data(), 4);
  EXPECT_EQ(s[1], pcm[1]);

  ASSERT_EQ(hxsim_set_sys_wav(sys.c_str(), 0), 0);
  tovan_init(BytesRecorder);
  hxsim_pump_sys(1);
  memcpy(s, g_bytes_last.data() + 4, 4);
  EXPECT_EQ(s[0], pcm[2]);
  EXPECT_EQ(s[1], pcm[3]);
  for (auto *p : {&wrong_rate, &stereo, &good, &sys}) unlink(p->c_str());
}

// ---- stop guarantees ----

std::atomic<int> g_in_callback{0};
std::atomic<int> g_after_stop{0};
std::atomic<bool> g_stopped{false};

void SlowBytes(uint8_t *, int32_t) {
  if (g_stopped) ++g_after_stop;
  g_in_callback = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  g_in_callback = 0;
}

void SlowBrisa(int16_t *, int16_t, uint8_t, void *) { SlowBytes(nullptr, 0); }
void SlowPlay(int32_t) { SlowBytes(nullptr, 0); }

TEST_F(SimWorld, StopReturnsOnlyAfterRunningCallbacks) {
  auto check = [](const char *what, auto start, auto pump, auto stop) {
    SCOPED_TRACE(what);
    g_in_callback = 0;
    g_after_stop = 0;
    g_stopped = false;
    start();
    std::thread deliverer([&] { pump(); });
    ASSERT_TRUE(WaitUntil([] { return g_in_callback.load() == 1; }, 5000));
    stop();
    g_stopped = true;
    EXPECT_EQ(g_in_callback, 0) << "stop returned while the callback ran";
    deliverer.join();
    EXPECT_EQ(pump(), 0);
    EXPECT_EQ(g_after_stop, 0);
  };
  check("mirel", [] { fnMirelDll_Init(SlowBytes, 16000, 1); }, [] { return hxsim_pump_mic(1); },
        [] { fnMirelDll_UnInit(); });
  check("tovan", [] { tovan_init(SlowBytes); }, [] { return hxsim_pump_sys(1); },
        [] { tovan_uninit(); });
  Brisa &b = brisa_;
  check("brisa capture", [&] {
          b.Init(0, SlowBrisa, nullptr);
          b.Start(1);
        },
        [] { return hxsim_pump_mic(1); }, [&] { b.Stop(); });
  check("brisa play", [&] {
          b.Start(0);
          b.AddPlayChannel(0, SlowPlay);
        },
        [] { return hxsim_pump_play_requests(1); }, [&] { b.Uninit(); });

  // Same with the world's own threads.
  hxsim_set_manual(0);
  g_stopped = false;
  g_after_stop = 0;
  tovan_init(SlowBytes);
  ASSERT_TRUE(WaitUntil([] { return g_in_callback.load() == 1; }, 5000));
  tovan_uninit();
  g_stopped = true;
  EXPECT_EQ(g_in_callback, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(g_after_stop, 0);
}

Brisa *g_brisa = nullptr;
std::atomic<int> g_self_stops{0};
void StopsBrisaFromCapture(int16_t *, int16_t, uint8_t, void *) {
  g_brisa->Stop();
  ++g_self_stops;
}
void UninitsBrisaFromPlay(int32_t) {
  g_brisa->Uninit();
  ++g_self_stops;
}
void UninitsTovanFromCallback(uint8_t *, int32_t) {
  tovan_uninit();
  ++g_self_stops;
}

TEST_F(SimWorld, StopFromInsideItsOwnCallbackOnlyMarksIt) {
  g_brisa = &brisa_;
  g_self_stops = 0;
  brisa_.Init(0, StopsBrisaFromCapture, nullptr);
  brisa_.Start(1);
  EXPECT_EQ(hxsim_pump_mic(3), 1);
  brisa_.Start(0);
  brisa_.AddPlayChannel(0, UninitsBrisaFromPlay);
  EXPECT_EQ(hxsim_pump_play_requests(3), 1);
  hxsim_status st;
  hxsim_get_status(&st);
  EXPECT_EQ(st.brisa_initialised, 0);

  // From a world thread.
  hxsim_set_manual(0);
  tovan_init(UninitsTovanFromCallback);
  ASSERT_TRUE(WaitUntil([] { return g_self_stops.load() == 3; }, 5000));
  hxsim_get_status(&st);
  EXPECT_EQ(st.tovan_running, 0);
  EXPECT_EQ(st.sys_blocks, 1);
}

// ---- real-time pacing ----

std::atomic<int> g_rt_mic{0}, g_rt_sys{0}, g_rt_req{0};
void RtBrisa(int16_t *, int16_t count, uint8_t, void *) {
  if (count == 320) ++g_rt_mic;
}
void RtPlay(int32_t) { ++g_rt_req; }
void RtSys(uint8_t *, int32_t len) {
  if (len == 1920) ++g_rt_sys;
}

TEST_F(SimWorld, RealTimeDeliveryKeepsItsRate) {
  g_rt_mic = g_rt_sys = g_rt_req = 0;
  hxsim_set_manual(0);
  auto t0 = std::chrono::steady_clock::now();
  brisa_.Init(0, RtBrisa, nullptr);
  brisa_.Start(1);
  brisa_.AddPlayChannel(0, RtPlay);
  tovan_init(RtSys);
  ASSERT_TRUE(WaitUntil([] { return g_rt_mic.load() >= 25; }, 10000));
  // Stop everything before reading the counts: nothing arrives afterwards.
  brisa_.Uninit();
  tovan_uninit();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                  .count();
  int mic = g_rt_mic, sys = g_rt_sys, req = g_rt_req;
  // Never faster than the clock (no bursts); the 10 ms streams keep up
  // roughly with the 20 ms one.
  EXPECT_LE(mic, ms / 20 + 2) << ms;
  EXPECT_LE(sys, ms / 10 + 2) << ms;
  EXPECT_LE(req, ms / 10 + 2) << ms;
  EXPECT_GE(sys, 25);
  EXPECT_GE(req, 25);
  hxsim_status st;
  hxsim_get_status(&st);
  EXPECT_EQ(st.mic_blocks, mic);
  EXPECT_EQ(st.sys_blocks, sys);
  EXPECT_EQ(st.play_requests, req);

  // Over about one second: at least 20 and at most 80 microphone blocks.
  g_rt_mic = 0;
  fnMirelDll_Init([](uint8_t *, int32_t len) {
    if (len == 640) ++g_rt_mic;
  }, 16000, 1);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  fnMirelDll_UnInit();
  EXPECT_LE(g_rt_mic, 80);
  printf("real time: %d, %d, %d blocks in %.0f ms; %d in 1 s\n", mic, sys, req, ms,
         g_rt_mic.load());
  if (g_rt_mic < 20) {
    // A loaded machine may starve the world thread; it must still deliver.
    fnMirelDll_Init([](uint8_t *, int32_t) { ++g_rt_mic; }, 16000, 1);
    EXPECT_TRUE(WaitUntil([] { return g_rt_mic.load() >= 20; }, 10000));
    fnMirelDll_UnInit();
  }

  // Manual mode silences the world threads at once.
  tovan_init(RtSys);
  ASSERT_TRUE(WaitUntil([sys] { return g_rt_sys.load() > sys; }, 5000));
  hxsim_set_manual(1);
  int frozen = g_rt_sys;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(g_rt_sys, frozen);
}

TEST_F(SimWorld, ForkedChildHasItsOwnWorldThreads) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer forbids threads in a forked child";
#endif
  hxsim_set_manual(0);
  g_rt_sys = 0;
  tovan_init(RtSys);
  ASSERT_TRUE(WaitUntil([] { return g_rt_sys.load() > 0; }, 5000));
  pid_t pid = fork();
  if (pid == 0) {
    int before = g_rt_sys;
    bool more = WaitUntil([before] { return g_rt_sys.load() >= before + 5; }, 5000);
    tovan_uninit();
    _exit(more ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  tovan_uninit();
}

}  // namespace
