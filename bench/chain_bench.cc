// Cost of the microphone cleaning chain per 640-byte (20 ms) block, whole and
// per stage. The counter "budget_pct" is the share of the 20 ms real-time
// budget that one block takes (wall clock).
#include <benchmark/benchmark.h>
#include <stdint.h>

#include <cmath>
#include <random>
#include <vector>

#include "bench/budget_clock.h"
#include "dsp/hpf.h"
#include "dsp/ns_agc.h"

namespace {

const int kBlock = 320;
const int kBlocks = 50;  // one second of input, cycled

// Speech-like test input: a few harmonics with a slow envelope plus noise.
std::vector<int16_t> MakeInput() {
  std::vector<int16_t> x(kBlock * kBlocks);
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 300);
  for (size_t i = 0; i < x.size(); ++i) {
    double t = i / 16000.0;
    double env = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);
    double v = env * (4000 * std::sin(2 * M_PI * 180 * t) + 2000 * std::sin(2 * M_PI * 360 * t) +
                      1000 * std::sin(2 * M_PI * 1250 * t)) +
               noise(rng);
    x[i] = (int16_t)std::lround(v);
  }
  return x;
}

void BM_Chain(benchmark::State &state) {
  std::vector<int16_t> in = MakeInput();
  int16_t ns_out[kBlock], agc_out[kBlock];
  ns_create();
  agc_create(16000);
  size_t b = 0;
  BudgetClock clock;
  for (auto _ : state) {
    ns_process(&in[b * kBlock], 640, ns_out);
    agc_process(ns_out, 640, agc_out, 640);
    benchmark::DoNotOptimize(agc_out);
    b = (b + 1) % kBlocks;
  }
  clock.Report(state);
  ns_free();
  agc_free();
}
BENCHMARK(BM_Chain);

void BM_Hpf(benchmark::State &state) {
  std::vector<int16_t> in = MakeInput();
  HpfState hpf;
  hpf_init(&hpf, 16000);
  int16_t work[kBlock];
  size_t b = 0;
  BudgetClock clock;
  for (auto _ : state) {
    // Two 160-sample halves, as the chain runs it.
    std::copy(&in[b * kBlock], &in[b * kBlock] + kBlock, work);
    hpf_filter(&hpf, work, 160);
    hpf_filter(&hpf, work + 160, 160);
    benchmark::DoNotOptimize(work);
    b = (b + 1) % kBlocks;
  }
  clock.Report(state);
}
BENCHMARK(BM_Hpf);

// ns_process: high-pass filter plus the suppressor.
void BM_Ns(benchmark::State &state) {
  std::vector<int16_t> in = MakeInput();
  int16_t out[kBlock];
  ns_create();
  size_t b = 0;
  BudgetClock clock;
  for (auto _ : state) {
    ns_process(&in[b * kBlock], 640, out);
    benchmark::DoNotOptimize(out);
    b = (b + 1) % kBlocks;
  }
  clock.Report(state);
  ns_free();
}
BENCHMARK(BM_Ns);

void BM_Agc(benchmark::State &state) {
  std::vector<int16_t> in = MakeInput();
  int16_t out[kBlock];
  agc_create(16000);
  size_t b = 0;
  BudgetClock clock;
  for (auto _ : state) {
    agc_process(&in[b * kBlock], 640, out, 640);
    benchmark::DoNotOptimize(out);
    b = (b + 1) % kBlocks;
  }
  clock.Report(state);
  agc_free();
}
BENCHMARK(BM_Agc);

}  // namespace
