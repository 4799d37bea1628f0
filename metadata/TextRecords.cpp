// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/TextRecords.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "support/CivilDate.h"

namespace metadata {

namespace {

// ddmm.mmmmmm of a decimal degree value, without its sign.
double DegreesToDm(double degrees) {
  const double a = std::fabs(degrees);
  const double whole = std::floor(a);
  return whole * 100 + (a - whole) * 60;
}

std::uint8_t AxisByte(double g) {
  const long counts = std::lround(g * kCountsPerG);
  return std::uint8_t(std::clamp(128 - counts, 0L, 255L));
}

}  // namespace

std::string FixRecord(const Fix& fix) {
  char time[16] = "", date[8] = "";
  if (fix.utcMs >= 0) {
    const std::int64_t days = fix.utcMs / 86400000;
    const std::int64_t ms = fix.utcMs % 86400000;
    std::int64_t year = 0;
    int month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    std::snprintf(time, sizeof time, "%02d%02d%02d.%03d", int(ms / 3600000), int(ms / 60000 % 60),
                  int(ms / 1000 % 60), int(ms % 1000));
    std::snprintf(date, sizeof date, "%02d%02d%02d", day, month, int(year % 100));
  }
  const bool valid = fix.valid && std::isfinite(fix.latitude) && std::isfinite(fix.longitude);
  char position[64] = ",,,";
  if (valid) {
    std::snprintf(position, sizeof position, "%011.6f,%c,%012.6f,%c", DegreesToDm(fix.latitude),
                  fix.latitude < 0 ? 'S' : 'N', DegreesToDm(fix.longitude),
                  fix.longitude < 0 ? 'W' : 'E');
  }
  char speed[24] = "", course[24] = "";
  if (!std::isnan(fix.speedKmh)) std::snprintf(speed, sizeof speed, "%.3f", fix.speedKmh / 1.852);
  if (!std::isnan(fix.course)) std::snprintf(course, sizeof course, "%.2f", fix.course);
  char record[200];
  std::snprintf(record, sizeof record, "G$GPRMC,%s,%c,%s,%s,%s,%s,,,A", time, valid ? 'A' : 'V',
                position, speed, course, date);
  return record;
}

std::string GSensorRecord(const GSample& sample) {
  std::string r = "M";
  r += char(AxisByte(sample.x));
  r += char(AxisByte(sample.y));
  r += char(AxisByte(sample.z));
  return r;
}

std::string VehicleRecord(const VehicleState& state) {
  char record[96];
  const char gear = state.gear == 'P' || state.gear == 'R' || state.gear == 'N' || state.gear == 'D'
                        ? state.gear
                        : '-';
  int n = std::snprintf(record, sizeof record, "Tg=%c;l=%d;r=%d;b=%d;a=%d", gear,
                        state.blinkLeft ? 1 : 0, state.blinkRight ? 1 : 0, state.brake ? 1 : 0,
                        std::clamp(state.autopilot, 0, 9));
  if (!std::isnan(state.speedKmh) && n > 0 && n < int(sizeof record)) {
    std::snprintf(record + n, sizeof record - std::size_t(n), ";s=%.1f", state.speedKmh);
  }
  return record;
}

std::vector<TextRecord> ToTextRecords(const CameraMetadata& data) {
  std::vector<TextRecord> records;
  records.reserve(data.fixes.size() + data.gsensor.size() + data.vehicle.size());
  for (const Fix& f : data.fixes) {
    if (f.mediaMs >= 0) records.push_back({f.mediaMs, FixRecord(f)});
  }
  for (const GSample& g : data.gsensor) {
    if (g.mediaMs >= 0) records.push_back({g.mediaMs, GSensorRecord(g)});
  }
  for (const VehicleState& v : data.vehicle) {
    if (v.mediaMs >= 0) records.push_back({v.mediaMs, VehicleRecord(v)});
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const TextRecord& a, const TextRecord& b) { return a.mediaMs < b.mediaMs; });
  return records;
}

}  // namespace metadata
