// State of the simulated world shared by the world_*.cc files. One world per
// process, created on first use and never destroyed (its threads are ended
// by the library destructor, see world_delivery.cc).
#ifndef HXSIM_WORLD_INTERNAL_H
#define HXSIM_WORLD_INTERNAL_H

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "hxsim_backend.h"

namespace hxsim {

// Callback targets the world delivers to. Stops wait per target.
enum Target { kBrisaMic, kMirelMic, kBrisaPlay, kTovanSys, kTargetCount };
// Real-time streams, one world thread each.
enum Stream { kMicStream, kPlayStream, kSysStream, kStreamCount };

constexpr int kMicBlockSamples = 320;     // 20 ms at 16 kHz mono
constexpr int kSysBlockSamples = 960;     // 10 ms at 48 kHz stereo
constexpr size_t kPlayedCapacity = 60u * 16000u * 2u;  // 60 s, 16 kHz stereo

// A PCM source: plays its samples once (then silence) or in a loop.
struct Signal {
  std::vector<int16_t> data;
  size_t pos = 0;
  bool loop = false;
  void Set(const int16_t *samples, size_t count, bool looping);
  void Fill(int16_t *dst, size_t n);  // n samples, silence past the end
};

// Short-term energy detector with hangover, for the automatic voice flag.
struct VoiceDetector {
  int hangover = 0;
  int Update(const int16_t *block, int n);  // 1 voice, 0 not
};

// An object handed out by the device API stand-in.
struct DeviceObject {
  int kind = 0;  // 0 enumerator, 1 collection
  int32_t data_flow = 0;
  uint32_t count = 0;
  bool alive = true;
  uint32_t epoch = 0;  // hxsim_reset starts a new accounting epoch
};

struct World {
  std::mutex mu;
  std::condition_variable idle_cv;  // an in-flight delivery ended
  std::condition_variable wake_cv;  // stream threads: state changed

  // Configuration.
  uint32_t render_endpoints = 1, capture_endpoints = 1;
  int32_t fail_step = HXSIM_FAIL_NONE, fail_hresult = 0;
  uint32_t os_major = 10, os_minor = 0, os_build = 19045;
  int32_t brisa_init_result = 1, mirel_init_result = 1, tovan_init_result = 0;
  int32_t voice_mode = HXSIM_VOICE_AUTO;
  bool manual = false;
  Signal mic, sys;
  VoiceDetector vad;

  // Library states.
  bool brisa_initialised = false;
  hxsim_brisa_capture_fn brisa_cb = nullptr;
  void *brisa_user = nullptr;
  int brisa_started = 0;  // 0 stopped, 1 capture+render, 2 render only
  bool brisa_channel_added = false;
  int32_t brisa_channel = 0;
  hxsim_brisa_play_request_fn brisa_play_cb = nullptr;
  int32_t next_request_no = 1;
  bool mirel_running = false;
  hxsim_bytes_capture_fn mirel_cb = nullptr;
  bool tovan_running = false;
  hxsim_bytes_capture_fn tovan_cb = nullptr;
  int32_t *switch_var = nullptr;  // g_is_brisa_switch_to_wave of the loaded library
  int32_t switch_value = 0;       // its value while no library is loaded

  // Deliveries under way (callbacks running), per target and by world threads.
  int inflight[kTargetCount] = {0, 0, 0, 0};
  int world_inflight = 0;

  // World threads.
  bool threads_started = false;
  bool quit = false;
  pthread_t threads[kStreamCount];

  // Counters and the call log.
  int64_t mic_blocks = 0, sys_blocks = 0, play_requests = 0;
  std::string call_log;

  // Device objects: addresses stay valid for the life of the process so that
  // a late or double release is detected instead of touching freed memory.
  std::deque<DeviceObject> objects;
  std::unordered_set<const void *> known_objects;
  uint32_t epoch = 0;
  int32_t objects_alive = 0;  // of the current epoch
  int32_t bad_releases = 0;

  // Far-end audio received through PutPlayData (own lock: the play path
  // must not wait behind the world's bookkeeping).
  std::mutex played_mu;
  std::vector<int16_t> played;  // ring, allocated on first use
  size_t played_head = 0, played_count = 0;
  int64_t put_play_calls = 0, put_play_samples = 0;
};

World &TheWorld();

// Appends one line to the call log; the world lock must be held.
void LogCall(World &w, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Sets the calling thread's last error text.
void SetLastError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Starts the world threads if they are not running; the world lock must be held.
void EnsureThreads(World &w);
// Waits until no callback of target t runs, unless the caller is inside one
// of `targets` callbacks (then the stop is only marked); lock held.
void WaitTargetsIdle(World &w, std::unique_lock<std::mutex> &lk, const Target *targets, int n);

}  // namespace hxsim

#endif  // HXSIM_WORLD_INTERNAL_H
