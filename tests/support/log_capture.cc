#include "support/log_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <sstream>

LogCapture::LogCapture() {
  char tmpl[] = "/tmp/hx_log_XXXXXX";
  file_fd_ = mkstemp(tmpl), path_ = tmpl, fflush(nullptr);
  saved_fd_ = dup(1), dup2(file_fd_, 1);
}

LogCapture::~LogCapture() {
  fflush(nullptr), dup2(saved_fd_, 1);
  close(saved_fd_), close(file_fd_), unlink(path_.c_str());
}

std::string LogCapture::Text() const {
  std::string out;
  int fd = open(path_.c_str(), O_RDONLY);
  char buf[65536];
  for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
  if (fd >= 0) close(fd);
  return out;
}

std::vector<std::string> LogCapture::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(Text());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

::testing::AssertionResult InOrder(const std::string &text, const std::vector<std::string> &want) {
  const std::string lines = "\n" + text;
  size_t at = 0;
  for (const std::string &w : want) {
    if ((at = lines.find("\n" + w + "\n", at)) == std::string::npos)
      return ::testing::AssertionFailure() << "missing or out of order: " << w << "\n" << text;
    at += w.size() + 1;
  }
  return ::testing::AssertionSuccess();
}

int CountOf(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

int LogCapture::Count(const std::string &needle) const { return CountOf(Text(), needle); }

bool LogCapture::WaitFor(const std::string &needle, int times, int timeout_ms) const {
  return WaitUntil([&] { return Count(needle) >= times; }, timeout_ms);
}

void LogCapture::Clear() {
  fflush(nullptr);
  if (ftruncate(file_fd_, 0) == 0) lseek(file_fd_, 0, SEEK_SET);
}

void LogCapture::TailToStderr(size_t lines) const {
  const std::vector<std::string> all = Lines();
  fprintf(stderr, "module log (last %zu lines):\n", lines);
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    fprintf(stderr, "  %s\n", all[i].c_str());
}

namespace {
struct FailureEcho : testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult &r) override {
    if (r.failed()) fprintf(stderr, "%s:%d: Failure\n%s\n", r.file_name(), r.line_number(), r.summary());
  }
};
}  // namespace

bool FailuresToStderr() {
  testing::UnitTest::GetInstance()->listeners().Append(new FailureEcho);
  return true;
}
