// SPDX-License-Identifier: GPL-3.0-or-later
// BlackVue's metadata: the input's first byte picks whether the rest is a top-level free box's
// payload (even) or a .3gf file (odd); what the readers hand on must pass CheckMetadata.
#include <cstdint>

#include "MetadataFuzz.h"
#include "metadata/BlackVue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  metadata::CameraMetadata m;
  const bool read = data[0] % 2 == 0 ? metadata::ParseBlackVueFree(data + 1, size - 1, &m)
                                     : metadata::ParseBlackVue3gf(data + 1, size - 1, &m);
  fuzz::CheckMetadata(read, m);
  return 0;
}
