// SPDX-License-Identifier: GPL-3.0-or-later
// The read-outs beside the pictures in the real window: on cards whose telemetry is damaged a GPS
// fix whose speed field no car could drive shows the unit alone, while the fix still moves the
// map; paused on a picture, the time read-out shows its time and is left alone by the ticks.
#include <gtest/gtest.h>

#include <string>

#include "app/CPicturePane.h"
#include "app/tests/AppTestSupport.h"

namespace {

using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;

class ImpossibleSpeedTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ImpossibleSpeedTest, ShowsTheUnitAlone) {
  TempDir card("readout-card");
  TempDir config("readout-config");
  ASSERT_TRUE(apptest::MakeCard(card.str(),
                                "--seconds 3 --count 1 --kinds REC --rear no "
                                "--no-damaged --bitrate 2000 --gps-speed " +
                                    std::string(GetParam())));
  Window win(card.str(), config.str() + "/config.cfg");
  CSamplePlayerDlg* w = win.get();
  apptest::KeepMapOffline(w);
  w->PollCard();
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  apptest::DoubleClickRow(w, 0);
  // The tick that sees the first valid fix shows the small map, then the speed.
  ASSERT_TRUE(PumpUntil([&] { return w->Panes().map == kPaneSmall; })) << "no fix was shown";
  apptest::Pump(250);
  EXPECT_EQ(w->SpeedText(), "Km/h");
  EXPECT_GT(w->Telemetry().GpsCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(DamagedSpeedFields, ImpossibleSpeedTest,
                         ::testing::Values("1e300", "1e39", "-1", "300"));

// Paused on a picture, each tick finds the time read-out showing that picture's time to the tenth
// of a second and writes nothing (it once wrote the whole second, then the tenth, every tick).
TEST(TimeReadout, PausedOnAPictureTheTicksLeaveItAlone) {
  TempDir card("readout-time-card");
  TempDir config("readout-time-config");
  ASSERT_TRUE(apptest::MakeCard(card.str(),
                                "--seconds 4 --count 1 --kinds REC --rear no "
                                "--no-damaged --no-fix --bitrate 2000"));
  Window win(card.str(), config.str() + "/config.cfg");
  CSamplePlayerDlg* w = win.get();
  w->PollCard();
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  apptest::DoubleClickRow(w, 0);
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 10; }));
  w->Moment().StepPicture(0);
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentTimeText().Contains("."); }))
      << w->CurrentTimeText();
  const wxString shown = w->CurrentTimeText();
  const int writes = w->TimeLabelWrites();
  for (int i = 0; i < 5; ++i) w->OnPositionTick();
  EXPECT_EQ(w->TimeLabelWrites(), writes);
  EXPECT_EQ(w->CurrentTimeText(), shown);
}

}  // namespace
