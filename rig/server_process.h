// One process of a private sound server. It is started through
// `setpriv --pdeathsig KILL`, so the kernel kills it when the thread that
// started it ends: a crashed test or a killed tool leaves nothing behind.
// Its standard output and error are appended to a log file.
#ifndef HX_RIG_SERVER_PROCESS_H
#define HX_RIG_SERVER_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace hxtest {

class ServerProcess {
 public:
  explicit ServerProcess(std::string program) : program_(std::move(program)) {}
  ~ServerProcess() { Kill(); }
  ServerProcess(const ServerProcess &) = delete;
  ServerProcess &operator=(const ServerProcess &) = delete;
  // Runs `program_ args...` with the environment `env` (NAME=value
  // entries) and nothing else. "" when it was started; else why not.
  std::string Start(const std::vector<std::string> &args, const std::vector<std::string> &env,
                    const std::string &log);
  // False once the process has ended (it is then reaped, and ended() says how).
  bool Running();
  void Kill();  // SIGKILL, then wait for it
  void Signal(int sig);
  pid_t pid() const { return pid_; }
  const std::string &program() const { return program_; }
  // "pipewire (pid 123) was killed by signal 9", "" while it runs or before it ran.
  const std::string &ended() const { return ended_; }

 private:
  void Reaped(int status);
  std::string program_;
  pid_t pid_ = -1;
  std::string ended_;
};

}  // namespace hxtest

#endif
