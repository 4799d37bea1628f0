// SPDX-License-Identifier: GPL-3.0-or-later
// A trip's name: its recordings' names come back as given, and names it cannot carry make none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/CContainerParser.h"
#include "media/CTripParser.h"

TEST(TripNameTest, RecordingsComeBackInOrderAndNamesItCannotCarryMakeNone) {
  const std::vector<std::string> names{"/REC_20240612_081500_D.avi",
                                       ContainerRecordingName({"/card/a F.MP4", "/card/a R.MP4"})};
  const std::string trip = TripRecordingName(names);
  EXPECT_TRUE(IsTripRecordingName(trip.c_str()));
  EXPECT_FALSE(IsTripRecordingName(names[0].c_str()));
  EXPECT_FALSE(IsContainerRecordingName(trip.c_str()));
  EXPECT_EQ(TripRecordings(trip.c_str()), names);
  EXPECT_TRUE(TripRecordings(names[1].c_str()).empty());

  EXPECT_EQ(TripRecordingName({}), "");
  EXPECT_EQ(TripRecordingName({"/a.avi", ""}), "");
  EXPECT_EQ(TripRecordingName({"/a\x1e"
                               "b.avi"}),
            "");
  EXPECT_EQ(TripRecordingName(std::vector<std::string>(kMaxTripRecordings + 1, "/a.avi")), "");
  EXPECT_EQ(TripRecordings(
                TripRecordingName(std::vector<std::string>(kMaxTripRecordings, "/a.avi")).c_str())
                .size(),
            std::size_t(kMaxTripRecordings));
}
