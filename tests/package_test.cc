// The Debian packages as a host developer gets them: built with cpack from this build, unpacked
// into a scratch root (the machine is not touched), then used: pkg-config builds the C example
// against the unpacked files, which runs on the simulated world with a speech WAV as microphone.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "pulse/signal_check.h"
#include "support/shell.h"

namespace {

// Shell command that must succeed; its output without trailing blanks.
std::string MustRun(const std::string &cmd) {
  int status = -1;
  std::string out = Shell(cmd, &status);
  EXPECT_EQ(0, status) << cmd << "\n" << out;
  while (!out.empty() && isspace((unsigned char)out.back())) out.pop_back();
  return out;
}

class Package : public ::testing::Test {
 protected:
  // Reads the build's version and the module's folder from the manifest, builds the packages
  // and unpacks them.
  void SetUp() override {
    std::ifstream in(HX_BINARY_DIR "/package-manifest.txt");
    std::string prefix, module;
    for (std::string key, a, line; std::getline(in, line);) {
      std::istringstream(line) >> key >> a;
      if (key == "version") version_ = a;
      else if (key == "prefix") prefix = a;
      else if (key == "runtime" && a.size() > 17 && a.compare(a.size() - 17, 17, "/libHx_Aec_Mod.so") == 0) module = a;
    }
    ASSERT_FALSE(version_.empty() || module.empty()) << "no manifest at " HX_BINARY_DIR "/package-manifest.txt";
    char tmpl[] = "/tmp/hx-package-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    scratch_ = tmpl;
    MustRun("cpack -G DEB --config " HX_BINARY_DIR "/CPackConfig.cmake -B " + scratch_ + "/debs");
    MustRun("for deb in " + scratch_ + "/debs/*.deb; do dpkg-deb -x $deb " + scratch_ + "/root || exit 1; done");
    lib_dir_ = scratch_ + "/root" + prefix + "/" + module.substr(0, module.rfind('/'));
  }
  void TearDown() override {
    if (!scratch_.empty() && !getenv("HX_KEEP_PACKAGE_TEST")) MustRun("rm -rf " + scratch_);
  }
  std::string PkgConfig(const std::string &args) {
    return MustRun("PKG_CONFIG_PATH=" + lib_dir_ + "/pkgconfig pkg-config " + args);
  }

  std::string version_, scratch_, lib_dir_;
};

}  // namespace

// The C example builds with the flags pkg-config gives (only the unpacked files hold its header
// and library) and records the microphone through the echo-cancelling voice path; the version
// it prints comes from the unpacked header.
TEST_F(Package, PkgConfigPointsIntoTheInstallAndBuildsTheExampleThatRecordsTheMicrophone) {
  EXPECT_EQ(version_, PkgConfig("--modversion hx-aec-mod"));
  const std::string exe = scratch_ + "/hx_record", wav = scratch_ + "/upstream.wav";
  MustRun("cc -std=c11 -Wall -Wextra -Werror " HX_SOURCE_DIR "/examples/hx_record.c -o " + exe + " " +
          PkgConfig("--cflags --libs hx-aec-mod sndfile"));
  int status = -1;
  // On the simulated world, the speech WAV as microphone.
  const std::string out = Shell("env LD_LIBRARY_PATH=" + lib_dir_ + "/hx-aec-mod/sim:" + lib_dir_ +
                                " HXSIM_MIC_WAV=" HX_SOURCE_DIR "/tests/data/speech16k.wav " + exe + " 3 " + wav, &status);
  ASSERT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("hx_record: module interface " + version_)) << out;
  EXPECT_NE(std::string::npos, out.find(std::string(47, 'A') + "a: to init win7-aec[1]---end\n"))
      << "the echo-cancelling voice path did not start:\n" << out;
  SF_INFO info;
  const std::vector<int16_t> up = hxtest::ReadWav(wav, &info), mic = hxtest::Speech16k();
  ASSERT_GE(info.frames, 72000) << out;  // 3 s in real time: at least half of it, however loaded
  ASSERT_GT(mic.size(), 20000u);
  // The first 0.75 s of speech (it starts 0.5 s into the file), found anywhere upstream.
  EXPECT_GE(hxtest::FindMatch(std::vector<int16_t>(mic.begin() + 8000, mic.begin() + 20000),
                              hxtest::Channel(up, 2, 0, 3)).ncc, 0.8)
      << "the upstream audio does not hold the microphone speech";
}
