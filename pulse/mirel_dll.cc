// libMirelDll.so over PulseAudio: plain capture from the default source
// (PULSE_SOURCE names another) at the rate and channel count asked for, in
// 640-byte deliveries on the library's own thread.
#include "backends/api/mirel_dll.h"
#include "pulse/export.h"
#include "pulse/single_capture.h"

namespace {
constexpr size_t kBlockBytes = 640;
hxpa::SingleCapture g_capture;
}  // namespace

// Nonzero when capture is set up: the stream opens as soon as (and every
// time) the server is reachable. 0 for a format the server cannot carry.
extern "C" HX_PULSE_EXPORT int32_t fnMirelDll_Init(MirelCaptureCallback cb, int32_t sample_rate,
                                                   int32_t channels) {
  hxpa::StreamSpec spec{};
  spec.name = "microphone (plain)";
  spec.ss.format = PA_SAMPLE_S16LE;
  spec.ss.rate = sample_rate > 0 ? (uint32_t)sample_rate : 0;
  spec.ss.channels = channels > 0 && channels <= (int32_t)PA_CHANNELS_MAX ? (uint8_t)channels : 0;
  if (!cb || !pa_sample_spec_valid(&spec.ss)) {
    g_capture.Stop();
    return 0;
  }
  spec.period_bytes = hxpa::BytesPer10Ms(spec.ss);
  return g_capture.Start("hx-mirel", spec, kBlockBytes, cb) ? 1 : 0;
}

// Safe in any state; returns 1.
extern "C" HX_PULSE_EXPORT int32_t fnMirelDll_UnInit(void) {
  g_capture.Stop();
  return 1;
}
