#include "pulse_probe.h"

#include <pulse/pulseaudio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace host {

namespace {
double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// What libpulse tries when nothing names a server: the per-user socket.
std::string DefaultServer() {
  const char *env = getenv("PULSE_SERVER");
  if (env && *env) return env;
  const char *runtime = getenv("XDG_RUNTIME_DIR");
  std::string dir = runtime && *runtime ? runtime : "/run/user/" + std::to_string(getuid());
  return "unix:" + dir + "/pulse/native";
}
}  // namespace

bool ProbeSoundServer(double timeout_s, std::string *server) {
  *server = DefaultServer();
  pa_mainloop *loop = pa_mainloop_new();
  if (!loop) return false;
  pa_context *c = pa_context_new(pa_mainloop_get_api(loop), "hxaec-host probe");
  bool ready = false;
  if (c && pa_context_connect(c, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    const double until = Now() + timeout_s;
    for (;;) {
      pa_context_state_t st = pa_context_get_state(c);
      if (st == PA_CONTEXT_READY) {
        ready = true;
        if (const char *name = pa_context_get_server(c)) *server = name;
        break;
      }
      if (!PA_CONTEXT_IS_GOOD(st) || Now() > until) break;
      pa_mainloop_iterate(loop, 0, nullptr);
      usleep(2000);
    }
    pa_context_disconnect(c);
  }
  if (c) pa_context_unref(c);
  pa_mainloop_free(loop);
  return ready;
}

}  // namespace host
