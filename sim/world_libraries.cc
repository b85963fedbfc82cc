// The voice-path, plain-capture and system-audio libraries as the world runs
// them. Each call is logged on entry; stops wait for the callbacks they end.
#include "world_echo.h"
#include "world_internal.h"

using namespace hxsim;

namespace {

const Target kBrisaTargets[] = {kBrisaMic, kBrisaPlay};

// The plain-capture and system-audio libraries: one byte-block capture each.
struct ByteCapture {
  bool World::*running;
  hxsim_bytes_capture_fn World::*cb;
  Target target;
};
const ByteCapture kMirel = {&World::mirel_running, &World::mirel_cb, kMirelMic};
const ByteCapture kTovan = {&World::tovan_running, &World::tovan_cb, kTovanSys};

// Lock held. Ends the capture and waits until its running callbacks return.
void StopCapture(World &w, std::unique_lock<std::mutex> &lk, const ByteCapture &c) {
  w.*c.running = false;
  w.*c.cb = nullptr;
  w.wake_cv.notify_all();
  WaitTargetsIdle(w, lk, &c.target, 1);
}

// Lock held. A repeated start replaces the running capture; `ok` is the
// library's result as configured in the world.
void StartCapture(World &w, std::unique_lock<std::mutex> &lk, const ByteCapture &c,
                  hxsim_bytes_capture_fn cb, bool ok) {
  if (w.*c.running) StopCapture(w, lk, c);
  if (!ok || !cb) return;
  w.*c.running = true;
  w.*c.cb = cb;
  EnsureThreads(w);
}

// Lock held. Ends every Brisa delivery; leaves the library uninitialised.
void BrisaShutDown(World &w, std::unique_lock<std::mutex> &lk) {
  w.brisa_initialised = false;
  w.brisa_started = 0;
  w.brisa_channel_added = false;
  w.brisa_cb = nullptr;
  w.brisa_user = nullptr;
  w.brisa_play_cb = nullptr;
  w.wake_cv.notify_all();
  WaitTargetsIdle(w, lk, kBrisaTargets, 2);
  EchoSpeaker(false);
}

}  // namespace

extern "C" {

// A repeated Init without Uninit first shuts the previous session down.
// Request numbers start again from 1 with every successful Init.
int32_t hxsim_bk_brisa_init(int32_t reserved, hxsim_brisa_capture_fn cb, void *user) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "BrisaApi_Init(%d)\n", reserved);
  if (w.brisa_initialised) BrisaShutDown(w, lk);
  int32_t result = w.brisa_init_result;
  if (result != 0) {
    w.brisa_initialised = true;
    w.brisa_cb = cb;
    w.brisa_user = user;
    w.next_request_no = 1;
  }
  return result;
}

// Safe in any state.
int32_t hxsim_bk_brisa_uninit(void) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "BrisaApi_Uninit()\n");
  BrisaShutDown(w, lk);
  return 0;
}

// -1 when not initialised.
int32_t hxsim_bk_brisa_start(int32_t with_capture) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "BrisaApi_Start(%d)\n", with_capture);
  if (!w.brisa_initialised) return -1;
  w.brisa_started = with_capture ? 1 : 2;
  EchoSpeaker(true);
  EnsureThreads(w);
  return 0;
}

// Safe in any state; the play channel stays added.
int32_t hxsim_bk_brisa_stop(void) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "BrisaApi_Stop()\n");
  w.brisa_started = 0;
  w.wake_cv.notify_all();
  WaitTargetsIdle(w, lk, kBrisaTargets, 2);
  EchoSpeaker(false);
  return 0;
}

// One channel at a time; -1 when not initialised.
int32_t hxsim_bk_brisa_add_play_channel(int32_t channel, hxsim_brisa_play_request_fn cb) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "BrisaApi_AddPlayChannel(%d)\n", channel);
  if (!w.brisa_initialised || !cb) return -1;
  w.brisa_channel_added = true;
  w.brisa_channel = channel;
  w.brisa_play_cb = cb;
  EnsureThreads(w);
  return 0;
}

int32_t hxsim_bk_brisa_del_play_channel(int32_t channel) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "BrisaApi_DelPlayChannel(%d)\n", channel);
  if (!w.brisa_channel_added || w.brisa_channel != channel) return -1;
  w.brisa_channel_added = false;
  w.brisa_play_cb = nullptr;
  w.wake_cv.notify_all();
  const Target play = kBrisaPlay;
  WaitTargetsIdle(w, lk, &play, 1);
  return 0;
}

// Delivers 16 kHz mono 640-byte blocks whatever rate and channel count are
// asked for (the module asks for exactly that).
int32_t hxsim_bk_mirel_init(hxsim_bytes_capture_fn cb, int32_t sample_rate, int32_t channels) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "fnMirelDll_Init(%d,%d)\n", sample_rate, channels);
  const int32_t result = w.mirel_init_result;
  StartCapture(w, lk, kMirel, cb, result != 0);
  return result;
}

// Safe in any state; returns 1 (true).
int32_t hxsim_bk_mirel_uninit(void) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "fnMirelDll_UnInit()\n");
  StopCapture(w, lk, kMirel);
  return 1;
}

int32_t hxsim_bk_tovan_init(hxsim_bytes_capture_fn cb) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "tovan_init()\n");
  const int32_t result = w.tovan_init_result;
  StartCapture(w, lk, kTovan, cb, result >= 0);
  return result;
}

// Safe in any state.
int32_t hxsim_bk_tovan_uninit(void) {
  World &w = TheWorld();
  std::unique_lock<std::mutex> lk(w.mu);
  LogCall(w, "tovan_uninit()\n");
  StopCapture(w, lk, kTovan);
  return 0;
}

}  // extern "C"
