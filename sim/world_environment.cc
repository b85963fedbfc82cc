// World configuration from HXSIM_* environment variables, applied when the
// library is loaded: a program that never calls the hxsim API still gets
// its microphone, system audio and endpoints.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hxsim.h"

namespace {

// "R,C" with two decimal counts, nothing else.
bool ParseEndpoints(const char *text, uint32_t *render, uint32_t *capture) {
  unsigned long r = 0, c = 0;
  int used = 0;
  if (sscanf(text, "%lu,%lu%n", &r, &c, &used) != 2 || text[used] != '\0') return false;
  if (r > 64 || c > 64) return false;
  *render = (uint32_t)r;
  *capture = (uint32_t)c;
  return true;
}

__attribute__((constructor)) void ApplyEnvironmentAtLoad() { hxsim_apply_environment(); }

}  // namespace

extern "C" int32_t hxsim_apply_environment(void) {
  int32_t bad = 0;
  const char *loop_text = getenv("HXSIM_LOOP");
  const int loop = loop_text && strcmp(loop_text, "0") != 0 && loop_text[0] != '\0';
  if (const char *path = getenv("HXSIM_MIC_WAV")) {
    if (hxsim_set_mic_wav(path, loop) != 0) {
      fprintf(stderr, "hxsim: HXSIM_MIC_WAV ignored: %s\n", hxsim_last_error());
      ++bad;
    }
  }
  if (const char *path = getenv("HXSIM_SYS_WAV")) {
    if (hxsim_set_sys_wav(path, loop) != 0) {
      fprintf(stderr, "hxsim: HXSIM_SYS_WAV ignored: %s\n", hxsim_last_error());
      ++bad;
    }
  }
  if (const char *text = getenv("HXSIM_ENDPOINTS")) {
    uint32_t render = 0, capture = 0;
    if (ParseEndpoints(text, &render, &capture)) {
      hxsim_set_endpoints(render, capture);
    } else {
      fprintf(stderr, "hxsim: HXSIM_ENDPOINTS=%s ignored: expected two counts, e.g. 1,1\n", text);
      ++bad;
    }
  }
  return bad;
}
