// SPDX-License-Identifier: GPL-3.0-or-later
// The card writer's whole-second flash in a kept picture, for the engine's tests.
#pragma once

#include <cstddef>

#include "playback/RecordingSurface.h"

namespace roadeye_test {

// Mean brightness of the top-right corner of a kept picture (inside the flash square).
inline double CornerMean(const PresentedPicture& p) {
  const int w = p.width / 16, h = p.height / 10;
  double sum = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = p.width - w; x < p.width; ++x) {
      const unsigned char* px = p.pixels.data() + (std::size_t(y) * p.width + x) * 3;
      sum += (px[0] + px[1] + px[2]) / 3.0;
    }
  }
  return sum / (w * h);
}

}  // namespace roadeye_test
