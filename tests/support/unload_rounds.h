// The load probe's unload-at-any-moment rounds, checked the same way on the
// simulated world and on the real back-ends.
#ifndef HX_TESTS_SUPPORT_UNLOAD_ROUNDS_H
#define HX_TESTS_SUPPORT_UNLOAD_ROUNDS_H

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "rig/shell.h"

// `probe(args, &status)` runs the probe. 200 rounds unload 0..50 ms after the
// start, then 100 within the monitor's first moments (binding the voice path,
// first selection): no thread left, every round under 3 s.
inline void ExpectUnloadRoundsSafe(const std::function<std::string(const std::string &, int *)> &probe) {
  for (const char *args : {"rounds 200 12 50", "rounds 100 34 3"}) {
    int status;
    std::string out = probe(args, &status);
    ASSERT_EQ(status, 0) << args << "\n" << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    EXPECT_EQ(Figure(out, "threads_left"), 0) << args;
    const long worst = Figure(out, "worst_round_ms");
    EXPECT_TRUE(worst >= 0 && worst < 3000) << args << ": worst round " << worst << " ms";
  }
}

#endif
