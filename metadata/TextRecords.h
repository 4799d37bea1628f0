// SPDX-License-Identifier: GPL-3.0-or-later
// A recording's metadata as the text records the player already reads from VEX recordings, so
// that one path downstream (the speed read-out, the G-sensor graph, the snapshot's position, the
// track) serves every camera:
// - a fix as "G$GPRMC,hhmmss.sss,A,ddmm.mmmmmm,N,dddmm.mmmmmm,E,knots,course,ddmmyy,,,A" in UTC
//   (the time and date fields empty when the fix's UTC is unknown);
// - a G-sensor sample as "M" and a byte per axis, 128 less 40 counts a g (clamped to the byte);
// - a car's state as "T" and "key=value" pairs separated by ';' (g gear letter, l and r the
//   blinkers, b the brake, a the autopilot state, s the speed in km/h).
#pragma once

#include <string>
#include <vector>

#include "metadata/CameraMetadata.h"

namespace metadata {

struct TextRecord {
  int mediaMs = 0;
  std::string bytes;
};

// G-sensor counts a g in the text records.
inline constexpr double kCountsPerG = 40.0;

std::string FixRecord(const Fix& fix);
std::string GSensorRecord(const GSample& sample);
std::string VehicleRecord(const VehicleState& state);

// Every fix (its UTC settled), sample and state of `data` as records in media-time order (the
// order of the stream where times are equal); those with no media time are left out.
std::vector<TextRecord> ToTextRecords(const CameraMetadata& data);

}  // namespace metadata
