// SPDX-License-Identifier: GPL-3.0-or-later
// Trips found among a card's recordings: what joins a trip, what starts another, and what each
// trip adds up.
#include "cards/Trips.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using cards::CardRecording;
using cards::Kind;

// A listed recording starting `at` seconds after 08:00:00 on 2024-06-12, `seconds` long.
CardRecording At(int at, double seconds, Kind kind = Kind::kDriving) {
  CardRecording r;
  r.kind = kind;
  r.start = cards::ClockFromSeconds(cards::ClockSeconds({2024, 6, 12, 8, 0, 0}) + at);
  r.startSeconds = cards::ClockSeconds(r.start);
  r.clockSource = cards::ClockSource::kName;
  r.seconds = seconds;
  r.described = true;
  return r;
}

std::vector<std::vector<std::size_t>> Groups(const std::vector<cards::Trip>& trips) {
  std::vector<std::vector<std::size_t>> groups;
  for (const cards::Trip& t : trips) groups.push_back(t.recordings);
  return groups;
}

}  // namespace

TEST(TripsTest, AGapUnderTwoMinutesJoinsAndALongerOneOrParkingStartsAnother) {
  std::vector<CardRecording> list{
      At(0, 60),                    // 0: the drive's first minute
      At(60, 60, Kind::kEvent),     // 1: straight after it
      At(239, 60, Kind::kManual),   // 2: 119 s after the last end: the camera restarted
      At(419, 60),                  // 3: 120 s after: a new trip
      At(480, 60, Kind::kParking),  // 4: the car stood: ends the trip, belongs to none
      At(545, 60),                  // 5: a trip of its own after parking
  };
  CardRecording noClock = At(600, 60);
  noClock.clockSource = cards::ClockSource::kNone;
  list.push_back(noClock);  // 6: belongs to none
  // The list's order does not matter: the clocks do.
  std::swap(list[0], list[3]);
  const std::vector<cards::Trip> trips = cards::FindTrips(list);
  EXPECT_EQ(Groups(trips), (std::vector<std::vector<std::size_t>>{{3, 1, 2}, {0}, {5}}));
  ASSERT_EQ(trips.size(), 3u);
  EXPECT_EQ(cards::ClockText(trips[0].Start()), "2024-06-12T08:00:00");
  EXPECT_EQ(cards::ClockText(trips[0].End()), "2024-06-12T08:04:59");
  EXPECT_DOUBLE_EQ(trips[0].seconds, 180);
  EXPECT_EQ(trips[0].events, 1);
  EXPECT_EQ(trips[1].events, 0);
}

TEST(TripsTest, AnOverlappingEventKeepsTheLaterEndAndOddLengthsCountAsNone) {
  std::vector<CardRecording> list{At(0, 60), At(30, 20, Kind::kEvent), At(60, -5), At(61, 0)};
  list[3].seconds = std::numeric_limits<double>::quiet_NaN();
  list.push_back(At(61 + 119, 10));  // 119 s after the latest end (the recording at 60 + 0)
  list[1].hasEvent = true;           // counted once, as an event recording with its event
  const std::vector<cards::Trip> trips = cards::FindTrips(list);
  ASSERT_EQ(trips.size(), 1u);
  EXPECT_EQ(trips[0].recordings.size(), 5u);
  EXPECT_DOUBLE_EQ(trips[0].endSeconds - double(trips[0].startSeconds), 190);
  EXPECT_DOUBLE_EQ(trips[0].seconds, 90);
  EXPECT_EQ(trips[0].events, 1);
}
