// SPDX-License-Identifier: GPL-3.0-or-later
// NMEA text as cameras write it: the input's first byte picks how the rest is read (0 one sentence,
// 1 a cue or block, 2 a Thinkware cue, 3 a log with its origin from the first line, otherwise a log
// whose origin is 2024-06-12 08:15:00); what the readers hand on must pass CheckMetadata.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "MetadataFuzz.h"
#include "metadata/Nmea.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  metadata::CameraMetadata m;
  bool read = false;
  switch (data[0] % 5) {
    case 0: {
      metadata::NmeaSentence s;
      if (metadata::ParseNmeaSentence(text, &s) &&
          (!(std::fabs(s.latitude) <= 90) || !(std::fabs(s.longitude) <= 180) ||
           s.dayMs >= 86401000)) {
        __builtin_trap();
      }
      return 0;
    }
    case 1:
      read = metadata::ParseNmeaText(text, 1000, &m);
      break;
    case 2:
      read = metadata::ParseThinkwareCue(text, 1000, &m);
      break;
    case 3:
      read = metadata::ParseNmeaLog(text, -1, &m);
      break;
    default:
      read = metadata::ParseNmeaLog(text, 1718180100000, &m);
      break;
  }
  fuzz::CheckMetadata(read, m);
  return 0;
}
