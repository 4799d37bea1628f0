// SPDX-License-Identifier: GPL-3.0-or-later
// A clip writer's file that fails as a full disk does: it writes through a real file until
// `spaceBytes` bytes have gone into it, then every write writes only what still fits and fails
// with ENOSPC. For tests of conversion and download on a full disk.
#pragma once

#include <cerrno>
#include <cstdint>

#include "media/VFileSystem.h"

namespace roadeye_test {

class FullDiskFile final : public VFileSystem {
 public:
  explicit FullDiskFile(std::int64_t spaceBytes) : space_(spaceBytes) {}
  bool Open(const char* path, const char* mode) override {
    written_ = 0;
    return file_.Open(path, mode);
  }
  int Write(const void* data, int length) override {
    if (length <= 0) return file_.Write(data, length);
    const std::int64_t room = space_ - written_;
    const int n = room <= 0 ? 0 : int(room < length ? room : length);
    const int done = n > 0 ? file_.Write(data, n) : 0;
    written_ += done;
    if (done < length) errno = ENOSPC;
    return done;
  }
  void Close() override { file_.Close(); }
  int Seek(int offset, int origin) override { return file_.Seek(offset, origin); }
  bool IsOpen() override { return file_.IsOpen(); }

 private:
  CFSNormal file_;
  std::int64_t space_;
  std::int64_t written_ = 0;
};

}  // namespace roadeye_test
