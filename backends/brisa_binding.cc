#include "backends/brisa_binding.h"

#include <type_traits>

#include "engine/log.h"
#include "platform/thread.h"

BrisaBinding g_brisa = {};

BrisaBinding BrisaLoad() {
  BrisaBinding b = {};
  b.module = hx::LoadLibrary("libBrisaDll.so");
  if (!b.module) return b;
  auto find = [&b](auto *slot, const char *name) {
    *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(
        hx::GetProcAddress(b.module, name));
  };
  find(&b.Uninit, "BrisaApi_Uninit");
  find(&b.Init, "BrisaApi_Init");
  find(&b.Start, "BrisaApi_Start");
  find(&b.Stop, "BrisaApi_Stop");
  find(&b.PutPlayData, "BrisaApi_PutPlayData");
  find(&b.AddPlayChannel, "BrisaApi_AddPlayChannel");
  find(&b.DelPlayChannel, "BrisaApi_DelPlayChannel");
  b.switch_to_wave =
      static_cast<int32_t *>(hx::GetProcAddress(b.module, "g_is_brisa_switch_to_wave"));
  return b;
}

void BrisaInstall(const BrisaBinding &loaded) {
  kzr_assert_at(loaded.module != nullptr, 1480);
  kzr_assert_at(loaded.Uninit != nullptr, 1484);
  kzr_assert_at(loaded.Init != nullptr, 1487);
  kzr_assert_at(loaded.Start != nullptr, 1490);
  kzr_assert_at(loaded.Stop != nullptr, 1493);
  kzr_assert_at(loaded.PutPlayData != nullptr, 1496);
  kzr_assert_at(loaded.AddPlayChannel != nullptr, 1499);
  kzr_assert_at(loaded.DelPlayChannel != nullptr, 1502);
  g_brisa = loaded;
}
int32_t BrisaSwitchToWave() {
  int32_t *v = g_brisa.switch_to_wave;
  return v ? __atomic_load_n(v, __ATOMIC_RELAXED) : 0;
}

void BrisaClearSwitchToWave() {
  int32_t *v = g_brisa.switch_to_wave;
  if (v) __atomic_store_n(v, 0, __ATOMIC_RELAXED);
}
