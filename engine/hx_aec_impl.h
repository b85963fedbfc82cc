// Hx_AEC_Impl: the engine. Holds all per-instance state, starts and stops the
// three worker threads (mix, play, monitor) and takes the host's settings.
// Its operations are defined in the folder of the subsystem that owns them.
#ifndef HX_ENGINE_HX_AEC_IMPL_H
#define HX_ENGINE_HX_AEC_IMPL_H

#include <stdint.h>

#include <atomic>
#include <vector>

#include "backends/brisa_binding.h"
#include "buffers/dgtl_store_buffer.h"
#include "dsp/block_resample.h"
#include "dsp/ns_agc.h"
#include "dsp/webrtc_legacy.h"
#include "hx_aec_mod.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "upstream/audio_packet.h"
#include "upstream/mic_packets.h"
#include "upstream/push_convert.h"
#include "webrtc/modules/interface/module_common_types.h"

typedef std::atomic<uint8_t> FlagByte;

// Texts and counters of one producer of the microphone queue.
struct MicProducer {
  const char *full_line;   // queue-full refusal line, "%d" = queue count
  const char *quiet_line;  // quiet-packet refusal line, "%d" = queue count
  int32_t power_log_count;
  int32_t drop_log_count;
};

class Hx_AEC_Impl {
 public:
  Hx_AEC_Impl();
  virtual ~Hx_AEC_Impl();
  Hx_AEC_Impl(const Hx_AEC_Impl &) = delete;
  Hx_AEC_Impl &operator=(const Hx_AEC_Impl &) = delete;

  // ---- lifecycle and setters (engine/) ----
  int32_t Init();
  int32_t DeInit();
  int32_t SetAecMode(uint8_t on);
  int32_t SetMicroCapture(uint8_t on);
  int32_t SetSysCapture(uint8_t on);
  int32_t SetOnlineSysCapture(uint8_t on);
  int32_t SetDownComCallBackPtr(void *capture_fn, void *capture_ctx, void *play_fn,
                                void *play_ctx);
  static void *GetPushEntry();  // address of UpCom_PushMicData
  static void *GetPullEntry();  // address of UpCom_PullPlayData

  // ---- upstream/ ----
  // Cleaned 16 kHz mono block (320 samples) -> two 48 kHz stereo packets.
  void DeliverMicData(int16_t *samples, int16_t count);
  // Admission rule shared by both producers. Takes ownership of pkt.data
  // (a block of m_micPool): appended, or released when refused. `span` =
  // values measured for power.
  // The offer signals m_micEvent unless `signal` is false; the caller then
  // calls SignalMicOffer for it once it has made its other offers.
  void OfferMicPacket(const AudioPacket &pkt, int32_t span, MicProducer &producer,
                      bool signal = true);
  void SignalMicOffer();
  // Takes the head packet; false when the queue is empty. *count_before gets
  // the queue count read under the lock. The caller owns pkt->data and
  // hands it back to m_micPool.
  bool TakeMicPacket(AudioPacket *pkt, int32_t *count_before);
  void MicProc(uint32_t gen);  // mix thread body, for the start `gen`
  int32_t PushMicData(int16_t *data, uint32_t frames, uint8_t bytes_per_frame,
                      uint8_t channels, uint32_t sample_rate, uint32_t aux0, uint32_t aux1,
                      uint32_t aux2);
  int32_t PullPlayData(int32_t frames, uint8_t channels, int32_t sample_rate, int16_t *out,
                       uint32_t *out_samples);

  // ---- dsp/ far-end conversion ----
  void SetPlayFrame(const int16_t *pcm, int32_t bytes);
  int32_t ResamplePlayFrame(int32_t out_rate_hz, uint8_t out_channels, webrtc::AudioFrame *dst);

  // ---- playback/ ----
  void win7_PlayProc(uint32_t gen);  // play thread body, for the start `gen`
  void AddPlayReq(int32_t request_no);
  void CheckPlayReq();

  // ---- members, in declaration order ----
  CBlockResample m_resample_48to44;
  FlagByte aec_mode{0};
  FlagByte micro_capture{0};
  FlagByte sys_capture{0};
  FlagByte online_sys_capture{0};
  hx::CriticalSection m_playLock;
  webrtc::AudioFrame m_audioFrame_Play;
  std::atomic<HostCaptureFn> m_fnCapture{nullptr};
  std::atomic<HostPlayFn> m_fnPlay{nullptr};
  std::atomic<void *> m_fnCaptureCtx{nullptr};
  std::atomic<void *> m_fnPlayCtx{nullptr};
  webrtc::Resampler m_resampler_Play;
  hx::Thread *m_micProcTid = nullptr;
  FlagByte m_running{0};
  hx::CriticalSection m_micListLock;
  MicPacketList m_micList;
  FlagByte m_workersRun{0};
  hx::Thread *m_playProcTid = nullptr;
  CBlockResample m_resample_16to48;
  hx::Event m_playEvent;
  hx::CriticalSection m_reqLock;
  FlagByte m_is_win7_aec_working{0};
  std::atomic<int32_t> m_req{0};
  hx::Thread *m_monitorProcTid = nullptr;
  hx::CriticalSection m_brisaLock;
  FlagByte m_isOsMajorGe8{0};
  hx::CriticalSection m_tovanLock;
  FlagByte need_tovan{0};
  DgtlStoreBuffer m_captureRing{};
  hx::Event m_sysEvent;
  hx::Event m_micEvent;

  // ---- additions of this port ----
  // Start generations. Every Init takes a new one and hands it to the three
  // workers it creates. A worker runs, and calls the host, only while its
  // generation is the current one and its run flag is set: once a stop has
  // cleared the flag, no worker of that start begins another cycle or host
  // call, and a worker that comes back late from the host cannot resume in
  // a later start. Init writes the generation before it sets the flags;
  // the workers read the flag first.
  std::atomic<uint32_t> m_generation{0};
  bool WorkersLive(uint32_t gen) const {  // play and monitor threads
    return m_workersRun.load() && m_generation.load() == gen;
  }
  bool MixLive(uint32_t gen) const {  // mix thread
    return m_running.load() && m_generation.load() == gen;
  }
  // Stops the engine if it runs (DeInit), stops the plain-capture and
  // system-audio libraries, and waits at most `wait_ms` for workers that
  // earlier stops left behind. True when no thread of the engine is left,
  // so the engine may be destroyed.
  bool Shutdown(uint32_t wait_ms);
  // Wakes the monitor thread's 2000 ms sleep when the engine stops.
  hx::Event m_monitorWake;
  // The host push stream's converter. m_pushLock serialises pushes from any
  // host threads: it is held for the conversion and the queue admission
  // (m_pushLock before m_micListLock), so packets are queued in the order
  // their blocks were converted.
  hx::CriticalSection m_pushLock;
  PushConverter m_pushConvert;
  // The packets' blocks (upstream/mic_packets.h).
  MicBlockPool m_micPool;
  // Far-end rate-conversion pairs the dependency refused (see dsp/).
  int32_t m_playRefusedIn = 0;
  int32_t m_playRefusedOut = 0;
  // Set by Init when it could not take m_playLock (a thread was inside the
  // host's play callback): the next host pull initialises the 48 kHz ->
  // 44.1 kHz converter under the lock instead.
  std::atomic<bool> m_pullConverterStale{false};
  // The voice-path library as Init loaded it, for the monitor thread of that
  // start to bind (under m_brisaLock); released by the stop when the
  // monitor never bound it.
  BrisaBinding m_loadedBrisa{};
  // Workers whose end a stop did not see within its time limit. Reaped
  // without waiting by the next Init and DeInit; waited for, with a bound,
  // at unload.
  std::vector<hx::Thread *> m_lateWorkers;

 private:
  // Joins the late workers that have ended; keeps the others.
  void ReapLateWorkers();
  // Waits for `*t` at most `ms`; closes it, or keeps it as late. Clears *t.
  void EndWorker(hx::Thread **t, uint32_t ms);
  hx::Thread *StartWorker(uint32_t (*routine)(void *), uint32_t gen, const char *name);
  bool m_unloading = false;        // Shutdown has begun
  bool m_backendsStopped = false;  // Shutdown stopped plain and system capture
};

// What a worker's start routine receives: its engine and its start.
struct WorkerStart {
  Hx_AEC_Impl *engine;
  uint32_t generation;
};

// Module-wide engine pointers and the lock of the capture ring.
extern std::atomic<Hx_AEC_Impl *> g_aecImpl;     // set by construction
extern std::atomic<Hx_AEC_Impl *> g_aecImplRun;  // set by every start
extern hx::CriticalSection g_captureLock;

// Shared statistics counters (plain values; they only feed log lines).
extern std::atomic<int32_t> g_micCapCount;
extern std::atomic<int32_t> sys_cnt;

// Thread start routines; each takes a WorkerStart allocated by Init and
// frees it.
uint32_t MicProcThread(void *start);
uint32_t DoRenderThread(void *start);
uint32_t MonitorThread(void *start);

#endif
