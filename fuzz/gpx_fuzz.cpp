// SPDX-License-Identifier: GPL-3.0-or-later
// A GPX file beside a recording; what the reader hands on must pass CheckMetadata.
#include <cstdint>
#include <string_view>

#include "MetadataFuzz.h"
#include "metadata/Gpx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  metadata::CameraMetadata m;
  const bool read =
      metadata::ParseGpx(std::string_view(reinterpret_cast<const char*>(data), size), &m);
  fuzz::CheckMetadata(read, m);
  return 0;
}
