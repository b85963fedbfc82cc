// A minimal host: loads the module by path, starts it with its callbacks living in this
// executable and unloads it the ways a host may. Usage: hx_load_probe MODULE SCENARIO, with
//   init-deinit | no-deinit: Init (and DeInit), unload; module threads ("hx-...") before/after.
//   rounds N SEED MAX_MS: N rounds of load, Init, a random 0..MAX_MS ms, unload without DeInit.
//   exit-no-deinit | exit-stalled-callback: Init, return from main (static destructors run
//       with the engine started); in the second a play callback never returns.
//   deinit-stalled-unload: DeInit while a play callback is held 6 s, unload, live on until
//       the callback has come back.
// Exit codes: 0 done, 2 bad arguments, 3 no module, 4, 5 and 7 a wait ran out. PROBE lines
// go straight to file descriptor 1, in order with the module's log lines.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "host/module_api.h"
#include "tests/support/module_threads.h"

namespace {

double NowMs() {
  timespec ts;
  return clock_gettime(CLOCK_MONOTONIC, &ts), ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Polls `cond` every 2 ms for up to 10 s.
template <class F>
bool Until(F cond) {
  for (double end = NowMs() + 10000; !cond(); usleep(2000))
    if (NowMs() > end) return false;
  return true;
}

// Host state the callbacks touch: objects of this executable with static
// storage, destroyed at exit like any host's.
std::atomic<long> g_captures{0}, g_plays{0};
std::vector<int16_t> g_far_end(960, 100);
std::atomic<int> g_stall_ms{0};  // next play call holds this long (-1: forever)
std::atomic<bool> g_stalling{false}, g_stall_returned{false};

int32_t HostCapture(void *, int16_t *, int32_t) { return (int32_t)g_captures.fetch_add(1); }
int32_t HostPlay(void *, int16_t *buf, int32_t len, int32_t) {
  const int stall = g_stall_ms.exchange(0);
  if (stall) g_stalling = true;
  while (stall < 0) sleep(100);
  if (stall > 0) usleep((useconds_t)stall * 1000), g_stall_returned = true;
  g_plays.fetch_add(1);
  return memcpy(buf, g_far_end.data(), (size_t)len), len;
}

// Loads the module and starts it with this host's callbacks and system audio
// on (its library runs from before the start); false when it cannot.
bool LoadAndInit(const char *path, host::ModuleApi *m) {
  std::string error;
  if (!host::LoadModule(path, m, &error)) return fprintf(stderr, "load failed: %s\n", error.c_str()), false;
  m->SetDownComCallBackPtr((void *)&HostCapture, nullptr, (void *)&HostPlay, &g_far_end);
  return m->SetMicroCapture(1), m->SetSysCapture(1), m->Init(), true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  const std::string what = argv[2];
  host::ModuleApi m;
  if (what == "rounds") {
    if (argc < 6) return 2;
    const int rounds = atoi(argv[3]), max_ms = atoi(argv[5]);
    unsigned seed = (unsigned)strtoul(argv[4], nullptr, 10);
    double worst = 0;
    int threads_left = 0;
    for (int r = 0; r < rounds; ++r) {
      const double t0 = NowMs();
      if (!LoadAndInit(argv[1], &m)) return 3;
      usleep((useconds_t)(rand_r(&seed) % (max_ms + 1)) * 1000);
      dlclose(m.handle);
      worst = std::max(worst, NowMs() - t0);
      // A joined thread may still show in /proc for a moment after its join
      // returns (the kernel releases the task after waking the joiner); one
      // that is still there after 2 s was left running.
      const double gone_by = NowMs() + 2000;
      while (ModuleThreads() && NowMs() < gone_by) usleep(1000);
      threads_left += ModuleThreads();
    }
    dprintf(1, "PROBE rounds=%d worst_round_ms=%.0f threads_left=%d\n", rounds, worst, threads_left);
    return 0;
  }
  if (!LoadAndInit(argv[1], &m)) return 3;
  if (what == "init-deinit" || what == "no-deinit") {
    usleep(300 * 1000);
    if (what == "init-deinit") m.DeInit();
    const int before = ModuleThreads();
    dlclose(m.handle);
    Until([] { return ModuleThreads() == 0; });  // a joined thread may show for a moment
    dprintf(1, "PROBE module threads before=%d after=%d\n", before, ModuleThreads());
    return 0;
  }
  if (!Until([] { return g_plays >= 5 && g_captures >= 1; })) return 4;
  if (what == "exit-no-deinit" || what == "exit-stalled-callback") {
    if (what == "exit-stalled-callback" && (g_stall_ms = -1, !Until([] { return g_stalling.load(); }))) return 5;
    dprintf(1, "PROBE exiting with the engine started\n");
    return 0;  // static destructors: the module's and this executable's
  }
  if (what != "deinit-stalled-unload") return 2;
  g_stall_ms = 6000;  // longer than the stop and the unload wait together
  if (!Until([] { return g_stalling.load(); })) return 5;
  const double t0 = NowMs();
  m.DeInit();
  const double deinit_ms = NowMs() - t0;
  dlclose(m.handle);
  if (!Until([] { return g_stall_returned.load(); })) return 7;
  Until([] { return ModuleThreads() == 0; });  // the worker's way back runs through the module's code; it then ends
  dprintf(1, "PROBE deinit_ms=%.0f survived the callback's return, threads=%d\n", deinit_ms, ModuleThreads());
  return 0;
}
