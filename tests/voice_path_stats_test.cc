// The host's reading of the figures file the live voice path writes: the
// last line's settings, counters summed over the library's loads, levels
// added up as power.
#include "voice_path_stats.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <tuple>

namespace {

struct StatsFile {
  std::string path = "/tmp/hx-voice-stats-XXXXXX";
  explicit StatsFile(const std::string &text) {
    const int fd = mkstemp(&path[0]);
    EXPECT_TRUE(fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) && close(fd) == 0) << path;
  }
  ~StatsFile() { unlink(path.c_str()); }
};

std::string Line(long long blocks, int render_ms, long long starved, long long underruns,
                 long long far_lost, double mic_dbfs, long long mic_n, double far_dbfs, long long far_n,
                 int erle_db = -100) {
  char b[512];
  snprintf(b, sizeof b,
           "t=1.000 blocks=%lld reported_ms=%d applied_ms=%d lead_ms=10 steps=1 drift_ppm=12.50 "
           "drift_used=1 starved=%lld far_dropped=%lld erle_db=%d erl_db=-100 delay_median_ms=4 "
           "delay_std_ms=2 poor_delays=0.00 render_ms=%d capture_ms=%d path_locked=1 path_ppm=3.0 "
           "path_offset_ms=0.00 path_locks=1 underruns=%lld far_lost=%lld mic_dbfs=%.1f "
           "cleaned_dbfs=%.1f mic_n=%lld far_dbfs=%.1f far_n=%lld\n",
           blocks, render_ms + 20, render_ms + 27, starved, starved * 2, erle_db, render_ms, render_ms ? 20 : 0,
           underruns, far_lost, mic_dbfs, mic_dbfs - 10, mic_n, far_dbfs, far_n);
  return b;
}

TEST(VoicePathStats, TwoLoadsAddUpAndTheLastOpenStreamsGiveTheLatencies) {
  // Load 1: two lines; load 2 (counters from 0, the canceller kept): two
  // lines, the last written as the instance ended (streams closed).
  StatsFile f(Line(50, 40, 3, 1, 160, -30, 16000, -20, 32000) +
              Line(100, 40, 5, 2, 320, -30, 32000, -20, 64000) +
              Line(150, 60, 6, 0, 0, -40, 16000, -120, 0) +
              Line(200, 0, 7, 4, 16, -40, 32000, -120, 0, 25));
  const host::VoicePathStats s = host::ReadVoicePathStats(f.path);
  ASSERT_TRUE(s.valid);
  // The last line's settings; the latencies of the last line seen with open streams.
  EXPECT_EQ(std::make_tuple(s.lines, s.blocks, s.applied_ms, s.reported_ms, s.erle_db, s.erl_db, s.render_ms, s.capture_ms),
            std::make_tuple(4, 200, 27, 20, 25, -100, 60, 20));
  EXPECT_DOUBLE_EQ(s.drift_ppm, 12.5);
  EXPECT_TRUE(s.drift_used && s.path_locked);
  // Counters summed over the loads; the canceller's own (starved, far_dropped) kept throughout.
  EXPECT_EQ(std::make_tuple(s.underruns, s.far_lost, s.starved, s.far_dropped), std::make_tuple(2 + 4, 320 + 16, 7, 14));
  // Equal sample counts at -30 and -40 dBFS: 10*log10((1e-3 + 1e-4) / 2).
  EXPECT_NEAR(s.mic_dbfs, -32.6, 0.05);
  EXPECT_NEAR(s.cleaned_dbfs, -42.6, 0.05);
  EXPECT_NEAR(s.far_dbfs, -20, 0.05);  // the second load played nothing
}

TEST(VoicePathStats, ANewCancellerStartsItsCountersAnewAndNoFiguresIsNotValid) {
  StatsFile f(Line(100, 40, 5, 0, 0, -30, 1000, -20, 1000) + Line(20, 40, 1, 0, 0, -30, 2000, -20, 2000));
  const host::VoicePathStats s = host::ReadVoicePathStats(f.path);
  EXPECT_EQ(std::make_tuple(s.starved, s.far_dropped), std::make_tuple(5 + 1, 10 + 2));
  EXPECT_FALSE(host::ReadVoicePathStats("/nonexistent/hx/voice_path.txt").valid);
  StatsFile other("something else\n");
  EXPECT_FALSE(host::ReadVoicePathStats(other.path).valid);
}

}  // namespace
