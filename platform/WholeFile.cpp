// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Moves temp to path unless something already lives at path.
bool RenameNoReplace(const std::string& temp, const std::string& path) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the no-replace rename: check, then rename.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) return false;
  return ::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

std::string MakeTemporaryFile(const std::string& folder, const std::string& name) {
  static std::atomic<unsigned> serial{0};
  std::string base = folder;
  if (!base.empty() && base.back() != '/') base += '/';
  base += "." + name + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = base + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return std::string();
  }
  return std::string();
}

bool SyncPath(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

bool WriteWholeFile(const std::string& path, std::string_view text, WholeFileMode mode,
                    int permissions) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path target(path);
  const std::filesystem::path dir = target.parent_path();

  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    const std::string name = "." + target.filename().string() + ".tmp-" +
                             std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1));
    temp = dir.empty() ? name : (dir / name).string();
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = WriteAll(fd, text);
  if (ok && permissions >= 0) (void)::fchmod(fd, permissions & 07777);  // FAT has no modes
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) {
    ok = mode == WholeFileMode::kReplace ? ::rename(temp.c_str(), path.c_str()) == 0
                                         : RenameNoReplace(temp, path);
  }
  if (!ok) {
    const int error = errno;  // the caller may tell the user why
    ::unlink(temp.c_str());
    errno = error;
    return false;
  }
  // Best effort: make the new name durable too.
  const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    (void)::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}
