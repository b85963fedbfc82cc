// Millisecond tick and sleep, standing in for GetTickCount and Sleep.
#ifndef HX_PLATFORM_TICK_H
#define HX_PLATFORM_TICK_H
#include <stdint.h>
namespace hx {
// Milliseconds of CLOCK_MONOTONIC as a wrapping unsigned 32-bit count.
uint32_t GetTickCount();
// Sleeps at least `ms` milliseconds.
void Sleep(uint32_t ms);
// Test hook: an offset added to every tick (lets tests cross the wrap).
void SetTickOffsetForTest(uint32_t offset);
}  // namespace hx
#endif
