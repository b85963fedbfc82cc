// The Debian packages as a host developer gets them: built with cpack from this build, checked
// against the build's manifest (files, version, dependencies), unpacked into a scratch root (the
// machine is not touched), then used: find_package(HxAecMod), and pkg-config to build the C example
// against the unpacked files and run it on the simulated world with a speech WAV as microphone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "pulse/signal_check.h"
#include "support/shell.h"

namespace {

std::vector<std::string> Split(const std::string &text, const char *seps) {
  std::vector<std::string> out;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find_first_of(seps, at), text.size());
    if (end > at) out.push_back(text.substr(at, end - at));
  }
  return out;
}

bool EndsWith(const std::string &s, const std::string &end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

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
  // Reads the manifest, builds the packages and unpacks them once for all the checks.
  static void SetUpTestSuite() {
    std::ifstream in(HX_BINARY_DIR "/package-manifest.txt");
    for (std::string key, a, b, line; std::getline(in, line);) {
      std::istringstream(line) >> key >> a >> b;
      if (key == "version") version_ = a;
      else if (key == "prefix") prefix_ = a;
      else if (key == "package") package_[a] = b;
      else if (key == "backend") backends_.insert(a);
      else files_[key].insert(a);
    }
    char tmpl[] = "/tmp/hx-package-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    scratch_ = tmpl;
    MustRun("cpack -G DEB --config " HX_BINARY_DIR "/CPackConfig.cmake -B " + scratch_ + "/debs");
    for (const std::string &deb : Split(MustRun("ls " + scratch_ + "/debs/*.deb"), "\n")) {
      debs_[MustRun("dpkg-deb -f " + deb + " Package")] = deb;
      MustRun("dpkg-deb -x " + deb + " " + scratch_ + "/root");
    }
    for (const std::string &f : files_["runtime"])  // the module's folder in the scratch root
      if (EndsWith(f, "/libHx_Aec_Mod.so")) lib_dir_ = Root() + "/" + f.substr(0, f.rfind('/'));
  }
  static void TearDownTestSuite() {
    if (!scratch_.empty() && !getenv("HX_KEEP_PACKAGE_TEST")) MustRun("rm -rf " + scratch_);
  }
  // True when `component` installs a file named `lib`.
  static bool Ships(const std::string &component, const std::string &lib) {
    for (const std::string &f : files_[component])
      if (EndsWith(f, "/" + lib)) return true;
    return false;
  }
  static std::string Root() { return scratch_ + "/root" + prefix_; }
  static std::string PkgConfig(const std::string &args) {
    return MustRun("PKG_CONFIG_PATH=" + lib_dir_ + "/pkgconfig pkg-config " + args);
  }

  static inline std::string version_, prefix_, scratch_, lib_dir_;
  static inline std::map<std::string, std::string> package_;          // component -> Debian package
  static inline std::map<std::string, std::set<std::string>> files_;  // component -> paths below the prefix
  static inline std::set<std::string> backends_;                      // real back-end file names
  static inline std::map<std::string, std::string> debs_;             // Debian package -> .deb
};

}  // namespace

// Each package holds exactly the manifest's files at the build's version and architecture, and
// its Depends name the owner of every library its files need (ours: the same package or the
// module's package it depends on); apt can satisfy them here.
TEST_F(Package, FilesVersionArchitectureAndDependsMatchTheBuild) {
  ASSERT_FALSE(version_.empty()) << "no manifest at " HX_BINARY_DIR "/package-manifest.txt";
  ASSERT_EQ(3u, debs_.size()) << "cpack made: " << MustRun("ls " + scratch_ + "/debs");
  const std::string arch = MustRun("dpkg --print-architecture");
  for (const auto &c : package_) {
    SCOPED_TRACE(c.second);
    const std::string deb = debs_[c.second];
    ASSERT_FALSE(deb.empty());
    EXPECT_EQ(version_, MustRun("dpkg-deb -f " + deb + " Version"));
    EXPECT_EQ(arch, MustRun("dpkg-deb -f " + deb + " Architecture"));
    std::set<std::string> want, got, depends;
    for (const std::string &f : files_[c.first]) want.insert(prefix_ + "/" + f);
    // "./usr/lib/libHx_Aec_Mod.so" for files; folders end in '/'.
    for (const std::string &line : Split(MustRun("dpkg-deb -c " + deb), "\n")) {
      const std::string path = Split(line, " ").back().substr(1);
      if (path.back() != '/') got.insert(path);
    }
    EXPECT_EQ(want, got);
    for (const std::string &d : Split(MustRun("dpkg-deb -f " + deb + " Depends"), ",\n"))
      depends.insert(Split(d, " (")[0]);
    for (const std::string &f : files_[c.first]) {
      if (!EndsWith(f, ".so")) continue;
      for (const std::string &lib :
           Split(MustRun("readelf -d " + Root() + "/" + f + " | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'"), "\n")) {
        SCOPED_TRACE(f + " needs " + lib);
        if (Ships("runtime", lib) || Ships("dev", lib) || Ships("sim", lib)) {
          EXPECT_TRUE(Ships(c.first, lib) || (depends.count(package_["runtime"]) && Ships("runtime", lib)));
          continue;
        }
        int status = -1;
        const std::string owners = Shell("dpkg -S " + lib, &status);
        ASSERT_EQ(0, status) << "no installed Debian package provides " << lib << ":\n" << owners;
        bool named = false;  // "libspeexdsp1:amd64: /usr/lib/x86_64-linux-gnu/libspeexdsp.so.1"
        for (const std::string &line : Split(owners, "\n"))
          named = named || (EndsWith(line, "/" + lib) && depends.count(Split(line, ":")[0]));
        EXPECT_TRUE(named) << "Depends lacks the owner of " << lib << " (" << owners << ")";
      }
    }
  }
  // With the real back-ends built, the module's package carries them beside the module.
  for (const std::string &b : backends_)
    EXPECT_EQ(1u, files_["runtime"].count(lib_dir_.substr(Root().size() + 1) + "/" + b)) << b;
  std::string debs;
  for (const auto &d : debs_) debs += " " + d.second;
  const std::string out = MustRun("apt-get install --simulate -o Debug::NoLocking=1" + debs);
  for (const auto &c : package_) EXPECT_NE(std::string::npos, out.find("\nInst " + c.second + " (" + version_)) << out;
}

// find_package gives the imported target and refuses a newer major version.
TEST_F(Package, FindPackageGivesTheImportedTargetAndChecksTheVersion) {
  const std::string probe = scratch_ + "/probe", major = Split(version_, ".")[0];
  MustRun("mkdir -p " + probe + " && printf '%s\\n' 'cmake_minimum_required(VERSION 3.18)' 'project(probe C)' "
          "'find_package(HxAecMod ${WANT} REQUIRED)' "
          "'get_target_property(inc HxAecMod::HxAecMod INTERFACE_INCLUDE_DIRECTORIES)' "
          "'message(STATUS \"found ${HxAecMod_VERSION} include ${inc}\")' > " + probe + "/CMakeLists.txt");
  const std::string cmake = "cmake -S " + probe + " -DCMAKE_PREFIX_PATH=" + Root();
  const std::string found = MustRun(cmake + " -B " + probe + "/b -DWANT=" + major + ".0");
  EXPECT_NE(std::string::npos, found.find("found " + version_ + " include " + Root() + "/include")) << found;
  int status = -1;
  const std::string next = std::to_string(atoi(major.c_str()) + 1) + ".0";
  const std::string refused = Shell(cmake + " -B " + probe + "/c -DWANT=" + next, &status);
  EXPECT_NE(0, status) << "a request for " << next << " must be refused:\n" << refused;
}

// pkg-config points into the install; the C example builds with its flags and records the
// microphone through the echo-cancelling voice path.
TEST_F(Package, PkgConfigPointsIntoTheInstallAndBuildsTheExampleThatRecordsTheMicrophone) {
  EXPECT_EQ(version_, PkgConfig("--modversion hx-aec-mod"));
  EXPECT_EQ(version_, PkgConfig("--modversion hx-aec-mod-sim"));
  const std::string cflags = PkgConfig("--cflags hx-aec-mod"), libs = PkgConfig("--libs hx-aec-mod");
  ASSERT_EQ(0u, cflags.find("-I")) << cflags;
  const std::vector<std::string> words = Split(libs, " ");
  ASSERT_EQ(2u, words.size()) << libs;
  EXPECT_EQ(0, access((words[0].substr(2) + "/libHx_Aec_Mod.so").c_str(), R_OK)) << libs;
  EXPECT_EQ("-lHx_Aec_Mod", words[1]);
  const std::string header = MustRun("cat " + cflags.substr(2) + "/hx_aec_mod.h");
  EXPECT_NE(std::string::npos, header.find("#define HX_AEC_MOD_VERSION \"" + version_ + "\"\n"));
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
  EXPECT_EQ(48000, info.samplerate);
  EXPECT_EQ(2, info.channels);
  ASSERT_GE(info.frames, 72000) << out;  // 3 s in real time: at least half of it, however loaded
  ASSERT_GT(mic.size(), 20000u);
  // The first 0.75 s of speech (it starts 0.5 s into the file), found anywhere upstream.
  EXPECT_GE(hxtest::FindMatch(std::vector<int16_t>(mic.begin() + 8000, mic.begin() + 20000),
                              hxtest::Channel(up, 2, 0, 3)).ncc, 0.8)
      << "the upstream audio does not hold the microphone speech";
}
