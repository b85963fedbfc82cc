// Time per pushed block of the host push conversion (PushConverter), one
// 10 ms block per iteration at the host's rate and channel count, into one
// packet of 480 frames of 48 kHz stereo.
#include <benchmark/benchmark.h>
#include <math.h>

#include <vector>

#include "upstream/push_convert.h"

namespace {

void Convert(benchmark::State &state) {
  const uint32_t rate = (uint32_t)state.range(0), channels = (uint32_t)state.range(1);
  const uint32_t blocks = 100;  // 1 s of a speech-band tone mix at -12 dBFS, then again
  std::vector<int16_t> in((size_t)rate * channels + 2 * channels);
  for (size_t i = 0; i < in.size(); ++i) {
    const double t = (double)(i / channels) / rate;
    in[i] = (int16_t)lrint(4000 * (sin(2 * M_PI * 220 * t) + sin(2 * M_PI * 1730 * t)));
  }
  std::vector<int16_t> out(960);
  PushConverter conv;
  uint64_t k = 0;
  for (auto _ : state) {
    // 10 ms blocks whose lengths keep the running total at floor(k * rate / 100).
    const uint64_t b = k % blocks, first = b * rate / 100;
    const uint32_t frames = (uint32_t)((b + 1) * rate / 100 - first);
    conv.Convert(&in[first * channels], frames, channels, rate, out.data());
    benchmark::DoNotOptimize(out.data());
    ++k;
  }
}
BENCHMARK(Convert)
    ->ArgNames({"rate", "channels"})
    ->Args({44100, 2})
    ->Args({44100, 1})
    ->Args({16000, 1})
    ->Args({11025, 1})
    ->Args({96000, 2})
    ->Args({48000, 2});

}  // namespace
