// Time per block of CBlockResample and of the library resamplers on the
// module's two conversions: 320 samples 16000 -> 48000 and 480 samples
// 48000 -> 44100. Every converter streams the same input blocks, one block
// per iteration, 16-bit in and out.
#include <benchmark/benchmark.h>
#include <math.h>

#include <algorithm>
#include <random>

#include "bench/resample_peers.h"

namespace {

struct Pair {
  const char *name;
  int in_rate, out_rate;
  size_t frame;
};
const Pair kPairs[] = {{"16000to48000_320", 16000, 48000, 320},
                       {"48000to44100_480", 48000, 44100, 480},
                       {"44100to48000_441", 44100, 48000, 441},
                       {"16000to48000_160", 16000, 48000, 160}};

const int kBlocks = 64;

// Speech-like test input: a few harmonics with a slow vibrato plus noise,
// at about -12 dBFS.
std::vector<int16_t> MakeInput(int rate, size_t samples) {
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 600.0);
  std::vector<int16_t> v(samples);
  double phase = 0.0;
  for (size_t i = 0; i < samples; ++i) {
    double f0 = 180.0 + 40.0 * sin(2 * M_PI * 3.0 * i / rate);
    phase += 2 * M_PI * f0 / rate;
    double s = 0.0;
    for (int h = 1; h <= 8; ++h) s += sin(h * phase) / h;
    v[i] = (int16_t)std::max(-32768.0, std::min(32767.0, 5000.0 * s + noise(rng)));
  }
  return v;
}

void RunConverter(benchmark::State &state, PeerSpec spec, Pair pair) {
  std::unique_ptr<BlockConverter> c = MakeConverter(spec, pair.in_rate, pair.out_rate, pair.frame);
  if (!c) {
    state.SkipWithError("rate pair not supported");
    return;
  }
  std::vector<int16_t> in = MakeInput(pair.in_rate, pair.frame * kBlocks);
  std::vector<int16_t> out(pair.frame * 4 + 256);
  size_t block = 0, produced = 0;
  for (auto _ : state) {
    produced += c->Process(&in[block * pair.frame], out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    if (++block == kBlocks) block = 0;
  }
  state.counters["out_per_block"] =
      benchmark::Counter((double)produced / (double)std::max<int64_t>(1, state.iterations()));
}

int RegisterAll() {
  for (const Pair &pair : kPairs)
    for (const PeerSpec &spec : PeerSpecs()) {
      std::string name = std::string(pair.name) + "/" + spec.name;
      benchmark::RegisterBenchmark(name.c_str(), RunConverter, spec, pair);
    }
  return 0;
}
const int kRegistered = RegisterAll();

}  // namespace
