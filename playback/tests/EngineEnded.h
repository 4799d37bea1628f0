// SPDX-License-Identifier: GPL-3.0-or-later
// The engine tests' count of recordings ended, told by the engine's event callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "playback/CNOVMediaPlayer.h"

namespace enginetest {

struct Ended {
  std::mutex lock;
  std::condition_variable changed;
  int count = 0;

  // Waits until a recording has ended; false after `limit`.
  bool Wait(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, limit, [&] { return count > 0; });
  }
};

// The engine's event callback, `user` an Ended.
inline void OnEvent(void* user, int code, int, int) {
  auto* e = static_cast<Ended*>(user);
  std::lock_guard<std::mutex> hold(e->lock);
  if (code == CNOVMediaPlayer::kEventEnded) ++e->count;
  e->changed.notify_all();
}

}  // namespace enginetest
