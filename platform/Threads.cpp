// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Threads.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <utility>

// The state one loop shares with its thread. The thread keeps it alive on its own, so the loop
// never touches the CSingleThread object (which may be gone when a routine deletes its owner).
struct CSingleThread::Loop {
  Loop(ThreadRoutine r, void* a) : routine(r), arg(a) {}
  ThreadRoutine routine;
  void* arg;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{true};
};

namespace {
// The loop the calling thread runs, if it is a worker's thread.
thread_local const void* tOwnLoop = nullptr;
}  // namespace

CSingleThread::CSingleThread(const char* name) : name_(name != nullptr ? name : "") {}

CSingleThread::~CSingleThread() {
  StopThread();
  if (thread_.joinable()) {
    // Only when the routine itself destroys its owner: the loop ends after this call on its own.
    thread_.detach();
  }
}

void CSingleThread::Run(std::shared_ptr<Loop> loop, std::string name) {
  tOwnLoop = loop.get();
  if (!name.empty()) pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
  while (!loop->stop.load(std::memory_order_acquire)) {
    if (!loop->routine(loop->arg)) break;
  }
  loop->running.store(false, std::memory_order_release);
  tOwnLoop = nullptr;
}

std::shared_ptr<CSingleThread::Loop> CSingleThread::Current() const {
  std::lock_guard<std::mutex> hold(loopLock_);
  return loop_;
}

bool CSingleThread::OnOwnThread() const {
  if (tOwnLoop == nullptr) return false;
  std::lock_guard<std::mutex> hold(loopLock_);
  return loop_.get() == tOwnLoop;
}

bool CSingleThread::BeginThread(ThreadRoutine routine, void* arg, unsigned stackSize,
                                int priority) {
  (void)stackSize;
  (void)priority;
  if (routine == nullptr || OnOwnThread()) return false;
  try {
    std::lock_guard<std::mutex> control(control_);
    std::shared_ptr<Loop> previous = Current();
    if (previous && previous->running.load(std::memory_order_acquire)) return false;
    if (thread_.joinable()) thread_.join();  // a loop that ended by itself
    auto loop = std::make_shared<Loop>(routine, arg);
    {
      // Published before the thread starts, so the routine can recognise its own loop at once.
      std::lock_guard<std::mutex> hold(loopLock_);
      loop_ = loop;
    }
    try {
      thread_ = std::thread(&CSingleThread::Run, loop, name_);
    } catch (const std::exception&) {
      loop->running.store(false, std::memory_order_release);
      return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void CSingleThread::StopThread() {
  if (OnOwnThread()) {
    // Joining here would wait for ourselves: just end the loop after the current call.
    Current()->stop.store(true, std::memory_order_release);
    return;
  }
  std::lock_guard<std::mutex> control(control_);
  if (std::shared_ptr<Loop> loop = Current()) loop->stop.store(true, std::memory_order_release);
  if (thread_.joinable()) thread_.join();
}

bool CSingleThread::IsRunning() const {
  std::shared_ptr<Loop> loop = Current();
  return loop && loop->running.load(std::memory_order_acquire);
}

CSync::CSync(const char* name) : name_(name != nullptr ? name : "") {}

CSync::~CSync() = default;

CWaitEvent::CWaitEvent() = default;

CWaitEvent::~CWaitEvent() = default;

void CWaitEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    signalled_ = true;
  }
  changed_.notify_one();
}

void CWaitEvent::ResetEvent() {
  std::lock_guard<std::mutex> hold(mutex_);
  signalled_ = false;
}

unsigned CWaitEvent::WaitEvent(unsigned timeoutMs) {
  std::unique_lock<std::mutex> hold(mutex_);
  const auto isSet = [this] { return signalled_; };
  if (timeoutMs == kWaitInfinite) {
    changed_.wait(hold, isSet);
  } else if (!changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), isSet)) {
    return kWaitTimeout;
  }
  signalled_ = false;
  return kWaitSignalled;
}
