#include "rig/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace hxtest {

std::string ServerProcess::Start(const std::vector<std::string> &args, const std::vector<std::string> &env,
                                 const std::string &log) {
  Kill();
  ended_.clear();
  // setpriv asks the kernel for SIGKILL when the starting thread ends, then
  // env -i (nothing inherited but `env`) becomes the program.
  std::vector<std::string> line = {"setpriv", "--pdeathsig", "KILL", "env", "-i"};
  line.insert(line.end(), env.begin(), env.end());
  line.push_back(program_);
  line.insert(line.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : line) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
  const int err = posix_spawnp(&pid_, "setpriv", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (err == 0) return "";
  pid_ = -1;
  return "cannot run 'setpriv env " + program_ + "': " + strerror(err);
}

void ServerProcess::Reaped(int status) {
  std::string how = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                                        : "exited with status " + std::to_string(WEXITSTATUS(status));
  ended_ = program_ + " (pid " + std::to_string(pid_) + ") " + how;
  pid_ = -1;
}

bool ServerProcess::Running() {
  int status;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) Reaped(status);
  return pid_ > 0;
}

void ServerProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status;
  if (waitpid(pid_, &status, 0) == pid_) Reaped(status);
  pid_ = -1;
}

void ServerProcess::Signal(int sig) { if (pid_ > 0) kill(pid_, sig); }

}  // namespace hxtest
