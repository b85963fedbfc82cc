// Cost of the simulated echo path's reverberant room per 20 ms microphone
// block (320 samples at 16 kHz) on the world's delivery thread: the
// loudspeaker's output convolved with rooms of RT60 0.2, 0.4 and 0.6 s
// (argument: RT60 in ms). "budget_pct" is the share of the 20 ms real-time
// budget one block takes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/budget_clock.h"
#include "room.h"

namespace {

void BM_RoomBlock(benchmark::State &state) {
  hxsim::RoomConvolver room;
  room.SetResponse(hxsim::ReverberantRoom(state.range(0) / 1000.0, 16000));
  std::mt19937 rng(1);
  std::normal_distribution<float> speech(0, 3000);
  std::vector<float> in(16000), block(320);
  for (float &v : in) v = speech(rng);
  size_t pos = 0;
  BudgetClock clock;
  for (auto _ : state) {
    if (pos + block.size() > in.size()) pos = 0;
    std::copy(in.begin() + pos, in.begin() + pos + block.size(), block.begin());
    room.Process(block.data(), int(block.size()));
    benchmark::DoNotOptimize(block.data());
    pos += block.size();
  }
  clock.Report(state);
}
BENCHMARK(BM_RoomBlock)->Arg(200)->Arg(400)->Arg(600);

}  // namespace
