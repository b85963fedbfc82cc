#include "engine/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int log_printf(const char *format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0) return n;
  size_t len = (size_t)n < sizeof line ? (size_t)n : sizeof line - 1;
  // One write per line: lines of different threads never mix, and nothing
  // sits in a buffer when the process ends abnormally.
  fflush(stdout);
  ssize_t done = 0;
  while ((size_t)done < len) {
    ssize_t w = write(STDOUT_FILENO, line + done, len - done);
    if (w <= 0) break;  // a failed write is ignored
    done += w;
  }
  return n;
}

void kzr_assert_fail(const char *file, int line) {
  log_printf("\n\n####: kzr_assert fail: file=%s; line=%d\n\n", file, line);
  abort();
}
