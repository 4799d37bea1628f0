// SPDX-License-Identifier: GPL-3.0-or-later
// Threads, locks and events: one worker thread that calls a routine over and over, a mutual
// exclusion lock, and an auto-reset event.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A step of a worker: called again and again on the worker's thread; false ends the loop.
using ThreadRoutine = bool (*)(void*);

// Results of CWaitEvent::WaitEvent, and the time-out that never expires.
inline constexpr unsigned kWaitSignalled = 0;
inline constexpr unsigned kWaitTimeout = 258;
inline constexpr unsigned kWaitInfinite = 0xFFFFFFFFu;

// One worker thread. BeginThread starts a new thread that calls routine(arg), one call after the
// other, until StopThread is called or the routine returns false.
class CSingleThread {
 public:
  // The name (at most 15 characters are kept) is given to the thread; null leaves it unnamed.
  explicit CSingleThread(const char* name = nullptr);
  // Stops the thread (see StopThread).
  virtual ~CSingleThread();
  CSingleThread(const CSingleThread&) = delete;
  CSingleThread& operator=(const CSingleThread&) = delete;

  // Starts the loop on a new thread. False when a loop is still running, when routine is null or
  // when no thread could be made. Stack size and priority are left to the system.
  bool BeginThread(ThreadRoutine routine, void* arg, unsigned stackSize = 0, int priority = 0);
  // Ends the loop and returns once the call in progress has returned; no call starts afterwards.
  // Does nothing when no loop runs. Called by the routine itself, it only asks the loop to end
  // after the current call.
  void StopThread();
  // True from BeginThread until the loop has ended.
  bool IsRunning() const;

 private:
  struct Loop;
  static void Run(std::shared_ptr<Loop> loop, std::string name);
  std::shared_ptr<Loop> Current() const;
  bool OnOwnThread() const;

  std::string name_;
  std::mutex control_;  // serialises starting and stopping; held while joining
  std::thread thread_;
  mutable std::mutex loopLock_;  // guards loop_ only, never held for long
  std::shared_ptr<Loop> loop_;   // the state of the latest loop; the thread holds it too
};

// A mutual exclusion lock between threads (not recursive). lock/unlock let std::lock_guard and
// std::unique_lock hold it.
class CSync {
 public:
  explicit CSync(const char* name = "none");
  virtual ~CSync();
  CSync(const CSync&) = delete;
  CSync& operator=(const CSync&) = delete;

  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }
  const std::string& Name() const { return name_; }

 private:
  std::mutex mutex_;
  std::string name_;
};

// An auto-reset event: SetEvent signals it and one wait consumes the signal. A signal given while
// nobody waits is kept for the next wait.
class CWaitEvent {
 public:
  static constexpr unsigned kWaitSignalled = ::kWaitSignalled;
  static constexpr unsigned kWaitTimeout = ::kWaitTimeout;
  static constexpr unsigned kWaitInfinite = ::kWaitInfinite;

  CWaitEvent();
  virtual ~CWaitEvent();
  CWaitEvent(const CWaitEvent&) = delete;
  CWaitEvent& operator=(const CWaitEvent&) = delete;

  void SetEvent();
  // Drops a pending signal.
  void ResetEvent();
  // Waits for the signal at most timeoutMs milliseconds (kWaitInfinite: no limit) and consumes
  // it. kWaitSignalled or kWaitTimeout.
  unsigned WaitEvent(unsigned timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;
};
