// SPDX-License-Identifier: GPL-3.0-or-later
// One G-sensor sample of a recording's text stream: "M" followed by one raw byte per axis (X, Y,
// Z). Each axis is stored as 128 - byte, so 128 means no force, 0 gives +128 and 255 gives -127.
#pragma once

#include <cstdint>

struct CGSensorData {
  CGSensorData() = default;
  CGSensorData(std::uint8_t bx, std::uint8_t by, std::uint8_t bz)
      : x(128 - int(bx)), y(128 - int(by)), z(128 - int(bz)) {}

  int x = 0;
  int y = 0;
  int z = 0;
};
