// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/MountWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "support/Diag.h"

namespace platform {

CMountWatch::CMountWatch(std::string mountinfoPath) : path_(std::move(mountinfoPath)) {}

CMountWatch::~CMountWatch() { Stop(); }

bool CMountWatch::Start(Callback onChange) {
  if (thread_.joinable() || !onChange) return false;
  tableFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (tableFd_ < 0) {
    DiagPrintf("[CMountWatch] cannot open %s (%s): mounts are seen by the poll alone\n",
               path_.c_str(), std::strerror(errno));
    return false;
  }
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    DiagPrintf("[CMountWatch] no eventfd (%s): mounts are seen by the poll alone\n",
               std::strerror(errno));
    ::close(tableFd_);
    tableFd_ = -1;
    return false;
  }
  onChange_ = std::move(onChange);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CMountWatch::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  // An eventfd write of 1 only fails when the counter is about to overflow, which one Stop
  // cannot reach.
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
  thread_.join();
  ::close(wakeFd_);
  ::close(tableFd_);
  wakeFd_ = tableFd_ = -1;
  onChange_ = nullptr;
}

void CMountWatch::Run() {
  // The table must be read once for the kernel to take note of what this reader has seen;
  // every later change then marks the file until it is read again.
  char buffer[4096];
  auto drain = [&] {
    ::lseek(tableFd_, 0, SEEK_SET);
    while (::read(tableFd_, buffer, sizeof buffer) > 0) {
    }
  };
  drain();
  for (;;) {
    pollfd fds[2] = {{tableFd_, POLLPRI, 0}, {wakeFd_, POLLIN, 0}};
    const int r = ::poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      DiagPrintf("[CMountWatch] poll failed (%s): the watch ends\n", std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;  // Stop
    if (fds[0].revents & (POLLPRI | POLLERR)) {
      drain();
      onChange_();
    } else if (fds[0].revents & POLLNVAL) {
      return;
    }
  }
}

}  // namespace platform
