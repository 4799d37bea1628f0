// SPDX-License-Identifier: GPL-3.0-or-later
// The drive in the cards of roadeye-mkcard, read back from the recordings it wrote with the card
// library's reader and the telemetry's GPS records: the car keeps to the streets of the route, at
// speeds and accelerations a car makes, stops and pulls away, its reported speed and heading agree
// with how far and which way it moved, its G-sensor feels the braking and the pulling away, and
// the recordings of a trip join up where one ends and the next begins.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "support/testing/TempDir.h"
#include "telemetry/CGPSData.h"
#include "tools/CityRoute.h"
#include "vexlib/VexReader.h"

namespace {

namespace fs = std::filesystem;
using roadeye_test::TempDir;

constexpr double kPi = std::numbers::pi;

std::string BinDir() {
  const char* env = std::getenv("ROADEYE_BIN_DIR");
  return env && *env ? env : ROADEYE_BIN_DIR;
}

bool MakeCard(const fs::path& card, const std::string& options) {
  const std::string command =
      "'" + BinDir() + "/roadeye-mkcard' '" + card.string() + "' " + options + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// A short card is enough: one picture a second of 64x64 keeps a drive of minutes small.
const char kSmallPictures[] = "--fps 1 --front 64x64 --rear no --no-damaged";

// Metres east and north of the route's first waypoint.
struct Point {
  double x = 0, y = 0;
};

Point Local(double latitude, double longitude) {
  constexpr double kMetresPerDegree = 111320;
  const double lat0 = tools::kCityCircuit[0].latitude, lon0 = tools::kCityCircuit[0].longitude;
  return {(longitude - lon0) * kMetresPerDegree * std::cos(lat0 * kPi / 180),
          (latitude - lat0) * kMetresPerDegree};
}

double Distance(const Point& a, const Point& b) { return std::hypot(b.x - a.x, b.y - a.y); }

// How far p lies from the route's polyline: from the nearest of its legs.
double DistanceFromRoute(const Point& p) {
  double best = 1e12;
  for (std::size_t i = 0; i < tools::kCityCircuitSize; ++i) {
    const auto& wa = tools::kCityCircuit[i];
    const auto& wb = tools::kCityCircuit[(i + 1) % tools::kCityCircuitSize];
    const Point a = Local(wa.latitude, wa.longitude), b = Local(wb.latitude, wb.longitude);
    const double dx = b.x - a.x, dy = b.y - a.y, length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    best = std::min(best, Distance(p, {a.x + t * dx, a.y + t * dy}));
  }
  return best;
}

// Degrees from a to b, clockwise from north.
double Bearing(const Point& a, const Point& b) {
  const double d = std::atan2(b.x - a.x, b.y - a.y) * 180 / kPi;
  return d < 0 ? d + 360 : d;
}

// The difference of two headings in degrees, 0..180.
double AngleBetween(double a, double b) { return std::fabs(std::remainder(a - b, 360.0)); }

struct Fix {
  std::string sentence;
  CGPSData gps;
  Point at;
  int clock = 0;  // seconds of the day of the fix's time, as written
};

// What a recording's text stream holds, in order.
struct Recording {
  std::string name;
  std::time_t start = 0;  // the time in the name, read as UTC
  std::vector<Fix> fixes;
  std::vector<std::array<int, 3>> gsensor;  // the three axis bytes of each sample
};

std::time_t NameTime(const std::string& name) {
  // KIND_YYYYMMDD_HHMMSS[_D].vex
  const std::size_t at = name.find('_');
  std::tm tm{};
  if (at == std::string::npos || name.size() < at + 16) return 0;
  auto num = [&](std::size_t from, std::size_t n) { return std::stoi(name.substr(from, n)); };
  tm.tm_year = num(at + 1, 4) - 1900;
  tm.tm_mon = num(at + 5, 2) - 1;
  tm.tm_mday = num(at + 7, 2);
  tm.tm_hour = num(at + 10, 2);
  tm.tm_min = num(at + 12, 2);
  tm.tm_sec = num(at + 14, 2);
  return timegm(&tm);
}

Recording Read(const fs::path& file) {
  Recording r;
  r.name = file.filename().string();
  r.start = NameTime(r.name);
  vex::VexReader reader;
  EXPECT_TRUE(reader.Open(file.string())) << file;
  std::vector<char> buffer(4096);
  for (;;) {
    vex::Packet p;
    const vex::ReadStatus status = reader.NextText(&p, buffer.data(), std::uint32_t(buffer.size()));
    if (status == vex::ReadStatus::kPassed) continue;
    if (status != vex::ReadStatus::kOk) {
      EXPECT_EQ(status, vex::ReadStatus::kEnd) << file;
      break;
    }
    if (p.size > 0 && buffer[0] == 'G') {
      Fix f;
      f.sentence.assign(buffer.data(), p.size);
      f.gps = CGPSData(buffer.data(), int(p.size));
      f.at = Local(f.gps.GetLatitude(), f.gps.GetLongitude());
      f.clock = f.gps.hour * 3600 + f.gps.minute * 60 + f.gps.second;
      r.fixes.push_back(f);
    } else if (p.size == 4 && buffer[0] == 'M') {
      r.gsensor.push_back({static_cast<unsigned char>(buffer[1]),
                           static_cast<unsigned char>(buffer[2]),
                           static_cast<unsigned char>(buffer[3])});
    } else {
      ADD_FAILURE() << file << ": unexpected text packet of " << p.size << " bytes";
    }
  }
  return r;
}

// Every recording of a card, oldest first.
std::vector<Recording> ReadCard(const fs::path& card) {
  std::vector<Recording> all;
  for (const auto& e : fs::directory_iterator(card / "VEX")) all.push_back(Read(e.path()));
  std::sort(all.begin(), all.end(),
            [](const Recording& a, const Recording& b) { return a.start < b.start; });
  return all;
}

// The recordings grouped into trips: each one starts when the one before it ended.
std::vector<std::vector<const Recording*>> Trips(const std::vector<Recording>& all, int seconds) {
  std::vector<std::vector<const Recording*>> trips;
  for (const Recording& r : all) {
    if (trips.empty() || trips.back().back()->start + seconds != r.start) trips.emplace_back();
    trips.back().push_back(&r);
  }
  return trips;
}

// Two trips of 480 s each (one a day), four recordings of 120 s apiece, written from a seed.
constexpr int kSeconds = 120;
constexpr int kPerTrip = 4;

struct DriveCard {
  std::unique_ptr<TempDir> dir;
  bool made = false;
  std::vector<Recording> recordings;
};

const DriveCard& CardOf(int seed) {
  static std::map<int, DriveCard> cards;
  DriveCard& c = cards[seed];
  if (!c.dir) {
    c.dir = std::make_unique<TempDir>("trip");
    c.made = MakeCard(c.dir->path(), "--seconds " + std::to_string(kSeconds) + " --count " +
                                         std::to_string(2 * kPerTrip) + " --kinds REC --seed " +
                                         std::to_string(seed) + " " + kSmallPictures);
    if (c.made) c.recordings = ReadCard(c.dir->path());
  }
  return c;
}

class DriveTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    const DriveCard& c = CardOf(GetParam());
    ASSERT_TRUE(c.made) << "roadeye-mkcard failed";
    ASSERT_EQ(c.recordings.size(), std::size_t(2 * kPerTrip));
    recordings_ = &c.recordings;
  }
  const std::vector<Recording>& recordings() const { return *recordings_; }

 private:
  const std::vector<Recording>* recordings_ = nullptr;
};

TEST_P(DriveTest, EveryFixIsOnTheRoutesStreets) {
  for (const Recording& r : recordings()) {
    ASSERT_EQ(r.fixes.size(), std::size_t(kSeconds)) << r.name;
    for (std::size_t i = 0; i < r.fixes.size(); ++i) {
      const Fix& f = r.fixes[i];
      EXPECT_EQ(f.gps.valid, 1) << r.name << " " << f.sentence;
      EXPECT_LE(DistanceFromRoute(f.at), 25) << r.name << " fix " << i << ": " << f.sentence;
    }
  }
}

// From standing at the lights to the arterial's pace, never faster than a city allows; a stop lasts
// some seconds and the car pulls away after it.
TEST_P(DriveTest, SpeedsRunFromStandstillToTheArterialsPace) {
  for (const auto& trip : Trips(recordings(), kSeconds)) {
    ASSERT_EQ(trip.size(), std::size_t(kPerTrip));
    std::vector<double> kmh;
    for (const Recording* r : trip) {
      for (const Fix& f : r->fixes) kmh.push_back(f.gps.GetSpeed());
    }
    EXPECT_GE(*std::min_element(kmh.begin(), kmh.end()), 0);
    EXPECT_LE(*std::max_element(kmh.begin(), kmh.end()), 95);
    EXPECT_GT(*std::max_element(kmh.begin(), kmh.end()), 60) << trip.front()->name;
    int stops = 0;
    for (std::size_t i = 0; i + 3 < kmh.size(); ++i) {
      const bool standing = kmh[i] < 0.5 && kmh[i + 1] < 0.5 && kmh[i + 2] < 0.5;
      const bool arriving = i == 0 || kmh[i - 1] >= 0.5;
      const auto after =
          std::find_if(kmh.begin() + std::ptrdiff_t(i), kmh.end(), [](double v) { return v > 30; });
      stops += standing && arriving && after != kmh.end();
    }
    EXPECT_GE(stops, 2) << trip.front()->name;
  }
}

// Fix to fix: no more than 130 km/h of movement and no more than 3.2 m/s² of change of speed; the
// distance driven is what the two speeds make in a second, and the way driven is the heading.
TEST_P(DriveTest, FixesAgreeWithEachOtherAsACarsMotion) {
  for (const auto& trip : Trips(recordings(), kSeconds)) {
    std::vector<const Fix*> fixes;
    for (const Recording* r : trip) {
      for (const Fix& f : r->fixes) fixes.push_back(&f);
    }
    for (std::size_t i = 1; i < fixes.size(); ++i) {
      const Fix& a = *fixes[i - 1];
      const Fix& b = *fixes[i];
      const double metres = Distance(a.at, b.at);
      EXPECT_LE(metres, 130 / 3.6) << a.sentence << b.sentence;
      EXPECT_LE(std::fabs(b.gps.GetSpeed() - a.gps.GetSpeed()), 3.2 * 3.6 + 0.4)
          << a.sentence << b.sentence;
      EXPECT_NEAR(metres, (a.gps.GetSpeed() + b.gps.GetSpeed()) / 2 / 3.6, 2)
          << a.sentence << b.sentence;
      if (a.gps.GetSpeed() > 20 && b.gps.GetSpeed() > 20) {
        const double turn = std::remainder(b.gps.course - a.gps.course, 360.0);
        EXPECT_LE(AngleBetween(Bearing(a.at, b.at), a.gps.course + turn / 2), 10)
            << a.sentence << b.sentence;
      }
    }
  }
}

// Each recording of a trip starts when the one before it ended, one second's drive on from its
// last fix; a trip starts at the route's start, beside City Hall.
TEST_P(DriveTest, RecordingsOfATripRunOnFromEachOther) {
  const auto trips = Trips(recordings(), kSeconds);
  ASSERT_EQ(trips.size(), 2u);
  for (const auto& trip : trips) {
    const Fix& first = trip.front()->fixes.front();
    EXPECT_LE(Distance(first.at,
                       Local(tools::kCityCircuit[0].latitude, tools::kCityCircuit[0].longitude)),
              30)
        << first.sentence;
    for (std::size_t k = 1; k < trip.size(); ++k) {
      const Fix& last = trip[k - 1]->fixes.back();
      const Fix& next = trip[k]->fixes.front();
      EXPECT_EQ(next.clock, last.clock + 1) << trip[k]->name;
      EXPECT_LT(Distance(last.at, next.at), 30) << last.sentence << next.sentence;
      EXPECT_LE(std::fabs(next.gps.GetSpeed() - last.gps.GetSpeed()), 3.2 * 3.6 + 0.4)
          << last.sentence << next.sentence;
      EXPECT_NEAR(Distance(last.at, next.at), (last.gps.GetSpeed() + next.gps.GetSpeed()) / 2 / 3.6,
                  2)
          << last.sentence << next.sentence;
    }
  }
  // The two days' trips are driven differently.
  std::vector<double> a, b;
  for (const Recording* r : trips[0]) {
    for (const Fix& f : r->fixes) a.push_back(f.gps.GetSpeed());
  }
  for (const Recording* r : trips[1]) {
    for (const Fix& f : r->fixes) b.push_back(f.gps.GetSpeed());
  }
  EXPECT_NE(a, b);
}

// The G-sensor's second axis (along the car) swings one way while the car brakes and the other
// while it pulls away, as far as the fixes' change of speed says; standing, it rests at 128.
TEST_P(DriveTest, GsensorFeelsBrakingAndPullingAway) {
  double braking = 0, pulling = 0;
  int brakingSamples = 0, pullingSamples = 0, standingSamples = 0;
  for (const Recording& r : recordings()) {
    ASSERT_EQ(r.gsensor.size(), std::size_t(kSeconds * 10)) << r.name;
    for (std::size_t n = 0; n + 1 < r.fixes.size(); ++n) {
      const double change = r.fixes[n + 1].gps.GetSpeed() - r.fixes[n].gps.GetSpeed();
      const bool standing = r.fixes[n].gps.GetSpeed() < 0.5 && r.fixes[n + 1].gps.GetSpeed() < 0.5;
      // The samples well inside the second: each feels the speed 100 ms either side of it.
      for (std::size_t k = 10 * n + 2; k <= 10 * n + 8; ++k) {
        const auto& s = r.gsensor[k];
        if (change <= -5) {
          braking += s[1];
          brakingSamples++;
        } else if (change >= 5) {
          pulling += s[1];
          pullingSamples++;
        } else if (standing) {
          EXPECT_NEAR(s[0], 128, 3) << r.name << " sample " << k;
          EXPECT_NEAR(s[1], 128, 3) << r.name << " sample " << k;
          standingSamples++;
        }
      }
    }
  }
  ASSERT_GT(brakingSamples, 50);
  ASSERT_GT(pullingSamples, 50);
  ASSERT_GT(standingSamples, 50);
  // 5 km/h a second is 1.4 m/s²: 5.7 counts of 40 a g.
  EXPECT_GT(braking / brakingSamples, 133);
  EXPECT_LT(pulling / pullingSamples, 123);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DriveTest, ::testing::Values(1, 7, 23),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Seed" + std::to_string(info.param);
                         });

// The route is made from each recording's plan alone: written one at a time or four at once, the
// fixes are the same to the character; another seed drives otherwise.
TEST(Drive, IsTheSameOnAnyNumberOfThreadsAndDiffersBySeed) {
  TempDir dir("trip-jobs");
  const std::string options = "--seconds 30 --count 8 --kinds REC " + std::string(kSmallPictures);
  ASSERT_TRUE(MakeCard(dir.path() / "one", options + " --jobs 1 --seed 5"));
  ASSERT_TRUE(MakeCard(dir.path() / "four", options + " --jobs 4 --seed 5"));
  ASSERT_TRUE(MakeCard(dir.path() / "other", options + " --jobs 4 --seed 6"));
  const std::vector<Recording> one = ReadCard(dir.path() / "one");
  const std::vector<Recording> four = ReadCard(dir.path() / "four");
  const std::vector<Recording> other = ReadCard(dir.path() / "other");
  ASSERT_EQ(one.size(), 8u);
  ASSERT_EQ(four.size(), one.size());
  ASSERT_EQ(other.size(), one.size());
  int differing = 0;
  for (std::size_t i = 0; i < one.size(); ++i) {
    EXPECT_EQ(four[i].name, one[i].name);
    ASSERT_EQ(four[i].fixes.size(), one[i].fixes.size());
    ASSERT_EQ(other[i].fixes.size(), one[i].fixes.size());
    for (std::size_t f = 0; f < one[i].fixes.size(); ++f) {
      EXPECT_EQ(four[i].fixes[f].sentence, one[i].fixes[f].sentence) << one[i].name;
      differing += other[i].fixes[f].sentence != one[i].fixes[f].sentence;
    }
  }
  EXPECT_GT(differing, 100);
}

// A trip of a driving and an event recording, then the parking one: the event keeps its jolt in
// the middle (samples 100 to 103 of 20 s), and the parked car stands still, one second's drive on
// from the trip's last fix, its G-sensor at rest.
TEST(Drive, EventJoltsInTheMiddleAndTheParkedCarStandsWhereTheTripEnded) {
  TempDir dir("trip-park");
  ASSERT_TRUE(MakeCard(dir.path(), "--seconds 20 --count 1 --kinds REC,EVENT,PARKING " +
                                       std::string(kSmallPictures)));
  const std::vector<Recording> all = ReadCard(dir.path());
  ASSERT_EQ(all.size(), 3u);
  const Recording& drive = all[0];
  const Recording& event = all[1];
  const Recording& parked = all[2];
  ASSERT_EQ(drive.name.substr(0, 4), "REC_");
  ASSERT_EQ(event.name.substr(0, 6), "EVENT_");
  ASSERT_EQ(parked.name.substr(0, 8), "PARKING_");
  EXPECT_EQ(event.start, drive.start + 20);
  EXPECT_GT(parked.start, event.start + 20);

  // A collision is over 1.5 g (60 counts) on some axis; braking and turning stay far below it.
  ASSERT_EQ(event.gsensor.size(), 200u);
  for (std::size_t k = 0; k < event.gsensor.size(); ++k) {
    bool hard = false;
    for (int b : event.gsensor[k]) hard = hard || std::abs(b - 128) >= 60;
    EXPECT_EQ(hard, k >= 100 && k < 104) << "sample " << k;
  }
  ASSERT_FALSE(event.fixes.empty());
  EXPECT_LT(Distance(drive.fixes.back().at, event.fixes.front().at), 30);

  ASSERT_EQ(parked.fixes.size(), 20u);
  const Fix& end = event.fixes.back();
  for (const Fix& f : parked.fixes) {
    EXPECT_EQ(f.gps.GetSpeed(), 0) << f.sentence;
    EXPECT_EQ(f.gps.latitude, parked.fixes[0].gps.latitude) << f.sentence;
    EXPECT_EQ(f.gps.longitude, parked.fixes[0].gps.longitude) << f.sentence;
    EXPECT_LE(DistanceFromRoute(f.at), 25) << f.sentence;
  }
  EXPECT_LT(Distance(end.at, parked.fixes[0].at), 30) << end.sentence << parked.fixes[0].sentence;
  for (const auto& s : parked.gsensor) {
    for (int b : s) EXPECT_NEAR(b, 128, 3);
  }
}

}  // namespace
