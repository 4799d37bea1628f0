// SPDX-License-Identifier: GPL-3.0-or-later
// A writable file as the clip writer sees it.
#pragma once

#include <cstdio>

class VFileSystem {
 public:
  virtual bool Open(const char* path, const char* mode) = 0;
  virtual int Write(const void* data, int length) = 0;
  virtual void Close() = 0;
  // stdio-style seek: origin 0 start, 1 current, 2 end.
  virtual int Seek(int offset, int origin) = 0;
  virtual bool IsOpen() = 0;

 protected:
  // Owners delete the concrete class; the interface is never deleted through.
  ~VFileSystem() = default;
};

// A VFileSystem over one stdio stream.
class CFSNormal final : public VFileSystem {
 public:
  CFSNormal() = default;
  ~CFSNormal();
  CFSNormal(const CFSNormal&) = delete;
  CFSNormal& operator=(const CFSNormal&) = delete;

  // Fails, without touching the open file, when a file is already open.
  bool Open(const char* path, const char* mode) override;
  int Write(const void* data, int length) override;
  void Close() override;
  int Seek(int offset, int origin) override;
  bool IsOpen() override;

 private:
  std::FILE* fp_ = nullptr;
};
