// libTovanDll.so over PulseAudio: system audio is the monitor of the
// default sink (or of the sink PULSE_SINK names), 48 kHz stereo, delivered in
// 1920-byte blocks (10 ms) that the callee may change in place.
#include <stdio.h>
#include <stdlib.h>

#include "backends/api/tovan_dll.h"
#include "pulse/export.h"
#include "pulse/single_capture.h"

namespace {
constexpr size_t kBlockBytes = 1920;
hxpa::SingleCapture g_capture;
}  // namespace

// 0 when capture is set up (the stream opens whenever the server and a
// sink are there), -1 otherwise.
extern "C" HX_PULSE_EXPORT int32_t tovan_init(TovanCaptureCallback cb) {
  hxpa::StreamSpec spec{};
  spec.name = "system audio";
  // libpulse applies PULSE_SINK to playback only; system audio follows it too.
  const char *sink = getenv("PULSE_SINK");
  if (sink && *sink) snprintf(spec.device, sizeof spec.device, "%s.monitor", sink);
  else snprintf(spec.device, sizeof spec.device, "@DEFAULT_MONITOR@");
  spec.ss = {PA_SAMPLE_S16LE, 48000, 2};
  spec.period_bytes = kBlockBytes;
  if (!cb) return -1;
  return g_capture.Start("hx-tovan", spec, kBlockBytes, cb) ? 0 : -1;
}

// Safe in any state.
extern "C" HX_PULSE_EXPORT int32_t tovan_uninit(void) {
  g_capture.Stop();
  return 0;
}
