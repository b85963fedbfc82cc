// The share of the 20 ms real-time budget that one block takes, from the
// wall clock over a benchmark's timed loop (the budget is wall time on the
// capture thread): counter "budget_pct".
#ifndef HX_BENCH_BUDGET_CLOCK_H
#define HX_BENCH_BUDGET_CLOCK_H

#include <benchmark/benchmark.h>

#include <chrono>

struct BudgetClock {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  void Report(benchmark::State &state) const {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (state.iterations() > 0)
      state.counters["budget_pct"] = s / (double)state.iterations() / 0.020 * 100.0;
  }
};

#endif  // HX_BENCH_BUDGET_CLOCK_H
