// SPDX-License-Identifier: GPL-3.0-or-later
// The player window as the screen shows it, driven by the keys and clicks of a user: every check
// here reads the X server's pixels, and every gesture travels through the server (XTest), under a
// window manager. What wx believes about sizes, visibility or focus is never asserted.
#include "skin/testing/Screen.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/listctrl.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "AppTestSupport.h"
#include "app/AppIds.h"
#include "app/CPicturePane.h"
#include "app/Layout.h"
#include "playback/CWaveBox.h"
#include "resources/ResourceIds.h"
#include "resources/SkinImages.h"

using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;
namespace fs = std::filesystem;
namespace st = screentest;

namespace {

// Where a place of the window's client area lies on the screen.
wxRect OnScreen(CSamplePlayerDlg* w, const Place& p) {
  return wxRect(w->ClientToScreen(wxPoint(p.x, p.y)), wxSize(p.w, p.h));
}

// The window's skin over a place, as the idle window shows it.
wxImage Skin(const Place& p) {
  static const wxImage background = LoadSkinBitmap(kBmpBackground).ConvertToImage();
  return background.GetSubImage(wxRect(p.x, p.y, p.w, p.h));
}

// Keeps a grab for a person to look at when ROADEYE_TEST_SHOTS names a folder.
void Keep(const wxImage& image, const std::string& name) {
  if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
    image.SaveFile(std::string(dir) + "/" + name + ".png", wxBITMAP_TYPE_PNG);
  }
}

// True when the screen over the place shows the window's skin (the idle look): no pane, no map,
// no black box.
bool ShowsSkin(CSamplePlayerDlg* w, const Place& p, const std::string& name) {
  const wxImage grabbed = st::Grab(OnScreen(w, p));
  Keep(grabbed, name);
  const double difference = st::MeanDifference(grabbed, Skin(p));
  if (difference >= 6) ADD_FAILURE() << name << ": differs from the skin by " << difference;
  return difference < 6;
}

// True when the screen over the place shows the pane's last picture, scaled to the place; with
// a part given (client coordinates, inside the place), over that part only.
bool ShowsPicture(CSamplePlayerDlg* w, CPicturePane* pane, const Place& p, const std::string& name,
                  Place part = Place{}) {
  if (part.w == 0) part = p;
  const wxImage grabbed = st::Grab(OnScreen(w, part));
  Keep(grabbed, name);
  wxImage picture = pane->LastPicture();
  if (!picture.IsOk()) {
    ADD_FAILURE() << name << ": no picture";
    return false;
  }
  picture = picture.Scale(p.w, p.h, wxIMAGE_QUALITY_BILINEAR)
                .GetSubImage(wxRect(part.x - p.x, part.y - p.y, part.w, part.h));
  const double difference = st::MeanDifference(grabbed, picture);
  if (difference >= 12) ADD_FAILURE() << name << ": differs from the picture by " << difference;
  return difference < 12;
}

int PositionMs(CSamplePlayerDlg* w) { return w->Engine().GetPositionMs(); }

}  // namespace

// One card: three driving recordings of six seconds (two-camera, one-camera, two-camera).
class ScreenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    card_ = new TempDir("screen-card");
    made_ = apptest::MakeCard(
        card_->str(), "--seconds 6 --count 3 --kinds REC --rear mixed --no-damaged --bitrate 2000");
  }
  static void TearDownTestSuite() {
    delete card_;
    card_ = nullptr;
    st::StopWindowManager();
  }
  void SetUp() override {
    ASSERT_TRUE(made_) << "roadeye-mkcard failed";
    ASSERT_TRUE(st::StartWindowManager());
    window_ = std::make_unique<Window>(card_->str(), config_.str() + "/config.cfg");
    apptest::KeepMapOffline(window_->get());
    (*window_)->PollCard();
    ASSERT_EQ((*window_)->RecordingList()->GetItemCount(), 3);
    st::Pump(300);
  }
  CSamplePlayerDlg* W() { return window_->get(); }

  // Clicks a control of the window at its middle, as a user would.
  void ClickControl(int id) {
    const wxRect r = W()->FindControl(id)->GetScreenRect();
    st::Click(r.x + r.width / 2, r.y + r.height / 2);
  }
  // Plays row 0 until the map has appeared (the first GPS fix), then pauses.
  void PlayUntilTheMapShows() {
    const int before = W()->FrontPane()->PresentedCount();
    W()->PlayNext();
    ASSERT_TRUE(PumpUntil([&] { return W()->Panes().map == kPaneSmall; }));
    ASSERT_TRUE(PumpUntil([&] { return W()->FrontPane()->PresentedCount() > before + 30; }));
  }
  // Pauses and waits until the pictures stand still.
  void PauseAndSettle() {
    W()->OnPauseCommand();
    ASSERT_TRUE(PumpUntil([&] { return W()->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
    st::Pump(300);
  }

  static inline TempDir* card_ = nullptr;
  static inline bool made_ = false;
  TempDir config_{"screen-config"};
  std::unique_ptr<Window> window_;
};

// The map shown once is really gone when the layout says so: in full screen the picture shows
// where it was; after STOP, after the end of the list and after NEXT from the large map, the skin
// or the new picture shows there.
TEST_F(ScreenTest, TheMapLeavesTheScreenWhenItsPlaceIsTaken) {
  PlayUntilTheMapShows();
  PauseAndSettle();
  // The small map covers the small rear picture.
  const wxImage mapShown = st::Grab(OnScreen(W(), kSmallPlace));
  Keep(mapShown, "map-small");

  // Full screen: the whole picture, nothing over it where the map was.
  W()->ToggleFullScreen(false);
  st::Pump(500);
  const wxSize client = W()->GetClientSize();
  const Place picture = FullScreenPicturePlace(client.x, client.y);
  EXPECT_TRUE(ShowsPicture(W(), W()->FrontPane(), picture, "full-screen"));
  EXPECT_TRUE(ShowsPicture(W(), W()->FrontPane(), picture, "full-screen-map-place", kSmallPlace));
  W()->ToggleFullScreen(true);
  st::Pump(500);
  EXPECT_LT(st::MeanDifference(st::Grab(OnScreen(W(), kSmallPlace)), mapShown), 6)
      << "back in the window the small map shows again";

  // STOP: the idle look, in the large and the small place.
  ClickControl(kIdStop);
  st::Pump(300);
  EXPECT_TRUE(ShowsSkin(W(), kSmallPlace, "stop-small"));
  EXPECT_TRUE(ShowsSkin(W(), kLargePlace, "stop-large"));

  // The large map, then NEXT: the next recording's front picture, not the old map.
  PlayUntilTheMapShows();
  W()->ToggleMapSize();
  st::Pump(300);
  ASSERT_EQ(W()->Panes().map, kPaneLarge);
  ClickControl(kIdNext);
  ASSERT_TRUE(PumpUntil([&] { return W()->CurrentRow() == 1; }));
  // The pane's count runs on across recordings: wait for pictures of the next one.
  const int before = W()->FrontPane()->PresentedCount();
  ASSERT_TRUE(PumpUntil([&] { return W()->FrontPane()->PresentedCount() > before + 5; }));
  PauseAndSettle();
  // The new recording's map is hidden, or small once its first fix came: never large.
  EXPECT_TRUE(ShowsPicture(W(), W()->FrontPane(), kLargePlace, "next-large"));

  // The end of the list: the last row plays to its end and playback stops.
  W()->PlayRow(2);
  W()->Engine().SeekToMs(5000);
  ASSERT_TRUE(PumpUntil([&] { return W()->CurrentRow() == -1; }, 20000));
  st::Pump(300);
  EXPECT_TRUE(ShowsSkin(W(), kLargePlace, "end-large"));
  EXPECT_TRUE(ShowsSkin(W(), kSmallPlace, "end-small"));
}

// After STOP the window looks as it did before anything played, at once (no black box).
TEST_F(ScreenTest, StopBringsBackTheIdleLook) {
  EXPECT_TRUE(ShowsSkin(W(), kLargePlace, "idle-large"));
  W()->PlayNext();
  ASSERT_TRUE(PumpUntil([&] { return W()->FrontPane()->PresentedCount() > 5; }));
  ClickControl(kIdStop);
  st::Pump(300);
  EXPECT_TRUE(ShowsSkin(W(), kLargePlace, "stopped-large"));
  EXPECT_TRUE(ShowsSkin(W(), kSmallPlace, "stopped-small"));
}

// The Map View button works only while there is a map: after STOP it is disabled and clicking it
// shows nothing.
TEST_F(ScreenTest, TheMapButtonIsDisabledAfterStop) {
  const Place button{485, 38, 161, 24};
  const wxImage disabled = st::Grab(OnScreen(W(), button));
  PlayUntilTheMapShows();
  const wxImage enabled = st::Grab(OnScreen(W(), button));
  EXPECT_GT(st::MeanDifference(enabled, disabled), 1) << "the enabled button looks different";
  ClickControl(kIdStop);
  st::Pump(300);
  EXPECT_LT(st::MeanDifference(st::Grab(OnScreen(W(), button)), disabled), 1);
  ClickControl(kIdMapSize);
  st::Pump(300);
  EXPECT_TRUE(ShowsSkin(W(), kLargePlace, "map-button-after-stop"));
}

// The keys work in every layout, whichever control had the keyboard when its layout went.
TEST_F(ScreenTest, KeysWorkAfterEveryLayoutChange) {
  // A double click on a row plays it; the list has the keyboard.
  const wxRect list = W()->RecordingList()->GetScreenRect();
  st::DoubleClick(list.x + 120, list.y + 40);
  ASSERT_TRUE(PumpUntil([&] { return W()->CurrentRow() >= 0; }));
  ASSERT_TRUE(PumpUntil([&] { return PositionMs(W()) > 300; }));
  // The pointer leaves the list, so that Up and Down are the volume's.
  st::MoveMouse(list.x - 300, list.y + 300);

  // The full-screen button takes the click and is hidden by the layout it brings.
  ClickControl(kIdFullScreen);
  st::Pump(500);
  ASSERT_EQ(W()->LayoutMode(), kLayoutFullScreen);
  st::PressKey("space");
  EXPECT_TRUE(PumpUntil([&] { return W()->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }))
      << "Space pauses in full screen";
  st::PressKey("space");
  EXPECT_TRUE(PumpUntil([&] { return W()->Engine().GetRunState() == CNOVMediaPlayer::kPlaying; }))
      << "Space plays again";
  const int volume = CWaveBox::Volume();
  st::PressKey("Down");
  EXPECT_LT(CWaveBox::Volume(), volume) << "Down lowers the sound at once";

  // Enter: back to the window (its skin shows again), where the keys still work.
  const Place bare{650, 242, 320, 24};  // skin between the list's buttons and the small place
  st::PressKey("Return");
  st::Pump(500);
  EXPECT_TRUE(ShowsSkin(W(), bare, "enter-back")) << "Enter leaves full screen";
  const int row = W()->CurrentRow();
  st::PressKey("Page_Up");
  EXPECT_TRUE(PumpUntil([&] { return W()->CurrentRow() == row + 1; })) << "Page Up plays the next";
  st::PressKey("Return");
  st::Pump(500);
  EXPECT_EQ(W()->LayoutMode(), kLayoutFullScreen) << "Enter goes full screen again";
  st::PressKey("Return");
  st::Pump(500);
  EXPECT_EQ(W()->LayoutMode(), kLayoutNormal);
}

// The list's header is fixed: a drag on a column's edge changes nothing on the screen, and the
// hidden columns stay hidden.
TEST_F(ScreenTest, TheListHeaderCannotBeResized) {
  wxListCtrl* list = W()->RecordingList();
  const wxRect r = list->GetScreenRect();
  const wxImage before = st::Grab(r);
  // The edge between the Type column (84 pixels) and the zero-width ones, in the header.
  st::Drag(wxPoint(r.x + 84, r.y + 8), wxPoint(r.x + 200, r.y + 8));
  st::Drag(wxPoint(r.x + 84 + 150, r.y + 8), wxPoint(r.x + 300, r.y + 8));
  const wxImage after = st::Grab(r);
  Keep(before, "header-before");
  Keep(after, "header-after");
  EXPECT_LT(st::MeanDifference(before, after), 0.5);
}
