// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the picture packets of the stream a card-library handle has open (VexOpenStream), in file
// order, for tools, tests and benchmarks that take a recording's pictures without the viewer's
// parser and its reader thread.
#pragma once

#include <cstdint>
#include <vector>

#include "vexlib/VexFormat.h"
#include "vexlib/vexlib.h"

namespace vex {

// Calls visit(channel, data, size) for every picture packet (key or not) of the open stream until
// the stream ends, a read fails or visit returns false. Sound and text packets are passed over.
// "Not yet" means a block was passed over with nothing to deliver: the next read goes on at once;
// a stream that answers it 5000 times is given up. False when visit stopped the reading.
template <class Visit>
bool ForEachPicturePacket(VexHandle lib, Visit&& visit) {
  std::vector<char> buffer(1048576);  // the largest packet a recording holds
  for (int notYet = 0; notYet < 5000;) {
    std::uint8_t channel = 0, type = 0, flags = 0;
    std::int32_t ms = 0;
    int size = int(buffer.size());
    const int rc = VexReadPacket(lib, &channel, &type, &flags, &size, buffer.data(), &ms);
    if (rc == kVexReadNotYet) {
      ++notYet;
      continue;
    }
    if (rc != kVexReadOk) return true;
    if (type != kTypeKeyPicture && type != kTypePicture) continue;
    if (!visit(int(channel), static_cast<const char*>(buffer.data()), size)) return false;
  }
  return true;
}

}  // namespace vex
