// hxaec-host --devices pulse with no server says so in one line and fails.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/shell.h"

TEST(PulseHost, NoServerIsOneLineNamingItAndAFailure) {
  setenv("PULSE_SERVER", "unix:/nonexistent/hx-test/sock", 1);
  int status;
  const std::string text =
      Shell(HX_HOST_PATH " --quiet --devices pulse --seconds 1 --out /nonexistent/hx-out", &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(text, "hxaec-host: no sound server reachable at unix:/nonexistent/hx-test/sock\n");
}
