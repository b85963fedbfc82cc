// The Debian packages as a distribution and a host developer get them: built once with cpack,
// checked by lintian, unpacked into a scratch root to build and run the C example, and installed
// with apt-get (as root) and removed again, purged whatever happens.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "rig/signal_check.h"
#include "rig/shell.h"

namespace {

// Shell command that must succeed; its output without trailing blanks.
std::string MustRun(const std::string &cmd) {
  int status = -1;
  std::string out = Shell(cmd, &status);
  EXPECT_EQ(0, status) << cmd << "\n" << out;
  while (!out.empty() && isspace((unsigned char)out.back())) out.pop_back();
  return out;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

const char kPackagesToPurge[] = "hx-aec-mod-dev hx-aec-mod-sim hx-aec-mod";

// The project's packages dpkg has in any state but "not installed" (files or records on the
// machine), one "<status> <name>" line each.
std::string PackagesOnMachine() {
  return MustRun("dpkg-query -W -f='${db:Status-Abbrev} ${Package}\\n' 2>/dev/null | grep -E '^.[^n].* hx-aec-mod' || true");
}

// What the build says it packs (package-manifest.txt), the packages built from it and their
// unpacked files: made once for every case.
struct Built {
  std::map<std::string, std::string> manifest;  // key -> rest of the line
  std::vector<std::string> packages;
  std::string scratch, debs, root, error;

  std::string Get(const std::string &key) const { return manifest.count(key) ? manifest.at(key) : ""; }
  std::string Deb(const std::string &package) const {
    return debs + "/" + package + "_" + Get("debversion") + "_" + MustRun("dpkg --print-architecture") + ".deb";
  }
};

Built g_built;

class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Built &b = g_built;
    std::ifstream in(HX_BINARY_DIR "/package-manifest.txt");
    for (std::string key, value; in >> key && std::getline(in >> std::ws, value);) b.manifest[key] = value;
    std::istringstream packages(b.Get("packages"));
    b.packages.assign(std::istream_iterator<std::string>(packages), {});
    char tmpl[] = "/tmp/hx-package-XXXXXX";
    if (b.Get("version").empty() || b.Get("libdir").empty() || b.packages.size() != 3)
      return void(b.error = "no complete manifest at " HX_BINARY_DIR "/package-manifest.txt");
    if (!mkdtemp(tmpl)) return void(b.error = "cannot make a scratch folder");
    b.scratch = tmpl, b.debs = b.scratch + "/debs", b.root = b.scratch + "/root";
    int status = -1;
    const std::string out = Shell("cpack -G DEB --config " HX_BINARY_DIR "/CPackConfig.cmake -B " + b.debs +
                                  " && for deb in " + b.debs + "/*.deb; do dpkg-deb -x $deb " + b.root + " || exit 1; done",
                                  &status);
    if (status != 0) b.error = "cpack or dpkg-deb -x failed:\n" + out;
  }
  static void TearDownTestSuite() {
    if (!g_built.scratch.empty() && !getenv("HX_KEEP_PACKAGE_TEST")) MustRun("rm -rf " + g_built.scratch);
  }
  void SetUp() override { ASSERT_EQ("", g_built.error); }

  const Built &b() const { return g_built; }
  // A path of the unpacked packages, given relative to the prefix.
  std::string Unpacked(const std::string &rel) const { return b().root + b().Get("prefix") + "/" + rel; }
  std::string PkgConfig(const std::string &args) {
    return MustRun("PKG_CONFIG_PATH=" + Unpacked(b().Get("libdir")) + "/pkgconfig pkg-config " + args);
  }
};

// Removes the packages from the machine, installed or not, when the case ends.
struct PurgeOnExit {
  ~PurgeOnExit() { MustRun(std::string("DEBIAN_FRONTEND=noninteractive dpkg --purge ") + kPackagesToPurge); }
};

}  // namespace

// lintian, over the three packages at once, reports no error and no warning; every override the
// packages carry comes right after a comment that gives its reason (lintian shows that comment as
// the reason). Each package carries the Expat licence in a machine-readable copyright file and a
// changelog whose first entry is the package's version (lintian checks its compression, the
// maintainer address and the ldconfig trigger).
TEST_F(Package, LintianFindsNoErrorOrWarningAndEachPackageHasReasonedOverridesCopyrightAndChangelog) {
  int status = -1;
  const std::string out = Shell("lintian --no-cfg --allow-root --fail-on error,warning " + b().debs + "/*.deb", &status);
  EXPECT_EQ(0, status) << out;
  for (const std::string &pkg : b().packages) {
    const std::string overrides = b().root + "/usr/share/lintian/overrides/" + pkg;
    std::ifstream in(overrides);
    EXPECT_TRUE(in) << "no lintian overrides in " << pkg;
    bool commented = false;
    for (std::string line; std::getline(in, line); commented = !line.empty() && line[0] == '#')
      EXPECT_TRUE(line.empty() || line[0] == '#' || commented) << overrides << ": an override without a comment giving its reason: " << line;
    const std::string doc = b().root + "/usr/share/doc/" + pkg, copyright = MustRun("cat " + doc + "/copyright");
    EXPECT_EQ(0u, copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0)) << pkg;
    EXPECT_NE(std::string::npos, copyright.find("\nLicense: Expat\n Permission is hereby granted")) << pkg;
    EXPECT_EQ(0u, MustRun("zcat " + doc + "/changelog.Debian.gz | head -n 1").rfind("hx-aec-mod (" + b().Get("debversion") + ") ", 0)) << pkg;
  }
}

// The library folder is the machine's multiarch one; the module sits there alone, its back-end
// libraries (the five contract file names) in its private folder and the stand-ins below that.
// No library carries an old-style RPATH, and the module's RUNPATH names the private folder
// relative to itself.
TEST_F(Package, LibrariesFollowTheMultiarchLayoutWithTheBackEndsInThePrivateFolder) {
  EXPECT_EQ("lib/" + MustRun("dpkg-architecture -qDEB_HOST_MULTIARCH"), b().Get("libdir"));
  const std::string libdir = b().Get("libdir"), privdir = b().Get("privatedir");
  EXPECT_EQ(libdir + "/hx-aec-mod", privdir);
  EXPECT_EQ(privdir + "/sim", b().Get("simdir"));
  const std::string module = Unpacked(libdir + "/libHx_Aec_Mod.so");
  ASSERT_TRUE(Exists(module));

  for (const char *name : {"libBrisaDll.so", "libMirelDll.so", "libTovanDll.so", "libMMDevApi.so", "libntdll.so"}) {
    EXPECT_TRUE(Exists(Unpacked(privdir + "/" + name))) << name << " is not in the private folder";
    EXPECT_TRUE(Exists(Unpacked(b().Get("simdir") + "/" + name))) << name << " has no stand-in";
  }
  // Every library the back-ends bring along, in the private folder too.
  std::istringstream private_libs(b().Get("private"));
  for (std::string name; private_libs >> name;)
    EXPECT_TRUE(Exists(Unpacked(privdir + "/" + name))) << name << " is not in the private folder";
  // Nothing but the module in the public library folder.
  EXPECT_EQ("libHx_Aec_Mod.so", MustRun("find " + Unpacked(libdir) + " -maxdepth 1 -type f -name '*.so*' -printf '%f\\n'"));
  EXPECT_NE(std::string::npos, MustRun("readelf -d " + module).find("Library runpath: [$ORIGIN/hx-aec-mod]\n"))
      << "the module's RUNPATH does not name its private folder";
  for (const std::string &elf : Lines(MustRun("find " + b().root + " -type f -name '*.so'"))) {
    const std::string dynamic = MustRun("readelf -d " + elf);
    EXPECT_EQ(std::string::npos, dynamic.find("(RPATH)")) << elf << " carries an RPATH, which would win over LD_LIBRARY_PATH";
    EXPECT_NE(std::string::npos, dynamic.find("Shared library: [libc.so.6]")) << elf << " is not linked against the C library";
  }
}

// The C example builds with the flags pkg-config gives (only the unpacked files hold its header
// and library) and records the microphone through the echo-cancelling voice path; the version
// it prints comes from the unpacked header.
TEST_F(Package, PkgConfigPointsIntoTheUnpackedFilesAndBuildsTheExampleThatRecordsTheMicrophone) {
  EXPECT_EQ(b().Get("version"), PkgConfig("--modversion hx-aec-mod"));
  const std::string exe = b().scratch + "/hx_record", wav = b().scratch + "/upstream.wav";
  MustRun("cc -std=c11 -Wall -Wextra -Werror " HX_SOURCE_DIR "/examples/hx_record.c -o " + exe + " " +
          PkgConfig("--cflags --libs hx-aec-mod sndfile"));
  int status = -1;
  // On the simulated world, the speech WAV as microphone.
  const std::string out = Shell("env LD_LIBRARY_PATH=" + Unpacked(b().Get("simdir")) + ":" + Unpacked(b().Get("libdir")) +
                                " HXSIM_MIC_WAV=" HX_SOURCE_DIR "/tests/data/speech16k.wav " + exe + " 3 " + wav, &status);
  ASSERT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("hx_record: module interface " + b().Get("version"))) << out;
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

// apt-get installs the three packages and the loader's cache then knows the module (where its
// back-ends resolve: the RUNPATH check above; the example against these files: the case
// above). apt-get remove leaves none of their files or folders and the cache forgets the
// module; a purge then leaves no dpkg records.
TEST_F(Package, AptInstallThenRemoveAndPurgeLeavesNothingBehind) {
  ASSERT_EQ(0u, getuid()) << "the package test installs the packages on this machine and must run as root "
                             "(CI runs it as root on a throwaway machine)";
  ASSERT_EQ("", PackagesOnMachine()) << "the packages are already on this machine; remove them first";
  // Every file and folder the packages hold that the machine does not have yet.
  std::vector<std::string> created;
  std::string debs;
  for (const std::string &pkg : b().packages) {
    debs += " " + b().Deb(pkg);
    for (const std::string &path : Lines(MustRun("dpkg-deb --fsys-tarfile " + b().Deb(pkg) + " | tar -t | sed 's|^\\./|/|; s|/$||'")))
      if (path.size() > 1 && !Exists(path)) created.push_back(path);
  }
  EXPECT_GE(created.size(), 20u);
  const std::string apt = "DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 ";

  PurgeOnExit purge;
  MustRun(apt + "install" + debs);
  const std::string module = "/usr/" + b().Get("libdir") + "/libHx_Aec_Mod.so";
  ASSERT_TRUE(Exists(module));
  // The cache may name the module through /lib (a merged /usr): the same file.
  const std::string cached = MustRun("ldconfig -p | sed -n 's/^\\s*libHx_Aec_Mod\\.so (.*) => //p'");
  ASSERT_FALSE(cached.empty()) << "the ldconfig trigger did not run";
  EXPECT_EQ(MustRun("realpath " + module), MustRun("realpath " + cached));

  MustRun(apt + "remove hx-aec-mod hx-aec-mod-dev hx-aec-mod-sim");
  for (const std::string &path : created) EXPECT_FALSE(Exists(path)) << path << " is left after apt-get remove";
  EXPECT_EQ(std::string::npos, MustRun("ldconfig -p").find("libHx_Aec_Mod.so")) << "the loader's cache still names the module";
  // Without conffiles or maintainer scripts a removed package keeps nothing to purge, and
  // apt-get no longer knows it; dpkg purges whatever records might be left.
  MustRun(std::string("dpkg --purge ") + kPackagesToPurge);
  EXPECT_EQ("", PackagesOnMachine());
  EXPECT_EQ("", MustRun("ls /var/lib/dpkg/info | grep '^hx-aec-mod' || true")) << "dpkg still keeps records";
}
