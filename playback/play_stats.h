// Module-wide state of the play thread that other parts and tests reach.
#ifndef HX_PLAYBACK_PLAY_STATS_H
#define HX_PLAYBACK_PLAY_STATS_H

#include <stdint.h>

#include <atomic>

// Last request number passed by the voice path's play-request callback.
extern std::atomic<int32_t> g_playReqNo;

// Test hook: forgets the last statistics report and zeroes the play counters,
// so a test sees the first report and the first "dumpinfo" line again.
void ResetPlayStatisticsForTest();

#endif
