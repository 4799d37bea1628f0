// SPDX-License-Identifier: GPL-3.0-or-later
// The mount watch: a thread that waits on the kernel's mount table (/proc/self/mountinfo) and
// calls a callback each time a file system is mounted or unmounted, so that a card is noticed the
// moment it appears instead of at the next poll. The kernel marks the table's file POLLPRI|POLLERR
// on every change; the thread sleeps in poll() until then or until Stop wakes it through an
// eventfd. Where the table cannot be opened the watch does nothing (and says so); a periodic poll
// of the drives still finds the card.
//
// Threads: Start, Stop and the destructor are called from one owning thread. The callback runs on
// the watch's own thread and must not block for long (the window's callback only posts an event).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace platform {

class CMountWatch {
 public:
  using Callback = std::function<void()>;

  // The table watched; tests may point it elsewhere (a file that never changes gives no calls).
  explicit CMountWatch(std::string mountinfoPath = "/proc/self/mountinfo");
  // Stops the watch (see Stop).
  ~CMountWatch();
  CMountWatch(const CMountWatch&) = delete;
  CMountWatch& operator=(const CMountWatch&) = delete;

  // Starts watching; onChange is called on the watch's thread after each change of the table.
  // False (with a diagnostic line) when the table or the wake-up eventfd cannot be opened, or
  // when the watch is already running: then nothing is called.
  bool Start(Callback onChange);
  // Wakes the thread, waits for it to end and closes the files. No call of the callback starts
  // after Stop returns. Does nothing when the watch is not running.
  void Stop();
  // True from a successful Start until Stop.
  bool IsRunning() const { return thread_.joinable(); }

 private:
  void Run();

  std::string path_;
  Callback onChange_;
  int tableFd_ = -1;  // the mount table, opened read-only
  int wakeFd_ = -1;   // eventfd written by Stop
  std::thread thread_;
};

}  // namespace platform
