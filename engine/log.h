// Log channel, fatal assertion and periodic-message pacing.
#ifndef HX_ENGINE_LOG_H
#define HX_ENGINE_LOG_H

#include <stdint.h>

// Formats one line and writes it to standard output in one write, flushed at
// once. The message carries its own line ends. Returns the characters written.
int log_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes "\n\n####: kzr_assert fail: file=%s; line=%d\n\n" and aborts.
[[noreturn]] void kzr_assert_fail(const char *file, int line);

// Fatal assertion at a fixed line number (the number printed on failure).
#define kzr_assert_at(cond, line) \
  ((cond) ? (void)0 : kzr_assert_fail(hx_file_name(__FILE__), (line)))
#define kzr_assert(cond) kzr_assert_at(cond, __LINE__)

// Standard assertion that stays active in every build, reporting the given
// source name and line in the runtime's own form.
extern "C" [[noreturn]] void __assert_fail(const char *assertion, const char *file,
                                           unsigned int line, const char *function) noexcept;
#define hx_assert_at(expr, source, line) \
  ((expr) ? (void)0 : __assert_fail(#expr, (source), (line), __func__))

constexpr const char *hx_file_name(const char *path) {
  const char *base = path;
  for (const char *p = path; *p; ++p)
    if (*p == '/') base = p + 1;
  return base;
}

// Periodic message pacing: true when the counter's value before the
// increment is a multiple of n, so the first occurrence is always logged.
// Counters are plain integers; a lost increment under contention only shifts
// which occurrence is written.
inline bool log_every(int32_t &counter, int32_t n) {
  int32_t taken = __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED);
  return taken % n == 0;
}

#endif
