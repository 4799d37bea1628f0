// SPDX-License-Identifier: GPL-3.0-or-later
// A view of a planar YUV 4:2:0 picture that someone else owns: what the sample cards' scenes draw
// into (RoadScene.h) and what the H.264 encoder hands out to be drawn and then encodes.
#pragma once

#include <cstdint>

namespace tools {

struct Picture {
  // Luma, then the two chroma planes at half the width and height.
  std::uint8_t* plane[3] = {};
  int stride[3] = {};
  int width = 0, height = 0;
};

}  // namespace tools
