// Linux stand-ins for the Windows facilities, where the module tests cannot
// see them: the lock's recursion and the tick's wrap. (Events, threads and
// libraries loaded by name work under every engine test.)
#include <thread>

#include "gtest/gtest.h"
#include "platform/sync.h"
#include "platform/tick.h"

TEST(CriticalSection, IsRecursive) {
  hx::CriticalSection cs;
  hx::Lock a(cs), b(cs);  // would deadlock on a plain mutex
  std::thread([&] { bool got = cs.TryLock(); EXPECT_FALSE(got); if (got) cs.Unlock(); }).join();
}

TEST(Platform, TickWrapsAt32Bits) {
  hx::SetTickOffsetForTest(0u - hx::GetTickCount() - 10u);  // 10 ms before the wrap
  uint32_t before = hx::GetTickCount();
  hx::Sleep(30);
  uint32_t after = hx::GetTickCount();
  hx::SetTickOffsetForTest(0);
  EXPECT_TRUE(before > 0xFFFFFF00u && after < 1000u && after - before >= 29u) << after;
}
