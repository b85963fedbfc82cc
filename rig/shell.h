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

// The number after ` key=` in `text` (a tool's report line), or -1.
inline long Figure(const std::string &text, const std::string &key) {
  size_t at = text.find(" " + key + "=");
  return at == std::string::npos ? -1 : atol(text.c_str() + at + key.size() + 2);
}

#endif
