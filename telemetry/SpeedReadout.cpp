// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/SpeedReadout.h"

#include <cmath>

ReadoutUnit SpeedUnitFromSetting(int osdSpeed) {
  if (osdSpeed == 2) return {0.62f, "MPH"};
  return {1.0f, "Km/h"};
}

std::string SpeedReadout(const CTextData& store, ReadoutUnit unit) {
  const char* label = unit.label != nullptr ? unit.label : "";
  const CGPSData fix = store.LastGps();
  if (!fix.valid) return label;
  // The fix comes from the card: a speed outside what a car drives is shown as no speed, which
  // also keeps the conversion to int defined.
  const double kmh = fix.GetSpeed();
  if (!std::isfinite(kmh) || kmh < 0 || kmh > kMaxReadoutKmh) return label;
  const int shown = int(std::trunc(double(unit.factor) * std::trunc(kmh)));
  // "%d%s": the number and the unit without a space.
  return std::to_string(shown) + label;
}
