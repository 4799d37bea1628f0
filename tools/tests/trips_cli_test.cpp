// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-convert --trips on cards roadeye-mkcard writes: a continuous card's drive is one trip of
// its recordings in --list's order, with its clock, length, distance and events; the demo card's
// two days are two trips; a card without fixes drives no distance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/tests/ToolsTestSupport.h"

namespace tools_test {
namespace {

inline std::string Convert() { return BinDir() + "/roadeye-convert"; }

// The clock `seconds` after the listed "YYYY-MM-DDTHH:MM:SS" (within one day).
std::string Later(const std::string& clock, double seconds) {
  const int at = std::stoi(clock.substr(11, 2)) * 3600 + std::stoi(clock.substr(14, 2)) * 60 +
                 std::stoi(clock.substr(17, 2)) + int(std::lround(seconds));
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", at / 3600, at / 60 % 60, at % 60);
  return clock.substr(0, 11) + text;
}

class TripsCliTest : public ToolsTest, public ::testing::WithParamInterface<const char*> {};

}  // namespace

TEST_P(TripsCliTest, AContinuousCardsDriveIsOneTripOfItsRecordings) {
  NeedFfmpeg();
  MakeCard(card(), std::string("--family ") + GetParam() +
                       " --continuous --count 2 --seconds 3 --front 320x180 --rear-size 160x90"
                       " --no-damaged --bitrate 2000");
  std::vector<std::string> driven;
  double seconds = 0;
  int events = 0;
  std::string first, last;
  double lastSeconds = 0;
  for (const nlohmann::json& r : ConvertJsonLines("--list", card())) {
    if (r.value("kind", "") == "parking") continue;
    driven.push_back(r.value("name", ""));
    seconds += r.value("seconds", 0.0);
    events += r.value("kind", "") == "event" ? 1 : 0;
    if (first.empty()) first = r.value("start", "");
    last = r.value("start", "");
    lastSeconds = r.value("seconds", 0.0);
  }
  ASSERT_GE(driven.size(), 4u) << "two of each kind that is driven";
  const std::vector<nlohmann::json> trips = ConvertJsonLines("--trips", card());
  ASSERT_EQ(trips.size(), 1u);
  const nlohmann::json& t = trips[0];
  EXPECT_EQ(t["recordings"].get<std::vector<std::string>>(), driven);
  EXPECT_EQ(t.value("start", ""), first);
  EXPECT_EQ(t.value("end", ""), Later(last, lastSeconds));
  EXPECT_NEAR(t.value("seconds", 0.0), seconds, 0.01);
  EXPECT_EQ(t.value("events", -1), events);
  // The drive goes through a city: between walking and motorway speed on average.
  const double kmh = t.value("distance_m", 0.0) / seconds * 3.6;
  EXPECT_GT(kmh, 5);
  EXPECT_LT(kmh, 130);
}

INSTANTIATE_TEST_SUITE_P(Families, TripsCliTest, ::testing::Values("vex", "novatek"));

TEST_F(ToolsTest, TheDemoCardsTwoDaysAreTwoTripsAndNoFixDrivesNoDistance) {
  MakeCard(card(),
           "--count 2 --seconds 3 --front 320x180 --rear-size 160x90 --no-fix --bitrate 2000");
  const std::vector<nlohmann::json> trips = ConvertJsonLines("--trips", card());
  ASSERT_EQ(trips.size(), 2u);
  EXPECT_LT(trips[0].value("start", ""), trips[1].value("start", ""));
  for (const nlohmann::json& t : trips) EXPECT_EQ(t.value("distance_m", -1.0), 0.0) << t.dump();
  const Outcome people = RunCommand(Quote(Convert()) + " --trips " + Quote(card().string()));
  EXPECT_EQ(Lines(people.out).size(), 2u) << people.out;
  EXPECT_EQ(RunCommand(Quote(Convert()) + " --trips --list " + Quote(card().string())).exitCode, 2);
}

}  // namespace tools_test
