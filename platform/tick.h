// Millisecond tick and sleep, standing in for GetTickCount and Sleep.
#ifndef HX_PLATFORM_TICK_H
#define HX_PLATFORM_TICK_H
#include <stdint.h>
namespace hx {
// Milliseconds of CLOCK_MONOTONIC as a wrapping unsigned 32-bit count.
uint32_t GetTickCount();
// Sleeps at least `ms` milliseconds.
void Sleep(uint32_t ms);
// Milliseconds of CLOCK_MONOTONIC, not wrapping: for deadlines.
uint64_t NowMs();
// Milliseconds from now until `deadline_ms` (a NowMs value), 0 once passed,
// at most `cap`.
uint32_t MsLeft(uint64_t deadline_ms, uint32_t cap = 0xFFFFFFFEu);
// Test hook: an offset added to every tick (lets tests cross the wrap).
void SetTickOffsetForTest(uint32_t offset);
}  // namespace hx
#endif
