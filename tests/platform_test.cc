// Linux stand-ins for the Windows facilities: events, locks, threads, tick.
#include <atomic>
#include <thread>

#include "gtest/gtest.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "support/log_capture.h"

TEST(Event, AutoResetReleasesOneWaiterPerSignalAndSignalsDoNotAccumulate) {
  hx::Event e;
  uint32_t t0 = hx::GetTickCount();
  EXPECT_TRUE(!e.Wait(60) && hx::GetTickCount() - t0 >= 59u);  // not signalled at start
  e.Set(), e.Set();
  EXPECT_TRUE(e.Wait(0) && !e.Wait(0));  // the second Set was absorbed
  EXPECT_FALSE((e.Set(), e.Reset(), e.Wait(0)));
  std::atomic<int> released{0};
  auto waiter = [&] { released += e.Wait(5000); };
  std::thread a(waiter), b(waiter);
  hx::Sleep(50), e.Set();
  ASSERT_TRUE(WaitUntil([&] { return released.load() == 1; }, 5000));
  hx::Sleep(50);
  EXPECT_EQ(released.load(), 1);
  e.Set(), a.join(), b.join();
  EXPECT_EQ(released.load(), 2);
}

TEST(CriticalSection, IsRecursive) {
  hx::CriticalSection cs;
  hx::Lock a(cs), b(cs);  // would deadlock on a plain mutex
  std::thread([&] { bool got = cs.TryLock(); EXPECT_FALSE(got); if (got) cs.Unlock(); }).join();
}

static uint32_t SleepThenSet(void *p) { return hx::Sleep(300), *(std::atomic<int> *)p = 1, 0; }

TEST(Thread, LimitedWaitTimesOutAndCloseWaitsForTheEnd) {
  std::atomic<int> done{0}, closed{0};
  hx::Thread *t = hx::CreateThread(SleepThenSet, &done, "hx-test");
  ASSERT_TRUE(t && !hx::WaitThread(t, 20) && done == 0);
  EXPECT_TRUE(hx::WaitThread(t, hx::kInfinite) && done == 1 && hx::WaitThread(t, 0));
  hx::CloseThread(t);
  hx::CloseThread(hx::CreateThread(SleepThenSet, &closed));
  EXPECT_EQ(closed.load(), 1);
}

TEST(Platform, TickWrapsAt32BitsAndLibrariesLoadByName) {
  hx::SetTickOffsetForTest(0u - hx::GetTickCount() - 10u);  // 10 ms before the wrap
  uint32_t before = hx::GetTickCount();
  hx::Sleep(30);
  uint32_t after = hx::GetTickCount();
  hx::SetTickOffsetForTest(0);
  EXPECT_TRUE(before > 0xFFFFFF00u && after < 1000u && after - before >= 29u) << after;
  void *lib = hx::LoadLibrary("libntdll.so");  // the project's, found through RUNPATH
  ASSERT_TRUE(lib && hx::GetProcAddress(lib, "RtlGetNtVersionNumbers"));
  EXPECT_EQ(hx::GetProcAddress(lib, "NoSuchEntry"), nullptr);
  hx::FreeLibrary(lib);
  EXPECT_EQ(hx::LoadLibrary("libNoSuchLibrary.so"), nullptr);
}
