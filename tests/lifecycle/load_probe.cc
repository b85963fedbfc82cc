// A minimal host: loads the module by path, starts it and unloads it the
// ways a host may, with its callbacks living in this executable.
//   hx_load_probe MODULE init-deinit | no-deinit
//       Init (and DeInit unless told not to), unload, and report the
//       module's threads ("hx-...") before and after the unload.
//   hx_load_probe MODULE rounds N SEED [MAX_MS]
//       N rounds of load, Init, a random 0..MAX_MS ms (50), unload without
//       DeInit.
//   hx_load_probe MODULE exit-no-deinit | exit-stalled-callback
//       Init, then return from main without DeInit (static destructors run
//       with the engine started); in the second a play callback never returns.
//   hx_load_probe MODULE deinit-stalled-unload
//       DeInit while a play callback is held 6 s, unload, and live on until
//       the callback has come back.
// Exit codes: 0 done, 2 bad arguments, 3 the module did not load, 4, 5 and 7
// a wait ran out. The PROBE lines go straight to file descriptor 1
// (dprintf), in order with the module's log lines.
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "host/module_api.h"

namespace {

// Threads of this process whose name starts with "hx-".
int ModuleThreads() {
  int n = 0;
  DIR *d = opendir("/proc/self/task");
  while (struct dirent *e = d ? readdir(d) : nullptr) {
    char path[300], comm[32] = "";
    snprintf(path, sizeof path, "/proc/self/task/%s/comm", e->d_name);
    if (FILE *f = e->d_name[0] != '.' ? fopen(path, "r") : nullptr)
      n += fgets(comm, sizeof comm, f) && !strncmp(comm, "hx-", 3), fclose(f);
  }
  if (d) closedir(d);
  return n;
}

double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
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
  memcpy(buf, g_far_end.data(), (size_t)len);
  return len;
}

// Loads the module and starts it with this host's callbacks and system audio
// on (its library runs from before the start); false when it cannot.
bool LoadAndInit(const char *path, host::ModuleApi *m) {
  std::string error;
  if (!host::LoadModule(path, m, &error)) return fprintf(stderr, "load failed: %s\n", error.c_str()), false;
  m->SetDownComCallBackPtr((void *)&HostCapture, nullptr, (void *)&HostPlay, &g_far_end);
  m->SetMicroCapture(1);
  m->SetSysCapture(1);
  m->Init();
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  const std::string what = argv[2];
  host::ModuleApi m;
  if (what == "rounds") {
    const int rounds = argc > 3 ? atoi(argv[3]) : 200, max_ms = argc > 5 ? atoi(argv[5]) : 50;
    unsigned seed = argc > 4 ? (unsigned)strtoul(argv[4], nullptr, 10) : 1;
    double worst = 0;
    int threads_left = 0;
    for (int r = 0; r < rounds; ++r) {
      const double t0 = NowMs();
      if (!LoadAndInit(argv[1], &m)) return 3;
      usleep((useconds_t)(rand_r(&seed) % (max_ms + 1)) * 1000);
      dlclose(m.handle);
      if (NowMs() - t0 > worst) worst = NowMs() - t0;
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
    dprintf(1, "PROBE module threads before=%d after=%d\n", before, ModuleThreads());
    return 0;
  }
  if (!Until([] { return g_plays >= 5 && g_captures >= 1; })) return 4;
  if (what == "exit-no-deinit" || what == "exit-stalled-callback") {
    if (what == "exit-stalled-callback") g_stall_ms = -1;
    if (what == "exit-stalled-callback" && !Until([] { return g_stalling.load(); })) return 5;
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
