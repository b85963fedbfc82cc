// Run-time binding of the voice-path library libBrisaDll.so: its handle, its
// seven entries and its exported variable. The engine's start loads the
// library and looks the entries up on the host's thread (BrisaLoad); the
// monitor thread of that start binds the result at its start
// (BrisaInstall) and g_win7_aec_uninit clears it. Binding and release hold
// the engine's m_brisaLock, and every caller of an entry holds it too, so
// no entry is called after the library is released.
//
// No worker thread ever calls the dynamic loader: an unload runs the
// engine's stop inside dlclose, with the loader's lock held, and a worker
// blocked on that lock could neither be waited for nor be left running.
#ifndef HX_BACKENDS_BRISA_BINDING_H
#define HX_BACKENDS_BRISA_BINDING_H

#include <stdint.h>

#include <atomic>

#include "backends/api/brisa_dll.h"

struct BrisaBinding {
  void *module;
  BrisaApi_Uninit_t Uninit;
  BrisaApi_Init_t Init;
  BrisaApi_Start_t Start;
  BrisaApi_Stop_t Stop;
  BrisaApi_PutPlayData_t PutPlayData;
  BrisaApi_AddPlayChannel_t AddPlayChannel;
  BrisaApi_DelPlayChannel_t DelPlayChannel;
  int32_t *switch_to_wave;  // g_is_brisa_switch_to_wave; null: reads as 0
};

extern BrisaBinding g_brisa;

// Loads "libBrisaDll.so" and looks up the seven entries in order, then the
// variable. Missing parts stay null; nothing is fatal here.
BrisaBinding BrisaLoad();
// Binds what BrisaLoad found, checking the library and then each entry in
// order: a missing one is fatal (kzr_assert). Caller holds m_brisaLock.
void BrisaInstall(const BrisaBinding &loaded);
// Value of g_is_brisa_switch_to_wave (0 when the library lacks it).
int32_t BrisaSwitchToWave();
void BrisaClearSwitchToWave();

#endif
