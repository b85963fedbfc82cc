// Threads of this process whose name starts with "hx-": the module's workers.
#ifndef HX_TESTS_SUPPORT_MODULE_THREADS_H
#define HX_TESTS_SUPPORT_MODULE_THREADS_H

#include <dirent.h>
#include <stdio.h>
#include <string.h>

inline int ModuleThreads() {
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

#endif
