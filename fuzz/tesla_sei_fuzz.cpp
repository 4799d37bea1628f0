// SPDX-License-Identifier: GPL-3.0-or-later
// One picture of a Tesla recording: the input is a byte whose low bit picks H.265 over H.264,
// then the picture's NAL units (start codes or 4-byte lengths), copied into a buffer of exactly
// their length so that a read past it is a fault. Nothing may crash, add from a picture it found
// no message in, find one without a car state, or give a fix out of range.
#include <cmath>
#include <cstdint>
#include <vector>

#include "metadata/TeslaSei.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool h265 = (data[0] & 1) != 0;
  const std::vector<std::uint8_t> picture(data + 1, data + size);
  metadata::CameraMetadata out;
  const bool found = metadata::ParseTeslaPicture(picture.data(), picture.size(), h265, 40, &out);
  if (!found && !out.Empty()) __builtin_trap();
  for (const metadata::Fix& fix : out.fixes) {
    if (!(std::fabs(fix.latitude) <= 90) || !(std::fabs(fix.longitude) <= 180)) __builtin_trap();
    if (fix.latitude == 0 && fix.longitude == 0) __builtin_trap();
  }
  if (found && out.vehicle.empty()) __builtin_trap();
  return 0;
}
