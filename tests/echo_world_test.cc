// The simulated world's echo path driven without the module: a play-request
// callback that answers with the next far-end block at once, stepped calls.
// The path is exact: an impulse played comes back where the delay, the
// render queue and the gain put it.
#include <dlfcn.h>
#include <math.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backends/api/brisa_dll.h"
#include "hxsim.h"
#include "support/speech.h"

namespace {

using V = std::vector<int64_t>;
void *g_brisa = nullptr;
#define BRISA(f) reinterpret_cast<BrisaApi_##f##_t>(dlsym(g_brisa, "BrisaApi_" #f))

std::vector<int16_t> g_far;  // mono far end, handed over 160 frames per request
size_t g_far_pos = 0;
std::vector<int16_t> g_delivered;  // what the voice path delivered (flag bits included)
std::vector<int> g_flags;

void Mic(int16_t *s, int16_t n, uint8_t, void *) {
  g_delivered.insert(g_delivered.end(), s, s + n);
  g_flags.push_back((s[0] & 1) + 2 * (s[1] & 1));
}
void Play(int32_t) {
  int16_t block[320];
  for (int i = 0; i < 160; ++i, ++g_far_pos)
    block[2 * i] = block[2 * i + 1] = g_far_pos < g_far.size() ? g_far[g_far_pos] : 0;
  BRISA(PutPlayData)(0, block, 320);
}

hxsim_echo_path Path(int delay_ms, double gain_db, int room, double drift_ppm, int cancel) {
  hxsim_echo_path p;
  hxsim_default_echo_path(&p);
  p.delay_ms = delay_ms, p.gain_db = gain_db, p.room = room, p.drift_ppm = drift_ppm, p.cancel = cancel;
  return p;
}

// Indices of samples whose magnitude exceeds `min`.
std::vector<long> Peaks(const std::vector<int16_t> &x, int min) {
  std::vector<long> at;
  for (size_t i = 0; i < x.size(); ++i)
    if (abs(x[i]) > min) at.push_back(long(i));
  return at;
}

struct EchoWorld : ::testing::Test {
  hxsim_echo_status st;
  std::vector<int16_t> heard, echo;  // what the microphone heard, the echo in it
  void SetUp() override {
    hxsim_reset();
    hxsim_set_manual(1);
    ASSERT_TRUE(g_brisa = dlopen(HX_SIM_LIB_DIR "/libBrisaDll.so", RTLD_NOW)) << dlerror();
    g_far.assign(16000 * 12, 0), g_far_pos = 0, g_delivered.clear(), g_flags.clear();
  }
  void TearDown() override {
    if (g_brisa) BRISA(Uninit)(), dlclose(g_brisa), g_brisa = nullptr;
    hxsim_reset();
  }
  // Starts the voice path (with `path`) and runs it for `blocks`.
  void Call(const hxsim_echo_path &path, int blocks) {
    ASSERT_EQ(hxsim_set_echo_path(&path), 0) << hxsim_last_error();
    Call(blocks);
  }
  void Call(int blocks) {
    ASSERT_NE(BRISA(Init)(0, Mic, nullptr), 0);
    BRISA(Start)(1), BRISA(AddPlayChannel)(0, Play);
    ASSERT_EQ(hxsim_pump_call(blocks, 5000), blocks);
  }
  void Take() {
    heard.assign(16000 * 60, 0), echo.assign(heard.size(), 0);
    heard.resize(hxsim_take_mic_heard(heard.data(), echo.data(), heard.size())), echo.resize(heard.size());
    hxsim_get_echo_status(&st);
  }
};

// Off by default: the microphone then arrives as set and nothing is
// recorded. Settings out of range are refused and the old ones kept.
TEST_F(EchoWorld, OffByDefaultAndRefusesSettingsOutOfRange) {
  hxsim_echo_path p;
  hxsim_get_echo_path(&p);
  EXPECT_EQ(p.enabled, 0);
  std::vector<int16_t> tone(320);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(4000 * sin(0.3 * i)) & ~1;
  hxsim_set_mic_pcm(tone.data(), tone.size(), 1);
  hxsim_set_voice_mode(HXSIM_VOICE_NEVER);
  g_far.assign(g_far.size(), 9000);
  Call(10);
  EXPECT_TRUE(std::equal(tone.begin(), tone.end(), g_delivered.end() - 320));
  Take();
  EXPECT_TRUE(heard.empty());

  const hxsim_echo_path good = Path(100, -6, 1, 0, 1);
  ASSERT_EQ(hxsim_set_echo_path(&good), 0);
  const std::pair<hxsim_echo_path, const char *> bad[] = {
      {Path(301, -6, 1, 0, 1), "delay_ms"}, {Path(-1, -6, 1, 0, 1), "delay_ms"},
      {Path(100, 11, 1, 0, 1), "gain_db"},  {Path(100, -6, 2, 0, 1), "room"},
      {Path(100, -6, 1, 1001, 1), "drift_ppm"}};
  for (const auto &b : bad) {
    EXPECT_EQ(hxsim_set_echo_path(&b.first), -1);
    EXPECT_NE(std::string(hxsim_last_error()).find(b.second), std::string::npos) << hxsim_last_error();
  }
  EXPECT_EQ(hxsim_set_echo_path(nullptr), -1);
  hxsim_get_echo_path(&p);
  EXPECT_EQ(p.delay_ms, 100);
}

// The loudspeaker starts once a block and a half is queued: far-end sample n
// plays with the microphone's sample n + 320 and comes back delay_ms later,
// scaled by the gain; a delay change mid-call moves the echo. The stream
// delay reported is the delay plus the 20 ms the render queue then holds.
TEST_F(EchoWorld, AnImpulseComesBackAtTheDelayThroughTheQueueAndMovesWithIt) {
  g_far[1000] = 20000;   // played at 0.06 s
  g_far[48000] = 20000;  // played at 3 s, after the change
  Call(Path(100, -6.0206, 0, 0, 0), 100);
  hxsim_get_echo_status(&st);
  EXPECT_EQ(st.stream_delay_ms, 120);
  hxsim_echo_path p = Path(200, -6.0206, 0, 0, 0);
  ASSERT_EQ(hxsim_set_echo_path(&p), 0);
  ASSERT_EQ(hxsim_pump_call(100, 5000), 100);
  Take();
  ASSERT_EQ(heard.size(), 200u * 320);
  const long first = 1000 + 320 + 1600, second = 48000 + 320 + 3200;
  EXPECT_EQ(Peaks(echo, 0), (std::vector<long>{first, second}));
  EXPECT_EQ(heard, echo);  // a silent near end
  // Scaled by the gain; without the canceller the voice path delivers what the microphone heard.
  EXPECT_EQ((V{echo[first], echo[second], g_delivered[first] & ~1}), (V{10000, 10000, 10000}));
  EXPECT_EQ((V{st.stream_delay_ms, st.underruns, st.overflows, st.canceller_running}), (V{220, 0, 0, 0}));
}

// A render clock 1000 ppm fast: impulses one second apart on it come back
// 15984 microphone samples apart, and the render queue neither runs dry nor
// overflows.
TEST_F(EchoWorld, DriftResamplesTheLoudspeakerOntoTheCaptureClock) {
  for (size_t n = 16000; n < g_far.size(); n += 16000) g_far[n] = 16000;
  Call(Path(50, 0, 0, 1000, 0), 500);
  Take();
  std::vector<long> at;  // centre of each echoed impulse (the resampler spreads it)
  for (long i : Peaks(echo, 6000)) if (at.empty() || i - at.back() > 100) at.push_back(i);
  ASSERT_GE(at.size(), 8u);
  for (size_t k = 1; k < at.size(); ++k) EXPECT_NEAR(at[k] - at[k - 1], 15984, 1) << "impulse " << k;
  EXPECT_EQ((V{st.underruns, st.overflows}), (V{0, 0}));
}

// With the canceller the voice path delivers the cleaned block, flagged by
// the canceller's voice detection: the far end alone (up to 5.5 s) is
// removed and not voice; the near end alone (6 to 8 s) is kept and is voice.
TEST_F(EchoWorld, TheVoicePathCancelsAndItsDetectionFlagsTheNearEnd) {
  const std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  ASSERT_GT(speech.size(), 16000u * 8) << "cannot read tests/data/speech16k.wav";
  for (size_t n = 0; n < 88000; ++n) g_far[n] = speech[n % speech.size()];
  std::vector<int16_t> near(16000 * 10, 0);  // 1 s to 3 s of the speech, at 6 s to 8 s
  std::copy(speech.begin() + 16000, speech.begin() + 48000, near.begin() + 96000);
  hxsim_set_mic_pcm(near.data(), near.size(), 0);
  Call(Path(100, -6, 1, 0, 1), 500);
  Take();
  auto power = [](const std::vector<int16_t> &x, size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to; ++i) s += double(x[i]) * x[i];
    return 10 * log10(s / (to - from) + 1e-9);
  };
  EXPECT_GT(power(heard, 48000, 88000) - power(g_delivered, 48000, 88000), 30);
  EXPECT_LT(fabs(power(heard, 104000, 128000) - power(g_delivered, 104000, 128000)), 1);
  EXPECT_LT(std::count(g_flags.begin() + 150, g_flags.begin() + 275, 1), 13) << "of 125 far-end-only blocks";
  EXPECT_GT(std::count(g_flags.begin() + 325, g_flags.begin() + 400, 1), 50)
      << "of 75 near-end blocks (speech with pauses)";
  EXPECT_EQ(st.canceller_running, 1) << (st.canceller_error ? st.canceller_error : "");
  EXPECT_EQ(st.canceller.capture_blocks, 500);
  // Stopping the voice path ends the canceller's session; its figures stay.
  BRISA(Stop)();
  hxsim_get_echo_status(&st);
  EXPECT_EQ((V{st.canceller_running, st.canceller.capture_blocks}), (V{0, 500}));
}

}  // namespace
