// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Threads.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Clock.h"

namespace {

// Waits until cond holds; the limit only keeps a broken build from hanging.
template <class Cond>
bool WaitFor(Cond cond) {
  for (int i = 0; i < 10000; ++i) {
    if (cond()) return true;
    SleepMs(1);
  }
  return cond();
}

struct Counter {
  std::atomic<int> calls{0};
  int stopAt = 0;  // the call that ends the loop (0: never)
  bool stopByFalse = false;
  CSingleThread* owner = nullptr;
};

bool CountingStep(void* arg) {
  auto* c = static_cast<Counter*>(arg);
  const int n = ++c->calls;
  if (n == c->stopAt) {
    if (c->stopByFalse) return false;
    c->owner->StopThread();
  }
  SleepMs(1);
  return true;
}

TEST(SingleThread, CallsTheRoutineUntilStopped) {
  Counter c;
  CSingleThread t("counter");
  EXPECT_FALSE(t.IsRunning());
  ASSERT_TRUE(t.BeginThread(CountingStep, &c, 0, 0));
  EXPECT_TRUE(t.IsRunning());
  EXPECT_FALSE(t.BeginThread(CountingStep, &c, 0, 0));  // one loop at a time
  ASSERT_TRUE(WaitFor([&] { return c.calls.load() >= 5; }));
  t.StopThread();
  EXPECT_FALSE(t.IsRunning());
  const int after = c.calls.load();
  SleepMs(20);
  EXPECT_EQ(c.calls.load(), after);
  t.StopThread();  // twice is harmless
}

struct SlowStep {
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  std::atomic<bool> inside{false};
};

bool Slow(void* arg) {
  auto* s = static_cast<SlowStep*>(arg);
  ++s->started;
  s->inside = true;
  SleepMs(30);
  s->inside = false;
  ++s->finished;
  return true;
}

TEST(SingleThread, StopWaitsForTheCallInProgress) {
  SlowStep s;
  CSingleThread t;
  ASSERT_TRUE(t.BeginThread(Slow, &s));
  ASSERT_TRUE(WaitFor([&] { return s.inside.load(); }));
  t.StopThread();
  EXPECT_FALSE(s.inside.load());
  EXPECT_EQ(s.started.load(), s.finished.load());
  const int started = s.started.load();
  SleepMs(50);
  EXPECT_EQ(s.started.load(), started);
}

TEST(SingleThread, StopFromTheRoutineEndsAfterThatCall) {
  Counter c;
  CSingleThread t;
  c.owner = &t;
  c.stopAt = 3;
  ASSERT_TRUE(t.BeginThread(CountingStep, &c));
  ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
  EXPECT_EQ(c.calls.load(), 3);
  t.StopThread();
  // It can start again.
  c.calls = 0;
  c.stopAt = 2;
  ASSERT_TRUE(t.BeginThread(CountingStep, &c));
  ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
  EXPECT_EQ(c.calls.load(), 2);
}

TEST(SingleThread, RoutineReturningFalseEndsTheLoop) {
  Counter c;
  c.stopAt = 2;
  c.stopByFalse = true;
  CSingleThread t;
  ASSERT_TRUE(t.BeginThread(CountingStep, &c));
  ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
  EXPECT_EQ(c.calls.load(), 2);
  c.calls = 0;
  ASSERT_TRUE(t.BeginThread(CountingStep, &c));  // no StopThread needed in between
  ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
  EXPECT_EQ(c.calls.load(), 2);
}

TEST(SingleThread, DestructorStopsTheLoop) {
  Counter c;
  {
    CSingleThread t;
    ASSERT_TRUE(t.BeginThread(CountingStep, &c));
    ASSERT_TRUE(WaitFor([&] { return c.calls.load() >= 1; }));
  }
  const int after = c.calls.load();
  SleepMs(20);
  EXPECT_EQ(c.calls.load(), after);
}

struct NameProbe {
  char name[32] = {};
  std::atomic<bool> done{false};
};

bool ReadName(void* arg) {
  auto* p = static_cast<NameProbe*>(arg);
  pthread_getname_np(pthread_self(), p->name, sizeof p->name);
  p->done = true;
  return false;
}

TEST(SingleThread, NamesItsThread) {
  NameProbe shortName;
  CSingleThread a("VEXParser");
  ASSERT_TRUE(a.BeginThread(ReadName, &shortName));
  ASSERT_TRUE(WaitFor([&] { return shortName.done.load(); }));
  a.StopThread();
  EXPECT_EQ(std::string(shortName.name), "VEXParser");

  NameProbe longName;
  CSingleThread b("ABCDEFGHIJKLMNOPQRST");
  ASSERT_TRUE(b.BeginThread(ReadName, &longName));
  ASSERT_TRUE(WaitFor([&] { return longName.done.load(); }));
  b.StopThread();
  EXPECT_EQ(std::string(longName.name), "ABCDEFGHIJKLMNO");
}

TEST(SingleThread, RefusesANullRoutine) {
  CSingleThread t;
  EXPECT_FALSE(t.BeginThread(nullptr, nullptr));
  EXPECT_FALSE(t.IsRunning());
  t.StopThread();
}

TEST(WaitEvent, SignalBeforeTheWaitIsKeptAndConsumed) {
  CWaitEvent e;
  e.SetEvent();
  EXPECT_EQ(e.WaitEvent(0), kWaitSignalled);
  EXPECT_EQ(e.WaitEvent(0), kWaitTimeout);  // resets itself
  e.SetEvent();
  e.ResetEvent();
  EXPECT_EQ(e.WaitEvent(1), CWaitEvent::kWaitTimeout);
}

TEST(WaitEvent, TimesOutWithoutASignal) {
  CWaitEvent e;
  EXPECT_EQ(e.WaitEvent(20), 258u);
}

TEST(WaitEvent, WakesAWaitingThread) {
  CWaitEvent e;
  std::atomic<unsigned> result{12345};
  std::thread waiter([&] { result = e.WaitEvent(kWaitInfinite); });
  SleepMs(10);
  e.SetEvent();
  waiter.join();
  EXPECT_EQ(result.load(), kWaitSignalled);
}

TEST(Sync, ExcludesOtherThreads) {
  CSync sync("none");
  int total = 0;  // deliberately not atomic: only the lock protects it
  constexpr int kRounds = 200000;
  std::thread a([&] {
    for (int i = 0; i < kRounds; ++i) {
      std::lock_guard<CSync> hold(sync);
      ++total;
    }
  });
  std::thread b([&] {
    for (int i = 0; i < kRounds; ++i) {
      sync.Lock();
      ++total;
      sync.Unlock();
    }
  });
  a.join();
  b.join();
  EXPECT_EQ(total, 2 * kRounds);
  EXPECT_TRUE(sync.try_lock());
  sync.unlock();
}

}  // namespace
