// libBrisaDll.so over PulseAudio: the voice path. Records 16 kHz mono from
// the default source and delivers 320-sample blocks with the voice flag;
// plays the far end handed to BrisaApi_PutPlayData (16 kHz stereo) to the
// default sink, asking for one block per 10 ms the sink consumes. The
// connection is made and remade on the library's own main-loop thread, so
// every call returns without waiting for the server.
//
// Both streams move 20 ms per server message (one microphone block; two
// play requests), and blocks and requests are handed over on the main-loop
// thread itself, in the stream callbacks: a call wakes this library twice
// per 20 ms and no other thread of it. A consumer that calls back into the
// library from a block or a request may only put far end: any other entry
// from there would wait for the callback it runs in, and is refused (-1).
// Each microphone block passes the shared echo canceller, whose reference
// is the far end exactly as it goes to the sink (brisa_capture_path.h).
//
// The streams name no device: they play to and record from the server's
// default sink and source, and the server moves them when the default
// changes (PulseAudio 16 and pipewire-pulse do; the latency they report
// then changes with the device, and the canceller follows it).
//
// HX_BRISA_STATS=<file> appends the canceller's figures to that file once
// a second and when the instance ends (diagnostics of a real call; the host
// program's live report reads them). HX_BRISA_RECORD=<file> keeps what the
// canceller consumed and gave back, block by block, for its first
// kRecordSeconds, and writes it there when the instance ends (the adapted
// canceller goes on into the next instance, and so does its recording);
// bench/voice_replay replays it.
#define HX_BRISA_DLL_IMPLEMENTATION
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

#include "backends/api/brisa_dll.h"
#include "pulse/block_clock.h"
#include "pulse/brisa_capture_path.h"
#include "pulse/byte_fifo.h"
#include "pulse/export.h"
#include "pulse/monotonic.h"
#include "pulse/pa_link.h"
#include "pulse/pa_stream.h"
#include "pulse/voice_path_figures.h"

// Set to 1 when the streams fail while started: the module then runs its
// back-end selection again. 32-bit atomic accesses on both sides.
HX_PULSE_EXPORT int32_t g_is_brisa_switch_to_wave = 0;  // C linkage from the header

namespace {

using hxpa::kVoiceBlockSamples;
constexpr size_t kCaptureBlockBytes = kVoiceBlockSamples * sizeof(int16_t);  // 640
constexpr size_t kRequestBytes = 640;          // 10 ms of 16 kHz stereo: one play request
constexpr uint32_t kRenderPeriodBytes = 2 * kRequestBytes;  // the sink asks per 20 ms
// 60 ms queued at the sink. The server splits it into two requests' worth
// of safety and a device buffer of the rest's half: 10 ms. Less would leave
// the device no buffer, and the server then wakes every few milliseconds.
constexpr uint32_t kRenderTargetBytes = 3840;
constexpr size_t kRenderSlackBytes = 1280;     // 20 ms of late far end kept, older dropped
// Far end requested at the priming fill, ahead of any consumption: one fill
// and the slack. The sink asks a few bytes more than 20 ms per fill (1284 or
// 1288 through PulseAudio's resampler) while the requests follow whole 10 ms
// blocks, so the queue must hold more than one fill; with no head start
// each fill fell 4 bytes short and was padded with silence, a click every
// 20 ms until the carried remainder made one more request (3 s).
constexpr size_t kRenderHeadStartBytes = kRenderPeriodBytes + kRenderSlackBytes;
constexpr size_t kRenderCapacityBytes = 6400;  // 100 ms
constexpr size_t kCaptureBacklogBytes = 6400;  // 200 ms of microphone
constexpr int kRecordSeconds = 90;               // HX_BRISA_RECORD keeps this much (about 12 MB)

// Over the library's load (see voice_path_figures.h).
hxpa::VoicePathFigures g_figures;

void SwitchToWave() { __atomic_store_n(&g_is_brisa_switch_to_wave, 1, __ATOMIC_RELAXED); }

// Set on the main-loop thread while a block or a request is with the consumer.
thread_local bool t_in_callback = false;

struct InCallback {
  InCallback() { t_in_callback = true; }
  ~InCallback() { t_in_callback = false; }
};

class Brisa : public hxpa::PaLinkClient {
 public:
  ~Brisa() override { Shutdown(); }

  // Takes over `adopt` (may be null): see ParkCanceller.
  bool Init(BrisaCaptureCallback cb, void *user, hx_echo *adopt) {
    cb_ = cb;
    user_ = user;
    render_.Reset(kRenderCapacityBytes);
    capture_.Reset(kCaptureBacklogBytes);
    const char *why = nullptr;
    if (!path_.Init(adopt, &why)) {
      fprintf(stderr, "libBrisaDll: the echo canceller refuses to start: %s\n", why ? why : "?");
      return false;
    }
    const char *stats = getenv("HX_BRISA_STATS");
    if (stats && *stats) stats_ = fopen(stats, "a");
    const char *record = getenv("HX_BRISA_RECORD");
    record_ = record ? record : "";
    if (!record_.empty() && !adopt) path_.Record(kRecordSeconds);
    return link_.Start("hx-brisa", this);
  }

  // After Shutdown: the canceller, handed over.
  hx_echo *ReleaseCanceller() { return path_.Release(); }

  // Ends every stream and callback and the connection.
  void Shutdown() {
    Stop();
    link_.Stop();
    // The main loop has ended: this thread writes the last line.
    stats_due_ = 0;
    WriteStats();
    if (stats_) fclose(stats_);
    stats_ = nullptr;
    if (!record_.empty()) path_.SaveRecording(record_.c_str());
  }

  // started: 1 capture and render, 2 render only.
  int32_t Start(int32_t with_capture) {
    Stop();
    link_.Lock();
    started_ = with_capture ? 1 : 2;
    capture_.Clear();
    link_.Poke();
    link_.Unlock();
    return 0;
  }

  // Closes the streams under the lock: blocks and requests are delivered
  // under it, so none is under way or follows.
  void Stop() {
    if (link_.started()) {
      link_.Lock();
      started_ = 0;
      CloseStreams();
      link_.Unlock();
    }
    std::lock_guard<std::mutex> lk(render_mu_);
    render_.Clear();
  }

  // The request callback is read on the main-loop thread: set it only while
  // no request is under way.
  int32_t SetPlayChannel(int32_t channel, BrisaPlayRequestCallback cb) {
    if (channel != 0) return -1;
    std::lock_guard<std::mutex> lk(play_cb_mu_);
    play_cb_ = cb;
    return 0;
  }

  void PutPlayData(const int16_t *samples, int32_t count) {
    std::lock_guard<std::mutex> lk(render_mu_);
    if (accepting_)
      g_figures.far_dropped.fetch_add(
          int64_t(render_.Push(samples, (size_t)count * sizeof(int16_t)) / 4),
          std::memory_order_relaxed);
  }

 private:
  void OnReady(pa_context *c) override { Ensure(c); }
  // Ticks while a wanted stream is not open, and once a second for the
  // figures (HX_BRISA_STATS); none otherwise.
  bool OnTick(pa_context *c) override {
    Ensure(c);
    WriteStats();
    return stats_ || (started_ && (!play_.open() || (started_ == 1 && !rec_.open())));
  }
  // While recording: until just after the block under way is expected, or
  // shortly before it for a probe (block_clock.h). The far end's requests
  // wait meanwhile: the sink then still holds 20 ms.
  double QuietUntil() override { return started_ == 1 && rec_.open() ? clock_.due() : 0; }
  void OnLost() override {
    if (started_) SwitchToWave();
    CloseStreams();
  }

  // Lock held: opens what the started mode wants and is not open.
  void Ensure(pa_context *c) {
    if (!started_) return;
    if (!play_.Check()) {
      hxpa::StreamSpec spec{};
      spec.name = "voice path far end";
      spec.ss = {PA_SAMPLE_S16LE, (uint32_t)hxpa::kVoiceRate, 2};
      spec.period_bytes = kRenderPeriodBytes;
      spec.target_bytes = kRenderTargetBytes;
      primed_ = false;
      demand_ = 0;
      SetAccepting(true);
      play_.OpenPlayback(c, spec, Fill, OnStreamFail, this);
    }
    if (started_ == 1 && !rec_.Check()) {
      hxpa::StreamSpec spec{};
      spec.name = "voice path microphone";
      spec.ss = {PA_SAMPLE_S16LE, (uint32_t)hxpa::kVoiceRate, 1};
      spec.period_bytes = kCaptureBlockBytes;  // one block per fragment
      capture_.Clear();
      clock_.Reset();
      rec_.OpenRecord(c, spec, OnRead, OnStreamFail, this);
    }
  }

  // Main-loop thread, at most once a second: one line of the canceller's
  // and the voice path's figures (HX_BRISA_STATS).
  void WriteStats() {
    if (!stats_) return;
    const double now = hxpa::MonotonicSeconds();
    if (now < stats_due_) return;
    stats_due_ = now + 1;
    hx_echo_stats st;
    path_.Stats(&st);
    fprintf(stats_,
            "t=%.3f blocks=%lld reported_ms=%d applied_ms=%d lead_ms=%d steps=%lld "
            "drift_ppm=%.2f drift_used=%d starved=%lld far_dropped=%lld erle_db=%d erl_db=%d "
            "delay_median_ms=%d delay_std_ms=%d poor_delays=%.2f render_ms=%d capture_ms=%d "
            "path_locked=%d path_ppm=%.1f path_offset_ms=%.2f path_locks=%lld underruns=%lld "
            "far_lost=%lld mic_dbfs=%.1f cleaned_dbfs=%.1f mic_n=%lld far_dbfs=%.1f far_n=%lld\n",
            now, (long long)st.capture_blocks, st.reported_delay_ms, st.applied_delay_ms,
            st.lead_ms, (long long)st.alignment_steps, st.drift_ppm, st.drift_used,
            (long long)st.starved_blocks,
            (long long)st.reverse_dropped, st.erle_db, st.erl_db, st.delay_median_ms,
            st.delay_std_ms, st.fraction_poor_delays, play_.latency_ms(), rec_.latency_ms(),
            st.path_locked, st.path_ppm, st.path_offset_ms, (long long)st.path_locks,
            (long long)g_figures.underruns.load(), (long long)g_figures.far_dropped.load(),
            g_figures.mic.Dbfs(), g_figures.cleaned.Dbfs(), (long long)g_figures.mic.samples.load(),
            g_figures.far.Dbfs(), (long long)g_figures.far.samples.load());
    fflush(stats_);
  }

  void CloseStreams() {
    play_.Close();
    rec_.Close();
    SetAccepting(false);
  }

  void SetAccepting(bool on) {
    std::lock_guard<std::mutex> lk(render_mu_);
    accepting_ = on;
    if (!on) render_.Clear();
  }

  // The failed stream is released, and opened again, at the next tick.
  static void OnStreamFail(void *self_) {
    auto *self = static_cast<Brisa *>(self_);
    if (self->started_) SwitchToWave();
    self->link_.RequestTick();
  }

  // Main-loop thread: n bytes for the sink. The first fill after opening is
  // silence that primes the sink and requests the head start; from then on
  // each 10 ms consumed is one play request, and the far end those requests
  // bring is played at the next fill. Far end beyond one fill and
  // kRenderSlackBytes is dropped (the oldest first), so the delay cannot
  // grow; the slack stays, so a drop leaves the queue its head start.
  static void Fill(void *self_, uint8_t *buf, size_t n) {
    auto *self = static_cast<Brisa *>(self_);
    const bool priming = !self->primed_;
    int requests = 0;
    if (priming) {
      requests = (int)(kRenderHeadStartBytes / kRequestBytes);
    } else {
      self->demand_ += n;
      requests = (int)(self->demand_ / kRequestBytes);
      self->demand_ %= kRequestBytes;
    }
    self->primed_ = true;
    size_t got;
    {
      std::lock_guard<std::mutex> lk(self->render_mu_);
      size_t avail = self->render_.size();
      if (avail > n + kRenderSlackBytes)
        g_figures.far_dropped.fetch_add(
            int64_t(self->render_.Drop((avail - n - kRenderSlackBytes) & ~(size_t)3) / 4),
            std::memory_order_relaxed);
      got = self->render_.Pop(buf, n);
    }
    memset(buf + got, 0, n - got);  // underrun: silence
    if (got < n && !priming) g_figures.underruns.fetch_add(1, std::memory_order_relaxed);
    g_figures.far.Add(reinterpret_cast<const int16_t *>(buf), n / 2);
    self->path_.FarEnd(reinterpret_cast<const int16_t *>(buf), n / 4);
    self->Request(requests);
  }

  // Main-loop thread: microphone bytes (null: a hole, as silence). Each
  // whole block passes the canceller and goes to the consumer.
  static void OnRead(void *self_, const void *data, size_t n) {
    auto *self = static_cast<Brisa *>(self_);
    const double now = hxpa::MonotonicSeconds();
    self->capture_.Push(data, n);
    int16_t samples[kVoiceBlockSamples];
    bool delivered = false;
    while (self->started_ == 1 && self->capture_.size() >= kCaptureBlockBytes) {
      delivered = true;
      self->capture_.Pop(samples, sizeof samples);
      const bool settled = self->play_.age_s() >= hxpa::kLatencySettleSeconds &&
                           self->rec_.age_s() >= hxpa::kLatencySettleSeconds;
      g_figures.mic.Add(samples, kVoiceBlockSamples);
      self->path_.Process(samples, self->play_.latency_ms(), self->rec_.latency_ms(), settled);
      g_figures.cleaned.Add(samples, kVoiceBlockSamples);
      InCallback in;
      self->cb_(samples, (int16_t)kVoiceBlockSamples, 0, self->user_);
    }
    // A block completed when its last bytes were read, if the loop was
    // listening for them; else they came no later.
    if (delivered) self->clock_.Completed(now, self->link_.listening());
  }

  // Main-loop thread: `n` play requests, one after the other.
  void Request(int n) {
    if (n <= 0) return;
    BrisaPlayRequestCallback cb;
    {
      std::lock_guard<std::mutex> lk(play_cb_mu_);
      cb = play_cb_;
    }
    InCallback in;
    for (int i = 0; i < n && cb; ++i) cb(++request_no_);
  }

  hxpa::PaLink link_;
  hxpa::PaStream play_, rec_;
  hxpa::ByteFifo capture_;  // microphone bytes short of a block (main-loop lock)
  hxpa::BrisaCapturePath path_;
  FILE *stats_ = nullptr;   // HX_BRISA_STATS, main-loop thread
  std::string record_;      // HX_BRISA_RECORD: where Shutdown saves the recording
  double stats_due_ = 0;
  BrisaCaptureCallback cb_ = nullptr;
  void *user_ = nullptr;
  std::mutex play_cb_mu_;
  BrisaPlayRequestCallback play_cb_ = nullptr;
  int32_t request_no_ = 0;  // main-loop lock
  // Main-loop lock.
  int started_ = 0;
  bool primed_ = false;
  size_t demand_ = 0;
  hxpa::BlockClock clock_;  // when the next microphone block is due
  // Far end between PutPlayData and the sink.
  std::mutex render_mu_;
  hxpa::ByteFifo render_;
  bool accepting_ = false;
};

// Serialises the entry points against each other. Plain pointer: the
// library is stopped by its Uninit or its unload, never by exit order.
std::mutex g_api_mu;
Brisa *g_brisa = nullptr;
// The instance BrisaApi_PutPlayData feeds, under its own lock, held only
// for a push or to swap the pointer: the play thread never waits behind a
// start or a stop (which joins the main-loop thread), and a put made from a
// library callback cannot deadlock against a stop waiting for that callback.
std::mutex g_put_mu;
Brisa *g_put_target = nullptr;

void SetPutTarget(Brisa *b) {
  std::lock_guard<std::mutex> lk(g_put_mu);
  g_put_target = b;
}

// The module restarts the voice path (Uninit, then Init) whenever the
// endpoints change, a device that has nothing to do with the call
// included. The adapted echo canceller of the instance that ends waits here
// and the next Init takes it over, if it comes within kParkSeconds: the
// echo is cancelled at once instead of after the canceller has adapted
// anew (its alignment follows the new streams' latencies; a new echo path
// is adapted to as after any change). Freed when the library is unloaded
// (the module unloads it at every stop) or replaced.
constexpr double kParkSeconds = 10;
hx_echo *g_parked = nullptr;
double g_parked_at = 0;

void ParkCanceller(hx_echo *e) {
  hx_echo_destroy(g_parked);
  g_parked = e;
  g_parked_at = hxpa::MonotonicSeconds();
}

// The parked canceller if it is recent enough (then no longer parked).
hx_echo *UnparkCanceller() {
  hx_echo *e = g_parked;
  g_parked = nullptr;
  if (e && hxpa::MonotonicSeconds() - g_parked_at <= kParkSeconds) return e;
  hx_echo_destroy(e);
  return nullptr;
}

void DestroyLocked() {
  SetPutTarget(nullptr);
  if (g_brisa) {
    g_brisa->Shutdown();
    ParkCanceller(g_brisa->ReleaseCanceller());
  }
  delete g_brisa;
  g_brisa = nullptr;
}

// The canceller's resampler (libsoxr) brings in the OpenMP runtime, which
// allocates at load and frees nothing at unload. The module loads and
// unloads this library at every stop, so the runtime stays resident from the
// first load on instead of leaking at each.
__attribute__((constructor)) void KeepOpenMpResident() {
  dlopen("libgomp.so.1", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

__attribute__((destructor)) void ShutDownAtUnload() {
  std::lock_guard<std::mutex> lk(g_api_mu);
  DestroyLocked();
  ParkCanceller(nullptr);
}

}  // namespace

extern "C" {

// Safe in any state; frees every object of the library but the adapted
// canceller, which waits for the next Init (freed at unload).
HX_PULSE_EXPORT int32_t BrisaApi_Uninit(void) {
  if (t_in_callback) return -1;
  std::lock_guard<std::mutex> lk(g_api_mu);
  DestroyLocked();
  return 0;
}

// Nonzero whenever the library could set itself up, with or without a
// server: the streams open when one is reachable.
HX_PULSE_EXPORT int32_t BrisaApi_Init(int32_t, BrisaCaptureCallback cb, void *user) {
  if (t_in_callback) return 0;
  std::lock_guard<std::mutex> lk(g_api_mu);
  DestroyLocked();
  if (!cb) return 0;
  g_brisa = new Brisa;
  if (!g_brisa->Init(cb, user, UnparkCanceller())) {
    DestroyLocked();
    return 0;
  }
  SetPutTarget(g_brisa);
  return 1;
}

// -1 when not initialised.
HX_PULSE_EXPORT int32_t BrisaApi_Start(int32_t with_capture) {
  if (t_in_callback) return -1;
  std::lock_guard<std::mutex> lk(g_api_mu);
  return g_brisa ? g_brisa->Start(with_capture) : -1;
}

// Safe in any state; no callback follows its return.
HX_PULSE_EXPORT int32_t BrisaApi_Stop(void) {
  if (t_in_callback) return -1;
  std::lock_guard<std::mutex> lk(g_api_mu);
  if (g_brisa) g_brisa->Stop();
  return 0;
}

// Accepted at any time; kept only while the far-end stream is open.
HX_PULSE_EXPORT int32_t BrisaApi_PutPlayData(int32_t, int16_t *samples, int32_t count) {
  if (!samples || count <= 0) return -1;
  std::lock_guard<std::mutex> lk(g_put_mu);
  if (g_put_target) g_put_target->PutPlayData(samples, count);
  return 0;
}

HX_PULSE_EXPORT int32_t BrisaApi_AddPlayChannel(int32_t channel, BrisaPlayRequestCallback cb) {
  if (t_in_callback) return -1;
  std::lock_guard<std::mutex> lk(g_api_mu);
  return g_brisa && cb ? g_brisa->SetPlayChannel(channel, cb) : -1;
}

HX_PULSE_EXPORT int32_t BrisaApi_DelPlayChannel(int32_t channel) {
  if (t_in_callback) return -1;
  std::lock_guard<std::mutex> lk(g_api_mu);
  return g_brisa ? g_brisa->SetPlayChannel(channel, nullptr) : -1;
}

}  // extern "C"
