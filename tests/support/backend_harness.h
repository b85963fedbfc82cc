// Tests of the engine's threads against the simulated back-ends: a scripted host,
// the stand-ins' call log, an engine fixture, the module through its exports.
#ifndef HX_TESTS_SUPPORT_BACKEND_HARNESS_H
#define HX_TESTS_SUPPORT_BACKEND_HARNESS_H

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

#include "backends/api/tovan_dll.h"
#include "engine/hx_aec_impl.h"
#include "host/module_api.h"
#include "hx_aec_mod.h"
#include "hxsim.h"
#include "platform/tick.h"
#include "support/log_capture.h"
#include "support/module_threads.h"

// Module log texts without their line end: the engine tag and the back-end
// selection lines (A voice path, B plain capture, C playback only, N none).
inline const std::string kTag = "audio_HXAec::===> ";
inline const std::string kF = kTag + "win7 aec Init fail !!!";
inline const std::string kA = kTag + std::string(47, 'A') + "a: to init win7-aec[";
inline const std::string kA0 = kA + "0]", kA1 = kA + "1]---end";
inline const std::string kB = kTag + std::string(47, 'B') + "b: to init win-in[";
inline const std::string kB0 = kB + "0]", kB1 = kB + "1]", kB2 = kB + "2]---end";
inline const std::string kC = kTag + std::string(47, 'C') + "c: to init win-in[";
inline const std::string kC0 = kC + "0]", kC1 = kC + "1]", kC2 = kC + "2]---end";
inline const std::string kN = kTag + std::string(22, '.') + ":: no any-capture endpoint !!![";
inline const std::string kN0 = kN + "0]", kN1 = kN + "1]", kN2 = kN + "2]---end";

// Host side of the far-end exchange: stream i is filled with Sample(i, j)
// and answers result[i]; while block_play is set, Play waits.
struct FakeHost {
  std::atomic<int32_t> result[4] = {{1920}, {1920}, {1920}, {1920}};
  std::atomic<bool> block_play{false}, play_blocked{false};
  // Distinct per stream and position, large enough that sums saturate.
  static int16_t Sample(int stream, int j) {
    static const int16_t kBase[4] = {30000, -9000, 10000, -32768};
    if (j % 6 == 0) return kBase[stream];
    return (int16_t)(kBase[stream] / 2 + ((j * (7 + 13 * stream)) % 2001) * (stream % 2 ? -8 : 8));
  }
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
    FakeHost *h = static_cast<FakeHost *>(ctx);
    for (; h->block_play.load(); h->play_blocked.store(true)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    h->play_blocked.store(false);
    for (int j = 0; j < len / 2; ++j) buf[j] = Sample(stream, j);
    return h->result[stream].load();
  }
  static int32_t Capture(void *, int16_t *, int32_t) { return 0; }
};

// The stand-ins' calls in order, without device and version calls.
inline std::vector<std::string> CallLog() {
  std::string buf(hxsim_call_log(nullptr, 0) + 1, '\0');
  std::istringstream in((hxsim_call_log(&buf[0], buf.size()), buf.c_str()));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line.rfind("MMDevApi_", 0) && line.rfind("Rtl", 0)) out.push_back(line);
  return out;
}

inline hxsim_status SimStatus() { hxsim_status st; hxsim_get_status(&st); return st; }

// Starts the world's threads from the test's thread (they take its name).
inline void WarmWorldThreads() { tovan_init([](uint8_t *, int32_t) {}); tovan_uninit(); }

// Empty when no back-end, voice-path library, engine thread or device object
// is left and no callback arrives for `quiet_ms`; else what is still alive.
inline std::string LeftRunning(int quiet_ms = 300) {
  std::ostringstream what;
  hxsim_status st = SimStatus();
  if (st.brisa_initialised || st.brisa_started) what << "voice path running; ";
  if (st.mirel_running) what << "plain capture running; ";
  if (st.tovan_running) what << "system audio running; ";
  if (hxsim_brisa_loaded()) what << "voice path loaded; ";
  if (ModuleThreads()) what << ModuleThreads() << " engine threads; ";
  if (hxsim_device_objects_alive()) what << "device objects alive; ";
  std::this_thread::sleep_for(std::chrono::milliseconds(quiet_ms));
  hxsim_status later = SimStatus();
  if (later.mic_blocks != st.mic_blocks || later.sys_blocks != st.sys_blocks || later.play_requests != st.play_requests)
    what << "callbacks still arriving; ";
  return what.str();
}

// One engine wired to `host_`, the world in manual mode (nothing flows
// unless pumped), the log captured; a failing test prints the log's tail.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { hxsim_reset(), hxsim_set_manual(1), log_.reset(new LogCapture); }
  void TearDown() override {
    if (Stop(), HasFailure()) log_->TailToStderr(300);
    log_.reset();
  }
  void Create() {  // a new engine with the host's callbacks registered
    (e_ = new Hx_AEC_Impl)->SetDownComCallBackPtr((void *)&FakeHost::Capture, &host_, (void *)FakeHost::Play, &host_);
  }
  void Start() { if (!e_) Create(); e_->Init(); }
  void Stop() { if (e_) e_->DeInit(); delete e_; e_ = nullptr; }
  void Kick() { e_->m_monitorWake.Set(); }  // the monitor's next pass now, not after 2 s

  std::unique_ptr<LogCapture> log_;
  FakeHost host_;
  Hx_AEC_Impl *e_ = nullptr;
};

// The module loaded by path (dlopen RTLD_NOW | RTLD_LOCAL) and reached
// through its eight exports only.
struct ModuleApi : host::ModuleApi {
  bool Load(const char *path) {  // false, with the reason on stderr, if it cannot be loaded whole
    std::string error;
    return host::LoadModule(path, this, &error) || (fprintf(stderr, "%s\n", error.c_str()), false);
  }
  // Fetches the two entry points and their contexts into the members below; false when the exchange fails.
  bool EntryPoints() {
    void *push_fn = nullptr, *pull_fn = nullptr;
    if (GetUpComCallBackPtr(&push_fn, &push_ctx, &pull_fn, &pull_ctx) != 0) return false;
    return push = reinterpret_cast<UpComPushMicDataFn>(push_fn), pull = reinterpret_cast<UpComPullPlayDataFn>(pull_fn), true;
  }
  UpComPushMicDataFn push = nullptr;
  UpComPullPlayDataFn pull = nullptr;
  void *push_ctx = nullptr, *pull_ctx = nullptr;
  void Unload() { if (handle) dlclose(handle); handle = nullptr; }
};

#endif
