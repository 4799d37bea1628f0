// SPDX-License-Identifier: GPL-3.0-or-later
// The list's trip view on a card whose recordings follow each other: a row for the trip with its
// day, times, length, distance and counts; a trip played as one timeline whose time read-out is
// the camera's clock of the day, into its later recordings; and back to the recordings.
#include <gtest/gtest.h>

#include <string>

#include "AppTestSupport.h"
#include "app/AppIds.h"

using apptest::Cell;
using apptest::ClickCheckBox;
using apptest::DoubleClickRow;
using apptest::KeepMapOffline;
using apptest::PumpUntil;
using apptest::SuiteCard;
using apptest::TempDir;
using apptest::Window;

class TripViewTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Three driving recordings of three seconds, back to back from 08:15:00, and a parking one.
    card_.Make("trips",
               "--continuous --count 3 --seconds 3 --kinds REC,PARKING --rear yes"
               " --no-damaged --bitrate 2000");
  }
  static void TearDownTestSuite() { card_.Remove(); }
  void SetUp() override { ASSERT_TRUE(card_.Made()); }

  static inline SuiteCard card_;
  TempDir config_{"trip-config"};
};

TEST_F(TripViewTest, ATripIsOneRowAndPlaysAsOneTimelineOnTheCamerasClock) {
  Window w(card_.str(), config_.str() + "/config.cfg");
  KeepMapOffline(w.get());
  w->PollCard();
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 3);

  ClickCheckBox(w.get(), kIdTrips, true);
  ASSERT_TRUE(PumpUntil([&] { return w->TripsListed(); }));
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1) << "the parking recording is no trip's";
  EXPECT_EQ(Cell(w.get(), 0, 0), "2024.06.12");
  EXPECT_EQ(Cell(w.get(), 0, 2), "08:15 - 08:15");
  EXPECT_EQ(Cell(w.get(), 0, 3).substr(0, 6), "0:09, ");
  EXPECT_EQ(Cell(w.get(), 0, 4), "3 recordings, 0 events");

  DoubleClickRow(w.get(), 0);
  ASSERT_TRUE(PumpUntil([&] { return w->TotalTimeText() == "00:00:09"; }));
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentTimeText().StartsWith("08:15:0"); }));
  // Into the third recording, which starts at 08:15:06 on the camera's clock.
  w->Engine().SeekToMs(7500);
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentTimeText() == "08:15:08"; }));

  // Back to the recordings, as they were.
  ClickCheckBox(w.get(), kIdTrips, false);
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 3);
  EXPECT_EQ(Cell(w.get(), 0, 0), "REC");
  EXPECT_EQ(Cell(w.get(), 0, 1), "REC_20240612_081500_D.avi");
}
