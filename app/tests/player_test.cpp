// SPDX-License-Identifier: GPL-3.0-or-later
// The player window playing real recordings: pictures in the panes, one recording after another,
// previous and next, seeking by slider and keys, the read-outs of the playback tick, the speed
// unit, volume, mute and brightness, and the keyboard while a download runs.
#include <gtest/gtest.h>
#include <wx/listctrl.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "AppTestSupport.h"
#include "WindowScreen.h"
#include "app/AppIds.h"
#include "app/CPicturePane.h"
#include "app/Layout.h"
#include "skin/CBitmapSlider.h"
#include "skin/SkinEvents.h"
#include "telemetry/gui/CGraphStatic.h"

using apptest::Cell;
using apptest::Click;
using apptest::ClickCheckBox;
using apptest::DoubleClickRow;
using apptest::KeepMapOffline;
using apptest::MapButtonShown;
using apptest::MeanDifference;
using apptest::MeanLevel;
using apptest::PauseShown;
using apptest::PictureShown;
using apptest::PlayShown;
using apptest::Pump;
using apptest::PumpUntil;
using apptest::ReleaseSliderAt;
using apptest::TempDir;
using apptest::Window;
namespace fs = std::filesystem;

namespace {

int PositionMs(CSamplePlayerDlg* w) { return w->Engine().GetPositionMs(); }

// Waits until the engine's position lies in [from, to).
bool PositionBecomes(CSamplePlayerDlg* w, int from, int to) {
  return PumpUntil([&] { return PositionMs(w) >= from && PositionMs(w) < to; }, 10000);
}

// Paused: waits until the engine has shown the picture at a position in [from, to) and is idle
// again, as the user sees the picture appear before the next step.
bool PausedAt(CSamplePlayerDlg* w, int from, int to) {
  return PumpUntil(
      [&] {
        return PositionMs(w) >= from && PositionMs(w) < to &&
               w->Engine().GetRunState() == CNOVMediaPlayer::kIdle;
      },
      10000);
}

// How many G-sensor samples the graph draws: its X line (blue) starts at the plot's left edge
// with one sample every 13 pixels.
int GraphSamples(CSamplePlayerDlg* w) {
  auto* graph = dynamic_cast<CGraphStatic*>(w->FindControl(kIdGraph));
  const wxImage picture = graph->Picture().ConvertToImage();
  int right = -1;
  for (int x = 0; x < picture.GetWidth(); ++x) {
    for (int y = 0; y < picture.GetHeight(); ++y) {
      if (picture.GetRed(x, y) == 0 && picture.GetGreen(x, y) == 0 &&
          picture.GetBlue(x, y) == 255) {
        right = x;
        break;
      }
    }
  }
  if (right < 0) return 0;
  return (right - graph->PlotRect().GetLeft() + 6) / 13 + 1;
}

// Seconds shown by a "hh:mm:ss" read-out.
int Seconds(const wxString& clock) {
  long h = 0, m = 0, s = 0;
  if (std::sscanf(clock.utf8_str(), "%ld:%ld:%ld", &h, &m, &s) != 3) return -1;
  return static_cast<int>(h * 3600 + m * 60 + s);
}

// Waits, without handling the window's events, until the engine has played the open recording to
// its end: the end notification is then on its way to the window but not yet handled.
bool WaitForEndUnhandled(CSamplePlayerDlg* w) {
  for (int i = 0; i < 3000; ++i) {
    if (w->Engine().GetShowStatus() == CNOVMediaPlayer::kShowStopped &&
        w->Engine().GetRunState() == CNOVMediaPlayer::kIdle) {
      wxMilliSleep(50);  // the notification follows the state
      return true;
    }
    wxMilliSleep(5);
  }
  return false;
}

}  // namespace

// One card for every test: three driving recordings of six seconds (two-camera, one-camera,
// two-camera) and one twelve-second two-camera event recording for the ten-second steps.
class PlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    card_ = new TempDir("player-card");
    made_ = apptest::MakeCard(
        card_->str(), "--seconds 6 --count 3 --kinds REC --rear mixed --no-damaged --bitrate 2000");
    TempDir longer("player-long");
    made_ = made_ && apptest::MakeCard(longer.str(),
                                       "--seconds 12 --count 1 --kinds EVENT --rear yes "
                                       "--no-damaged --bitrate 2000 --start 20240614_090000");
    if (!made_) return;
    for (const auto& e : fs::directory_iterator(longer.str() + "/VEX")) {
      fs::copy_file(e.path(), card_->str() + "/VEX/" + e.path().filename().string());
    }
  }
  static void TearDownTestSuite() {
    delete card_;
    card_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(made_) << "roadeye-mkcard failed"; }

  // A window on the card with its driving recordings listed.
  std::unique_ptr<Window> Open(const std::string& card = std::string()) {
    auto w = std::make_unique<Window>(card.empty() ? card_->str() : card, Config());
    KeepMapOffline(w->get());
    (*w)->PollCard();
    return w;
  }
  std::string Config() const { return config_.str() + "/config.cfg"; }

  static inline TempDir* card_ = nullptr;
  static inline bool made_ = false;
  TempDir config_{"config"};
};

TEST_F(PlayerTest, RecordingsPlayInTurnWithPicturesInTheirPanes) {
  // A card like the suite's but without GPS fixes: no map comes to cover the rear picture.
  TempDir noFix("player-nofix");
  ASSERT_TRUE(apptest::MakeCard(
      noFix.str(),
      "--seconds 6 --count 3 --kinds REC --rear mixed --no-damaged --bitrate 2000 --no-fix"));
  auto win = Open(noFix.str());
  CSamplePlayerDlg* w = win->get();
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 3);
  EXPECT_EQ(Cell(w, 0, 3), "0");
  EXPECT_EQ(Cell(w, 1, 3), "");
  EXPECT_EQ(Cell(w, 2, 3), "0");

  // Row 0: two cameras, the front large and the rear small.
  w->PlayNext();
  EXPECT_EQ(w->CurrentRow(), 0);
  EXPECT_TRUE(PauseShown(w));
  // The length is known once the engine has opened the recording, a moment later.
  EXPECT_TRUE(PumpUntil([&] { return w->TotalTimeText() == "00:00:06"; }));
  EXPECT_EQ(w->SeekSlider()->GetRangeMax(), 6);
  EXPECT_EQ(w->Engine().GetChannelCount(), 2);
  ASSERT_TRUE(PumpUntil(
      [&] { return w->FrontPane()->PresentedCount() > 0 && w->RearPane()->PresentedCount() > 0; }));
  EXPECT_TRUE(PictureShown(w, w->FrontPane(), kLargePlace, "front-large"));
  EXPECT_TRUE(PictureShown(w, w->RearPane(), kSmallPlace, "rear-small"));
  const wxImage first = w->FrontPane()->LastPicture();
  ASSERT_TRUE(first.IsOk());
  EXPECT_EQ(first.GetSize(), wxSize(640, 360));
  EXPECT_GT(MeanLevel(first), 20);  // a scene, not black
  const wxImage rear = w->RearPane()->LastPicture();
  EXPECT_EQ(rear.GetSize(), wxSize(320, 180));
  EXPECT_GT(MeanLevel(rear), 20);
  // The scene moves.
  EXPECT_TRUE(PumpUntil([&] { return MeanDifference(w->FrontPane()->LastPicture(), first) > 1; }));

  // To the end of row 0: row 1, one camera, follows by itself.
  ReleaseSliderAt(w, kIdSeekSlider, 5);
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentRow() == 1; }));
  EXPECT_EQ(w->Engine().GetChannelCount(), 1);
  EXPECT_TRUE(PauseShown(w));
  const int frontBefore = w->FrontPane()->PresentedCount();
  const int rearBefore = w->RearPane()->PresentedCount();
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > frontBefore + 10; }));
  // The small place shows the skin again, not the rear camera's last picture.
  EXPECT_TRUE(apptest::Eventually([&] { return apptest::ShowsSkin(w, kSmallPlace, "no-rear"); }));
  EXPECT_EQ(w->RearPane()->PresentedCount(), rearBefore);
  EXPECT_EQ(w->Panes().rear, kPaneHidden);

  // Row 2, then the end of the list stops playback.
  ReleaseSliderAt(w, kIdSeekSlider, 5);
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentRow() == 2; }));
  EXPECT_EQ(w->Engine().GetChannelCount(), 2);
  ASSERT_TRUE(PumpUntil([&] { return w->RearPane()->PresentedCount() > rearBefore; }));
  ReleaseSliderAt(w, kIdSeekSlider, 5);
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentRow() == -1; }));
  EXPECT_TRUE(PlayShown(w));
  EXPECT_EQ(w->CurrentTimeText(), "00:00:00");
  EXPECT_EQ(w->TotalTimeText(), "00:00:00");
  EXPECT_EQ(w->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);
}

TEST_F(PlayerTest, PreviousAndNextMoveThroughTheListAndStopAtItsEnds) {
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 3);

  // Page Up is next, Page Down previous.
  EXPECT_TRUE(w->HandleKey(WXK_PAGEUP, false));
  EXPECT_TRUE(w->HandleKey(WXK_PAGEUP, false));
  EXPECT_EQ(w->CurrentRow(), 1);
  EXPECT_EQ(w->RecordingList()->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED), 1);
  EXPECT_EQ(w->Engine().GetChannelCount(), 1);
  Click(w, kIdPre);
  EXPECT_EQ(w->CurrentRow(), 0);
  EXPECT_EQ(w->RecordingList()->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED), 0);
  EXPECT_EQ(w->Engine().GetChannelCount(), 2);
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));
  EXPECT_TRUE(PauseShown(w));

  // Previous on the first row stops.
  EXPECT_TRUE(w->HandleKey(WXK_PAGEDOWN, false));
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w));
  EXPECT_EQ(w->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  EXPECT_EQ(w->CurrentTimeText(), "00:00:00");

  // Next on the last row stops.
  w->PlayNext();
  w->PlayNext();
  w->PlayNext();
  EXPECT_EQ(w->CurrentRow(), 2);
  Click(w, kIdNext);
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w));
}

TEST_F(PlayerTest, DoubleClickPlaysARowAndPlayOnTheLastRowGoesOnWithTheFirst) {
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  wxListCtrl* list = w->RecordingList();
  ASSERT_EQ(list->GetItemCount(), 3);

  DoubleClickRow(w, 1);
  EXPECT_EQ(w->CurrentRow(), 1);
  EXPECT_TRUE(PauseShown(w));
  EXPECT_EQ(list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED), 1);
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));

  Click(w, kIdStop);
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w));

  // PLAY with the last row selected plays it; the first row follows it.
  list->SetItemState(2, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  Click(w, kIdPlay);
  EXPECT_TRUE(PauseShown(w));
  EXPECT_EQ(w->Engine().GetChannelCount(), 2);
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentTimeText() != "00:00:00"; }));
  ReleaseSliderAt(w, kIdSeekSlider, 5);
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentRow() == 0; }));
  EXPECT_TRUE(PauseShown(w));
}

TEST_F(PlayerTest, SpaceStartsPausesAndResumes) {
  {
    // Nothing to play: Space does nothing visible.
    TempDir empty("empty");
    Window w(empty.str(), Config());
    EXPECT_TRUE(w->HandleKey(WXK_SPACE, false));
    EXPECT_TRUE(PlayShown(w.get()));
    EXPECT_EQ(w->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  }
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  EXPECT_TRUE(w->HandleKey(WXK_SPACE, false));
  EXPECT_EQ(w->CurrentRow(), 0);
  EXPECT_TRUE(PauseShown(w));
  ASSERT_TRUE(PumpUntil([&] { return PositionMs(w) >= 1000; }));

  EXPECT_TRUE(w->HandleKey(WXK_SPACE, false));
  EXPECT_TRUE(PlayShown(w));
  EXPECT_EQ(w->Engine().GetRunState(), CNOVMediaPlayer::kIdle);
  Pump(200);
  const int paused = PositionMs(w);
  Pump(400);
  EXPECT_EQ(PositionMs(w), paused);

  EXPECT_TRUE(w->HandleKey(WXK_SPACE, false));
  EXPECT_TRUE(PauseShown(w));
  EXPECT_EQ(w->CurrentRow(), 0);  // the same recording goes on
  EXPECT_TRUE(PumpUntil([&] { return PositionMs(w) > paused; }));
}

TEST_F(PlayerTest, TheSeekSliderAndTheArrowKeysMoveThePosition) {
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  Click(w, kIdFilterEvent);
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  w->PlayNext();
  EXPECT_TRUE(PumpUntil([&] { return w->TotalTimeText() == "00:00:12"; }));
  ASSERT_EQ(w->SeekSlider()->GetRangeMax(), 12);
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));

  // While playing, the slider's release moves playback there, even when a tick is handled
  // between the release and its message (the tick puts the thumb back to the playing position).
  ASSERT_LT(PositionMs(w), 4000);
  w->SeekSlider()->SetPos(8);
  auto* release = new wxCommandEvent(EVT_SLIDER_CHANGE_MSG, kIdSeekSlider);
  release->SetInt(8);
  wxQueueEvent(w->GetEventHandler(), release);
  w->OnPositionTick();
  EXPECT_LT(w->SeekSlider()->GetPos(), 4);
  EXPECT_TRUE(PositionBecomes(w, 8000, 12000));

  // Paused, each step shows the picture it reaches.
  w->OnPauseCommand();
  ReleaseSliderAt(w, kIdSeekSlider, 1);
  ASSERT_TRUE(PausedAt(w, 1000, 2000));
  const int shown = w->FrontPane()->PresentedCount();
  EXPECT_TRUE(w->HandleKey(WXK_RIGHT, false));
  EXPECT_TRUE(PausedAt(w, 11000, 12000));
  EXPECT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > shown; }));
  // Paused, the read-out gives the picture's own time in tenths.
  EXPECT_TRUE(PumpUntil([&] { return w->CurrentTimeText() == "00:00:11.0"; }));
  EXPECT_EQ(w->SeekSlider()->GetPos(), 11);

  // Ten seconds on would pass the end: nothing.
  const int nearEnd = PositionMs(w);
  EXPECT_TRUE(w->HandleKey(WXK_RIGHT, false));
  Pump(300);
  EXPECT_EQ(PositionMs(w), nearEnd);

  EXPECT_TRUE(w->HandleKey(WXK_LEFT, false));
  EXPECT_TRUE(PausedAt(w, 1000, 2000));

  // At 10 000 ms or less ten seconds back does nothing.
  ReleaseSliderAt(w, kIdSeekSlider, 9);
  ASSERT_TRUE(PausedAt(w, 9000, 10001));
  const int atNine = PositionMs(w);
  EXPECT_TRUE(w->HandleKey(WXK_LEFT, false));
  Pump(300);
  EXPECT_EQ(PositionMs(w), atNine);
  // Just past it, back lands at the start.
  ReleaseSliderAt(w, kIdSeekSlider, 10);
  ASSERT_TRUE(PausedAt(w, 10001, 11000));
  w->SecondsBack();
  EXPECT_TRUE(PausedAt(w, 0, 1000));
  // The buttons do the same as the keys.
  Click(w, kIdSecondsForward);
  EXPECT_TRUE(PausedAt(w, 10000, 11000));
  Click(w, kIdSecondsBack);
  EXPECT_TRUE(PausedAt(w, 0, 1000));
}

TEST_F(PlayerTest, TheTickShowsTimesSpeedMapAndGraph) {
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  auto* graph = dynamic_cast<CGraphStatic*>(w->FindControl(kIdGraph));
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(w->SpeedText(), "Km/h");  // the card's unit, no speed yet
  EXPECT_TRUE(MapButtonShown(w, false));

  w->PlayNext();
  EXPECT_EQ(w->SpeedText(), "Km/h");
  EXPECT_EQ(w->Panes().map, kPaneHidden);

  // The first fix: a speed, and the map shown small where the rear picture was.
  const std::regex kmh("[0-9]+Km/h");
  ASSERT_TRUE(PumpUntil([&] { return std::regex_match(w->SpeedText().ToStdString(), kmh); }))
      << w->SpeedText();
  EXPECT_TRUE(MapButtonShown(w, true));
  EXPECT_EQ(w->Panes().map, kPaneSmall);
  EXPECT_TRUE(apptest::Eventually([&] { return apptest::ShowsMap(w, kSmallPlace, "map-small"); }));

  // The times run; the graph shows a sample per whole second played, never more.
  EXPECT_EQ(w->TotalTimeText(), "00:00:06");
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentTimeText() == "00:00:03"; }));
  EXPECT_EQ(w->SeekSlider()->GetPos(), 3);
  ASSERT_TRUE(PumpUntil([&] { return GraphSamples(w) >= 3; }));
  EXPECT_LE(GraphSamples(w), Seconds(w->CurrentTimeText()));
  EXPECT_GE(w->Telemetry().GSensorCount(), 3);
  EXPECT_LE(w->Telemetry().GSensorCount(), Seconds(w->CurrentTimeText()) + 1);
  for (int i = 0; i < 30; ++i) {
    Pump(20);
    const int seconds = Seconds(w->CurrentTimeText());
    if (seconds > 0) {
      EXPECT_LE(GraphSamples(w), seconds);
    }
  }

  // Stopped: the read-outs and the graph's rest lines.
  Click(w, kIdStop);
  EXPECT_EQ(w->SpeedText(), "Km/h");
  EXPECT_EQ(w->CurrentTimeText(), "00:00:00");
  EXPECT_EQ(GraphSamples(w), 1);
  EXPECT_EQ(w->Telemetry().GpsCount(), 0);
}

TEST_F(PlayerTest, AnMphCardShowsSpeedsInMph) {
  TempDir base("mph");
  const std::string card = base.str() + "/card";
  fs::create_directories(card);
  fs::copy(card_->str(), card, fs::copy_options::recursive);
  {
    std::ifstream in(card + "/SETTING/blackbox.cfg", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    const std::size_t at = text.find("osd_speed=1");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 11, "osd_speed=2");
    in.close();
    std::ofstream(card + "/SETTING/blackbox.cfg", std::ios::binary) << text;
  }
  auto win = Open(card);
  CSamplePlayerDlg* w = win->get();
  EXPECT_EQ(w->SpeedUnitLabel(), "MPH");
  EXPECT_EQ(w->SpeedText(), "MPH");

  w->PlayNext();
  const std::regex mph("([0-9]+)MPH");
  ASSERT_TRUE(PumpUntil([&] { return std::regex_match(w->SpeedText().ToStdString(), mph); }))
      << w->SpeedText();
  // Paused, the next tick shows the last fix in miles: 0.62 of the whole km/h.
  w->OnPauseCommand();
  w->OnPositionTick();
  const int kmh = static_cast<int>(w->Telemetry().LastGps().GetSpeed());
  ASSERT_GE(kmh, 2);  // the card's car is moving: miles and kilometres differ
  std::smatch m;
  const std::string text = w->SpeedText().ToStdString();
  ASSERT_TRUE(std::regex_match(text, m, mph)) << text;
  EXPECT_EQ(std::stoi(m[1]), static_cast<int>(kmh * 0.62f)) << kmh << " km/h";
}

TEST_F(PlayerTest, VolumeMuteAndTheUpDownKeys) {
  TempDir empty("empty");
  Window win(empty.str(), Config());
  CSamplePlayerDlg* w = win.get();
  w->ApplyVolume(99);
  EXPECT_EQ(CWaveBox::Volume(), 64879);
  w->ApplyVolume(50);
  EXPECT_EQ(CWaveBox::Volume(), 32767);

  // The slider's release sets the level.
  ReleaseSliderAt(w, kIdVolumeSlider, 80);
  EXPECT_EQ(CWaveBox::Volume(), 52428);

  // Mute ticked: silent, and the slider does not undo it; unticked: the slider's level.
  ClickCheckBox(w, kIdMute, true);
  EXPECT_EQ(CWaveBox::Volume(), 0);
  ReleaseSliderAt(w, kIdVolumeSlider, 60);
  EXPECT_EQ(CWaveBox::Volume(), 0);
  ClickCheckBox(w, kIdMute, false);
  EXPECT_EQ(CWaveBox::Volume(), 39321);

  // Up and Down move the slider by 5 within 0..99, and the level follows at once.
  CBitmapSlider* volume = w->VolumeSlider();
  EXPECT_TRUE(w->HandleKey(WXK_UP, false));
  EXPECT_EQ(volume->GetPos(), 65);
  EXPECT_EQ(CWaveBox::Volume(), 42597);
  for (int i = 0; i < 10; ++i) w->HandleKey(WXK_UP, false);
  EXPECT_EQ(volume->GetPos(), 99);
  EXPECT_TRUE(w->HandleKey(WXK_DOWN, false));
  EXPECT_EQ(volume->GetPos(), 94);
  for (int i = 0; i < 30; ++i) w->HandleKey(WXK_DOWN, false);
  EXPECT_EQ(volume->GetPos(), 0);
  w->HandleKey(WXK_UP, false);
  // With the pointer over the list the keys scroll the list instead.
  EXPECT_FALSE(w->HandleKey(WXK_UP, true));
  EXPECT_FALSE(w->HandleKey(WXK_DOWN, true));
  EXPECT_EQ(volume->GetPos(), 5);
}

TEST_F(PlayerTest, BrightnessChangesTheShownPictures) {
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  w->PlayNext();
  ASSERT_TRUE(PumpUntil([&] {
    return w->FrontPane()->PresentedCount() > 10 && w->RearPane()->PresentedCount() > 10;
  }));
  w->OnPauseCommand();
  Pump(300);
  const wxImage front = w->FrontPane()->LastPicture();
  const wxImage rear = w->RearPane()->LastPicture();
  const double frontLevel = MeanLevel(front), rearLevel = MeanLevel(rear);

  ReleaseSliderAt(w, kIdBrightnessSlider, 5);
  EXPECT_TRUE(
      PumpUntil([&] { return MeanLevel(w->FrontPane()->LastPicture()) > frontLevel + 10; }));
  EXPECT_TRUE(PumpUntil([&] { return MeanLevel(w->RearPane()->LastPicture()) > rearLevel + 10; }));

  ReleaseSliderAt(w, kIdBrightnessSlider, -5);
  EXPECT_TRUE(
      PumpUntil([&] { return MeanLevel(w->FrontPane()->LastPicture()) < frontLevel - 10; }));
  EXPECT_TRUE(PumpUntil([&] { return MeanLevel(w->RearPane()->LastPicture()) < rearLevel - 10; }));

  ReleaseSliderAt(w, kIdBrightnessSlider, 0);
  EXPECT_TRUE(PumpUntil([&] { return MeanDifference(w->FrontPane()->LastPicture(), front) < 1; }));
}

TEST_F(PlayerTest, KeysDoNothingWhileADownloadRuns) {
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  Click(w, kIdFilterEvent);
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  const int volume = w->VolumeSlider()->GetPos();

  w->Download().SetBusy(true);
  for (int key : {WXK_SPACE, WXK_PAGEUP, WXK_PAGEDOWN, WXK_UP, WXK_DOWN, WXK_F2, WXK_RETURN}) {
    EXPECT_TRUE(w->HandleKey(key, false)) << key;
  }
  Pump(200);
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w));
  EXPECT_EQ(w->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  EXPECT_EQ(w->VolumeSlider()->GetPos(), volume);
  EXPECT_EQ(w->LayoutMode(), kLayoutNormal);
  EXPECT_EQ(Cell(w, 0, 0), "EVT");  // F2 would have listed the driving recordings
  EXPECT_TRUE(win->messages.texts.empty());

  // Playing, paused at 1 s: the arrows do not move it.
  w->Download().SetBusy(false);
  w->PlayNext();
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));
  w->OnPauseCommand();
  ReleaseSliderAt(w, kIdSeekSlider, 1);
  ASSERT_TRUE(PausedAt(w, 1000, 2000));
  const int at = PositionMs(w);
  w->Download().SetBusy(true);
  EXPECT_TRUE(w->HandleKey(WXK_RIGHT, false));
  EXPECT_TRUE(w->HandleKey(WXK_SPACE, false));
  Pump(300);
  EXPECT_EQ(PositionMs(w), at);
  EXPECT_TRUE(PlayShown(w));
  w->Download().SetBusy(false);
  EXPECT_TRUE(w->HandleKey(WXK_RIGHT, false));
  EXPECT_TRUE(PausedAt(w, 11000, 12000));
}

TEST_F(PlayerTest, AnEndReportedJustBeforeStopOrNextIsNotActedOn) {
  auto win = Open();
  CSamplePlayerDlg* w = win->get();
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 3);

  // STOP pressed as the recording ends: playback stays stopped.
  w->PlayNext();
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));
  ReleaseSliderAt(w, kIdSeekSlider, 5);
  ASSERT_TRUE(WaitForEndUnhandled(w));
  w->StopPlayback();
  Pump(500);
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w));
  EXPECT_EQ(w->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);

  // Next pressed as the recording ends: the next row plays, not the one after it.
  w->PlayNext();
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentTimeText() != "00:00:00"; }));
  ReleaseSliderAt(w, kIdSeekSlider, 5);
  ASSERT_TRUE(WaitForEndUnhandled(w));
  w->PlayNext();
  EXPECT_EQ(w->CurrentRow(), 1);
  Pump(500);
  EXPECT_EQ(w->CurrentRow(), 1);
  EXPECT_TRUE(PauseShown(w));
}
