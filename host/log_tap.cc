#include "log_tap.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace host {

double MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

bool LogTap::Start(const std::string &log_path, std::string *error) {
  file_ = fopen(log_path.c_str(), "w");
  if (!file_) {
    *error = "cannot write '" + log_path + "': " + strerror(errno);
    return false;
  }
  setvbuf(file_, nullptr, _IONBF, 0);  // each chunk reaches the file at once
  log_path_ = log_path;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  fflush(stdout);
  saved_stdout_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_stdout_ < 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
    *error = std::string("cannot redirect standard output: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  close(fds[1]);  // fd 1 is now the only write end
  read_fd_ = fds[0];
  origin_s_.store(MonotonicSeconds());
  reader_ = std::thread(&LogTap::Drain, this);
  return true;
}

void LogTap::Stop() {
  if (saved_stdout_ < 0) return;
  fflush(stdout);
  // Replacing fd 1 closes the last write end; the reader then sees EOF.
  // A module thread that still writes afterwards (the monitor's last pass,
  // the unload at exit) appends to the same log file; without the file,
  // fd 1 goes back to the original standard output.
  int late = open(log_path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  dup2(late >= 0 ? late : saved_stdout_, STDOUT_FILENO);
  if (late >= 0) close(late);
  if (reader_.joinable()) reader_.join();
  close(read_fd_);
  read_fd_ = -1;
  fclose(file_);
  file_ = nullptr;
  close(saved_stdout_);
  saved_stdout_ = -1;
}

LogCounts LogTap::counts() {
  std::lock_guard<std::mutex> g(mu_);
  return counts_;
}

void LogTap::Drain() {
  char buf[4096];
  std::string pending;
  for (;;) {
    ssize_t n = read(read_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    fwrite(buf, 1, static_cast<size_t>(n), file_);
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      Classify(pending.substr(0, nl));
      pending.erase(0, nl + 1);
    }
  }
  if (!pending.empty()) Classify(pending);
  fflush(file_);
}

void LogTap::Classify(const std::string &line) {
  if (line.empty()) return;
  auto has = [&](const char *s) { return line.find(s) != std::string::npos; };
  std::lock_guard<std::mutex> g(mu_);
  ++counts_.lines;
  if (has("del mute pak:")) ++counts_.quiet_refusal_lines;
  if (has("drop mute pak:") || has("drop pak:")) ++counts_.full_refusal_lines;
  if (has("get mic timeout")) ++counts_.get_mic_timeouts;
  if (has("no system data")) ++counts_.no_system_data;
  if (has("m_fnPlay is null")) ++counts_.play_null;
  if (has("kzr_assert fail")) ++counts_.assertion_lines;
  const char *what = nullptr;
  if (has("to init win7-aec[0]")) what = "voice path with capture (Brisa)";
  else if (has("win7 aec Init fail")) what = "voice path init failed";
  else if (has("BBBBBBBB") && has("to init win-in[0]")) what = "plain capture (Mirel)";
  else if (has("CCCCCCCC") && has("to init win-in[0]")) what = "voice path, playback only (Brisa)";
  else if (has("no any-capture endpoint !!![0]")) what = "no back-end (no endpoint)";
  else if (has("ready to restart tovan")) what = "system-audio capture restarted (Tovan)";
  else if (has("failed to tovan_init")) what = "system-audio capture failed";
  if (what) counts_.selections.push_back({MonotonicSeconds() - origin_s_.load(), what});
}

}  // namespace host
