#include "media/VFileSystem.h"
#include "support/Diag.h"

CFSNormal::~CFSNormal() { Close(); }

bool CFSNormal::Open(const char* path, const char* mode) {
  if (fp_) {
    DiagPrintf("[CFSNormal] FP is Already Opened\n");
    return false;
  }
  if (!path || !mode) return false;
  fp_ = std::fopen(path, mode);
  return fp_ != nullptr;
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
