#include "telemetry/SpeedReadout.h"

#include <climits>
#include <cmath>

SpeedUnit SpeedUnitFromSetting(int osdSpeed) {
  if (osdSpeed == 2) return {0.62f, "MPH"};
  return {1.0f, "Km/h"};
}

std::string SpeedReadout(const CTextData& store, SpeedUnit unit) {
  const char* label = unit.label != nullptr ? unit.label : "";
  const CGPSData fix = store.LastGps();
  if (!fix.valid) return label;

  // The fix comes from the card: keep the conversion to int defined for any value.
  const double shown = std::trunc(double(unit.factor) * std::trunc(fix.GetSpeed()));
  int value = 0;
  if (std::isnan(shown)) {
    value = 0;
  } else if (shown >= double(INT_MAX)) {
    value = INT_MAX;
  } else if (shown <= double(INT_MIN)) {
    value = INT_MIN;
  } else {
    value = int(shown);
  }
  // "%d%s": the number and the unit without a space.
  return std::to_string(value) + label;
}
