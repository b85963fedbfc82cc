// Helpers for tests that run the engine's worker threads against the
// simulated back-ends: a scriptable host, the stand-ins' call log as lines,
// the module's log lines in order, a fixture owning one engine, the module
// reached through its exports, and the check that nothing is left running.
#ifndef HX_TESTS_SUPPORT_BACKEND_HARNESS_H
#define HX_TESTS_SUPPORT_BACKEND_HARNESS_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "hx_aec_mod.h"
#include "hxsim.h"
#include "support/log_capture.h"

class Hx_AEC_Impl;

// Module log texts the tests look for, without their line end: the tag
// that starts most engine lines and the back-end selection lines.
inline const std::string kTag = "audio_HXAec::===> ";
inline const std::string kA0 =
    kTag + "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAa: to init win7-aec[0]";
inline const std::string kA1 =
    kTag + "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAa: to init win7-aec[1]---end";
inline const std::string kF = kTag + "win7 aec Init fail !!!";
inline const std::string kB0 =
    kTag + "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBb: to init win-in[0]";
inline const std::string kB1 =
    kTag + "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBb: to init win-in[1]";
inline const std::string kB2 =
    kTag + "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBb: to init win-in[2]---end";
inline const std::string kC0 =
    kTag + "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCc: to init win-in[0]";
inline const std::string kC1 =
    kTag + "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCc: to init win-in[1]";
inline const std::string kC2 =
    kTag + "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCc: to init win-in[2]---end";
inline const std::string kN0 = kTag + "......................:: no any-capture endpoint !!![0]";
inline const std::string kN1 = kTag + "......................:: no any-capture endpoint !!![1]";
inline const std::string kN2 =
    kTag + "......................:: no any-capture endpoint !!![2]---end";

// Host side of the far-end exchange. Each stream i is filled with
// Sample(i, j) and answers `result[i]`.
struct FakeHost {
  std::atomic<int64_t> play_calls{0};
  std::atomic<int64_t> capture_calls{0};
  std::atomic<int32_t> result[4] = {{1920}, {1920}, {1920}, {1920}};
  // While set, the play callback blocks until it is cleared.
  std::atomic<bool> block_play{false};
  std::atomic<bool> play_blocked{false};

  static int16_t Sample(int stream, int j);
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream);
  static int32_t Capture(void *ctx, int16_t *samples, int32_t len);
  int64_t Cycles() const { return play_calls.load() / 4; }
};

// The stand-ins' call log, one call per element; lines starting with
// "MMDevApi_" or "Rtl" (device and version calls) are left out unless
// `with_devices`.
std::vector<std::string> CallLog(bool with_devices = false);
// Index of the first element equal to `what` at or after `from`; -1 if none.
int IndexOf(const std::vector<std::string> &v, const std::string &what, int from = 0);
// Lines of `text` containing `needle`, in order.
std::vector<std::string> LinesWith(const std::string &text, const std::string &needle);

hxsim_status SimStatus();
// Names of this process's engine threads (hx-mix, hx-play, hx-monitor).
std::vector<std::string> EngineThreads();
// The world's delivery threads take the name of the thread that first needs
// them: start them from the test's thread, never from an engine thread.
void WarmWorldThreads();
// Empty when no back-end runs, the voice path is unloaded, no engine thread
// and no device object is left, and no callback arrives for `quiet_ms`;
// otherwise what is still alive.
std::string LeftRunning(int quiet_ms = 300);

// Fixture: one engine wired to `host_`, the world in manual mode (no data
// flows unless pumped), the module log captured. The engine is stopped and
// deleted at the end; a failing test prints the log's tail.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Create();  // a new engine with the host's callbacks registered
  void Start();   // Create() when there is no engine, then Init()
  void Stop();    // DeInit() and delete, when there is an engine
  void Kick();    // runs the monitor's next pass now instead of after 2 s

  std::unique_ptr<LogCapture> log_;
  FakeHost host_;
  Hx_AEC_Impl *e_ = nullptr;
};

// The module loaded by path and reached through its eight exports only.
struct ModuleApi {
  void *handle = nullptr;
  decltype(&::Hx_Aec_Init) Init = nullptr;
  decltype(&::Hx_Aec_DeInit) DeInit = nullptr;
  decltype(&::Hx_Aec_GetUpComCallBackPtr) GetUpComCallBackPtr = nullptr;
  decltype(&::Hx_Aec_SetDownComCallBackPtr) SetDownComCallBackPtr = nullptr;
  decltype(&::Hx_Aec_SetAecMode) SetAecMode = nullptr;
  decltype(&::Hx_Aec_SetMicroCapture) SetMicroCapture = nullptr;
  decltype(&::Hx_Aec_SetSysCapture) SetSysCapture = nullptr;
  decltype(&::HX_Aec_SetOnlineCapSys) SetOnlineCapSys = nullptr;
  // dlopen (RTLD_NOW | RTLD_LOCAL) and dlsym of all eight; false when any
  // is missing.
  bool Load(const char *path);
  void Unload();  // dlclose
};

#endif
