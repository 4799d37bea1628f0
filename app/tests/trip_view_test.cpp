// SPDX-License-Identifier: GPL-3.0-or-later
// The list's trip view on a card whose recordings follow each other: a row for the trip with its
// day, times, length, distance and counts; a trip played as one timeline whose time read-out is
// the camera's clock of the day, into its later recordings; and back to the recordings.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "AppTestSupport.h"
#include "app/AppIds.h"
#include "support/SnapshotExif.h"

namespace fs = std::filesystem;

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

  // A picture of it is the third recording's, on its clock, as a snapshot says.
  w->Engine().Pause();
  ASSERT_TRUE(w->Engine().ShowPicture(7 * 30 + 15));  // 7.5 s: 1.5 s into the third
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
  const SnapshotEvidence evidence = w->Capture().SnapshotEvidenceNow();
  EXPECT_EQ(evidence.description, "REC_20240612_081506_D.avi");
  EXPECT_EQ(evidence.minute * 60 + evidence.second, 15 * 60 + 7);

  // A clip within it is that recording's span.
  TempDir out("trip-clip");
  w->SetFolderDialogRunner([&](const wxString&, const wxString&, wxString* folder) {
    *folder = wxString::FromUTF8(out.str());
    return true;
  });
  bool ended = false;
  w->Moment().SetClipObserver([&](bool, const std::string&) { ended = true; });
  ASSERT_TRUE(w->HandleKey('I', false));
  ASSERT_TRUE(w->Engine().ShowPicture(8 * 30 + 15));
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
  ASSERT_TRUE(w->HandleKey('O', false));
  ASSERT_TRUE(PumpUntil([&] { return ended; }));
  EXPECT_TRUE(fs::exists(out.str() + "/REC_20240612_081506_D_0001-0003.avi"))
      << (w.messages.texts.empty() ? wxString() : w.messages.texts.back());
  // One across the join at 6 s: the second recording's last block and the third's first two,
  // one file named on the timeline from the second recording's start.
  ended = false;
  ASSERT_TRUE(w->Engine().ShowPicture(5 * 30 + 10));
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
  ASSERT_TRUE(w->HandleKey('I', false));
  ASSERT_TRUE(w->Engine().ShowPicture(7 * 30 + 10));
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
  ASSERT_TRUE(w->HandleKey('O', false));
  ASSERT_TRUE(PumpUntil([&] { return ended; }));
  const std::string joined = out.str() + "/REC_20240612_081503_D_0002-0005";
  EXPECT_TRUE(fs::exists(joined + ".avi"))
      << (w.messages.texts.empty() ? wxString() : w.messages.texts.back());
  EXPECT_NE(apptest::ReadFile(joined + ".txt").find("Then:          REC_20240612_081506_D.avi"),
            std::string::npos);
  EXPECT_TRUE(w.messages.texts.back().Contains("from 00:00:05.0 to 00:00:08.0"))
      << w.messages.texts.back();

  // Back to the recordings, as they were.
  ClickCheckBox(w.get(), kIdTrips, false);
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 3);
  EXPECT_EQ(Cell(w.get(), 0, 0), "REC");
  EXPECT_EQ(Cell(w.get(), 0, 1), "REC_20240612_081500_D.avi");
}
