// SPDX-License-Identifier: GPL-3.0-or-later
// One freeGPS block (every layout), the same bytes as an MPEG-TS file's private record and as a
// run of transport packets. Nothing may crash, and no fix may claim a position off the globe.
#include <cmath>
#include <cstdint>

#include "metadata/FreeGps.h"
#include "metadata/MpegTsGps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  metadata::CameraMetadata out;
  metadata::ParseFreeGpsBlock(data, size, 0, &out);
  metadata::ParseFreeGpsRecord(data, size, 0, &out);
  metadata::ParseMpegTsGps(data, size, &out);
  for (const metadata::Fix& f : out.fixes) {
    if (f.valid && (!(std::fabs(f.latitude) <= 90) || !(std::fabs(f.longitude) <= 180))) {
      __builtin_trap();
    }
  }
  return 0;
}
