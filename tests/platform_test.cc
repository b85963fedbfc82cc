// Linux stand-ins for the Windows facilities: events, locks, threads, tick.
#include <atomic>
#include <chrono>
#include <thread>

#include "gtest/gtest.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0) {
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

TEST(Event, AutoResetReleasesOneWaitPerSignalAndSignalsDoNotAccumulate) {
  hx::Event e;
  EXPECT_FALSE(e.Wait(0));  // starts not signalled
  e.Set();
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));  // reset by the release; the second Set was absorbed
  e.Set();
  e.Reset();
  EXPECT_FALSE(e.Wait(0));
}

TEST(Event, TimedWaitReportsTimeoutAfterAtLeastTheLimit) {
  hx::Event e;
  auto t0 = Clock::now();
  EXPECT_FALSE(e.Wait(60));
  EXPECT_GE(MsSince(t0), 59);
}

TEST(Event, OneSignalReleasesOneOfTwoWaiters) {
  hx::Event e;
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (e.Wait(3000)) released++;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  e.Set();
  auto t0 = Clock::now();
  while (released.load() == 0 && MsSince(t0) < 3000) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(released.load(), 1);
  e.Set();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
}

TEST(CriticalSection, IsRecursive) {
  hx::CriticalSection cs;
  hx::Lock a(cs);
  hx::Lock b(cs);  // would deadlock on a plain mutex
  std::atomic<bool> got{false};
  std::thread other([&] { got = cs.TryLock(); if (got) cs.Unlock(); });
  other.join();
  EXPECT_FALSE(got.load());
}

uint32_t SleepThenSet(void *p) {
  hx::Sleep(300);
  static_cast<std::atomic<int> *>(p)->store(1);
  return 0;
}

TEST(Thread, WaitWithLimitTimesOutThenWaitsToTheEnd) {
  std::atomic<int> done{0};
  hx::Thread *t = hx::CreateThread(SleepThenSet, &done, "hx-test");
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(hx::WaitThread(t, 20));
  EXPECT_EQ(done.load(), 0);
  EXPECT_TRUE(hx::WaitThread(t, hx::kInfinite));
  EXPECT_EQ(done.load(), 1);
  EXPECT_TRUE(hx::WaitThread(t, 0));  // an ended thread stays ended
  hx::CloseThread(t);
}

TEST(Thread, CloseWaitsForARunningThread) {
  std::atomic<int> done{0};
  hx::Thread *t = hx::CreateThread(SleepThenSet, &done);
  hx::CloseThread(t);
  EXPECT_EQ(done.load(), 1);
}

TEST(Tick, CountsMillisecondsAndWrapsAt32Bits) {
  uint32_t a = hx::GetTickCount();
  hx::Sleep(25);
  uint32_t b = hx::GetTickCount();
  EXPECT_GE(b - a, 24u);
  EXPECT_LT(b - a, 5000u);
  // Put the count 10 ms before the wrap: unsigned differences stay right.
  hx::SetTickOffsetForTest(0u - hx::GetTickCount() - 10u);
  uint32_t before = hx::GetTickCount();
  hx::Sleep(30);
  uint32_t after = hx::GetTickCount();
  hx::SetTickOffsetForTest(0);
  EXPECT_GT(before, 0xFFFFFF00u);
  EXPECT_LT(after, 1000u);
  EXPECT_GE(after - before, 29u);
  EXPECT_GT((int32_t)(after - before), 0);
}

TEST(Library, LoadsByNameAndFindsEntries) {
  void *lib = hx::LoadLibrary("libntdll.so");  // the project's, found through the test's RUNPATH
  if (!lib) lib = hx::LoadLibrary(HX_LIB_DIR "/libntdll.so");
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(hx::GetProcAddress(lib, "RtlGetNtVersionNumbers"), nullptr);
  EXPECT_EQ(hx::GetProcAddress(lib, "NoSuchEntry"), nullptr);
  hx::FreeLibrary(lib);
  EXPECT_EQ(hx::LoadLibrary("libNoSuchLibrary.so"), nullptr);
}

}  // namespace
