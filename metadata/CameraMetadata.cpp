// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/CameraMetadata.h"

#include <cmath>

#include "support/CivilDate.h"

namespace metadata {

const char* FormatName(Format format) {
  switch (format) {
    case Format::kNone:
      return "none";
    case Format::kFreeGps:
      return "freegps";
    case Format::kFreeGpsNmea:
      return "freegps-nmea";
    case Format::kFreeGps70mai:
      return "freegps-70mai";
    case Format::kTsPrivate:
      return "ts-private";
    case Format::kBlackVue:
      return "blackvue";
    case Format::kBlackVueSidecar:
      return "blackvue-sidecar";
    case Format::kNmeaTrack:
      return "nmea-track";
    case Format::kGarmin:
      return "garmin";
    case Format::kGpmf:
      return "gpmf";
    case Format::kTesla:
      return "tesla";
    case Format::kNmeaSidecar:
      return "nmea-sidecar";
    case Format::kGpxSidecar:
      return "gpx-sidecar";
  }
  return "none";
}

bool AddFix(CameraMetadata* out, const Fix& fix) {
  if (out->fixes.size() >= kMaxFixes) return false;
  out->fixes.push_back(fix);
  return true;
}

bool AddGSample(CameraMetadata* out, const GSample& sample) {
  if (out->gsensor.size() >= kMaxGSamples) return false;
  out->gsensor.push_back(sample);
  return true;
}

bool AddVehicleState(CameraMetadata* out, const VehicleState& state) {
  if (out->vehicle.size() >= kMaxVehicleStates) return false;
  out->vehicle.push_back(state);
  return true;
}

std::int64_t UtcMs(int year, int month, int day, int hour, int minute, int second, int ms) {
  if (year < 1970 || year > 2099 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60 || ms < 0 || ms > 999) {
    return -1;
  }
  // A day past the month's end would carry into the next month.
  std::int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(DaysFromCivil(year, month, day), &y, &m, &d);
  if (m != month) return -1;
  return (DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second) * 1000 + ms;
}

double DegreesFromDm(double dm, double limit) {
  if (!std::isfinite(dm)) return kNone;
  const double a = std::fabs(dm);
  const double degrees = std::floor(a / 100.0);
  const double minutes = a - degrees * 100.0;
  if (minutes >= 60.0 || degrees > limit) return kNone;
  const double value = degrees + minutes / 60.0;
  if (value > limit) return kNone;
  return dm < 0 ? -value : value;
}

}  // namespace metadata
