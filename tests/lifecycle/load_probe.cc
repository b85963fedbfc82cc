// A minimal host: loads the module by path, runs one lifecycle scenario,
// unloads it and reports how many threads the process has before and after.
//   hx_load_probe MODULE init-deinit | no-deinit | exports
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "hx_aec_mod.h"

// Threads of the process; with `module_only`, only the module's workers
// (named "hx-...").
static int ThreadCount(bool module_only = false) {
  int n = 0;
  DIR *d = opendir("/proc/self/task");
  if (!d) return -1;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (module_only) {
      char path[300], comm[32] = {0};
      snprintf(path, sizeof path, "/proc/self/task/%s/comm", e->d_name);
      FILE *f = fopen(path, "r");
      if (!f) continue;
      if (!fgets(comm, sizeof comm, f)) comm[0] = 0;
      fclose(f);
      if (strncmp(comm, "hx-", 3) != 0) continue;
    }
    ++n;
  }
  closedir(d);
  return n;
}

template <typename Fn>
static Fn Sym(void *lib, const char *name) {
  return reinterpret_cast<Fn>(dlsym(lib, name));
}

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  const char *scenario = argv[2];
  int before = ThreadCount();
  void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "load failed: %s\n", dlerror());
    return 3;
  }
  auto init = Sym<int32_t (*)()>(lib, "Hx_Aec_Init");
  auto deinit = Sym<int32_t (*)()>(lib, "Hx_Aec_DeInit");
  if (!init || !deinit) return 4;
  if (!strcmp(scenario, "init-deinit")) {
    init();
    usleep(300 * 1000);
    deinit();
  } else if (!strcmp(scenario, "no-deinit")) {
    init();
    usleep(300 * 1000);
  } else if (strcmp(scenario, "load-only") != 0) {
    return 5;
  }
  if (ThreadCount(true) != 0 && !strcmp(scenario, "no-deinit")) {
    const char msg[] = "PROBE module threads running before unload\n";
    if (write(1, msg, sizeof msg - 1) < 0) return 6;
  }
  dlclose(lib);
  int after = ThreadCount();
  // The module's threads are gone once dlclose returns.
  char line[128];
  int n = snprintf(line, sizeof line, "PROBE threads before=%d after=%d module=%d\n", before,
                   after, ThreadCount(true));
  if (write(1, line, (size_t)n) < 0) return 6;
  return 0;
}
