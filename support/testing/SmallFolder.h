// SPDX-License-Identifier: GPL-3.0-or-later
// A folder that holds few bytes, for tests of a full disk: a small tmpfs where the machine lets
// the test mount one, else a limit on the size of the files this process writes.
#pragma once

#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

namespace roadeye_test {

// A folder at path that holds at most `bytes`; `reason` is what a write past it reports.
class SmallFolder {
 public:
  // Without the mount, files may grow to fileBytes (by default `bytes`).
  SmallFolder(const std::string& path, std::size_t bytes, std::size_t fileBytes = 0) : path_(path) {
    std::filesystem::create_directories(path);
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
      reason = std::strerror(ENOSPC);
      return;
    }
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit small = saved_;
    small.rlim_cur = fileBytes > 0 ? fileBytes : bytes;
    limited_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG
    reason = std::strerror(EFBIG);
  }
  ~SmallFolder() {
    if (mounted_) ::umount(path_.c_str());
    if (limited_) setrlimit(RLIMIT_FSIZE, &saved_);
    if (!mounted_) std::signal(SIGXFSZ, oldHandler_);
  }
  bool Usable() const { return mounted_ || limited_; }
  // True for the tmpfs (which hides what the folder held), false for the file-size limit.
  bool Mounted() const { return mounted_; }
  std::string reason;

 private:
  std::string path_;
  bool mounted_ = false, limited_ = false;
  rlimit saved_{};
  void (*oldHandler_)(int) = SIG_DFL;
};

}  // namespace roadeye_test
