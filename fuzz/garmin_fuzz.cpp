// SPDX-License-Identifier: GPL-3.0-or-later
// One sample of Garmin's text track; what the reader hands on must pass CheckMetadata.
#include <cstdint>

#include "MetadataFuzz.h"
#include "metadata/Garmin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  metadata::CameraMetadata m;
  const bool read = metadata::ParseGarminSample(data, size, 500, &m);
  fuzz::CheckMetadata(read, m);
  return 0;
}
