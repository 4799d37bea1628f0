// SPDX-License-Identifier: GPL-3.0-or-later
// The track built from fixes: where segments break (invalid fixes, jumps no car can make, the
// limit itself), positions in every hemisphere, the nearest point to a click, distances on the
// ground, and the fixes' UTC times whatever the process's time zone.
#include "telemetry/Track.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "support/testing/CivilTime.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A raw NMEA ddmm.mmmm value (sign kept) of decimal degrees, as the record stores positions.
double Raw(double degrees) {
  const double a = std::fabs(degrees);
  const double whole = std::floor(a);
  const double raw = whole * 100 + (a - whole) * 60;
  return degrees < 0 ? -raw : raw;
}

// A fix as the record parser leaves it: 2024-06-12 00:00:00 UTC plus `second`.
CGPSData Fix(double lat, double lon, bool valid = true, int second = 0) {
  CGPSData f;
  f.valid = valid ? 1 : 0;
  f.year = 24;
  f.month = 6;
  f.day = 12;
  f.hour = 9 + second / 3600;
  f.minute = second / 60 % 60;
  f.second = second % 60;
  f.latitude = std::isfinite(lat) ? Raw(lat) : lat;
  f.longitude = std::isfinite(lon) ? Raw(lon) : lon;
  f.speed = 50;
  f.course = 90;
  return f;
}

// Degrees of latitude that cover `metres` along a meridian, measured with the track's own
// distance (linear along a meridian), so that a jump can be placed at the limit exactly.
double LatitudeFor(double metres) { return metres / GroundDistanceMetres(0, 0, 1, 0); }

// The distance a car at the limit covers in ms.
double LimitMetres(int ms) { return kTrackMaxSpeedKmh / 3.6 * ms / 1000.0; }

struct Step {
  double lat, lon;
  bool valid = true;
  int timeMs = 0;
};

struct SegmentCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::size_t> segments;  // expected sizes
};

std::vector<Step> Walk(double lat, double lon, int n, double metresPerSecond, int startMs = 0) {
  std::vector<Step> out;
  for (int i = 0; i < n; ++i) {
    out.push_back({lat + LatitudeFor(metresPerSecond * i), lon, true, startMs + i * 1000});
  }
  return out;
}

std::vector<Step> Join(std::vector<std::vector<Step>> parts) {
  std::vector<Step> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<SegmentCase> Cases() {
  const double lat = 37.566, lon = 126.978;
  const double atLimit = LatitudeFor(LimitMetres(1000));
  std::vector<SegmentCase> c;
  c.push_back({"SteadyDrive", Walk(lat, lon, 5, 20), {5}});
  c.push_back(
      {"InvalidStatusInTheMiddle",
       Join({Walk(lat, lon, 3, 20), {{lat, lon, false, 3000}}, Walk(lat, lon, 2, 20, 4000)}),
       {3, 2}});
  c.push_back(
      {"NaNLatitudeInTheMiddle",
       Join({Walk(lat, lon, 2, 10), {{kNaN, lon, true, 2000}}, Walk(lat, lon, 3, 10, 3000)}),
       {2, 3}});
  c.push_back(
      {"InfiniteLongitudeInTheMiddle",
       Join({Walk(lat, lon, 2, 10), {{lat, kInf, true, 2000}}, Walk(lat, lon, 2, 10, 3000)}),
       {2, 2}});
  c.push_back(
      {"LatitudeBeyondThePole",
       Join({Walk(lat, lon, 2, 10), {{90.5, lon, true, 2000}}, Walk(lat, lon, 2, 10, 3000)}),
       {2, 2}});
  c.push_back(
      {"LongitudeBeyondTheAntimeridian",
       Join({Walk(lat, lon, 2, 10), {{lat, 180.5, true, 2000}}, Walk(lat, lon, 2, 10, 3000)}),
       {2, 2}});
  c.push_back({"InvalidFirstAndLastMakeNoEmptySegments",
               Join({{{lat, lon, false, 0}, {lat, lon, false, 500}},
                     Walk(lat, lon, 3, 10, 1000),
                     {{lat, lon, false, 4000}, {kNaN, kNaN, true, 5000}}}),
               {3}});
  c.push_back({"NothingValid", {{lat, lon, false, 0}, {kNaN, lon, true, 1000}}, {}});
  c.push_back({"JumpAboveTheLimitStartsASegment",
               Join({Walk(lat, lon, 3, 20), Walk(lat + 0.01, lon, 3, 20, 3000)}),
               {3, 3}});
  c.push_back({"JumpJustAboveTheLimit",
               {{lat, lon, true, 0}, {lat + atLimit * 1.0001, lon, true, 1000}},
               {1, 1}});
  c.push_back({"JumpJustBelowTheLimit",
               {{lat, lon, true, 0}, {lat + atLimit * 0.9999, lon, true, 1000}},
               {2}});
  c.push_back(
      {"JumpAtTheLimitExactly", {{lat, lon, true, 0}, {lat + atLimit, lon, true, 1000}}, {2}});
  // The same jump is fine over five seconds of media time.
  c.push_back({"LongJumpOverALongTime",
               {{lat, lon, true, 0}, {lat + atLimit * 4.9, lon, true, 5000}},
               {2}});
  // A single wild fix between good ones stands alone: no line to it or from it.
  c.push_back(
      {"SpikeStandsAlone",
       Join({Walk(lat, lon, 2, 10), {{lat + 1, lon, true, 2000}}, Walk(lat, lon, 2, 10, 3000)}),
       {2, 1, 2}});
  c.push_back({"RecordsAtTheSameTimeMayNotMove",
               {{lat, lon, true, 1000}, {lat, lon, true, 1000}, {lat + 0.0001, lon, true, 1000}},
               {2, 1}});
  c.push_back({"SouthernAndWesternHemisphere", Walk(-34.6037, -58.3816, 4, 25), {4}});
  c.push_back({"CrossingTheEquatorAndPrimeMeridian",
               {{-0.0001, -0.0001, true, 0}, {0.0001, 0.0001, true, 1000}},
               {2}});
  // 179.9999 E to 179.9999 W is 22 m on the ground, not half the earth.
  c.push_back({"CrossingTheAntimeridian",
               {{-16.5, 179.9999, true, 0}, {-16.5, -179.9999, true, 1000}},
               {2}});
  return c;
}

class SegmentTest : public ::testing::TestWithParam<SegmentCase> {};

TEST_P(SegmentTest, BreaksWhereTheLineMust) {
  const SegmentCase& c = GetParam();
  TrackBuilder b;
  for (const Step& s : c.steps) b.Add(Fix(s.lat, s.lon, s.valid, s.timeMs / 1000), s.timeMs);
  const Track t = b.Take("REC_20240612_081500_D.avi");
  EXPECT_EQ(t.name, "REC_20240612_081500_D.avi");
  std::vector<std::size_t> sizes;
  for (const auto& s : t.segments) sizes.push_back(s.size());
  EXPECT_EQ(sizes, c.segments);
  std::size_t total = 0;
  for (std::size_t n : c.segments) total += n;
  EXPECT_EQ(t.PointCount(), int(total));
  EXPECT_EQ(t.Empty(), total == 0);

  // The points are the valid steps, in order, with their positions and times.
  std::vector<const Step*> kept;
  for (const Step& s : c.steps) {
    if (s.valid && std::isfinite(s.lat) && std::isfinite(s.lon) && std::fabs(s.lat) <= 90 &&
        std::fabs(s.lon) <= 180) {
      kept.push_back(&s);
    }
  }
  ASSERT_EQ(kept.size(), total);
  std::size_t i = 0;
  for (const auto& seg : t.segments) {
    for (const TrackPoint& p : seg) {
      EXPECT_NEAR(p.latitude, kept[i]->lat, 1e-9) << i;
      EXPECT_NEAR(p.longitude, kept[i]->lon, 1e-9) << i;
      EXPECT_EQ(p.timeMs, kept[i]->timeMs) << i;
      EXPECT_DOUBLE_EQ(p.speedKmh, 50);
      ++i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tracks, SegmentTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<SegmentCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(TrackBuilder, TakeStartsAfresh) {
  TrackBuilder b;
  b.Add(Fix(10, 10), 0);
  b.Add(Fix(10.00001, 10), 1000);
  Track first = b.Take("a");
  b.Add(Fix(10.00002, 10), 2000);
  Track second = b.Take("b");
  EXPECT_EQ(first.PointCount(), 2);
  ASSERT_EQ(second.segments.size(), 1u);
  EXPECT_EQ(second.PointCount(), 1);
  EXPECT_EQ(second.name, "b");
}

TEST(TrackBuilder, SentenceCutBeforeItsDateIsNoPoint) {
  TrackBuilder b;
  b.Add(CGPSData("G$GPRMC,231500,A,3733.9629,N,12658.6796,E,10.0,90.0,110624"), 0);
  b.Add(CGPSData("G$GPRMC,231501,A,3733.9630,N,12658.6796,E,10.0,90.0"), 1000);
  b.Add(CGPSData("G$GPRMC,231502,A,3733.9631,N,12658.6796,E,10.0,90.0,110624"), 2000);
  const Track t = b.Take("x");
  ASSERT_EQ(t.segments.size(), 2u);
  EXPECT_EQ(t.segments[0].size(), 1u);
  EXPECT_EQ(t.segments[1][0].timeMs, 2000);
}

// --- UTC times -----------------------------------------------------------------------------------

struct ClockCase {
  const char* sentence;
  int year, month, day, hour, minute, second;  // UTC, as the C library's timegm is asked
};

class UtcTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(UtcTest, IsTheSentencesUtcClock) {
  const ClockCase& c = GetParam();
  std::tm tm = roadeye_test::At(c.year, c.month, c.day, c.hour, c.minute, c.second);
  const std::int64_t want = std::int64_t(timegm(&tm));
  // The process's zone must not matter: the camera's clock is read as UTC + 9 whatever it is.
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  for (const char* zone : {"UTC", "America/St_Johns", "Asia/Kathmandu", "Pacific/Kiritimati"}) {
    setenv("TZ", zone, 1);
    tzset();
    TrackBuilder b;
    b.Add(CGPSData(c.sentence), 0);
    const Track t = b.Take("x");
    ASSERT_EQ(t.PointCount(), 1) << c.sentence;
    EXPECT_EQ(t.segments[0][0].utcTime, want) << c.sentence << " in " << zone;
  }
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, UtcTest,
    ::testing::Values(
        ClockCase{"G$GPRMC,231500.000,A,3733.9629,N,12658.6796,E,10.0,90.0,110624,,,A*00", 2024, 6,
                  11, 23, 15, 0},
        ClockCase{"G$GPRMC,000000,A,3733.9629,N,12658.6796,E,0,0,010170", 1970, 1, 1, 0, 0, 0},
        ClockCase{"G$GPRMC,235959,A,3733.9629,N,12658.6796,E,0,0,311299", 1999, 12, 31, 23, 59, 59},
        ClockCase{"G$GPRMC,120000,A,3733.9629,N,12658.6796,E,0,0,010100", 2000, 1, 1, 12, 0, 0},
        ClockCase{"G$GPRMC,153000,A,3733.9629,N,12658.6796,E,0,0,290224", 2024, 2, 29, 15, 30, 0},
        ClockCase{"G$GPRMC,080000,A,3733.9629,N,12658.6796,E,0,0,311269", 2069, 12, 31, 8, 0, 0}),
    [](const ::testing::TestParamInfo<ClockCase>& info) {
      return "Year" + std::to_string(info.param.year) + "Month" + std::to_string(info.param.month);
    });

// --- Distance and the nearest point --------------------------------------------------------------

TEST(GroundDistance, KnownDistances) {
  // A degree of latitude, and a degree of longitude at 60 degrees is half of one at the equator.
  EXPECT_NEAR(GroundDistanceMetres(0, 0, 1, 0), 111195, 2);
  EXPECT_NEAR(GroundDistanceMetres(60, 10, 60, 11) / GroundDistanceMetres(0, 10, 0, 11), 0.5, 1e-4);
  // A quarter of a great circle, along a meridian and along the equator (mean radius 6371.0088 km).
  EXPECT_NEAR(GroundDistanceMetres(0, 0, 90, 0), 10007.5e3, 1e3);
  EXPECT_NEAR(GroundDistanceMetres(0, -45, 0, 45), 10007.5e3, 1e3);
  // Symmetric, zero for the same place, half the circumference to the antipode.
  EXPECT_DOUBLE_EQ(GroundDistanceMetres(-33.9, 18.4, 51.5, -0.1),
                   GroundDistanceMetres(51.5, -0.1, -33.9, 18.4));
  EXPECT_EQ(GroundDistanceMetres(12.5, -70.1, 12.5, -70.1), 0.0);
  EXPECT_NEAR(GroundDistanceMetres(10, 20, -10, -160), 20015e3, 10e3);
}

TEST(NearestTime, FindsThePointNearestOnTheGround) {
  TrackBuilder b;
  // Two segments (a jump between) heading north, then east in the southern hemisphere.
  for (int i = 0; i < 5; ++i) b.Add(Fix(37.5 + i * 0.0002, 127.0), i * 1000);
  for (int i = 0; i < 5; ++i) b.Add(Fix(-33.0, 151.0 + i * 0.0002), 10000 + i * 1000);
  const Track t = b.Take("x");
  ASSERT_EQ(t.segments.size(), 2u);
  EXPECT_EQ(t.NearestTimeMs(37.5004 + 0.00004, 127.00003), 2000);
  EXPECT_EQ(t.NearestTimeMs(37.51, 127.0), 4000);  // beyond the end: the last point
  EXPECT_EQ(t.NearestTimeMs(-33.00005, 151.00061), 13000);
  EXPECT_EQ(t.NearestTimeMs(-60, 150), 10000);
  // Nearest on the ground, not in degrees: at 80 degrees north a degree of longitude is short.
  Track far;
  far.segments = {{TrackPoint{0, 80.0, 12.0}}, {TrackPoint{1000, 80.5, 10.0}}};
  // 2 degrees of longitude at 80 N is about 39 km; half a degree of latitude about 56 km.
  EXPECT_EQ(far.NearestTimeMs(80.0, 10.0), 0);
}

TEST(NearestTime, EmptyTrackOrNoPlaceGivesNoTime) {
  Track empty;
  EXPECT_EQ(empty.NearestTimeMs(37.5, 127.0), -1);
  Track t;
  t.segments = {{TrackPoint{500, 1, 2}, TrackPoint{1500, 1, 2}}, {}};
  EXPECT_EQ(t.NearestTimeMs(kNaN, 2), -1);
  EXPECT_EQ(t.NearestTimeMs(1, kInf), -1);
  EXPECT_EQ(t.NearestTimeMs(1, 2), 500);  // equally near: the earlier
  EXPECT_EQ(t.PointCount(), 2);
}

}  // namespace
