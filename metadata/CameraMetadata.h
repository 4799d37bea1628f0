// SPDX-License-Identifier: GPL-3.0-or-later
// What a camera wrote about the drive beside its pictures, whatever its format: GPS fixes,
// G-sensor samples and, from cars that record their own state, the car's values. Every reader of a
// format fills the same values in the units below, so that what comes after (the speed read-out,
// the track, the graph, the exports) never knows which camera wrote them.
//
// Times: `mediaMs` counts from the first picture of the recording's front file. A value a record
// gives without a time of its own is placed by the reader where it lies in the stream (the record's
// data track time, its block's place among the blocks); -1 only when the reader has nothing to
// place it by. A record's own clock (`clock`) is kept as written, read as if it were UTC: whether
// it is UTC, the camera's local time or local time after the first fix only is decided afterwards
// (RecordingClock.h), over all the fixes together.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace metadata {

inline constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// The formats read, as `roadeye-convert --list --json` names them in its "gps" field.
enum class Format {
  kNone,             // "none"
  kFreeGps,          // "freegps": Novatek-family freeGPS blocks, binary records
  kFreeGpsNmea,      // "freegps-nmea": freeGPS blocks holding NMEA sentences (Vantrue)
  kFreeGps70mai,     // "freegps-70mai": 70mai's integer-coordinate records
  kTsPrivate,        // "ts-private": the freeGPS record as an MPEG-TS private stream 2 payload
  kBlackVue,         // "blackvue": the gps and 3gf boxes inside a top-level free box
  kBlackVueSidecar,  // "blackvue-sidecar": the .gps and .3gf files beside the recording
  kNmeaTrack,        // "nmea-track": NMEA sentences in a subtitle or text track
  kGarmin,           // "garmin": Garmin's binary records in a data track
  kGpmf,             // "gpmf": GoPro's GPMF in a gpmd track
  kTesla,            // "tesla": Tesla's per-picture SEI messages
  kNmeaSidecar,      // "nmea-sidecar": an NMEA file beside the recording
  kGpxSidecar,       // "gpx-sidecar": a GPX file beside the recording
};
const char* FormatName(Format format);

// One GPS fix.
struct Fix {
  int mediaMs = -1;
  // The record's date and time as written, read as UTC: ms since 1970. Only when hasClock.
  bool hasClock = false;
  std::int64_t clockMs = 0;
  bool valid = false;       // the receiver had a fix; an invalid record's position means nothing
  double latitude = 0;      // decimal degrees, south negative
  double longitude = 0;     // decimal degrees, west negative
  double speedKmh = kNone;  // kNone: the record gives none (or one that means nothing)
  double course = kNone;    // degrees clockwise from north
  double altitude = kNone;  // metres
  // The fix's true UTC, ms since 1970, once its recording's clock is settled (RecordingClock.h);
  // -1 before, or when nothing tells it.
  std::int64_t utcMs = -1;
};

// One G-sensor sample, in g.
struct GSample {
  int mediaMs = -1;
  double x = 0, y = 0, z = 0;
};

// A car's own state at one picture (Tesla).
struct VehicleState {
  int mediaMs = -1;
  char gear = 0;  // 'P', 'R', 'N', 'D'; 0 unknown
  bool blinkLeft = false;
  bool blinkRight = false;
  bool brake = false;
  // 0 none, 1 self-driving, 2 autosteer, 3 traffic-aware cruise control
  int autopilot = 0;
  double speedKmh = kNone;
  double acceleratorPercent = kNone;
  double steeringDegrees = kNone;
};

struct CameraMetadata {
  Format format = Format::kNone;
  std::vector<Fix> fixes;  // in stream order
  std::vector<GSample> gsensor;
  std::vector<VehicleState> vehicle;

  bool Empty() const { return fixes.empty() && gsensor.empty() && vehicle.empty(); }
};

// Bounds on what one recording may give, so that no file can make a reader hold more: an hour at
// 20 fixes, 100 samples and 60 car states a second.
inline constexpr std::size_t kMaxFixes = 72000;
inline constexpr std::size_t kMaxGSamples = 360000;
inline constexpr std::size_t kMaxVehicleStates = 216000;

// Appends when under the bound; false when full (the reader stops adding that kind).
bool AddFix(CameraMetadata* out, const Fix& fix);
bool AddGSample(CameraMetadata* out, const GSample& sample);
bool AddVehicleState(CameraMetadata* out, const VehicleState& state);

// ms since 1970 of a calendar date and time read as UTC; -1 when a field is out of range
// (year 1970..2099, month 1..12, day 1..31 and valid for the month, hour 0..23, minute 0..59,
// second 0..60, ms 0..999).
std::int64_t UtcMs(int year, int month, int day, int hour, int minute, int second, int ms = 0);

// Decimal degrees of an NMEA-style DDDmm.mmmm value; kNone when it is not finite or its minutes
// are 60 or more, or the degrees out of range for `limit` (90 latitude, 180 longitude).
double DegreesFromDm(double dm, double limit);

}  // namespace metadata
