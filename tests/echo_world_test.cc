// The simulated world's echo path driven without the module: a play-request
// callback that answers with the next far-end block at once, stepped calls.
// With the canceller on, the voice flag marks near-end voice.
#include <dlfcn.h>
#include <math.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "backends/api/brisa_dll.h"
#include "hxsim.h"
#include "rig/speech.h"

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

hxsim_echo_path Path(int delay_ms, double gain_db, int room, int cancel) {
  hxsim_echo_path p;
  hxsim_default_echo_path(&p);
  p.delay_ms = delay_ms, p.gain_db = gain_db, p.room = room, p.cancel = cancel;
  return p;
}

double Db(const int16_t *x, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += double(x[i]) * x[i];
  return 10 * log10(s / n + 1e-9);
}

struct EchoWorld : ::testing::Test {
  hxsim_echo_status st;
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
  // Starts the voice path with `path` and runs it for `blocks`.
  void Call(const hxsim_echo_path &path, int blocks) {
    ASSERT_EQ(hxsim_set_echo_path(&path), 0) << hxsim_last_error();
    ASSERT_NE(BRISA(Init)(0, Mic, nullptr), 0);
    BRISA(Start)(1), BRISA(AddPlayChannel)(0, Play);
    ASSERT_EQ(hxsim_pump_call(blocks, 5000), blocks);
    hxsim_get_echo_status(&st);
  }
};

// With the canceller the voice path's flag is near-end voice: the far end's
// echo alone (up to 5.5 s) is not voice, even while the canceller learns, the near
// end alone (6 to 8 s) is, and keeps its level. Stopping the voice path ends
// the canceller's session; its figures stay.
TEST_F(EchoWorld, WithTheCancellerTheVoiceFlagMarksTheNearEndOnly) {
  const std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  ASSERT_GT(speech.size(), 16000u * 8) << "cannot read tests/data/speech16k.wav";
  for (size_t n = 0; n < 88000; ++n) g_far[n] = speech[n % speech.size()];
  std::vector<int16_t> near(16000 * 10, 0);  // 1 s to 3 s of the speech, at 6 s to 8 s
  std::copy(speech.begin() + 16000, speech.begin() + 48000, near.begin() + 96000);
  hxsim_set_mic_pcm(near.data(), near.size(), 0);
  Call(Path(100, -6, 1, 1), 500);
  // Echo the canceller is still learning sounds like speech too: 39 blocks
  // of the first 5.5 s were flagged when the flag was voice detection alone.
  EXPECT_LT(std::count(g_flags.begin(), g_flags.begin() + 275, 1), 25) << "of 275 far-end-only blocks";
  EXPECT_GT(std::count(g_flags.begin() + 325, g_flags.begin() + 400, 1), 50)
      << "of 75 near-end blocks (speech with pauses)";
  EXPECT_LT(fabs(Db(&near[104000], 24000) - Db(&g_delivered[104000], 24000)), 1) << "the near end's level";
  EXPECT_EQ((V{st.canceller_running, st.canceller.capture_blocks}), (V{1, 500}))
      << (st.canceller_error ? st.canceller_error : "");
  BRISA(Stop)();
  hxsim_get_echo_status(&st);
  EXPECT_EQ((V{st.canceller_running, st.canceller.capture_blocks}), (V{0, 500}));
}

// A reverberant room with noise in it: the far end talks for 5.5 s, then
// only the room is heard. The canceller's own suppression cuts the room's
// noise with the echo; the voice path puts it back, so the far side hears
// the same background under the far end as after it (it came out 2.7 dB
// low before, 3 to 8 dB with the louder noise of a talker's own room).
TEST_F(EchoWorld, TheRoomsBackgroundStaysUnderTheFarEnd) {
  const std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  ASSERT_GT(speech.size(), 16000u * 6) << "cannot read tests/data/speech16k.wav";
  for (size_t n = 0; n < 88000; ++n) g_far[n] = speech[n % speech.size()];
  std::vector<int16_t> silence(16000 * 10, 0);  // the room's noise only
  hxsim_set_mic_pcm(silence.data(), silence.size(), 0);
  hxsim_echo_path p = Path(60, -6, 1, 1);
  p.rt60_s = 0.3, p.noise_dbfs = -50;
  Call(p, 500);
  ASSERT_EQ(g_delivered.size(), 500u * 320);
  const double full_scale = 20 * log10(32768.0);
  const double under_far = Db(&g_delivered[16000 * 2], 16000 * 3) - full_scale;  // 2 to 5 s
  const double after = Db(&g_delivered[16000 * 7], 16000 * 3) - full_scale;      // 7 to 10 s: the room alone
  EXPECT_NEAR(after, -50, 3.0) << "the room's noise after the far end, dBFS";
  EXPECT_NEAR(under_far, after, 1.5) << "the background under the far end against after it, dB";
}

// A room of RT60 0.4 s: an impulse comes back after the delay with unit energy, its direct sound
// 3 dB over the tail, whose energy decay (backward integral, -5 to -25 dB) gives the RT60; speech
// comes back as its convolution with that response (the FFT convolution's partitions line up).
TEST_F(EchoWorld, ReverberantRoomDecaysAtItsRt60AndConvolvesSpeechWithIt) {
  const std::vector<int16_t> speech = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  ASSERT_GT(speech.size(), 16000u * 3) << "cannot read tests/data/speech16k.wav";
  const size_t impulse_at = 8000, speech_at = 24000, taps = 7680;  // 1.2 RT60
  g_far[impulse_at] = 32767;
  std::copy(speech.begin(), speech.begin() + 16000 * 3, g_far.begin() + speech_at);
  hxsim_echo_path p = Path(40, 0, 1, 0);
  p.rt60_s = 0.4;
  Call(p, 200);
  std::vector<int16_t> mic(16000 * 60), echo(mic.size());
  echo.resize(hxsim_take_mic_heard(mic.data(), echo.data(), mic.size()));
  ASSERT_EQ(echo.size(), 200u * 320);
  const size_t first = std::find_if(echo.begin(), echo.end(), [](int16_t v) { return v != 0; }) - echo.begin();
  ASSERT_LT(first, echo.size()) << "no echo";
  const long shift = long(first) - long(impulse_at);  // echo[i + shift] is far[i]'s
  EXPECT_GE(shift, 40 * 16) << "the echo came before the delay";
  std::vector<double> h(taps), decay(taps + 1, 0.0);  // decay[k]: the energy from tap k on
  for (size_t k = 0; k < taps; ++k) h[k] = echo[first + k] / 32767.0;
  for (size_t k = taps; k-- > 0;) decay[k] = decay[k + 1] + h[k] * h[k];
  EXPECT_NEAR(10 * log10(decay[0]), 0, 0.2) << "the response's energy";
  EXPECT_NEAR(10 * log10(h[0] * h[0] / decay[1]), 3, 0.1) << "the direct sound over the tail";
  auto reach = [&](double db) {  // on the tail's own decay
    size_t k = 1;
    while (k < taps && 10 * log10(decay[k] / decay[1]) > db) ++k;
    return double(k) / 16000;
  };
  EXPECT_NEAR(3 * (reach(-25) - reach(-5)), 0.4, 0.04) << "RT60";
  double err = 0, sig = 0;
  for (size_t i = speech_at + 8000; i < speech_at + 16000 * 2; ++i) {
    double y = 0;
    for (size_t k = 0; k < taps; ++k) y += h[k] * g_far[i - k];
    const double e = echo[i + shift];
    err += (e - y) * (e - y), sig += e * e;
  }
  EXPECT_LT(10 * log10(err / sig), -40) << "the FFT convolution does not match the response";
}

}  // namespace
