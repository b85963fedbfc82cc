// Takes over file descriptor 1 so that the module's log lines (written to
// standard output) go to a file, and counts the lines the report needs.
#ifndef HX_HOST_LOG_TAP_H
#define HX_HOST_LOG_TAP_H

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {

struct LogEvent {
  double at_s;        // seconds since the origin (the engine start)
  std::string what;   // short description
};

struct LogCounts {
  long lines = 0;
  long quiet_refusal_lines = 0;  // "del mute pak": quiet packet refused, queue 8..11
  long full_refusal_lines = 0;   // "drop mute pak" / "drop pak": queue of 12 full
  long get_mic_timeouts = 0;
  long no_system_data = 0;
  long play_null = 0;
  long assertion_lines = 0;
  std::vector<LogEvent> selections;  // back-end selection lines, in order
};

class LogTap {
 public:
  // Redirects fd 1 into a pipe drained by a thread that copies it to
  // `log_path`. The original standard output stays reachable as
  // saved_stdout(). False with a reason in *error.
  bool Start(const std::string &log_path, std::string *error);
  // Puts fd 1 back and drains what is left. Safe to call twice.
  void Stop();
  int saved_stdout() const { return saved_stdout_; }
  LogCounts counts();
  // Times of later events are given relative to this monotonic time.
  void set_origin(double monotonic_s) { origin_s_.store(monotonic_s); }

 private:
  void Drain();
  void Classify(const std::string &line);

  int saved_stdout_ = -1;
  int read_fd_ = -1;
  FILE *file_ = nullptr;
  std::string log_path_;
  std::thread reader_;
  std::mutex mu_;
  LogCounts counts_;
  std::atomic<double> origin_s_{0};
};

double MonotonicSeconds();

}  // namespace host

#endif
