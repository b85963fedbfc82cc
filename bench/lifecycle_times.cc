// Measures how long Hx_Aec_Init and Hx_Aec_DeInit take, through the loaded
// module on the simulated world in real time: N start/stop cycles with a
// host whose callbacks return at once, then stops while the host's play
// callback is held 5 s, each followed at once by a new start.
//   LD_LIBRARY_PATH=<build>/lib/hx-aec-mod/sim lifecycle_times [--module PATH] [--cycles N]
//                                                              [--stalls N]
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/option_table.h"
#include "hx_aec_mod.h"

namespace {
std::atomic<int> g_stall_ms{0};
std::atomic<bool> g_stalling{false};

int32_t Capture(void *, int16_t *, int32_t) { return 0; }
int32_t Play(void *, int16_t *buf, int32_t len, int32_t) {
  if (int ms = g_stall_ms.exchange(0)) {
    g_stalling.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    g_stalling.store(false);
  }
  memset(buf, 0, (size_t)len);
  return len;
}

double Ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void Report(const char *what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  printf("%-34s n=%-4zu median %8.2f ms  p95 %8.2f ms  worst %8.2f ms\n", what, v.size(),
         v[v.size() / 2], v[v.size() * 95 / 100], v.back());
}
}  // namespace

int main(int argc, char **argv) {
  std::string module = HX_MODULE_PATH;
  int cycles = 200, stalls = 3;
  const cli::Command command{
      "lifecycle_times", "[options]",
      "Times of Hx_Aec_Init and Hx_Aec_DeInit through the loaded module on the simulated world\n"
      "(its stand-ins first in LD_LIBRARY_PATH).",
      {cli::Text("module", &module, "PATH", "module library (default: the build's)"),
       cli::Int("cycles", &cycles, 1, 100000, "N", "start/stop cycles (default 200)"),
       cli::Int("stalls", &stalls, 0, 100, "N", "stops with the play callback held 5 s (default 3)")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  // The module's log goes to standard output: keep it out of the figures.
  const int out = dup(1), null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  void *lib = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) return fprintf(stderr, "%s\n", dlerror()), 3;
#define SYM(name) reinterpret_cast<decltype(&name)>(dlsym(lib, #name))
  auto init = SYM(Hx_Aec_Init), deinit = SYM(Hx_Aec_DeInit);
  static int host;  // a null context counts as no callback
  SYM(Hx_Aec_SetDownComCallBackPtr)((void *)&Capture, &host, (void *)&Play, &host);
  SYM(Hx_Aec_SetMicroCapture)(1);
#undef SYM
  std::vector<double> t_init, t_deinit, t_stall_deinit, t_stall_init;
  for (int i = 0; i < cycles; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    init();
    t_init.push_back(Ms(t0));
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 50));
    t0 = std::chrono::steady_clock::now();
    deinit();
    t_deinit.push_back(Ms(t0));
  }
  for (int i = 0; i < stalls; ++i) {
    init();
    g_stall_ms.store(5000);
    while (!g_stalling.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto t0 = std::chrono::steady_clock::now();
    deinit();
    t_stall_deinit.push_back(Ms(t0));
    t0 = std::chrono::steady_clock::now();
    init();
    t_stall_init.push_back(Ms(t0));
    deinit();
    while (g_stalling.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  dup2(out, 1);
  Report("Hx_Aec_Init", t_init);
  Report("Hx_Aec_DeInit", t_deinit);
  if (stalls) {
    Report("Hx_Aec_DeInit, play callback held", t_stall_deinit);
    Report("Hx_Aec_Init right after it", t_stall_init);
  }
  return 0;
}
