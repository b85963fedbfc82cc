// The simulated world configured by HXSIM_* environment variables: at load (checked in a child
// process started with them) and through hxsim_apply_environment.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "backends/api/mirel_dll.h"
#include "hxsim.h"
#include "support/shell.h"

namespace {

const char kSpeech[] = HX_SOURCE_DIR "/tests/data/speech16k.wav";

std::vector<uint8_t> g_bytes;
void Mirel(uint8_t *data, int32_t len) { g_bytes.assign(data, data + len); }

std::vector<int16_t> ReadSpeech() {
  SF_INFO info = {};
  SNDFILE *f = sf_open(kSpeech, SFM_READ, &info);
  std::vector<int16_t> v(f ? (size_t)info.frames : 0);
  if (f) sf_readf_short(f, v.data(), info.frames), sf_close(f);
  return v;
}

// What `f` writes to standard error.
template <class F>
std::string StderrOf(F f) {
  fflush(stderr);
  FILE *tmp = tmpfile();
  const int saved = dup(2);
  dup2(fileno(tmp), 2);
  f();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  rewind(tmp);
  for (int c; (c = fgetc(tmp)) != EOF;) text += (char)c;
  fclose(tmp);
  return text;
}

// The first two microphone blocks reach the plain-capture callback as the WAV's first 640
// samples; with `loop`, the WAV's end is followed by its start.
void ExpectMicFromSpeech(bool loop) {
  const std::vector<int16_t> speech = ReadSpeech();
  ASSERT_GT(speech.size(), 640u) << "cannot read " << kSpeech;
  hxsim_set_manual(1);
  ASSERT_NE(0, fnMirelDll_Init(&Mirel, 16000, 1));
  std::vector<int16_t> got;
  const size_t blocks = (speech.size() + 319) / 320 + 1;  // past the end, by one block
  for (size_t b = 0; b < blocks; ++b) {
    ASSERT_EQ(1, hxsim_pump_mic(1));
    ASSERT_EQ(640u, g_bytes.size());
    const int16_t *s = reinterpret_cast<const int16_t *>(g_bytes.data());
    got.insert(got.end(), s, s + 320);
  }
  fnMirelDll_UnInit();
  EXPECT_EQ(std::vector<int16_t>(speech.begin(), speech.end()),
            std::vector<int16_t>(got.begin(), got.begin() + speech.size()));
  const size_t tail = got.size() - speech.size();
  const std::vector<int16_t> after(got.end() - tail, got.end());
  EXPECT_EQ(loop ? std::vector<int16_t>(speech.begin(), speech.begin() + tail)
                 : std::vector<int16_t>(tail, 0),
            after);
}

}  // namespace

// Run only as the child of AppliedWhenTheLibraryLoads, with the variables set.
TEST(SimEnvironment, DISABLED_ChildSeesTheVariables) {
  uint32_t render = 9, capture = 9;
  hxsim_get_endpoints(&render, &capture);
  EXPECT_EQ(3u, render);
  EXPECT_EQ(0u, capture);
  ExpectMicFromSpeech(true);
}

TEST(SimEnvironment, AppliedWhenTheLibraryLoads) {
  int status = -1;
  const std::string out =
      Shell(std::string("env HXSIM_MIC_WAV=") + kSpeech +
                " HXSIM_LOOP=1 HXSIM_ENDPOINTS=3,0 /proc/" + std::to_string(getpid()) +
                "/exe --gtest_also_run_disabled_tests "
                "--gtest_filter=SimEnvironment.DISABLED_ChildSeesTheVariables",
            &status);
  EXPECT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("[  PASSED  ] 1 test")) << out;
}

TEST(SimEnvironment, ApplyReportsAndIgnoresBadValues) {
  hxsim_reset();
  unsetenv("HXSIM_MIC_WAV"), unsetenv("HXSIM_SYS_WAV"), unsetenv("HXSIM_LOOP");
  setenv("HXSIM_ENDPOINTS", "2,1", 1);
  EXPECT_EQ(0, hxsim_apply_environment());
  setenv("HXSIM_MIC_WAV", "/nonexistent/mic.wav", 1);
  setenv("HXSIM_SYS_WAV", kSpeech, 1);  // 16 kHz mono: refused
  for (const char *bad : {"1", "1,1,", "a,1", "1,1x", "", "1,99"}) {
    setenv("HXSIM_ENDPOINTS", bad, 1);
    int32_t count = 0;
    const std::string err = StderrOf([&] { count = hxsim_apply_environment(); });
    EXPECT_EQ(3, count) << bad;
    EXPECT_EQ(0u, err.find("hxsim: HXSIM_MIC_WAV ignored: hxsim_set_mic_wav: cannot open "
                           "/nonexistent/mic.wav: "))
        << err;
    EXPECT_NE(
        std::string::npos,
        err.find("\nhxsim: HXSIM_SYS_WAV ignored: hxsim_set_sys_wav: " + std::string(kSpeech) +
                 " is 16000 Hz, 48000 Hz required\nhxsim: HXSIM_ENDPOINTS=" + bad +
                 " ignored: expected two counts, e.g. 1,1\n"))
        << err;
  }
  uint32_t render = 9, capture = 9;
  hxsim_get_endpoints(&render, &capture);
  EXPECT_EQ(2u, render);  // unchanged by the bad values
  EXPECT_EQ(1u, capture);
  unsetenv("HXSIM_SYS_WAV"), unsetenv("HXSIM_ENDPOINTS");
  setenv("HXSIM_MIC_WAV", kSpeech, 1);
  EXPECT_EQ(0, hxsim_apply_environment());
  ExpectMicFromSpeech(false);
  unsetenv("HXSIM_MIC_WAV");
  hxsim_reset();
}
