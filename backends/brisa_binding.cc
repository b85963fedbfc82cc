#include "backends/brisa_binding.h"

#include "engine/log.h"
#include "platform/thread.h"

BrisaBinding g_brisa = {};

namespace {
template <typename Fn>
void BindEntry(Fn *slot, const char *name, int assert_line) {
  *slot = reinterpret_cast<Fn>(hx::GetProcAddress(g_brisa.module, name));
  kzr_assert_at(*slot != nullptr, assert_line);
}
}  // namespace

void BrisaBind() {
  g_brisa.module = hx::LoadLibrary("libBrisaDll.so");
  kzr_assert_at(g_brisa.module != nullptr, 1480);
  BindEntry(&g_brisa.Uninit, "BrisaApi_Uninit", 1484);
  BindEntry(&g_brisa.Init, "BrisaApi_Init", 1487);
  BindEntry(&g_brisa.Start, "BrisaApi_Start", 1490);
  BindEntry(&g_brisa.Stop, "BrisaApi_Stop", 1493);
  BindEntry(&g_brisa.PutPlayData, "BrisaApi_PutPlayData", 1496);
  BindEntry(&g_brisa.AddPlayChannel, "BrisaApi_AddPlayChannel", 1499);
  BindEntry(&g_brisa.DelPlayChannel, "BrisaApi_DelPlayChannel", 1502);
  g_brisa.switch_to_wave =
      static_cast<int32_t *>(hx::GetProcAddress(g_brisa.module, "g_is_brisa_switch_to_wave"));
}

int32_t BrisaSwitchToWave() {
  int32_t *v = g_brisa.switch_to_wave;
  return v ? __atomic_load_n(v, __ATOMIC_RELAXED) : 0;
}

void BrisaClearSwitchToWave() {
  int32_t *v = g_brisa.switch_to_wave;
  if (v) __atomic_store_n(v, 0, __ATOMIC_RELAXED);
}
