// SPDX-License-Identifier: GPL-3.0-or-later
// A VideoSurface that keeps what it is shown: for each presented picture the time it came (steady
// clock, ms), its size, a digest of its pixels and, optionally, a copy. Tests and benchmarks read
// the record; the engine presents on its worker thread, so every access is locked.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "playback/VideoSurface.h"

struct PresentedPicture {
  double timeMs = 0;  // steady clock
  int width = 0, height = 0;
  std::uint64_t digest = 0;           // of the pixel rows
  std::vector<unsigned char> pixels;  // width x height x 3, rows packed; empty unless kept
};

class CRecordingSurface final : public VideoSurface {
 public:
  CRecordingSurface(int width, int height, bool keepPixels = false);

  void GetSize(int* width, int* height) const override;
  void Present(const unsigned char* rgb, int width, int height, int stride) override;

  void SetSize(int width, int height);
  std::vector<PresentedPicture> Pictures() const;
  int Count() const;
  void Clear();

 private:
  mutable std::mutex lock_;
  int width_, height_;
  bool keep_;
  std::vector<PresentedPicture> pictures_;
};
