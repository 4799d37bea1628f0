// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/RecordingClock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace metadata {

namespace {

constexpr std::int64_t kQuarterMs = 15 * 60 * 1000;
// How far a clock may be from a whole number of quarter hours and still count as one: the name
// counts whole seconds, the first record may come a second or two late.
constexpr std::int64_t kQuarterSlackMs = 90 * 1000;
constexpr std::int64_t kMaxOffsetMs = 14 * 3600 * 1000LL;

std::int64_t Median(std::vector<std::int64_t> v) {
  std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// d as a whole number of quarter hours, in minutes; false when it is not near one or too large.
bool Quarters(std::int64_t d, int* minutes) {
  const std::int64_t q = (d + (d >= 0 ? kQuarterMs / 2 : -kQuarterMs / 2)) / kQuarterMs;
  if (std::llabs(d - q * kQuarterMs) > kQuarterSlackMs ||
      std::llabs(q * kQuarterMs) > kMaxOffsetMs) {
    return false;
  }
  *minutes = int(q * 15);
  return true;
}

// Countries where dash cameras are common whose zone is not their longitude's and which keep no
// summer time, tried in this order before the longitude's whole hour.
struct Zone {
  double south, north, west, east;
  int minutes;
};
constexpr Zone kZones[] = {
    {33.0, 38.7, 124.5, 131.0, 540},  // Korea
    {24.0, 45.6, 129.0, 146.0, 540},  // Japan
    {6.5, 30.0, 68.0, 97.5, 330},     // India
    {18.0, 53.6, 97.5, 134.8, 480},   // China east of India
};

double Median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// The zone of the valid fixes' median position, in minutes; false with no valid fix.
bool ZoneOfPosition(const CameraMetadata& data, int* minutes) {
  std::vector<double> lats, lons;
  for (const Fix& f : data.fixes) {
    if (f.valid) lats.push_back(f.latitude), lons.push_back(f.longitude);
  }
  if (lons.empty()) return false;
  const double lat = Median(lats), lon = Median(lons);
  for (const Zone& z : kZones) {
    if (lat >= z.south && lat <= z.north && lon >= z.west && lon <= z.east) {
      *minutes = z.minutes;
      return true;
    }
  }
  *minutes = int(std::lround(lon / 15.0)) * 60;
  return true;
}

double Radians(double d) { return d * M_PI / 180.0; }

double Metres(const Fix& a, const Fix& b) {
  const double dLat = Radians(b.latitude - a.latitude);
  const double dLon = Radians(b.longitude - a.longitude);
  const double h = std::sin(dLat / 2) * std::sin(dLat / 2) +
                   std::cos(Radians(a.latitude)) * std::cos(Radians(b.latitude)) *
                       std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * 6371008.8 * std::asin(std::min(1.0, std::sqrt(h)));
}

}  // namespace

std::string RecordingClock::Describe() const {
  if (!offsetKnown) return "camera clock unknown";
  char text[64];
  const int a = std::abs(offsetMinutes);
  if (a % 60 == 0) {
    std::snprintf(text, sizeof text, "camera clock UTC%c%d", offsetMinutes < 0 ? '-' : '+', a / 60);
  } else {
    std::snprintf(text, sizeof text, "camera clock UTC%c%d:%02d", offsetMinutes < 0 ? '-' : '+',
                  a / 60, a % 60);
  }
  return std::string(text) + (estimated ? " (estimated from the position)" : "");
}

RecordingClock SettleClock(CameraMetadata* data, std::int64_t nameClockMs) {
  RecordingClock clock;
  std::vector<Fix>& fixes = data->fixes;
  // Fixes without a media time lie a second apart from the one before.
  for (std::size_t i = 0; i < fixes.size(); ++i) {
    if (fixes[i].mediaMs < 0) fixes[i].mediaMs = i == 0 ? 0 : fixes[i - 1].mediaMs + 1000;
  }

  // Each clocked record's clock at the first picture.
  std::vector<std::int64_t> before, after;
  bool seenValid = false;
  for (const Fix& f : fixes) {
    if (!f.hasClock) continue;
    seenValid = seenValid || f.valid;
    (seenValid ? after : before).push_back(f.clockMs - f.mediaMs);
  }
  clock.recordsHaveClock = !before.empty() || !after.empty();

  int zone = 0;
  const bool haveZone = ZoneOfPosition(*data, &zone);
  std::int64_t startUtc = -1;
  if (clock.recordsHaveClock) {
    int jump = 0;
    if (!before.empty() && !after.empty() && Quarters(Median(after) - Median(before), &jump) &&
        jump != 0) {
      // UTC until the first fix, the camera's clock after it.
      clock.jumpMinutes = jump;
      clock.offsetKnown = true;
      clock.offsetMinutes = jump;
      startUtc = Median(before);
    } else {
      std::vector<std::int64_t> all = before;
      all.insert(all.end(), after.begin(), after.end());
      const std::int64_t records = Median(all);
      int offset = 0;
      startUtc = records;
      if (nameClockMs >= 0 && Quarters(nameClockMs - records, &offset)) {
        clock.offsetKnown = true;
        clock.offsetMinutes = offset;
        if (offset == 0 && haveZone && std::abs(zone) >= 120) {
          // The records carry the camera's own clock, far from Greenwich: local time.
          clock.recordsUtc = false;
          clock.offsetMinutes = zone;
          clock.estimated = true;
          startUtc = records - std::int64_t(zone) * 60000;
        }
      }
    }
    const std::int64_t jumpMs = std::int64_t(clock.jumpMinutes) * 60000;
    const std::int64_t localMs = clock.recordsUtc ? 0 : std::int64_t(clock.offsetMinutes) * 60000;
    seenValid = false;
    for (Fix& f : fixes) {
      seenValid = seenValid || f.valid;
      if (f.hasClock) {
        f.utcMs = f.clockMs - (seenValid ? jumpMs : 0) - localMs;
      } else {
        f.utcMs = startUtc + f.mediaMs;
      }
    }
  } else if (nameClockMs >= 0) {
    if (haveZone) {
      clock.offsetKnown = true;
      clock.estimated = true;
      clock.offsetMinutes = zone;
    }
    startUtc = nameClockMs - std::int64_t(clock.offsetMinutes) * 60000;
    for (Fix& f : fixes) f.utcMs = startUtc + f.mediaMs;
  }
  clock.startUtcMs = startUtc;
  return clock;
}

void FillSpeedFromPositions(CameraMetadata* data) {
  std::vector<Fix>& fixes = data->fixes;
  bool anySpeed = false;
  double moved = 0;
  const Fix* last = nullptr;
  for (const Fix& f : fixes) {
    if (!f.valid) continue;
    if (!std::isnan(f.speedKmh) && f.speedKmh > 0) anySpeed = true;
    if (last != nullptr) moved += Metres(*last, f);
    last = &f;
  }
  if (anySpeed || moved < 50) return;
  for (std::size_t i = 0; i < fixes.size(); ++i) {
    if (!fixes[i].valid) continue;
    // The neighbours on either side that are valid, and a step forward when there is none back.
    std::size_t a = i, b = i;
    if (i > 0 && fixes[i - 1].valid) a = i - 1;
    if (i + 1 < fixes.size() && fixes[i + 1].valid) b = i + 1;
    const int ms = fixes[b].mediaMs - fixes[a].mediaMs;
    if (a == b || ms <= 0) continue;
    fixes[i].speedKmh = Metres(fixes[a], fixes[b]) / (ms / 1000.0) * 3.6;
  }
}

}  // namespace metadata
