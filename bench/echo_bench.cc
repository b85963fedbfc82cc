// Cost of the voice path's echo canceller (echo/hx_echo.h) per 20 ms block:
// the two 10 ms far-end blocks handed over and one microphone block
// cancelled, voice detection included, on real speech with its echo (100 ms
// later, -6 dB). Arguments: 1 the default settings; 0 without drift
// tracking; 2 with high suppression. "budget_pct" is the share of the 20 ms
// real-time budget one block takes.
#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cmath>
#include <random>
#include <vector>

#include "bench/budget_clock.h"
#include "echo/hx_echo.h"
#include "echo/residual_suppressor.h"

namespace {

std::vector<int16_t> Speech() {
  SF_INFO info = {};
  SNDFILE *f = sf_open(HX_SOURCE_DIR "/tests/data/speech16k.wav", SFM_READ, &info);
  std::vector<int16_t> x(f ? static_cast<size_t>(info.frames) : 0);
  if (f) sf_read_short(f, x.data(), info.frames), sf_close(f);
  return x;
}

void BM_EchoBlock(benchmark::State &state) {
  const std::vector<int16_t> far = Speech();
  if (far.size() < 16000u * 4) {
    state.SkipWithError("cannot read tests/data/speech16k.wav");
    return;
  }
  hx_echo_settings s;
  hx_echo_default_settings(&s);
  s.drift_tracking = state.range(0) != 0;
  if (state.range(0) == 2) s.suppression = HX_ECHO_SUPPRESSION_HIGH;
  const char *why = nullptr;
  hx_echo *e = hx_echo_create(&s, &why);
  if (!e) {
    state.SkipWithError(why);
    return;
  }
  const size_t delay = 1600;
  std::mt19937 rng(3);
  std::normal_distribution<double> floor(0, 10);
  std::vector<int16_t> mic(far.size());
  for (size_t i = 0; i < far.size(); ++i)
    mic[i] = static_cast<int16_t>(far[(i + far.size() - delay) % far.size()] / 2 + std::lround(floor(rng)));
  int16_t stereo[2 * HX_ECHO_REVERSE_FRAMES], out[HX_ECHO_BLOCK];
  int32_t voice = 0;
  size_t pos = 0;
  BudgetClock clock;
  for (auto _ : state) {
    if (pos + HX_ECHO_BLOCK > mic.size()) pos = 0;
    for (int r = 0; r < 2; ++r) {
      for (int i = 0; i < HX_ECHO_REVERSE_FRAMES; ++i)
        stereo[2 * i] = stereo[2 * i + 1] = far[(pos + r * HX_ECHO_REVERSE_FRAMES + i) % far.size()];
      hx_echo_reverse(e, stereo, HX_ECHO_REVERSE_FRAMES);
    }
    hx_echo_capture(e, &mic[pos], HX_ECHO_BLOCK, 100, out, &voice);
    benchmark::DoNotOptimize(out);
    pos += HX_ECHO_BLOCK;
  }
  clock.Report(state);
  hx_echo_destroy(e);
}
BENCHMARK(BM_EchoBlock)->Arg(1)->Arg(0)->Arg(2);

// The residual-echo suppressor alone per 20 ms block (two 10 ms halves), on
// the same far end and microphone; the canceller's output stands in as the
// microphone taken down by 20 dB.
void BM_ResidualSuppressorBlock(benchmark::State &state) {
  const std::vector<int16_t> far = Speech();
  if (far.size() < 16000u * 4) {
    state.SkipWithError("cannot read tests/data/speech16k.wav");
    return;
  }
  ResidualSuppressor *r = ResidualSuppressorCreate(ResidualSuppressorSettings{});
  if (!r) {
    state.SkipWithError("out of memory");
    return;
  }
  const size_t delay = 1600;
  std::vector<int16_t> mic(far.size()), linear(far.size());
  for (size_t i = 0; i < far.size(); ++i) {
    mic[i] = static_cast<int16_t>(far[(i + far.size() - delay) % far.size()] / 2);
    linear[i] = static_cast<int16_t>(mic[i] / 10);
  }
  int16_t out[kResidualHalf];
  size_t pos = 0;
  BudgetClock clock;
  for (auto _ : state) {
    if (pos + 2 * kResidualHalf > mic.size()) pos = 0;
    for (int h = 0; h < 2; ++h, pos += kResidualHalf)
      benchmark::DoNotOptimize(ResidualSuppressorProcess(r, &mic[pos], &linear[pos], &far[pos], out));
  }
  clock.Report(state);
  ResidualSuppressorDestroy(r);
}
BENCHMARK(BM_ResidualSuppressorBlock);

}  // namespace
