// SPDX-License-Identifier: GPL-3.0-or-later
// What every camera metadata reader must hand on, whatever bytes it was given: within the bounds on
// counts, times no earlier than "none" (-1), positions on the globe, and speeds, courses, heights,
// clocks and G-sensor values in the ranges the readers allow. A reader that says it read nothing
// must have added nothing. Anything else stops the fuzz target.
#pragma once

#include <cmath>

#include "metadata/CameraMetadata.h"

namespace fuzz {

inline bool InRangeOrNone(double value, double low, double high) {
  return std::isnan(value) || (value >= low && value <= high);
}

inline void CheckMetadata(bool read, const metadata::CameraMetadata& m) {
  if (!read && !m.Empty()) __builtin_trap();
  if (m.fixes.size() > metadata::kMaxFixes || m.gsensor.size() > metadata::kMaxGSamples) {
    __builtin_trap();
  }
  // 2100-01-01 in ms since 1970: the last clock UtcMs gives.
  constexpr std::int64_t kEndOfClocks = 4102444800000;
  for (const metadata::Fix& fix : m.fixes) {
    if (fix.mediaMs < -1 || !(std::fabs(fix.latitude) <= 90) ||
        !(std::fabs(fix.longitude) <= 180) || !InRangeOrNone(fix.speedKmh, 0, 1852) ||
        !InRangeOrNone(fix.course, 0, 360) || !InRangeOrNone(fix.altitude, -1000, 100000) ||
        (fix.hasClock && (fix.clockMs < 0 || fix.clockMs >= kEndOfClocks))) {
      __builtin_trap();
    }
  }
  for (const metadata::GSample& sample : m.gsensor) {
    if (sample.mediaMs < -1 || !(std::fabs(sample.x) <= 400) || !(std::fabs(sample.y) <= 400) ||
        !(std::fabs(sample.z) <= 400)) {
      __builtin_trap();
    }
  }
}

}  // namespace fuzz
