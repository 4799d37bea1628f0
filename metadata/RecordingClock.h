// SPDX-License-Identifier: GPL-3.0-or-later
// Which clock a recording's fixes carry, and their true UTC. File names carry the camera's own
// clock; GPS records should carry UTC, but many cameras write their own clock there, and some
// write UTC until their first fix and their own clock after it. So, over all the fixes together:
// - the records' clock jumps by a whole number of quarter hours at the first valid fix: UTC
//   before it, the camera's clock after; the jump is the camera's offset and is taken off the
//   fixes after it;
// - else the name's clock against the records' gives the offset, in quarter hours. When the two
//   agree, the records carry the camera's own clock: they are UTC unless the position lies two or
//   more hours of longitude from Greenwich, where they are taken for local time and the offset is
//   estimated from the position (and said to be): the zone of a few countries that keep no summer
//   time (Korea, Japan, China, India), else the longitude's whole hour;
// - records without a clock get theirs from the name's clock and their place in the recording,
//   less the offset estimated from the position;
// - a recording with no clock in its name or container starts at its first fix.
#pragma once

#include <cstdint>
#include <string>

#include "metadata/CameraMetadata.h"

namespace metadata {

struct RecordingClock {
  bool offsetKnown = false;
  int offsetMinutes = 0;   // the camera's clock less UTC
  bool estimated = false;  // the offset comes from the position's longitude, not the clocks
  bool recordsUtc = true;  // the records' own times are UTC (before any jump)
  int jumpMinutes = 0;     // taken off the records from the first valid fix on
  bool recordsHaveClock = false;
  std::int64_t startUtcMs = -1;  // UTC of the first picture; -1 unknown

  // "camera clock UTC+9", "camera clock UTC-3:30", "camera clock unknown"; estimated offsets add
  // " (estimated from the position)".
  std::string Describe() const;
};

// Gives every fix its utcMs (and a media time by its place where it had none) and says how.
// `nameClockMs`: the camera's clock at the first picture as the name or container gives it (ms
// since 1970, read as UTC), -1 when neither does.
RecordingClock SettleClock(CameraMetadata* data, std::int64_t nameClockMs);

// A speed from the positions for cameras whose speed field is missing or always zero while the
// car moves: the distance to the neighbouring fixes over the time between them.
void FillSpeedFromPositions(CameraMetadata* data);

}  // namespace metadata
