// Runs a shell command and returns its output, standard error included.
#ifndef HX_RIG_SHELL_H
#define HX_RIG_SHELL_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

// `status` gets pclose's result (0 when the command exited 0).
inline std::string Shell(const std::string &cmd, int *status) {
  std::string out;
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  for (int c; p && (c = fgetc(p)) != EOF;) out += char(c);
  *status = p ? pclose(p) : -1;
  return out;
}

// Shell, for a program built with ThreadSanitizer that loads and unloads
// libraries: now and then the runtime cannot map the shadow memory of a
// mapping it is handed ("ThreadSanitizer failed to allocate ... bytes",
// errno 12, seen once in hundreds of probe runs even with address-space
// randomisation off) and ends the process, in the runtime, whatever the
// code under test does. Such a run is repeated, up to twice, and says so on
// stderr (one suite run saw it twice in a row; 25 runs of the same test
// after it saw it not once, and the probe's mappings do not grow over its
// rounds). Any other failure, and a third such one, is returned as it came.
inline std::string ShellOutlivingSanitizerMapFailure(const std::string &cmd, int *status) {
  std::string out = Shell(cmd, status);
  for (int again = 0; again < 2 && *status != 0 && out.find("ThreadSanitizer failed to allocate") != std::string::npos;
       ++again) {
    fprintf(stderr, "ThreadSanitizer could not map shadow memory; running again: %s\n", cmd.c_str());
    out = Shell(cmd, status);
  }
  return out;
}

// The number after ` key=` in `text` (a tool's report line), or -1.
inline long Figure(const std::string &text, const std::string &key) {
  size_t at = text.find(" " + key + "=");
  return at == std::string::npos ? -1 : atol(text.c_str() + at + key.size() + 2);
}

#endif
