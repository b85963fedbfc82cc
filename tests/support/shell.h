// Runs a shell command and returns its output, standard error included.
#ifndef HX_TESTS_SUPPORT_SHELL_H
#define HX_TESTS_SUPPORT_SHELL_H

#include <stdio.h>

#include <string>

// `status` gets pclose's result (0 when the command exited 0).
inline std::string Shell(const std::string &cmd, int *status) {
  std::string out;
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  for (int c; p && (c = fgetc(p)) != EOF;) out += char(c);
  *status = p ? pclose(p) : -1;
  return out;
}

#endif
