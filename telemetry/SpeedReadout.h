// SPDX-License-Identifier: GPL-3.0-or-later
// The speed read-out of the player window: the newest fix's speed in the camera's unit.
#pragma once

#include <string>

#include "telemetry/CTextData.h"

struct ReadoutUnit {
  float factor;       // km/h -> shown unit
  const char* label;  // "Km/h" or "MPH"
};

// The unit of the camera setting "osd_speed": 2 is miles per hour (factor 0.62), every other code
// (1, a missing key read as 1, anything unknown) is km/h.
ReadoutUnit SpeedUnitFromSetting(int osdSpeed);

// No car on a road goes faster, in km/h; a fix claiming more is damaged.
inline constexpr double kMaxReadoutKmh = 500;

// "%d%s" of trunc(factor x trunc(km/h)) and the label, without a space ("63Km/h", "39MPH"), when
// the newest fix is valid and its speed possible; the label alone otherwise: no fix, an invalid
// one, or a speed that no car drives (not a number, infinite, below 0 or above 500 km/h).
std::string SpeedReadout(const CTextData& store, ReadoutUnit unit);
