// Microphone cleaning chain: high-pass filter and noise suppressor, then
// gain controller, each run on 640-byte blocks as two 160-sample halves.
//
// Exclusion: g_micPathLock is held by ns_process / agc_process for the whole
// block and by the create and free operations, so a capture callback is
// never inside a wrapper while a processor is created or freed, whichever
// capture library is still running at shut-down.
#include "dsp/ns_agc.h"

#include <math.h>
#include <stddef.h>

#include <algorithm>
#include <type_traits>

#include "engine/log.h"
#include "platform/sync.h"

NsHandle *g_ns = nullptr;
HpfState *g_hpf = nullptr;
void *g_agc = nullptr;
hx::CriticalSection g_micPathLock;
static_assert(std::is_trivially_destructible<hx::CriticalSection>::value,
              "the lock must stay valid while the module unloads");

namespace {

const int kFrame = 160;  // samples per 10 ms half at 16 kHz

// The noise suppressor's estimates start from nothing and settle over about
// half a second, so a call's first second of background passed 8 to 10 dB
// less suppressed than later (the host heard it 4.8 dB louder). Analysing
// each of the first halves twice runs the suppressor's start-up at double
// speed on the same signal: its noise estimate settles within 0.2 s and the
// first second's background comes within 1.2 dB of its later level
// (tests/voice_room_test.cc). Afterwards every half is analysed once.
const int kNsWarmHalves = 15;
int g_nsHalves = 0;  // halves with sound analysed twice since the suppressor was created

// Sound, for the start-up, is a half whose mean square exceeds 4 (2 LSB rms,
// -84 dBFS). The suppressor takes its first analysed half as the start of
// its estimates; a stream that opens on digital silence ends it with a half
// or two of resampler ringing (one sample of -1 in 160), and a start-up on
// those left the background after them 11 dB less suppressed at first,
// settling over 0.4 s. Until the first half with sound comes, the
// suppressor is not run at all and the half comes out as silence: its
// processing before any analysis reads state the library has not set (in
// the module's process every half after it then came out as 0).
const float kNsSoundFloor = 4.0f * kFrame;
bool g_nsSounded = false;  // a half with sound came since the suppressor was created

// The suppressor works on floats on the 16-bit scale and saturates its
// output; rounding to nearest brings it back (the clamp only guards the
// conversion).
inline int16_t FloatToS16(float v) {
  if (v >= 32767.f) return 32767;
  if (v <= -32768.f) return -32768;
  return (int16_t)lrintf(v);
}

}  // namespace

void ns_create() {
  hx::Lock lock(g_micPathLock);
  g_ns = WebRtcNs_Create();
  if (g_ns == nullptr) return;  // stays absent until the next start-up
  WebRtcNs_Init(g_ns, 16000);
  WebRtcNs_set_policy(g_ns, 2);  // Init resets the policy: set it afterwards
  g_nsHalves = 0;
  g_nsSounded = false;
  g_hpf = new HpfState;
  hpf_init(g_hpf, 16000);
}

void ns_process(int16_t *in, int32_t len, int16_t *out) {
  hx::Lock lock(g_micPathLock);
  if (g_ns == nullptr) return;
  hx_assert_at(len == 640, "Hx_Aec_Impl", 569);
  for (int k = 0; k < 2; ++k) {
    int16_t work[kFrame];
    float in_f[kFrame];
    float out_f[kFrame];
    for (int i = 0; i < kFrame; ++i) work[i] = in[kFrame * k + i];
    hpf_filter(g_hpf, work, kFrame);
    for (int i = 0; i < kFrame; ++i) in_f[i] = work[i];
    const float *in_bands[1] = {in_f};
    float *out_bands[1] = {out_f};
    if (!g_nsSounded) {
      float energy = 0;
      for (int i = 0; i < kFrame; ++i) energy += in_f[i] * in_f[i];
      g_nsSounded = energy > kNsSoundFloor;
    }
    if (!g_nsSounded) {
      std::fill(out + kFrame * k, out + kFrame * (k + 1), 0);
      continue;
    }
    // The analysis pass feeds the noise estimate that Process uses; the
    // start-up counts from the first half it learns from.
    WebRtcNs_Analyze(g_ns, in_f);
    if (g_nsHalves < kNsWarmHalves) ++g_nsHalves, WebRtcNs_Analyze(g_ns, in_f);
    WebRtcNs_Process(g_ns, in_bands, 1, out_bands);
    for (int i = 0; i < kFrame; ++i) out[kFrame * k + i] = FloatToS16(out_f[i]);
  }
}

void ns_free() {
  hx::Lock lock(g_micPathLock);
  if (g_ns != nullptr) {
    WebRtcNs_Free(g_ns);
    delete g_hpf;
    g_hpf = nullptr;
  }
  g_ns = nullptr;
}

void agc_create(int32_t sample_rate_hz) {
  hx::Lock lock(g_micPathLock);
  g_agc = WebRtcAgc_Create();
  if (g_agc == nullptr) return;
  WebRtcAgc_Init(g_agc, 0, 255, 1, (uint32_t)sample_rate_hz);  // levels 0..255, adaptive analog
  WebRtcAgcConfig config;
  config.targetLevelDbfs = 3;
  config.compressionGaindB = 12;
  config.limiterEnable = 1;
  WebRtcAgc_set_config(g_agc, config);
}

void agc_process(int16_t *in, int32_t inlen, int16_t *out, int32_t outlen) {
  hx::Lock lock(g_micPathLock);
  if (g_agc == nullptr) return;
  hx_assert_at(inlen == 640, "Hx_Aec_Impl", 614);
  hx_assert_at(outlen == 640, "Hx_Aec_Impl", 615);
  for (int k = 0; k < 2; ++k) {
    const int16_t *in_bands[1] = {in + kFrame * k};
    int16_t *out_bands[1] = {out + kFrame * k};
    // The recommended microphone level is discarded: the module never
    // changes a device volume, only the gain applied to the samples.
    int32_t out_mic_level = 0;
    uint8_t saturation_warning = 0;
    WebRtcAgc_Process(g_agc, in_bands, 1, kFrame, out_bands, 0, &out_mic_level, 0,
                      &saturation_warning);
  }
}

void agc_free() {
  hx::Lock lock(g_micPathLock);
  if (g_agc != nullptr) WebRtcAgc_Free(g_agc);
  g_agc = nullptr;
}
