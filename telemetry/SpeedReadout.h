// The speed read-out of the player window: the newest fix's speed in the camera's unit.
#pragma once

#include <string>

#include "telemetry/CTextData.h"

struct SpeedUnit {
  float factor;       // km/h -> shown unit
  const char* label;  // "Km/h" or "MPH"
};

// The unit of the camera setting "osd_speed": 2 is miles per hour (factor 0.62), every other code
// (1, a missing key read as 1, anything unknown) is km/h.
SpeedUnit SpeedUnitFromSetting(int osdSpeed);

// "%d%s" of trunc(factor x trunc(km/h)) and the label, without a space ("63Km/h", "39MPH"), when
// the newest fix is valid; the label alone otherwise (no fix, or an invalid one). A speed that is
// not a number shows 0; one beyond int's range shows the nearest int.
std::string SpeedReadout(const CTextData& store, SpeedUnit unit);
