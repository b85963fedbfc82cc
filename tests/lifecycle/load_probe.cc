// A minimal host: loads the module by path, runs Init (and DeInit unless
// told not to), unloads it and reports the module's threads ("hx-...")
// before and after the unload.
//   hx_load_probe MODULE init-deinit | no-deinit
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "hx_aec_mod.h"

// Threads of this process whose name starts with "hx-".
static int ModuleThreads() {
  int n = 0;
  DIR *d = opendir("/proc/self/task");
  while (struct dirent *e = d ? readdir(d) : nullptr) {
    char path[300], comm[32] = "";
    snprintf(path, sizeof path, "/proc/self/task/%s/comm", e->d_name);
    if (FILE *f = e->d_name[0] != '.' ? fopen(path, "r") : nullptr) {
      n += fgets(comm, sizeof comm, f) && !strncmp(comm, "hx-", 3);
      fclose(f);
    }
  }
  if (d) closedir(d);
  return n;
}

int main(int argc, char **argv) {
  if (argc < 3 || (strcmp(argv[2], "init-deinit") && strcmp(argv[2], "no-deinit"))) return 2;
  void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) return fprintf(stderr, "load failed: %s\n", dlerror()), 3;
  auto init = reinterpret_cast<decltype(&Hx_Aec_Init)>(dlsym(lib, "Hx_Aec_Init"));
  auto deinit = reinterpret_cast<decltype(&Hx_Aec_DeInit)>(dlsym(lib, "Hx_Aec_DeInit"));
  if (!init || !deinit) return 4;
  init();
  usleep(300 * 1000);
  if (!strcmp(argv[2], "init-deinit")) deinit();
  int before = ModuleThreads();
  dlclose(lib);
  // write(2), as the module's log, keeps this line after the module's lines.
  char line[128];
  int n = snprintf(line, sizeof line, "PROBE module threads before=%d after=%d\n", before,
                   ModuleThreads());
  return write(1, line, (size_t)n) == n ? 0 : 6;
}
