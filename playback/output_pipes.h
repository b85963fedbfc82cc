// Output pipes 0..3 of the host-pull playing branch: slots for waveOut
// players. No player is ever placed in a slot, so every block handed to a
// pipe is logged and dropped.
#ifndef HX_PLAYBACK_OUTPUT_PIPES_H
#define HX_PLAYBACK_OUTPUT_PIPES_H

#include <stdint.h>

#include "platform/sync.h"

enum { kOutputPipeCount = 4 };

extern void *g_waveout[kOutputPipeCount];  // all null for the life of the module
extern hx::CriticalSection g_waveout_lock;  // serialises waveOutPlay_Put

// Hands `len` bytes at `data` (may be null) to pipe `pipe`. The block is
// never read while the slot is empty, which it always is. Returns 0.
int32_t waveOutPlay_Put(int32_t pipe, const void *data, int32_t len);

#endif
