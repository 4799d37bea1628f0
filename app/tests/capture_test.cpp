// SPDX-License-Identifier: GPL-3.0-or-later
// Snapshots and the zoom window on real recordings: the names, the files both cameras give at
// their own resolution with the recording's evidence read back by exiftool, what happens to
// playback around the save dialog, failures the user is told of, and the magnifier on the screen.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/filedlg.h>
#include <wx/listctrl.h>
#include <wx/weakref.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "AppTestSupport.h"
#include "app/AppIds.h"
#include "app/CPicturePane.h"
#include "app/CZoomDlg.h"
#include "app/Snapshot.h"
#include "skin/testing/Screen.h"
#include "support/testing/CivilTime.h"
#include "telemetry/CGPSData.h"

using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;
namespace fs = std::filesystem;
namespace st = screentest;

namespace {

using roadeye_test::At;

using apptest::Output;

// One tag as exiftool reads it (numbers as numbers); "" when it is not there.
std::string Tag(const std::string& file, const std::string& tag) {
  std::string v = Output("exiftool -n -s -s -s -" + tag + " '" + file + "'");
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  return v;
}

}  // namespace

TEST(SnapshotNames, DefaultNameAndBaseName) {
  EXPECT_EQ(SnapshotDefaultName(At(2013, 5, 7, 9, 5, 3)), "Capture_201357_953.jpg");
  EXPECT_EQ(SnapshotDefaultName(At(2013, 12, 31, 23, 59, 59)), "Capture_20131231_235959.jpg");
  EXPECT_EQ(SnapshotDefaultName(At(2013, 1, 2, 3, 4, 5)), "Capture_201312_345.jpg");
  EXPECT_EQ(SnapshotBaseName("/home/u/clip", false), "/home/u/clip");
  EXPECT_EQ(SnapshotBaseName("/home/u/a.jpg", true), "/home/u/a");
  EXPECT_EQ(SnapshotBaseName("/home/u/x.jpeg", true), "/home/u/x.");
}

TEST(SnapshotNames, TheRecordingsClockAndTheFixesUtc) {
  SnapshotEvidence e;
  ASSERT_TRUE(RecordingClock("REC_20240612_081500_D.avi", 65400, &e));
  EXPECT_EQ(e.year * 10000 + e.month * 100 + e.day, 20240612);
  EXPECT_EQ(e.hour * 10000 + e.minute * 100 + e.second, 81605);
  ASSERT_TRUE(RecordingClock("event_20241231_235959.avi", 2000, &e));
  EXPECT_EQ(e.year * 10000 + e.month * 100 + e.day, 20250101);
  EXPECT_EQ(e.hour * 10000 + e.minute * 100 + e.second, 1);
  SnapshotEvidence untouched;
  EXPECT_FALSE(RecordingClock("REC_20241399_000000.avi", 0, &untouched));
  EXPECT_FALSE(RecordingClock("REC_20230231_120000.avi", 0, &untouched));  // not 3 March
  EXPECT_FALSE(RecordingClock("REC_19691231_235959.avi", 0, &untouched));
  EXPECT_FALSE(RecordingClock("notes.txt", 0, &untouched));
  EXPECT_EQ(untouched.year, 0);

  // The sentence holds UTC; the record keeps the camera's hour (UTC + 9), which may pass 23:
  // 20:10 UTC on the last of February is the record's hour 29.
  CGPSData fix("G$GPRMC,201000.00,A,3733.9600,N,12658.6800,E,40.0,90.0,290224,,,A*00");
  ASSERT_EQ(fix.valid, 1);
  ASSERT_EQ(fix.hour, 29);
  const SnapshotFix utc = FixOf(fix, 0.62f, true);
  ASSERT_TRUE(utc.valid);
  EXPECT_EQ(utc.year * 10000 + utc.month * 100 + utc.day, 20240229);
  EXPECT_EQ(utc.hour, 20);
  EXPECT_EQ(utc.minute, 10);
  EXPECT_TRUE(utc.mph);
  EXPECT_NEAR(utc.speed, fix.GetSpeed() * 0.62, 1e-3);
  EXPECT_NEAR(utc.latitude, fix.GetLatitude(), 1e-9);
  EXPECT_FALSE(FixOf(CGPSData(), 1.0f, false).valid);
}

// A card of two driving recordings: a 1920x1080 + 1280x720 two-camera one and a one-camera one.
class CaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    card_.Make("capture-card",
               "--seconds 6 --count 2 --kinds REC --rear mixed --no-damaged "
               "--front 1920x1080 --rear-size 1280x720 --bitrate 12000");
  }
  static void TearDownTestSuite() { card_.Remove(); }
  void SetUp() override {
    ASSERT_TRUE(card_.Made()) << "roadeye-mkcard failed";
    OpenWindow(card_.str());
    ASSERT_EQ(W()->RecordingList()->GetItemCount(), 2);
  }
  // A window over the card, its save dialog answered by the test.
  void OpenWindow(const std::string& card) {
    window_.reset();
    window_ = std::make_unique<Window>(card, config_.str() + "/config.cfg");
    apptest::KeepMapOffline(W());
    W()->PollCard();
    W()->Capture().SetSaveDialogRunner([this](const wxString& defaultName, wxString* path) {
      ++dialogs_;
      defaultName_ = defaultName.ToStdString();
      playingDuringDialog_ = W()->Engine().GetRunState() == CNOVMediaPlayer::kPlaying;
      if (realDialog_) return W()->RunSaveDialog(defaultName, path);
      if (answer_.empty()) return false;
      *path = wxString::FromUTF8(answer_);
      return true;
    });
    W()->Capture().SetClock([] { return At(2024, 7, 1, 9, 5, 3); });
  }
  CSamplePlayerDlg* W() { return window_->get(); }
  // Plays a row until pictures are on screen and a fix has come.
  void Play(int row) {
    W()->PlayRow(row);
    ASSERT_TRUE(PumpUntil([&] { return W()->FrontPane()->PresentedCount() > 20; }));
    ASSERT_TRUE(PumpUntil([&] { return W()->Telemetry().GpsCount() > 0; }));
  }
  std::string Out(const std::string& name) const { return out_.str() + "/" + name; }

  static inline apptest::SuiteCard card_;
  TempDir config_{"capture-config"}, out_{"capture-out"};
  std::unique_ptr<Window> window_;
  std::string answer_;
  int dialogs_ = 0;
  std::string defaultName_;
  bool playingDuringDialog_ = true;
  bool realDialog_ = false;
};

// Playing a two-camera recording: the pictures on screen at the cameras' own sizes, the front
// one as the decoder makes it, with the recording's time, position and speed in them; playback
// goes on afterwards.
TEST_F(CaptureTest, BothCamerasAtTheirOwnSizeWithTheirEvidence) {
  Play(0);
  answer_ = Out("X.jpg");
  apptest::Click(W(), kIdCapture);
  EXPECT_EQ(dialogs_, 1);
  EXPECT_EQ(defaultName_, "Capture_202471_953.jpg");
  EXPECT_FALSE(playingDuringDialog_) << "held while the dialog is open";
  EXPECT_TRUE(W()->Engine().GetRunState() == CNOVMediaPlayer::kPlaying) << "and goes on after";
  EXPECT_TRUE(window_->messages.texts.empty());

  EXPECT_EQ(Output("identify -format '%w %h %m' '" + Out("X_front.jpg") + "'"), "1920 1080 JPEG");
  EXPECT_EQ(Output("identify -format '%w %h %m' '" + Out("X_rear.jpg") + "'"), "1280 720 JPEG");

  // The front picture is the one on screen: the pane shows it scaled to 640x360.
  wxImage saved(wxString::FromUTF8(Out("X_front.jpg")), wxBITMAP_TYPE_JPEG);
  ASSERT_TRUE(saved.IsOk());
  const wxImage shown = W()->FrontPane()->LastPicture();
  const double error = apptest::MeanDifference(
      saved.Scale(shown.GetWidth(), shown.GetHeight(), wxIMAGE_QUALITY_BILINEAR), shown);
  EXPECT_LT(error, 8) << "the saved picture is the one shown";
  EXPECT_GT(error, 0) << "a JPEG is never exact";

  // Its evidence, read back by exiftool.
  const CGPSData fix = W()->Telemetry().LastGps();
  ASSERT_EQ(fix.valid, 1);
  const std::string front = Out("X_front.jpg");
  EXPECT_TRUE(
      std::regex_match(Tag(front, "DateTimeOriginal"), std::regex("2024:06:12 08:15:0[0-4]")))
      << Tag(front, "DateTimeOriginal");
  EXPECT_NEAR(std::stod(Tag(front, "GPSLatitude")), fix.GetLatitude(), 1e-6);
  EXPECT_NEAR(std::stod(Tag(front, "GPSLongitude")), fix.GetLongitude(), 1e-6);
  EXPECT_EQ(Tag(front, "GPSSpeedRef"), "K");
  EXPECT_NEAR(std::stod(Tag(front, "GPSSpeed")), fix.GetSpeed(), 0.01);
  EXPECT_TRUE(std::regex_match(Tag(front, "Software"), std::regex("Roadeye [0-9.]+")));
  EXPECT_EQ(Tag(front, "Model"), "RE-2CH");
  EXPECT_EQ(Tag(front, "ImageDescription"), W()->RecordingList()->GetItemText(0, 1).ToStdString());
  EXPECT_EQ(Tag(Out("X_rear.jpg"), "GPSLatitudeRef"), Tag(front, "GPSLatitudeRef"));
}

// Held by a single-picture show (paused, then sought), both files are written and playback stays
// held; a one-camera recording gives the front file only; a name with another extension loses
// its last four characters.
TEST_F(CaptureTest, HeldStaysHeldOneCameraGivesTheFrontOnly) {
  Play(0);
  W()->OnPauseCommand();
  W()->Engine().SeekToMs(2000);
  ASSERT_TRUE(PumpUntil([&] {
    return W()->Engine().GetShowStatus() == CNOVMediaPlayer::kShowTwoShown &&
           W()->Engine().GetRunState() == CNOVMediaPlayer::kIdle;
  }));
  answer_ = Out("held.jpeg");
  apptest::Click(W(), kIdCapture);
  EXPECT_TRUE(fs::exists(Out("held._front.jpg")));
  EXPECT_TRUE(fs::exists(Out("held._rear.jpg")));
  apptest::Pump(300);
  EXPECT_EQ(W()->Engine().GetRunState(), CNOVMediaPlayer::kIdle) << "stays held";

  Play(1);
  answer_ = Out("one.jpg");
  apptest::Click(W(), kIdCapture);
  EXPECT_TRUE(fs::exists(Out("one_front.jpg")));
  EXPECT_FALSE(fs::exists(Out("one_rear.jpg")));
}

// Nothing to save: no dialog while stopped or with an empty list, or while a download runs.
TEST_F(CaptureTest, NothingShownNoDialog) {
  apptest::Click(W(), kIdCapture);
  W()->HandleKey(WXK_F4, false);
  EXPECT_EQ(dialogs_, 0);
  Play(0);
  W()->Download().SetBusy(true);
  apptest::Click(W(), kIdCapture);
  EXPECT_EQ(dialogs_, 0);
  W()->Download().SetBusy(false);
  apptest::Click(W(), kIdStop);
  apptest::Click(W(), kIdCapture);
  EXPECT_EQ(dialogs_, 0);
}

// A folder the files cannot be written to: one message names both files and why, and nothing is
// left there.
TEST_F(CaptureTest, AnUnwritableFolderIsReportedAndLeavesNothing) {
  Play(0);
  const std::string locked = Out("locked");
  fs::create_directories(locked);
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  // A folder that went away (a card pulled, a share gone): the files cannot be made there.
  answer_ = locked + "/gone/Y.jpg";
  apptest::Click(W(), kIdCapture);
  ASSERT_EQ(window_->messages.texts.size(), 1u);
  const wxString text = window_->messages.texts[0];
  EXPECT_NE(text.find("Y_front.jpg: " + wxString(std::strerror(ENOENT))), wxString::npos) << text;
  EXPECT_NE(text.find("Y_rear.jpg: "), wxString::npos) << text;
  // A folder the user may not write to (only when the tests do not run as the superuser, to whom
  // every folder is open).
  if (::geteuid() != 0) {
    answer_ = locked + "/Y.jpg";
    apptest::Click(W(), kIdCapture);
    ASSERT_EQ(window_->messages.texts.size(), 2u);
    EXPECT_NE(window_->messages.texts[1].find(std::strerror(EACCES)), wxString::npos);
  }
  ::chmod(locked.c_str(), 0755);
  EXPECT_TRUE(fs::is_empty(locked)) << "no file, whole or half";
}

// Before the first fix there is no position to tell: no GPS tags at all (never 0, 0).
TEST_F(CaptureTest, NoFixNoGpsTags) {
  Play(0);
  W()->OnPauseCommand();
  W()->Telemetry().Clear();  // as before the recording's first fix
  answer_ = Out("nofix.jpg");
  apptest::Click(W(), kIdCapture);
  ASSERT_TRUE(fs::exists(Out("nofix_front.jpg")));
  EXPECT_EQ(Tag(Out("nofix_front.jpg"), "GPSLatitude"), "");
  EXPECT_EQ(Tag(Out("nofix_front.jpg"), "GPSSpeed"), "");
  EXPECT_NE(Tag(Out("nofix_front.jpg"), "DateTimeOriginal"), "");
}

// The recording played after a two-camera one is named as one too, but its rear camera recorded
// nothing: nothing of the recording before shows in its rear pane, the zoom window over that pane
// or its snapshot, which say there is no picture yet. (A card without fixes: no map comes to take
// the rear pane's place.)
TEST_F(CaptureTest, TheNextRecordingShowsNothingOfTheOneBefore) {
  TempDir card("capture-card-no-rear");
  ASSERT_TRUE(apptest::MakeCard(card.str(),
                                "--seconds 6 --count 2 --kinds REC --rear mixed "
                                "--no-damaged --no-fix --bitrate 4000"));
  for (const auto& e : fs::directory_iterator(card.str() + "/VEX")) {
    const std::string stem = e.path().stem().string();
    if (stem.size() > 2 && stem.compare(stem.size() - 2, 2, "_D") != 0) {
      fs::rename(e.path(), e.path().parent_path() / (stem + "_D.vex"));
    }
  }
  OpenWindow(card.str());
  ASSERT_EQ(W()->RecordingList()->GetItemCount(), 2);
  const std::string second = W()->RecordingList()->GetItemText(1, 1).ToStdString();
  W()->PlayRow(0);
  ASSERT_TRUE(PumpUntil([&] { return W()->RearPane()->PresentedCount() > 20; }));
  st::Pump(200);
  const wxRect rear = W()->RearPane()->GetScreenRect();
  ASSERT_GT(st::MeanLevel(st::Grab(rear)), 20) << "the first recording's rear picture";

  const int fronts = W()->FrontPane()->PresentedCount();
  W()->PlayRow(1);
  ASSERT_TRUE(PumpUntil([&] { return W()->FrontPane()->PresentedCount() > fronts + 20; }));
  W()->OnPauseCommand();
  st::Pump(300);
  EXPECT_EQ(W()->RearPane()->GetScreenRect(), rear);
  EXPECT_LT(st::MeanLevel(st::Grab(rear)), 3) << "the rear pane shows the picture before";

  // The zoom window over the rear pane: black, with the words saying why.
  apptest::Click(W(), kIdZoom);
  CZoomDlg* zoom = W()->Capture().ZoomWindow();
  ASSERT_NE(zoom, nullptr);
  // Out of the way of the pane it enlarges.
  zoom->Move(0, 1024 - zoom->GetSize().y);
  st::Pump(200);
  ASSERT_FALSE(zoom->GetScreenRect().Intersects(rear));
  st::MoveMouse(rear.x + rear.width / 2, rear.y + rear.height / 2);
  st::Pump(400);
  const wxImage view = st::Grab(wxRect(zoom->ClientToScreen(wxPoint(0, 0)), zoom->GetClientSize()));
  if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
    view.SaveFile(std::string(dir) + "/zoom-no-picture.png", wxBITMAP_TYPE_PNG);
  }
  int lit = 0;
  for (int y = 0; y < view.GetHeight(); ++y) {
    for (int x = 0; x < view.GetWidth(); ++x) lit += view.GetRed(x, y) > 200;
  }
  EXPECT_LT(st::MeanLevel(view), 10) << "the zoom window shows a picture";
  EXPECT_GT(lit, 30) << "no words in the zoom window";
  zoom->StopAndHide();

  // The snapshot: this recording's front picture; no rear file, and the message says why.
  answer_ = Out("next.jpg");
  apptest::Click(W(), kIdCapture);
  ASSERT_TRUE(fs::exists(Out("next_front.jpg")));
  EXPECT_EQ(Tag(Out("next_front.jpg"), "ImageDescription"), second);
  EXPECT_FALSE(fs::exists(Out("next_rear.jpg")));
  ASSERT_EQ(window_->messages.texts.size(), 1u);
  EXPECT_NE(window_->messages.texts[0].find(wxString::FromUTF8(Out("next_rear.jpg")) +
                                            ": no picture yet"),
            wxString::npos)
      << window_->messages.texts[0];
}

TEST(ZoomSource, CentredOnThePointerAndKeptOnTheScreen) {
  EXPECT_EQ(ZoomSourceRect(0, 0, 419, 301, 2, 1920, 1080), (Place{0, 0, 209, 150}));
  // The far edges win: the rectangle ends at the screen's corner.
  const Place corner = ZoomSourceRect(1919, 1079, 419, 301, 2, 1920, 1080);
  EXPECT_EQ(corner.x + corner.w, 1920);
  EXPECT_EQ(corner.y + corner.h, 1080);
  EXPECT_EQ(ZoomSourceRect(960, 540, 400, 300, 2, 1920, 1080), (Place{860, 465, 200, 150}));
}

// The zoom window on the screen: in its place, grey where it would show itself, replaced by a
// second press, and gone with Escape.
TEST_F(CaptureTest, TheZoomWindowOnTheScreen) {
  ASSERT_TRUE(st::StartWindowManager());
  apptest::Click(W(), kIdZoom);
  CZoomDlg* zoom = W()->Capture().ZoomWindow();
  ASSERT_NE(zoom, nullptr);
  wxWeakRef<CZoomDlg> first = zoom;
  st::Pump(300);
  const wxRect client(zoom->ClientToScreen(wxPoint(0, 0)), zoom->GetClientSize());
  // The pointer in the middle of the zoom window: what it enlarges is itself, shown grey.
  st::MoveMouse(client.x + client.width / 2, client.y + client.height / 2);
  st::Pump(300);
  const wxImage view = st::Grab(client);
  const wxImage middle = st::Crop(
      view, wxRect(client.width / 4, client.height / 4, client.width / 2, client.height / 2));
  wxImage grey(middle.GetWidth(), middle.GetHeight());
  grey.SetRGB(wxRect(grey.GetSize()), 150, 150, 150);
  EXPECT_LT(st::MeanDifference(middle, grey), 2) << "its own area is flat grey";

  // Over the player's skin (its top left corner, no picture there): the skin, enlarged.
  const wxPoint skin = W()->ClientToScreen(wxPoint(60, 20));
  st::MoveMouse(skin.x, skin.y);
  st::Pump(300);
  EXPECT_GT(st::MeanDifference(st::Grab(client), grey), 20) << "the screen under the pointer";

  apptest::Click(W(), kIdZoom);
  EXPECT_TRUE(PumpUntil([&] { return !first; }, 3000)) << "the first window is gone";
  zoom = W()->Capture().ZoomWindow();
  ASSERT_NE(zoom, nullptr);
  EXPECT_TRUE(zoom->Magnifying());

  zoom->Raise();
  zoom->SetFocus();
  st::MoveMouse(client.x + 20, client.y + 20);
  st::Pump(300);
  st::PressKey("Escape");
  st::Pump(200);
  EXPECT_FALSE(zoom->Magnifying());
  const wxImage after = st::Grab(client);
  EXPECT_GT(st::MeanDifference(st::Crop(after, wxRect(client.width / 4, client.height / 4,
                                                      client.width / 2, client.height / 2)),
                               grey),
            2)
      << "hidden: what lay under it shows";
  st::StopWindowManager();
}

namespace {

// Strong light-dark changes between neighbouring pixels along the rows of a part of an image:
// fine print gives many, blurred print few.
int Transitions(const wxImage& image, const wxRect& part) {
  const wxRect r = part.Intersect(wxRect(image.GetSize()));
  int n = 0;
  for (int y = r.y; y < r.GetBottom() + 1; ++y) {
    for (int x = r.x + 1; x < r.GetRight() + 1; ++x) {
      const int a = image.GetRed(x - 1, y) + image.GetGreen(x - 1, y) + image.GetBlue(x - 1, y);
      const int b = image.GetRed(x, y) + image.GetGreen(x, y) + image.GetBlue(x, y);
      n += std::abs(a - b) > 3 * 100;
    }
  }
  return n;
}

}  // namespace

// Over the front pane the zoom window shows the camera's own picture: the number plate of the
// car ahead, whose print the 640x360 pane cannot show, is sharp there, where a plain two-times
// enlargement of the pane shows it blurred.
TEST_F(CaptureTest, TheZoomWindowReadsThePlateInTheCamerasOwnPicture) {
  Play(0);
  W()->OnPauseCommand();
  st::Pump(300);
  apptest::Click(W(), kIdZoom);
  CZoomDlg* zoom = W()->Capture().ZoomWindow();
  ASSERT_NE(zoom, nullptr);
  // The plate in the picture (1920x1080: 66 x 22 pixels) and where the pane shows it.
  const wxRect plate(786, 581, 66, 22);
  CPicturePane* pane = W()->FrontPane();
  const wxSize shown = pane->GetClientSize();
  const wxPoint centre(
      pane->ClientToScreen(wxPoint((plate.x + plate.width / 2) * shown.x / 1920,
                                   (plate.y + plate.height / 2) * shown.y / 1080)));
  st::MoveMouse(centre.x, centre.y);
  st::Pump(400);
  const wxRect client(zoom->ClientToScreen(wxPoint(0, 0)), zoom->GetClientSize());
  const wxImage view = st::Grab(client);
  if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
    view.SaveFile(std::string(dir) + "/zoom-plate.png", wxBITMAP_TYPE_PNG);
  }
  // The zoom window shows the picture's own pixels one to one around the pointer.
  const wxRect inZoom(client.width / 2 - plate.width / 2, client.height / 2 - plate.height / 2,
                      plate.width, plate.height);
  // A plain two-times enlargement of what the pane shows around the same point.
  const wxRect around(centre.x - client.width / 4, centre.y - client.height / 4, client.width / 2,
                      client.height / 2);
  const wxImage twice = st::Grab(around).Scale(client.width, client.height, wxIMAGE_QUALITY_NORMAL);
  const wxRect inTwice(client.width / 2 - plate.width * 2 / 3, client.height / 2 - plate.height / 3,
                       plate.width * 4 / 3, plate.height * 2 / 3);
  if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
    st::Grab(wxRect(0, 0, 1280, 1024))
        .SaveFile(std::string(dir) + "/zoom-over-player.png", wxBITMAP_TYPE_PNG);
  }
  const int sharp = Transitions(view, inZoom);
  const int blurred = Transitions(twice, inTwice);
  EXPECT_GT(sharp, 150) << "the plate's print in the zoom window";
  EXPECT_GT(sharp, 3 * blurred) << "sharp " << sharp << ", two times the pane " << blurred;
  zoom->StopAndHide();
}

// The real save dialog, on the screen over the player: it comes up while playback is held, and
// Escape cancels it without writing anything; playback goes on.
TEST_F(CaptureTest, TheRealSaveDialogComesAndEscapeCancelsIt) {
  ASSERT_TRUE(st::StartWindowManager());
  Play(0);
  realDialog_ = true;
  const wxRect screen(0, 0, 1280, 1024);
  const wxImage before = st::Grab(screen);
  double change = 0;
  W()->CallAfter([&] {
    st::Pump(1500);  // the file chooser takes a moment to show its folder
    const wxImage shown = st::Grab(screen);
    change = st::MeanDifference(shown, before);
    if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
      shown.SaveFile(std::string(dir) + "/capture-dialog.png", wxBITMAP_TYPE_PNG);
    }
    st::PressKey("Escape");
  });
  apptest::Click(W(), kIdCapture);
  EXPECT_EQ(dialogs_, 1);
  EXPECT_GT(change, 5) << "a dialog came up on the screen";
  EXPECT_TRUE(fs::is_empty(out_.path())) << "cancelled: nothing written";
  EXPECT_TRUE(W()->Engine().GetRunState() == CNOVMediaPlayer::kPlaying);
  st::StopWindowManager();
}
