// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/FreeGps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "metadata/Nmea.h"

namespace metadata {

namespace {

constexpr double kKnotsToKmh = 1.852;

std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::int32_t S32(const std::uint8_t* p) { return std::int32_t(U32(p)); }
double F32(const std::uint8_t* p) {
  const std::uint32_t bits = U32(p);
  float f = 0;
  std::memcpy(&f, &bits, sizeof f);
  return double(f);
}

bool StatusAt(const std::uint8_t* p) {
  return (p[0] == 'A' || p[0] == 'V') && (p[1] == 'N' || p[1] == 'S') &&
         (p[2] == 'E' || p[2] == 'W');
}

// The record's clock from its six fields; false when they are no date and time. A year under 100
// counts from 2000; some cameras write it whole. All six zero: the record has no clock.
bool Clock(std::uint32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
           std::uint32_t minute, std::uint32_t second, Fix* fix) {
  // A camera without a clock of its receiver's writes zeros: a fix without a time.
  if ((year | month | day | hour | minute | second) == 0) return true;
  if (year < 100) year += 2000;
  if (year > 9999 || month > 12 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  const std::int64_t ms =
      UtcMs(int(year), int(month), int(day), int(hour), int(minute), int(second));
  if (ms < 0) return false;
  fix->hasClock = true;
  fix->clockMs = ms;
  return true;
}

// The position of a status field and two DDDmm.mmmm values; an invalid status keeps the fix as
// one without a position.
void Position(const std::uint8_t* status, double latDm, double lonDm, Fix* fix) {
  fix->valid = status[0] == 'A';
  if (!fix->valid) return;
  const double lat = DegreesFromDm(std::fabs(latDm), 90);
  const double lon = DegreesFromDm(std::fabs(lonDm), 180);
  if (std::isnan(lat) || std::isnan(lon)) {
    fix->valid = false;
    return;
  }
  fix->latitude = status[1] == 'S' ? -lat : lat;
  fix->longitude = status[2] == 'W' ? -lon : lon;
}

double Knots(double knots) {
  return std::isfinite(knots) && knots >= 0 && knots < 1000 ? knots * kKnotsToKmh : kNone;
}
double Course(double course) {
  return std::isfinite(course) && course >= 0 && course <= 360 ? course : kNone;
}

// Three int32 accelerations at p in 1/scale g; none when they are all zero or the counting
// pattern some cameras leave before their first fix.
void Acceleration(const std::uint8_t* p, double scale, int mediaMs, CameraMetadata* out) {
  static const std::uint8_t kCounting[12] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0};
  static const std::uint8_t kZero[12] = {};
  if (std::memcmp(p, kZero, 12) == 0 || std::memcmp(p, kCounting, 12) == 0) return;
  GSample g;
  g.mediaMs = mediaMs;
  g.x = S32(p) / scale;
  g.y = S32(p + 4) / scale;
  g.z = S32(p + 8) / scale;
  // A sensor reads a few g at most; more is another field's bytes.
  if (std::fabs(g.x) > 16 || std::fabs(g.y) > 16 || std::fabs(g.z) > 16) return;
  AddGSample(out, g);
}

// The common layout, or 70mai's with integer coordinates: the same fields at the same places.
Format Common(const std::uint8_t* d, int mediaMs, CameraMetadata* out) {
  Fix fix;
  fix.mediaMs = mediaMs;
  if (!Clock(U32(d + 56), U32(d + 60), U32(d + 64), U32(d + 44), U32(d + 48), U32(d + 52), &fix)) {
    return Format::kNone;
  }
  const std::uint8_t* status = d + 68;
  const double latDm = F32(d + 72), lonDm = F32(d + 76);
  const bool floats = std::isfinite(latDm) && std::isfinite(lonDm) &&
                      !std::isnan(DegreesFromDm(std::fabs(latDm), 90)) &&
                      !std::isnan(DegreesFromDm(std::fabs(lonDm), 180)) &&
                      (std::fabs(latDm) >= 1e-3 || std::fabs(lonDm) >= 1e-3 || latDm == 0);
  Format format = Format::kFreeGps;
  if (floats) {
    Position(status, latDm, lonDm, &fix);
    fix.speedKmh = Knots(F32(d + 80));
  } else {
    // Millionths of a degree, signed, the hemisphere letters set as well.
    const double lat = std::fabs(S32(d + 72) / 1e6), lon = std::fabs(S32(d + 76) / 1e6);
    if (lat > 90 || lon > 180) return Format::kNone;
    format = Format::kFreeGps70mai;
    fix.valid = status[0] == 'A';
    if (fix.valid) {
      fix.latitude = status[1] == 'S' ? -lat : lat;
      fix.longitude = status[2] == 'W' ? -lon : lon;
    }
    const std::uint32_t speed = U32(d + 80);
    fix.speedKmh = speed < 100000 ? speed / 100.0 : kNone;
  }
  fix.course = Course(F32(d + 84));
  AddFix(out, fix);
  return format;
}

bool Newer(const std::uint8_t* d, std::size_t size, int mediaMs, CameraMetadata* out) {
  // d points 12 bytes before the record's fields, as in a block.
  if (size < 68 || !StatusAt(d + 36) || d[39] != 0) return false;
  Fix fix;
  fix.mediaMs = mediaMs;
  if (!Clock(U32(d + 24), U32(d + 28), U32(d + 32), U32(d + 12), U32(d + 16), U32(d + 20), &fix)) {
    return false;
  }
  Position(d + 36, F32(d + 40), F32(d + 44), &fix);
  fix.speedKmh = Knots(F32(d + 48));
  fix.course = Course(F32(d + 52));
  AddFix(out, fix);
  Acceleration(d + 56, 256.0, mediaMs, out);
  return true;
}

bool Older(const std::uint8_t* d, std::size_t size, int mediaMs, CameraMetadata* out) {
  if (size < 120 || !StatusAt(d + 60) || d[63] != 0) return false;
  Fix fix;
  fix.mediaMs = mediaMs;
  if (!Clock(U32(d + 64), U32(d + 68), U32(d + 72), U32(d + 76), U32(d + 80), U32(d + 84), &fix)) {
    return false;
  }
  Position(d + 60, F32(d + 92), F32(d + 88), &fix);
  fix.speedKmh = Knots(F32(d + 96));
  fix.course = Course(F32(d + 100));
  const double altitude = F32(d + 104);
  if (std::isfinite(altitude) && std::fabs(altitude) < 20000) fix.altitude = altitude;
  AddFix(out, fix);
  Acceleration(d + 108, 1000.0, mediaMs, out);
  return true;
}

// RMC and GGA sentences in the block's text; the acceleration at 64 when a fix was read.
bool Nmea(const std::uint8_t* d, std::size_t size, int mediaMs, CameraMetadata* out) {
  if (size < 80) return false;
  std::string_view text(reinterpret_cast<const char*>(d) + 12, size - 12);
  const std::size_t dollar = text.find('$');
  if (dollar == std::string_view::npos || text.size() - dollar < 7 ||
      text.substr(dollar + 3, 4) != "RMC,") {
    return false;
  }
  const std::size_t end = text.find('\0', dollar);
  text = text.substr(dollar, end == std::string_view::npos ? std::string_view::npos : end - dollar);
  const std::size_t fixes = out->fixes.size();
  if (!ParseNmeaText(text, mediaMs, out)) return false;
  if (out->fixes.size() > fixes && out->fixes.back().valid && dollar + 12 >= 76) {
    Acceleration(d + 64, 256.0, mediaMs, out);
  }
  return true;
}

}  // namespace

Format ParseFreeGpsBlock(const std::uint8_t* data, std::size_t size, int mediaMs,
                         CameraMetadata* out) {
  if (data == nullptr || size < 88 || std::memcmp(data, kFreeGpsMarker, 8) != 0) {
    return Format::kNone;
  }
  if (size > kFreeGpsMaxBlock) size = kFreeGpsMaxBlock;
  if (Nmea(data, size, mediaMs, out)) return Format::kFreeGpsNmea;
  if (StatusAt(data + 68) && data[71] == 0) {
    const Format common = Common(data, mediaMs, out);
    if (common != Format::kNone) return common;
  }
  if (Newer(data, size, mediaMs, out)) return Format::kFreeGps;
  if (Older(data, size, mediaMs, out)) return Format::kFreeGps;
  return Format::kNone;
}

bool ParseFreeGpsRecord(const std::uint8_t* data, std::size_t size, int mediaMs,
                        CameraMetadata* out) {
  if (data == nullptr || size < 44 || size > 4096) return false;
  // Put the record where a block holds it, so one reader reads both.
  std::uint8_t block[4096 + 12] = {};
  std::memcpy(block, kFreeGpsMarker, 8);
  std::memcpy(block + 12, data, size);
  return Newer(block, std::max<std::size_t>(size + 12, 68), mediaMs, out);
}

}  // namespace metadata
