// Captures what the module writes to standard output while the object lives. The module
// writes each line with one write(2), so redirecting the descriptor catches everything,
// from any thread.
#ifndef HX_TESTS_SUPPORT_LOG_CAPTURE_H
#define HX_TESTS_SUPPORT_LOG_CAPTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "rig/wait_until.h"

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();  // restores standard output
  std::string Text() const;  // everything written so far (the capture goes on)
  std::vector<std::string> Lines() const;  // split at '\n', line ends dropped
  int Count(const std::string &needle) const;
  // Polls until `needle` appears `times` times or `timeout_ms` passes.
  bool WaitFor(const std::string &needle, int times = 1, int timeout_ms = 10000) const;
  void Clear();
  void TailToStderr(size_t lines) const;  // the last `lines` lines, after a failure

 private:
  int saved_fd_, file_fd_;
  std::string path_;
};

// Makes every test failure also go to standard error, which a LogCapture leaves alone.
// Once per test program; returns true.
bool FailuresToStderr();

// Each of `want` is a whole line of `text`, in this order (others may come
// between); the failure names the first one missing.
::testing::AssertionResult InOrder(const std::string &text, const std::vector<std::string> &want);

int CountOf(const std::string &text, const std::string &needle);

#endif
