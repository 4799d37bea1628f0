// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/Track.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "support/CivilDate.h"

namespace {

// Mean radius of the earth (IUGG), metres.
constexpr double kEarthRadiusMetres = 6371008.8;
constexpr double kPi = 3.14159265358979323846;
// The camera's clock runs this many hours ahead of UTC.
constexpr int kClockAheadOfUtcHours = 9;
// A jump is measured against the limit with this much room, so that one at the limit exactly is
// not broken by the rounding of the distance.
constexpr double kLimitRoom = 1e-9;

// Whether the fix's clock fields make a time: month 1..12, day 1..31, a UTC hour 0..23 (the
// field holds it plus 9), minute 0..59, second 0..60 (a leap second). A sentence cut before its
// date leaves them 0.
bool HasClock(const CGPSData& fix) {
  const int utcHour = fix.hour - kClockAheadOfUtcHours;
  return fix.month >= 1 && fix.month <= 12 && fix.day >= 1 && fix.day <= 31 && utcHour >= 0 &&
         utcHour <= 23 && fix.minute >= 0 && fix.minute <= 59 && fix.second >= 0 &&
         fix.second <= 60;
}

// The fix's clock as UTC seconds since 1970: two-digit years 70..99 are 19xx, the others 20xx,
// the way the card tool writes them; the hour less 9, carried across midnight by the arithmetic.
std::int64_t UtcSeconds(const CGPSData& fix) {
  const int yy = ((fix.year % 100) + 100) % 100;
  const std::int64_t year = yy >= 70 ? 1900 + yy : 2000 + yy;
  const std::int64_t days = DaysFromCivil(year, fix.month, fix.day);
  return days * 86400 + std::int64_t(fix.hour - kClockAheadOfUtcHours) * 3600 +
         std::int64_t(fix.minute) * 60 + fix.second;
}

}  // namespace

double GroundDistanceMetres(double lat1, double lon1, double lat2, double lon2) {
  const double toRad = kPi / 180.0;
  const double p1 = lat1 * toRad, p2 = lat2 * toRad;
  const double dp = (lat2 - lat1) * toRad, dl = (lon2 - lon1) * toRad;
  // Haversine: well conditioned for the short distances between fixes.
  const double a = std::sin(dp / 2) * std::sin(dp / 2) +
                   std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
  return 2 * kEarthRadiusMetres * std::asin(std::sqrt(std::min(1.0, std::max(0.0, a))));
}

int Track::PointCount() const {
  std::size_t n = 0;
  for (const std::vector<TrackPoint>& s : segments) n += s.size();
  return n > std::size_t(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                          : int(n);
}

double Track::LengthMetres() const {
  double metres = 0;
  for (const std::vector<TrackPoint>& s : segments) {
    for (std::size_t i = 1; i < s.size(); ++i) {
      metres += GroundDistanceMetres(s[i - 1].latitude, s[i - 1].longitude, s[i].latitude,
                                     s[i].longitude);
    }
  }
  return metres;
}

double JoinedLengthMetres(const std::vector<Track>& tracks) {
  double metres = 0;
  const TrackPoint* last = nullptr;
  for (const Track& t : tracks) {
    metres += t.LengthMetres();
    const TrackPoint* first = nullptr;
    for (const std::vector<TrackPoint>& s : t.segments) {
      if (s.empty()) continue;
      if (first == nullptr) first = &s.front();
    }
    if (last != nullptr && first != nullptr && first->utcTime > last->utcTime) {
      const double step =
          GroundDistanceMetres(last->latitude, last->longitude, first->latitude, first->longitude);
      const double seconds = double(first->utcTime - last->utcTime);
      if (step / seconds * 3.6 <= kTrackMaxSpeedKmh) metres += step;
    }
    for (const std::vector<TrackPoint>& s : t.segments) {
      if (!s.empty()) last = &s.back();
    }
  }
  return metres;
}

int Track::NearestTimeMs(double latitude, double longitude) const {
  if (!std::isfinite(latitude) || !std::isfinite(longitude)) return -1;
  int best = -1;
  double bestMetres = std::numeric_limits<double>::infinity();
  for (const std::vector<TrackPoint>& s : segments) {
    for (const TrackPoint& p : s) {
      const double d = GroundDistanceMetres(latitude, longitude, p.latitude, p.longitude);
      // The earliest of equally near points wins.
      if (d < bestMetres) {
        bestMetres = d;
        best = p.timeMs;
      }
    }
  }
  return best;
}

void TrackBuilder::Add(const CGPSData& fix, int timeMs) {
  const double lat = fix.GetLatitude(), lon = fix.GetLongitude();
  const bool usable = fix.valid == 1 && std::isfinite(lat) && std::isfinite(lon) &&
                      std::fabs(lat) <= 90.0 && std::fabs(lon) <= 180.0 && HasClock(fix);
  if (!usable) {
    open_ = false;
    return;
  }
  TrackPoint p;
  p.timeMs = timeMs;
  p.latitude = lat;
  p.longitude = lon;
  p.speedKmh = fix.GetSpeed();
  p.course = fix.course;
  p.utcTime = UtcSeconds(fix);

  if (open_ && !track_.segments.empty() && !track_.segments.back().empty()) {
    const TrackPoint& last = track_.segments.back().back();
    const double metres = GroundDistanceMetres(last.latitude, last.longitude, lat, lon);
    // The farthest a car gets in the time between the two fixes' records; records out of order
    // or at the same time allow no movement.
    const double seconds = std::max(0.0, (double(timeMs) - double(last.timeMs)) / 1000.0);
    const double reach = kTrackMaxSpeedKmh / 3.6 * seconds;
    if (metres > reach * (1 + kLimitRoom)) open_ = false;
  }
  if (!open_) {
    track_.segments.emplace_back();
    open_ = true;
  }
  track_.segments.back().push_back(p);
}

Track TrackBuilder::Take(std::string name) {
  Track out = std::move(track_);
  out.name = std::move(name);
  track_ = Track();
  open_ = false;
  return out;
}
