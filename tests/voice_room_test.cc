// The voice path as the far side hears it, in reverberant rooms: the 22 s
// conversation (background only; far end alone; near end alone; both; far
// end alone) stepped through the module on the simulated world, with a
// different talker at each end, room noise at the microphone, rooms of RT60
// 0.2, 0.4 and 0.6 s, the 0.4 s room behind a loudspeaker driven into soft
// clip, and the 0.4 s room heard by a microphone whose stream opens half a
// second before its source plays (digital silence first, as a server's
// monitor gives before its first client), or on near-silence (+-1 LSB, a
// muted or very quiet input). Measured with
// measure/voice_metrics; every figure is printed, one line per room.
#include <math.h>

#include <algorithm>
#include <cstdlib>

#include <ostream>
#include <string>
#include <vector>

#include "support/conversation.h"
#include "support/stepped_call.h"

namespace {

using voice_metrics::VoiceMetrics;

// What each room's figures must meet, {bound, goal}. The bound is asserted:
// today's voice path meets it with margin. The goal is where the voice path
// is to get; the CMake option HX_VOICE_GOALS=ON asserts the goals instead
// (bounds are tightened towards them as the voice path improves).
#ifdef HX_VOICE_GOALS
constexpr int kAsserted = 1;
#else
constexpr int kAsserted = 0;
#endif
const double kResidualDb[] = {+1, +1};         // at most: output over the background, far end alone
const double kLeakPct[] = {2, 2};              // at most: far-alone frames 10 dB over the background
const double kHolesPct[] = {2, 2};             // at most: far-alone frames 10 dB under the background
const double kDoubleTalkDb[] = {-1, -1.5};     // at least: near end in double talk against alone
const double kClippedPct[] = {15, 5};          // at most: double-talk frames down by over 10 dB
const double kNearCorrelation[] = {0.9, 0.98}; // at least: output against the near end alone
const double kStartDb[] = {2.5, 3};            // at most, either way: first second's background

constexpr int kRate = 16000;
constexpr double kNoiseDbfs = -50;

struct Room {
  const char *name;
  double rt60_s, drive_db;
  int quiet_ms;   // digital silence before the conversation starts
  int quiet_lsb;  // 0: exact zeros then; else near-silence of +-quiet_lsb
};
void PrintTo(const Room &r, std::ostream *os) { *os << r.name; }
const Room kRooms[] = {{"Rt60_200ms", 0.2, 0, 0, 0},
                       {"Rt60_400ms", 0.4, 0, 0, 0},
                       {"Rt60_600ms", 0.6, 0, 0, 0},
                       {"Rt60_400ms_DrivenSpeaker", 0.4, 12, 0, 0},
                       {"Rt60_400ms_QuietStart", 0.4, 0, 500, 0},
                       {"Rt60_400ms_NearSilentStart", 0.4, 0, 500, 1}};

// The far talker: the scenario's remote talker (48 kHz), his three phrases
// one after the other.
std::vector<int16_t> FarPhrases(const std::vector<int16_t> &far48) {
  std::vector<int16_t> s;
  for (auto span : {std::make_pair(0.3, 4.0), std::make_pair(8.3, 10.5), std::make_pair(12.0, 14.0)})
    s.insert(s.end(), far48.begin() + size_t(span.first * 48000), far48.begin() + size_t(span.second * 48000));
  return s;
}

struct VoiceRoom : ::testing::TestWithParam<Room> {};

TEST_P(VoiceRoom, FarSideHearsBackgroundNearEndAndLittleEcho) {
  const Room room = GetParam();
  const std::vector<int16_t> far48 = ReadMono(HX_SOURCE_DIR "/host/scenario/far_end.wav", 48000);
  const std::vector<int16_t> near16 = ReadMono(HX_SOURCE_DIR "/tests/data/speech16k.wav");
  ASSERT_EQ(far48.size(), 696000u) << "host/scenario/far_end.wav: 14.5 s at 48 kHz expected";
  ASSERT_GT(near16.size(), 16000u * 8) << "cannot read tests/data/speech16k.wav";
  // The near talker from his first word (half a second of silence leads).
  const std::vector<int16_t> near_talk(near16.begin() + kRate / 2, near16.end());

  hxsim_echo_path path;
  hxsim_default_echo_path(&path);
  path.rt60_s = room.rt60_s, path.speaker_drive_db = room.drive_db, path.noise_dbfs = kNoiseDbfs;
  path.quiet_ms = room.quiet_ms, path.quiet_lsb = room.quiet_lsb;
  // Both talkers wait out the quiet start; it is left out of what is measured.
  const int quiet_blocks = room.quiet_ms / 20;
  std::vector<int16_t> far = Talker(FarPhrases(far48), voice_metrics::Talk::kFar, 48000);
  std::vector<int16_t> near_mic = Talker(near_talk, voice_metrics::Talk::kNear, kRate);
  far.insert(far.begin(), size_t(quiet_blocks) * 960, 0);
  near_mic.insert(near_mic.begin(), size_t(quiet_blocks) * 320, 0);
  SteppedCall call(far);
  ASSERT_TRUE(call.Start(near_mic, path));
  std::vector<int16_t> heard, echo, out;
  if (quiet_blocks) {
    ASSERT_TRUE(call.Step(quiet_blocks));
    call.Take(&heard, &echo, &out);
    const auto quiet = [&](int16_t v) { return std::abs(v) <= room.quiet_lsb; };
    EXPECT_EQ(size_t(std::count_if(heard.begin(), heard.end(), quiet)), heard.size()) << "the quiet start";
  }
  const int blocks = int(voice_metrics::kConversationSeconds * 50);
  ASSERT_TRUE(call.Step(blocks));
  call.Take(&heard, &echo, &out);
  ASSERT_EQ(heard.size(), size_t(blocks) * 320);
  ASSERT_EQ(out.size(), 6 * heard.size());

  // Near end at the microphone (talker and room noise) = heard - echo; the
  // host's 48 kHz stereo, left channel, every third frame: 16 kHz.
  std::vector<float> near(heard.size()), echo_f(heard.size()), out16(heard.size());
  for (size_t i = 0; i < heard.size(); ++i) {
    near[i] = float((heard[i] - echo[i]) / 32768.0);
    echo_f[i] = float(echo[i] / 32768.0);
    out16[i] = float(out[6 * i] / 32768.0);
  }
  const VoiceMetrics m = voice_metrics::MeasureVoice(voice_metrics::Conversation(), near.data(),
                                                     echo_f.data(), near.size(), out16.data(),
                                                     out16.size(), kRate);
  fprintf(stderr,
          "%-24s residual %+5.1f dB  leak %4.1f %%  holes %4.1f %%  double talk %+5.1f dB, "
          "clipped %4.1f %%  near alone: correlation %.3f, gain %+5.1f dB  start %+5.1f dB  "
          "background %.1f dBFS  lag %ld  frames bg/far/dt/near %zu/%zu/%zu/%zu\n",
          room.name, m.residual_db, m.leak_pct, m.holes_pct, m.double_talk_db, m.clipped_pct,
          m.near_correlation, m.near_gain_db, m.start_db,
          m.background_dbfs, m.lag, m.background_frames, m.far_frames, m.double_talk_frames,
          m.near_frames);
  ASSERT_TRUE(m.valid) << "the output did not line up with the near end";
  EXPECT_LE(m.residual_db, kResidualDb[kAsserted]) << "residual echo over the background, dB";
  EXPECT_LE(m.leak_pct, kLeakPct[kAsserted]) << "far-alone frames leaking echo, %";
  EXPECT_LE(m.holes_pct, kHolesPct[kAsserted]) << "far-alone frames with a hole, %";
  EXPECT_GE(m.double_talk_db, kDoubleTalkDb[kAsserted]) << "near end in double talk against alone, dB";
  EXPECT_LE(m.clipped_pct, kClippedPct[kAsserted]) << "double-talk frames clipped, %";
  EXPECT_GE(m.near_correlation, kNearCorrelation[kAsserted]) << "near-alone correlation";
  EXPECT_LE(fabs(m.start_db), kStartDb[kAsserted])
      << "first second's background against later, dB";
  hxsim_echo_status st;
  hxsim_get_echo_status(&st);
  EXPECT_EQ((std::vector<int64_t>{st.canceller_running, st.underruns, st.overflows}),
            (std::vector<int64_t>{1, 0, 0}))
      << (st.canceller_error ? st.canceller_error : "");
}

INSTANTIATE_TEST_SUITE_P(Rooms, VoiceRoom, ::testing::ValuesIn(kRooms),
                         [](const ::testing::TestParamInfo<Room> &i) { return std::string(i.param.name); });

}  // namespace
