#include "playback/output_pipes.h"

#include "engine/log.h"

void *g_waveout[kOutputPipeCount] = {nullptr, nullptr, nullptr, nullptr};
hx::CriticalSection g_waveout_lock;

int32_t waveOutPlay_Put(int32_t pipe, const void * /*data*/, int32_t /*len*/) {
  hx::Lock lock(g_waveout_lock);
  // A pipe number outside 0..3 has no slot at all: reported like an empty one.
  bool has_slot = pipe >= 0 && pipe < kOutputPipeCount;
  if (!has_slot || !g_waveout[pipe]) log_printf("g_waveout is null ...........: no=%d\n", pipe);
  // No operation fills a slot, so there is no player to hand the block to.
  return 0;
}
