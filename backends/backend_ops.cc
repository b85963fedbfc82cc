// Endpoint counting, the OS-version test and the release of the voice path.
#include "backends/api/mmdevapi.h"
#include "backends/api/ntdll.h"
#include "backends/backends.h"
#include "backends/brisa_binding.h"
#include "engine/log.h"
#include "platform/thread.h"

std::atomic<uint8_t> g_hasCaptureEp{0};
std::atomic<uint8_t> g_hasRenderEp{0};

namespace {

// Counts the active endpoints of one direction (0 render, 1 capture), logs
// the count and stores it with its flag. false after a failed step, which
// is logged and leaves the count and the flag as they were.
bool CountActiveEndpoints(void *enumerator, int32_t data_flow, const char *kind,
                          std::atomic<uint8_t> *has_endpoint, uint32_t *count_out) {
  void *collection = nullptr;
  uint32_t count = 0;
  int32_t hr = MMDevApi_EnumAudioEndpoints(enumerator, data_flow, 1, &collection);
  if (hr < 0) {
    log_printf("audio_HXAec::===> Unable to retrieve device collection: %x\n", (unsigned)hr);
    return false;
  }
  hr = MMDevApi_GetCount(collection, &count);
  if (hr >= 0) {
    log_printf("audio_HXAec::===> :: Have %d %s endpoint \n", (int)count, kind);
    has_endpoint->store(count > 0 ? 1 : 0);
    *count_out = count;
  } else {
    log_printf("audio_HXAec::===> Unable to get device collection length: %x\n", (unsigned)hr);
  }
  MMDevApi_Release(collection);
  return hr >= 0;
}

}  // namespace

void GetEndpointCount(uint32_t *render_count, uint32_t *capture_count) {
  void *enumerator = nullptr;
  int32_t hr = MMDevApi_CreateDeviceEnumerator(&enumerator);
  if (hr < 0) {
    log_printf("audio_HXAec::===> Unable to instantiate device enumerator: %x\n", (unsigned)hr);
    return;
  }
  if (CountActiveEndpoints(enumerator, 0, "render", &g_hasRenderEp, render_count))
    CountActiveEndpoints(enumerator, 1, "capture", &g_hasCaptureEp, capture_count);
  MMDevApi_Release(enumerator);
}

bool IsOsMajorAtLeast8() {
  // The handle is kept, as the version library is never released.
  void *ntdll = hx::LoadLibrary("libntdll.so");
  auto get = reinterpret_cast<RtlGetNtVersionNumbers_t>(
      hx::GetProcAddress(ntdll, "RtlGetNtVersionNumbers"));
  uint32_t major = 0, minor = 0, build = 0;
  // Without the library or its entry the version reads 0.0: not 8 or later.
  if (get) get(&major, &minor, &build);
  log_printf("audio_HXAec::===>  The os version: major=%d; minor=%d\n", (int)major, (int)minor);
  return major >= 8u;
}

void g_win7_aec_uninit() {
  log_printf("audio_HXAec::===> enter g_win7_aec_uninit [0]\n");
  if (g_brisa.Stop) g_brisa.Stop();
  log_printf("audio_HXAec::===> enter g_win7_aec_uninit [1]\n");
  if (g_brisa.Uninit) g_brisa.Uninit();
  log_printf("audio_HXAec::===> enter g_win7_aec_uninit [2]\n");
  if (g_brisa.module) {
    hx::FreeLibrary(g_brisa.module);
    g_brisa = BrisaBinding{};
  }
  log_printf("audio_HXAec::===> leave g_win7_aec_uninit \n");
}
