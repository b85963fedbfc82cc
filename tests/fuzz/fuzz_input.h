// Reads typed values from a fuzzer's input; past the end every value is 0.
// Included once per target: it also silences the module's log (standard
// output) at the fuzzer's start, for speed.
#ifndef HX_TESTS_FUZZ_FUZZ_INPUT_H
#define HX_TESTS_FUZZ_FUZZ_INPUT_H

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct FuzzInput {
  const uint8_t *p;
  size_t n;
  size_t left() const { return n; }
  uint8_t u8() { return n ? (--n, *p++) : 0; }
  uint16_t u16() { return (uint16_t)(u8() | u8() << 8); }
  uint32_t u32() { return (uint32_t)u16() | (uint32_t)u16() << 16; }
  int16_t s16() { return (int16_t)u16(); }
  // One of `values`, or (selector past them) a raw 32-bit value.
  template <size_t N>
  uint32_t Pick(const uint32_t (&values)[N]) {
    const uint8_t s = u8();
    return s < N ? values[s] : u32();
  }
};

// A heap block of exactly `bytes` (a zero-length block for 0): the
// sanitizer reports any access past it.
inline void *ExactBlock(size_t bytes) { return malloc(bytes ? bytes : 0); }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  int fd = open("/dev/null", O_WRONLY);
  if (fd >= 0) dup2(fd, 1), close(fd);
  return 0;
}

#define HX_FUZZ_CHECK(cond) \
  do { if (!(cond)) fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__), abort(); } while (0)

#endif
