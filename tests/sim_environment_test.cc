// The simulated world configured by HXSIM_* environment variables: at load (checked in a child
// process started with them) and through hxsim_apply_environment.
#include <unistd.h>

#include "backends/api/mirel_dll.h"
#include "hxsim.h"
#include "support/log_capture.h"
#include "support/shell.h"
#include "support/speech.h"

namespace {

const char kSpeech[] = HX_SOURCE_DIR "/tests/data/speech16k.wav";

std::vector<uint8_t> g_bytes;
void Mirel(uint8_t *data, int32_t len) { g_bytes.assign(data, data + len); }
std::vector<uint32_t> Endpoints() {  // render, capture
  uint32_t render = 9, capture = 9;
  return hxsim_get_endpoints(&render, &capture), std::vector<uint32_t>{render, capture};
}

// The first two microphone blocks reach the plain-capture callback as the WAV's first 640
// samples; with `loop`, the WAV's end is followed by its start.
void ExpectMicFromSpeech(bool loop) {
  const std::vector<int16_t> speech = ReadMono(kSpeech);
  ASSERT_GT(speech.size(), 640u) << "cannot read " << kSpeech;
  ASSERT_NE(0, (hxsim_set_manual(1), fnMirelDll_Init(&Mirel, 16000, 1)));
  std::vector<int16_t> got, want = speech;
  for (size_t b = 0; b < (speech.size() + 319) / 320 + 1; ++b) {  // past the end, by one block
    ASSERT_TRUE(hxsim_pump_mic(1) == 1 && g_bytes.size() == 640u);
    got.insert(got.end(), (const int16_t *)g_bytes.data(), (const int16_t *)g_bytes.data() + 320);
  }
  fnMirelDll_UnInit();
  for (size_t i = speech.size(); i < got.size(); ++i) want.push_back(loop ? speech[i - speech.size()] : 0);
  EXPECT_EQ(want, got);
}

}  // namespace

// Run only as the child of AppliedWhenTheLibraryLoads, with the variables set.
TEST(SimEnvironment, DISABLED_ChildSeesTheVariables) {
  EXPECT_EQ((std::vector<uint32_t>{3, 0}), Endpoints());
  ExpectMicFromSpeech(true);
}

TEST(SimEnvironment, AppliedWhenTheLibraryLoads) {
  int status = -1;
  const std::string out = Shell(std::string("env HXSIM_MIC_WAV=") + kSpeech + " HXSIM_LOOP=1 HXSIM_ENDPOINTS=3,0 " +
                                "/proc/" + std::to_string(getpid()) + "/exe --gtest_also_run_disabled_tests "
                                "--gtest_filter=SimEnvironment.DISABLED_ChildSeesTheVariables", &status);
  EXPECT_TRUE(status == 0 && out.find("[  PASSED  ] 1 test") != std::string::npos) << out;
}

TEST(SimEnvironment, ApplyReportsAndIgnoresBadValues) {
  hxsim_reset(), unsetenv("HXSIM_MIC_WAV"), unsetenv("HXSIM_SYS_WAV"), unsetenv("HXSIM_LOOP");
  setenv("HXSIM_ENDPOINTS", "2,1", 1);
  EXPECT_EQ(0, hxsim_apply_environment());
  setenv("HXSIM_MIC_WAV", "/nonexistent/mic.wav", 1), setenv("HXSIM_SYS_WAV", kSpeech, 1);  // 16 kHz mono: refused
  for (const char *bad : {"1", "1,1,", "a,1", "1,1x", "", "1,99"}) {
    setenv("HXSIM_ENDPOINTS", bad, 1);
    LogCapture stderr_text(2);
    EXPECT_EQ(3, hxsim_apply_environment()) << bad;
    const std::string err = stderr_text.Text();
    EXPECT_EQ(0u, err.find("hxsim: HXSIM_MIC_WAV ignored: hxsim_set_mic_wav: cannot open /nonexistent/mic.wav: "))
        << err;
    EXPECT_NE(std::string::npos, err.find("\nhxsim: HXSIM_SYS_WAV ignored: hxsim_set_sys_wav: " + std::string(kSpeech) +
                                          " is 16000 Hz, 48000 Hz required\nhxsim: HXSIM_ENDPOINTS=" + bad +
                                          " ignored: expected two counts, e.g. 1,1\n"))
        << err;
  }
  EXPECT_EQ((std::vector<uint32_t>{2, 1}), Endpoints());  // unchanged by the bad values
  unsetenv("HXSIM_SYS_WAV"), unsetenv("HXSIM_ENDPOINTS"), setenv("HXSIM_MIC_WAV", kSpeech, 1);
  EXPECT_EQ(0, hxsim_apply_environment());
  ExpectMicFromSpeech(false);
  unsetenv("HXSIM_MIC_WAV"), hxsim_reset();
}
