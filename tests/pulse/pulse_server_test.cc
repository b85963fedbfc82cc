// The private sound server itself (pulse_daemon.h): one whose protocol's
// process dies during a test names it and how it ended; at the end of the
// test nothing of the server is left (no process, no folder).
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "rig/pulse_daemon.h"

using namespace hxtest;

TEST(PulseServer, AServerThatDiesIsNamedAndNothingOfItOutlivesTheTest) {
  std::vector<pid_t> pids;
  std::string dir;
  {
    PulseDaemon server;
    ASSERT_EQ(server.Start(), "");
    EXPECT_EQ(server.Ended(), "");
    pids = server.pids();
    dir = server.dir();
    const pid_t protocol = pids.back();  // started last: pulseaudio, or pipewire-pulse
    ASSERT_EQ(kill(protocol, SIGKILL), 0);
    EXPECT_TRUE(WaitFor([&] { return !server.Ended().empty(); }, 10));
    EXPECT_EQ(server.Ended(), std::string(server.pipewire() ? "pipewire-pulse" : "pulseaudio") + " (pid " +
                                  std::to_string(protocol) + ") was killed by signal 9");
  }
  // Every process was reaped by its ServerProcess: none is left.
  for (pid_t p : pids) EXPECT_TRUE(kill(p, 0) != 0 && errno == ESRCH) << "pid " << p;
  struct stat st;
  EXPECT_NE(stat(dir.c_str(), &st), 0) << dir;
}
