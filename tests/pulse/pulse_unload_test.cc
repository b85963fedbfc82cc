// Unload at any moment over the real back-end libraries, on a private
// PulseAudio daemon: the load probe (tests/lifecycle/load_probe.cc) loads the
// module as a host does, starts it and unloads it without a stop at random
// moments, or ends the process with the engine started. The back-ends'
// stops then run inside dlclose or at exit, with their own threads busy.
#include <gtest/gtest.h>

#include <string>

#include "pulse_daemon.h"
#include "support/unload_rounds.h"

using namespace hxtest;

namespace {

class PulseUnload : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(daemon_.Start(), "") << "a real-device test needs its private PulseAudio daemon";
    feeder_.reset(new MicFeeder(daemon_.fifo()));
  }
  // The probe reaches the daemon through PULSE_SERVER (set by the daemon)
  // and the real back-ends beside the module. A probe that does not end
  // within 120 s is killed: a hang fails the test.
  std::string Probe(const std::string &scenario, int *status) {
    return Shell("timeout -s KILL 120 " HX_PROBE_PATH " " HX_MODULE_PATH " " + scenario, status);
  }
  PulseDaemon daemon_;
  std::unique_ptr<MicFeeder> feeder_;
};

TEST_F(PulseUnload, UnloadWithoutDeInitAtAnyMomentNeverHangsOrCrashes) {
  ExpectUnloadRoundsSafe([this](const std::string &args, int *status) { return Probe(args, status); });
}

TEST_F(PulseUnload, ProcessExitWithoutDeInitNeverHangsOrCrashes) {
  // The last line the module writes: the engine destroyed, or (a play
  // callback that never returns) left in memory.
  const std::pair<const char *, const char *> runs[] = {
      {"exit-no-deinit", "exit ......~Hx_AEC_Impl\n"},
      {"exit-stalled-callback", "a worker is still in a host callback: engine left in memory\n"}};
  for (const auto &run : runs) {
    int status;
    std::string out = Probe(run.first, &status);
    EXPECT_EQ(status, 0) << run.first << "\n" << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    EXPECT_NE(out.find("PROBE exiting with the engine started\n"), std::string::npos) << run.first;
    EXPECT_NE(out.find(run.second), std::string::npos) << run.first;
  }
}

}  // namespace
