// The residual-echo suppressor on real speech through a known echo path:
// a room (delay, decaying tail), room noise at -50 dBFS, and a linear stage
// that leaves a tenth of the echo's amplitude (20 dB of cancellation).
#include "echo/residual_suppressor.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 16000;
constexpr int kFrame = 320;  // 20 ms, the measuring frame

std::vector<float> LoadWav(const std::string &name) {
  SF_INFO info = {};
  SNDFILE *f = sf_open((std::string(HX_SOURCE_DIR) + "/" + name).c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << "cannot open " << name;
  if (!f) return {};
  EXPECT_EQ(info.samplerate, kRate);
  EXPECT_EQ(info.channels, 1);
  std::vector<float> v(size_t(info.frames));
  sf_read_float(f, v.data(), info.frames);
  sf_close(f);
  return v;
}

struct Call {
  std::vector<float> far, echo, near, noise;  // the microphone is echo + near + noise
};

// `far_on` / `near_on`: whether each talker sounds at sample n.
template <typename FarOn, typename NearOn>
Call MakeCall(double seconds, FarOn far_on, NearOn near_on) {
  const std::vector<float> far_talk = LoadWav("tests/data/speech16k.wav");
  const std::vector<float> near_talk = LoadWav("host/scenario/near_end.wav");
  const size_t n = size_t(seconds * kRate);
  Call c;
  c.far.assign(n, 0);
  c.echo.assign(n, 0);
  c.near.assign(n, 0);
  c.noise.assign(n, 0);
  if (far_talk.empty() || near_talk.empty()) return c;
  size_t fp = 0, np = 0;
  for (size_t i = 0; i < n; ++i) {
    if (far_on(i)) c.far[i] = far_talk[fp++ % far_talk.size()];
    if (near_on(i)) c.near[i] = near_talk[np++ % near_talk.size()];
  }
  // The room: 30 ms late, direct sound and a tail falling 60 dB in 0.3 s,
  // echo 6 dB below the far end.
  const int delay = 30 * kRate / 1000, taps = 3 * kRate / 20;  // the tail down to -30 dB
  std::vector<float> room(taps);
  uint32_t seed = 7;
  double energy = 0;
  for (int k = 0; k < taps; ++k) {
    seed = seed * 1664525u + 1013904223u;
    const double u = (seed >> 8) / 8388608.0 - 1.0;
    room[k] = float(k == 0 ? 1.0 : 0.3 * u * std::exp(-3.45 * k / taps));
    energy += room[k] * room[k];
  }
  for (float &v : room) v = float(v * 0.5 / std::sqrt(energy));
  for (size_t i = 0; i + delay < n; ++i) {
    if (c.far[i] == 0) continue;
    const size_t end = std::min(n - i - delay, size_t(taps));
    for (size_t k = 0; k < end; ++k) c.echo[i + delay + k] += room[k] * c.far[i];
  }
  const double rms = std::pow(10.0, -50 / 20.0) * std::sqrt(3.0);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    c.noise[i] = float(((seed >> 8) / 8388608.0 - 1.0) * rms);
  }
  return c;
}

int16_t Pcm(double v) { return int16_t(std::lrint(std::max(-32768.0, std::min(32767.0, v * 32768)))); }

// Runs the suppressor; the output is returned aligned with the input.
std::vector<float> Suppress(const Call &c, uint32_t seed = 1, std::vector<bool> *voice = nullptr) {
  ResidualSuppressorSettings s;
  s.seed = seed;
  std::unique_ptr<ResidualSuppressor, void (*)(ResidualSuppressor *)> r(
      ResidualSuppressorCreate(s), ResidualSuppressorDestroy);
  EXPECT_TRUE(r);
  std::vector<float> out(c.far.size(), 0);
  for (size_t at = 0; at + kResidualHalf <= c.far.size(); at += kResidualHalf) {
    int16_t mic[kResidualHalf], lin[kResidualHalf], far[kResidualHalf], o[kResidualHalf];
    for (int i = 0; i < kResidualHalf; ++i) {
      const size_t j = at + i;
      mic[i] = Pcm(c.echo[j] + c.near[j] + c.noise[j]);
      lin[i] = Pcm(0.1 * c.echo[j] + c.near[j] + c.noise[j]);
      far[i] = Pcm(c.far[j]);
    }
    const bool v = ResidualSuppressorProcess(r.get(), mic, lin, far, o);
    if (voice) voice->push_back(v);
    for (int i = 0; i < kResidualHalf; ++i)
      if (at + i >= size_t(kResidualLatency)) out[at + i - kResidualLatency] = o[i] / 32768.0f;
  }
  return out;
}

double FrameDb(const std::vector<float> &x, size_t frame) {
  double sum = 0;
  for (size_t i = frame * kFrame; i < (frame + 1) * kFrame; ++i) sum += double(x[i]) * x[i];
  return 10 * std::log10(sum / kFrame + 1e-20);
}

double LevelDb(const std::vector<float> &x, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(x[i]) * x[i];
  return 10 * std::log10(sum / double(to - from) + 1e-20);
}

TEST(ResidualSuppressor, FarEndAloneLeavesTheBackgroundWithoutHolesOrEcho) {
  // 2 s of background, then the far end alone.
  const Call c = MakeCall(14, [](size_t i) { return i >= 2u * kRate; }, [](size_t) { return false; });
  const std::vector<float> out = Suppress(c);
  const double background = LevelDb(out, kRate / 2, 2 * kRate);
  EXPECT_NEAR(background, -50, 1.0);
  // After 3 s of far end to learn from.
  size_t frames = 0, holes = 0, loud = 0;
  double sum = 0;
  for (size_t f = 5 * kRate / kFrame; f < 14 * kRate / kFrame; ++f) {
    if (FrameDb(c.echo, f) < -50) continue;  // echo frames only
    const double db = FrameDb(out, f);
    ++frames;
    holes += db < background - 10;
    loud += db > background + 10;
    sum += std::pow(10.0, db / 10);
  }
  ASSERT_GT(frames, 200u);
  const double residual = 10 * std::log10(sum / double(frames)) - background;
  EXPECT_LE(residual, 1.0);
  EXPECT_GE(residual, -3.0);  // the background stays
  EXPECT_EQ(holes, 0u);
  EXPECT_LE(loud, frames / 50);
}

TEST(ResidualSuppressor, NearEndAlonePassesUnchanged) {
  const Call c = MakeCall(8, [](size_t) { return false; }, [](size_t i) { return i >= kRate; });
  std::vector<bool> voice;
  const std::vector<float> out = Suppress(c, 1, &voice);
  double xy = 0, xx = 0, yy = 0;
  for (size_t i = kRate; i < c.near.size() - kRate / 10; ++i) {
    const double x = c.near[i] + c.noise[i], y = out[i];
    xy += x * y, xx += x * x, yy += y * y;
  }
  EXPECT_GE(xy / std::sqrt(xx * yy), 0.98);
  // The voice flag: on for halves where the talker is 20 dB over the
  // background, off for the background alone (the first second).
  size_t flagged_background = 0, loud = 0, flagged_loud = 0;
  for (size_t h = 0; h < voice.size(); ++h) {
    if (h < 100) flagged_background += voice[h];
    double sum = 0;
    for (size_t i = h * kResidualHalf; i < (h + 1) * kResidualHalf; ++i) sum += c.near[i] * c.near[i];
    if (10 * std::log10(sum / kResidualHalf + 1e-20) < -40) continue;
    ++loud;
    flagged_loud += voice[h];
  }
  EXPECT_EQ(flagged_background, 0u);
  ASSERT_GT(loud, 100u);
  EXPECT_GE(flagged_loud, loud * 9 / 10);
}

TEST(ResidualSuppressor, DoubleTalkKeepsTheNearEnd) {
  // The far end talks throughout; the near end joins after 6 s.
  const Call c = MakeCall(16, [](size_t) { return true; }, [](size_t i) { return i >= 6u * kRate; });
  const std::vector<float> out = Suppress(c);
  double kept = 0, alone = 0;
  size_t frames = 0, clipped = 0;
  for (size_t f = 6 * kRate / kFrame; f < 16 * kRate / kFrame - 1; ++f) {
    const double near_db = FrameDb(c.near, f);
    if (near_db < FrameDb(c.echo, f) || near_db < -40) continue;  // the near end dominates
    double o = 0, s = 0;
    for (size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) {
      o += double(out[i]) * out[i];
      const double x = c.near[i] + c.noise[i];
      s += x * x;
    }
    kept += o, alone += s;
    ++frames;
    clipped += 10 * std::log10(o / s) < -10;
  }
  ASSERT_GT(frames, 100u);
  EXPECT_GE(10 * std::log10(kept / alone), -1.5);
  EXPECT_LE(clipped, frames / 20);
}

TEST(ResidualSuppressor, FarEndWithoutEchoTakesNothingFromTheNearEnd) {
  // A headset: the far end plays throughout, nothing of it reaches the
  // microphone, the near end talks from the third second.
  Call c = MakeCall(10, [](size_t) { return true; }, [](size_t i) { return i >= 3u * kRate; });
  std::fill(c.echo.begin(), c.echo.end(), 0.0f);
  const std::vector<float> out = Suppress(c);
  double xy = 0, xx = 0, yy = 0;
  for (size_t i = 3 * kRate; i < c.near.size() - kRate / 10; ++i) {
    const double x = c.near[i] + c.noise[i], y = out[i];
    xy += x * y, xx += x * x, yy += y * y;
  }
  EXPECT_GE(xy / std::sqrt(xx * yy), 0.98);
  EXPECT_NEAR(10 * std::log10(yy / xx), 0, 0.5);
}

TEST(ResidualSuppressor, DigitalSilenceStaysSilent) {
  ResidualSuppressor *r = ResidualSuppressorCreate(ResidualSuppressorSettings{});
  ASSERT_NE(r, nullptr);
  const int16_t zero[kResidualHalf] = {};
  int16_t out[kResidualHalf];
  int loud = 0;
  for (int h = 0; h < 3000; ++h) {  // 30 s: long enough for any decay to reach the bottom
    EXPECT_FALSE(ResidualSuppressorProcess(r, zero, zero, zero, out));
    for (int16_t v : out) loud += v != 0;
  }
  EXPECT_EQ(loud, 0);
  ResidualSuppressorDestroy(r);
}

TEST(ResidualSuppressor, OutputIsDeterministicPerSeed) {
  const Call c = MakeCall(4, [](size_t i) { return i >= kRate; }, [](size_t) { return false; });
  const std::vector<float> a = Suppress(c, 5), b = Suppress(c, 5), other = Suppress(c, 6);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);  // the comfort noise follows the seed
}

}  // namespace
