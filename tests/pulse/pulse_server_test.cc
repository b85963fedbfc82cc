// The private sound server itself (pulse_daemon.h): one whose program is
// missing, and one that dies during a test. Each fails clearly and leaves no
// process and no folder behind.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pulse_daemon.h"
#include "support/shell.h"

using namespace hxtest;

namespace {

// The process that serves the protocol: the one the tests' clients reach.
std::string ProtocolProgram() { return TestServer() == "pipewire" ? "pipewire-pulse" : "pulseaudio"; }

// Gone: no such process (every one was reaped by its ServerProcess).
bool Gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

// The protocol's process is not installed (PATH holds every program a
// server needs but that one): Start names it and starts nothing.
TEST(PulseServer, AMissingServerProgramIsNamedAndStartsNothing) {
  const std::string program = ProtocolProgram();
  char tmpl[] = "/tmp/hx-path-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  for (const char *p : {"setpriv", "env", "pactl", "dbus-daemon", "pipewire", "wireplumber",
                        "pipewire-pulse", "pulseaudio"}) {
    const std::string real = FindOnPath(p);
    if (p != program && !real.empty()) {
      EXPECT_EQ(symlink(real.c_str(), (dir + "/" + p).c_str()), 0) << p;
    }
  }
  const std::string path = getenv("PATH");
  setenv("PATH", dir.c_str(), 1);
  PulseDaemon server;
  const std::string error = server.Start();
  setenv("PATH", path.c_str(), 1);
  int status;
  Shell("rm -rf " + dir, &status);
  EXPECT_EQ(error, "the private " + TestServer() + " server cannot start: " + program +
                       " is not installed (scripts/hx.sh setup installs it)");
  EXPECT_TRUE(server.pids().empty());
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
  for (pid_t p : pids) EXPECT_TRUE(Gone(p)) << "pid " << p;
  struct stat st;
  EXPECT_NE(stat(dir.c_str(), &st), 0) << dir;
}
