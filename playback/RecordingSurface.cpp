// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/RecordingSurface.h"

#include <chrono>
#include <cstring>

CRecordingSurface::CRecordingSurface(int width, int height, bool keepPixels)
    : width_(width), height_(height), keep_(keepPixels) {}

void CRecordingSurface::GetSize(int* width, int* height) const {
  std::lock_guard<std::mutex> hold(lock_);
  *width = width_;
  *height = height_;
}

void CRecordingSurface::SetSize(int width, int height) {
  std::lock_guard<std::mutex> hold(lock_);
  width_ = width;
  height_ = height;
}

void CRecordingSurface::Present(const unsigned char* rgb, int width, int height, int stride) {
  PresentedPicture p;
  p.timeMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  p.width = width;
  p.height = height;
  // A 64-bit multiply-xor digest taken eight bytes at a time: cheap enough that recording does
  // not weigh on what is measured, and any changed byte changes it.
  std::uint64_t h = 1469598103934665603ull;
  const std::size_t row = std::size_t(width > 0 ? width : 0) * 3;
  if (keep_) p.pixels.resize(row * std::size_t(height > 0 ? height : 0));
  for (int y = 0; rgb && y < height; ++y) {
    const unsigned char* r = rgb + std::size_t(y) * std::size_t(stride);
    std::size_t i = 0;
    for (; i + 8 <= row; i += 8) {
      std::uint64_t v;
      std::memcpy(&v, r + i, 8);
      h = (h ^ v) * 0x100000001B3ull;
      h ^= h >> 29;
    }
    for (; i < row; ++i) h = (h ^ r[i]) * 0x100000001B3ull;
    if (keep_) std::memcpy(p.pixels.data() + std::size_t(y) * row, r, row);
  }
  p.digest = h;
  std::lock_guard<std::mutex> hold(lock_);
  pictures_.push_back(std::move(p));
}

std::vector<PresentedPicture> CRecordingSurface::Pictures() const {
  std::lock_guard<std::mutex> hold(lock_);
  return pictures_;
}

int CRecordingSurface::Count() const {
  std::lock_guard<std::mutex> hold(lock_);
  return int(pictures_.size());
}

void CRecordingSurface::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  pictures_.clear();
}
