// Run-time binding of the voice-path library libBrisaDll.so: its handle, its
// seven entries and its exported variable. Written by the monitor thread at
// its start and cleared by g_win7_aec_uninit; both hold the engine's
// m_brisaLock, and every caller of an entry holds it too, so no entry is
// called after the library is released.
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
// variable. A missing library or entry is fatal (kzr_assert).
void BrisaBind();
// Value of g_is_brisa_switch_to_wave (0 when the library lacks it).
int32_t BrisaSwitchToWave();
void BrisaClearSwitchToWave();

#endif
