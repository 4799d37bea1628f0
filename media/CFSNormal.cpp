// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/VFileSystem.h"
#include "support/Diag.h"

namespace {
constexpr std::size_t kBufferBytes = 1 << 20;
}  // namespace

CFSNormal::~CFSNormal() { Close(); }

bool CFSNormal::Open(const char* path, const char* mode) {
  if (fp_) {
    DiagPrintf("[CFSNormal] FP is Already Opened\n");
    return false;
  }
  if (!path || !mode) return false;
  fp_ = std::fopen(path, mode);
  if (!fp_) return false;
  // Clips are written a chunk at a time, most of them a few KB: a large buffer turns thousands of
  // small writes into a few large ones.
  std::setvbuf(fp_, nullptr, _IOFBF, kBufferBytes);
  return true;
}

int CFSNormal::Write(const void* data, int length) {
  if (!fp_ || !data || length <= 0) return 0;
  return int(std::fwrite(data, 1, std::size_t(length), fp_));
}

void CFSNormal::Close() {
  if (!fp_) return;
  std::fclose(fp_);
  fp_ = nullptr;
}

int CFSNormal::Seek(int offset, int origin) {
  if (!fp_) return -1;
  return std::fseek(fp_, offset, origin);
}

bool CFSNormal::IsOpen() { return fp_ != nullptr; }
