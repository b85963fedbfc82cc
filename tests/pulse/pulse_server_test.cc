// The private sound server itself (pulse_daemon.h): one that cannot start,
// one that dies during a test, and a test program that crashes with its
// server running. Each fails clearly or ends cleanly, and leaves no process
// and no folder behind.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "pulse_daemon.h"
#include "support/shell.h"

using namespace hxtest;

namespace {

// The process that serves the protocol: the one the tests' clients reach.
std::string ProtocolProgram() { return TestServer() == "pipewire" ? "pipewire-pulse" : "pulseaudio"; }

// Gone: no such process, or one that ended and waits for its reaper.
bool Gone(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  return paren == std::string::npos || text.compare(paren, 4, ") Z ") == 0;
}

bool AllGone(const std::vector<pid_t> &pids) {
  for (pid_t p : pids)
    if (!Gone(p)) return false;
  return true;
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

// A folder to put first on PATH: links to the programs a server needs but
// `program`, which is missing or, given a `script`, that script.
class Programs {
 public:
  Programs(const std::string &program, const std::string &script) {
    char tmpl[] = "/tmp/hx-path-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;
    for (const char *p : {"setpriv", "env", "pactl", "dbus-daemon", "pipewire", "wireplumber",
                          "pipewire-pulse", "pulseaudio"}) {
      const std::string real = FindOnPath(p);
      if (p != program && !real.empty()) ok_ &= symlink(real.c_str(), (dir_ + "/" + p).c_str()) == 0;
    }
    if (script.empty()) return;
    std::ofstream(dir_ + "/" + program) << script;
    ok_ &= chmod((dir_ + "/" + program).c_str(), 0755) == 0;
  }
  ~Programs() {
    int status;
    if (!dir_.empty()) Shell("rm -rf " + dir_, &status);
  }
  bool ok() const { return ok_ && !dir_.empty(); }
  // Start with PATH set to the folder only; the server's clean-up runs after.
  std::string Start(PulseDaemon *server) {
    const std::string path = getenv("PATH");
    setenv("PATH", dir_.c_str(), 1);
    const std::string error = server->Start();
    setenv("PATH", path.c_str(), 1);
    return error;
  }

 private:
  std::string dir_;
  bool ok_ = true;
};

// The protocol's process is not installed: Start names it and starts
// nothing. A stand-in that says why and exits 1 at start: Start names it,
// how it ended and what it said, and every process it had started is gone,
// the folder too.
TEST(PulseServer, AMissingOrFailingServerIsNamedAndLeavesNoProcess) {
  const std::string program = ProtocolProgram();
  {
    Programs missing(program, "");
    ASSERT_TRUE(missing.ok());
    PulseDaemon server;
    EXPECT_EQ(missing.Start(&server), "the private " + TestServer() + " server cannot start: " + program +
                                          " is not installed (scripts/hx.sh setup installs it)");
    EXPECT_TRUE(server.pids().empty());
  }
  Programs failing(program, "#!/bin/sh\necho 'no sound today' >&2\nexit 1\n");
  ASSERT_TRUE(failing.ok());
  std::unique_ptr<PulseDaemon> server(new PulseDaemon);
  const std::string error = failing.Start(server.get());
  const std::vector<pid_t> pids = server->pids();
  const std::string dir = server->dir();
  server.reset();
  EXPECT_NE(error.find("(" + program + " (pid "), std::string::npos) << error;
  EXPECT_NE(error.find(") exited with status 1)"), std::string::npos) << error;
  EXPECT_NE(error.find("no sound today"), std::string::npos) << error;
  EXPECT_EQ(pids.size(), TestServer() == "pipewire" ? 4u : 1u) << "bus, pipewire, wireplumber, pipewire-pulse";
  EXPECT_TRUE(AllGone(pids));
  EXPECT_FALSE(Exists(dir)) << dir;
}

// The protocol's process dies during a test: the server names it and how
// it ended; at the end of the test nothing of the server is left.
TEST(PulseServer, AServerThatDiesIsNamedAndNothingOfItOutlivesTheTest) {
  std::vector<pid_t> pids;
  std::string dir;
  {
    PulseDaemon server;
    ASSERT_EQ(server.Start(), "");
    EXPECT_EQ(server.Ended(), "");
    pids = server.pids();
    dir = server.dir();
    const pid_t protocol = pids.back();  // started last
    ASSERT_EQ(kill(protocol, SIGKILL), 0);
    EXPECT_TRUE(WaitFor([&] { return !server.Ended().empty(); }, 10));
    EXPECT_EQ(server.Ended(), ProtocolProgram() + " (pid " + std::to_string(protocol) + ") was killed by signal 9");
  }
  EXPECT_TRUE(AllGone(pids));
  EXPECT_FALSE(Exists(dir)) << dir;
}

// A test program that crashes with its server running (no destructor
// runs): the kernel ends every process of the server with it. This test
// process adopts them (a subreaper), so it reaps them and removes the
// folder the crash left.
TEST(PulseServer, ACrashedTestProgramLeavesNoServerProcess) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    PulseDaemon server;
    if (server.Start().empty()) {
      for (pid_t p : server.pids()) (void)!write(fds[1], &p, sizeof p);
      const pid_t end = 0;
      (void)!write(fds[1], &end, sizeof end);
      (void)!write(fds[1], server.dir().data(), server.dir().size());
    }
    signal(SIGABRT, SIG_DFL);
    abort();
  }
  close(fds[1]);
  std::vector<pid_t> pids;
  for (pid_t p; read(fds[0], &p, sizeof p) == sizeof p && p != 0;) pids.push_back(p);
  std::string dir;
  for (char c; read(fds[0], &c, 1) == 1;) dir += c;
  close(fds[0]);
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
  ASSERT_EQ(pids.size(), TestServer() == "pipewire" ? 4u : 1u) << "the server did not start in the child";
  EXPECT_TRUE(WaitFor([&] {
    for (pid_t p : pids) waitpid(p, nullptr, WNOHANG);
    return AllGone(pids);
  }, 10)) << "a server process outlived its test program";
  if (dir.compare(0, 14, "/tmp/hx-pulse-") == 0) Shell("rm -rf " + dir, &status);
}
