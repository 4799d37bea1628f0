// SPDX-License-Identifier: GPL-3.0-or-later
// The player window as a new user meets it: its place, its controls and their skins, its own
// settings file, closing, and the two layouts.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/display.h>
#include <wx/listctrl.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "AppTestSupport.h"
#include "WindowScreen.h"
#include "app/AppIds.h"
#include "app/CPicturePane.h"
#include "app/Layout.h"
#include "app/ViewerConfig.h"
#include "resources/ResourceIds.h"
#include "resources/SkinImages.h"
#include "skin/CBitmapButtonTrans.h"
#include "skin/CBitmapSlider.h"
#include "skin/CxSkinButton.h"

using apptest::Eventually;
using apptest::OnScreen;
using apptest::Pump;
using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;
namespace st = screentest;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// The threads the player starts: the engine's worker, the card reader, the sound feeder and the
// sound device's own (the toolkit's threads are not counted: they stay for the process).
int PlayerThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      n += name == "MediaPlayer" || name == "VEXParser" || name == "MediaSync" ||
           name.rfind("SDLAudio", 0) == 0;
    }
    closedir(d);
  }
  return n;
}

// The display's area for windows, in screen coordinates (all of it: the tests' displays have no
// panels).
wxRect WorkArea() { return wxDisplay(0u).GetClientArea(); }

// Where the screen shows the window: the box around every pixel that is not the empty display's
// black (the skin's edge is lit on every side).
wxRect ShownWindowRect() {
  const wxRect area = WorkArea();
  const wxImage screen = st::Grab(area);
  int left = screen.GetWidth(), top = screen.GetHeight(), right = -1, bottom = -1;
  for (int y = 0; y < screen.GetHeight(); ++y) {
    for (int x = 0; x < screen.GetWidth(); ++x) {
      if (screen.GetRed(x, y) > 8 || screen.GetGreen(x, y) > 8 || screen.GetBlue(x, y) > 8) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
    }
  }
  if (right < 0) return wxRect();
  return wxRect(area.x + left, area.y + top, right - left + 1, bottom - top + 1);
}

// The screen shows the window at its skin's size (975 x 635) in the middle of the work area.
::testing::AssertionResult ShownCentred() {
  const wxRect area = WorkArea();
  const wxRect shown = ShownWindowRect();
  const int x = area.x + (area.width - kNormalWidth) / 2;
  const int y = area.y + (area.height - kNormalHeight) / 2;
  if (shown.GetSize() == wxSize(kNormalWidth, kNormalHeight) && std::abs(shown.x - x) <= 1 &&
      std::abs(shown.y - y) <= 1) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "the screen shows the window at " << shown.x << ", " << shown.y << ", " << shown.width
         << " x " << shown.height << ", not centred at " << x << ", " << y;
}

// The screen over the place shows a read-out or label of the toolkit's: its box or its text
// inside the place (some pixels unlike the skin) and nothing but the skin in the pixel around it.
::testing::AssertionResult ShowsLabel(CSamplePlayerDlg* w, const Place& place,
                                      const std::string& name) {
  const Place grown = apptest::Grown(place, 1, apptest::kNormalClient);
  const wxImage grabbed = st::Grab(OnScreen(apptest::Origin(w), grown));
  const wxImage skin = apptest::SkinOver(grown);
  const wxRect inner(place.x - grown.x, place.y - grown.y, place.w, place.h);
  const double ring = apptest::RingDifference(grabbed, skin, inner);
  int unlike = 0;
  for (int y = inner.y; y <= inner.GetBottom(); ++y) {
    for (int x = inner.x; x <= inner.GetRight(); ++x) {
      unlike += std::abs(grabbed.GetRed(x, y) - skin.GetRed(x, y)) +
                    std::abs(grabbed.GetGreen(x, y) - skin.GetGreen(x, y)) +
                    std::abs(grabbed.GetBlue(x, y) - skin.GetBlue(x, y)) >
                60;
    }
  }
  if (ring < 1 && unlike >= 10) return ::testing::AssertionSuccess();
  apptest::KeepShot(grabbed, name);
  return ::testing::AssertionFailure()
         << name << ": " << unlike << " pixels of text, the skin around differs by " << ring;
}

// Whether the control draws itself (a skinned button, a bitmap slider, the mute box), and then
// whether the screen over `at` shows that drawing.
bool DrawsItself(wxWindow* control) {
  return dynamic_cast<CBitmapButtonTrans*>(control) != nullptr ||
         dynamic_cast<CBitmapSlider*>(control) != nullptr ||
         dynamic_cast<CxSkinButton*>(control) != nullptr;
}
::testing::AssertionResult ShowsItsDrawing(const wxPoint& origin, wxWindow* control,
                                           const wxPoint& at, const std::string& name) {
  if (auto* button = dynamic_cast<CBitmapButtonTrans*>(control)) {
    return apptest::ShowsDrawing(origin, button, at, name);
  }
  if (auto* slider = dynamic_cast<CBitmapSlider*>(control)) {
    return apptest::ShowsDrawing(origin, slider, at, name);
  }
  if (auto* box = dynamic_cast<CxSkinButton*>(control)) {
    return apptest::ShowsDrawing(origin, box, at, name);
  }
  return ::testing::AssertionFailure() << name << " does not draw itself";
}

// Every control of the normal layout as the screen shows it at its place: each skinned button,
// slider and the mute box as it draws itself (the Pause button, which shares PLAY's place, only
// while something plays), each read-out with a text and the Select All box inside its place.
void ExpectEveryControlInItsNormalPlace(CSamplePlayerDlg* w, bool playing) {
  const wxPoint origin = apptest::Origin(w);
  for (const ControlPlace& c : NormalControlPlaces()) {
    SCOPED_TRACE("control " + std::to_string(c.id));
    if (c.id == (playing ? kIdPlay : kIdPause)) continue;
    wxWindow* control = w->FindControl(c.id);
    ASSERT_NE(control, nullptr);
    const wxPoint at(c.place.x, c.place.y);
    const std::string name = "control-" + std::to_string(c.id);
    if (DrawsItself(control)) {
      EXPECT_TRUE(Eventually([&] { return ShowsItsDrawing(origin, control, at, name); }));
    } else if (auto* text = dynamic_cast<wxStaticText*>(control);
               text == nullptr || !text->GetLabel().empty()) {
      // A read-out with nothing to say shows only the skin's own box.
      EXPECT_TRUE(Eventually([&] { return ShowsLabel(w, c.place, name); }));
    }
  }
}

}  // namespace

TEST(WindowLayout, FullScreenPicturePlaceAndControls) {
  EXPECT_EQ(FullScreenPicturePlace(1920, 1080), (Place{320, 154, 1280, 720}));
  EXPECT_EQ(FullScreenPicturePlace(1280, 800), (Place{0, 40, 1280, 631}));
  EXPECT_EQ(FullScreenPicturePlace(1279, 1000), (Place{0, 40, 1279, 831}));
  EXPECT_EQ(FullScreenPicturePlace(1280, 829), (Place{0, 29, 1280, 720}));
  // The control strip hugs the right and bottom edges.
  for (const ControlPlace& c : FullScreenControlPlaces(1920, 1080)) {
    if (c.id == kIdClose) {
      EXPECT_EQ(c.place, (Place{1875, 5, 25, 25}));
    } else if (c.id == kIdPlay) {
      EXPECT_EQ(c.place, (Place{1716, 1037, 15, 17}));
    } else if (c.id == kIdSeekSlider) {
      EXPECT_EQ(c.place, (Place{55, 1030, 390, 14}));
    }
  }
}

TEST(WindowLayout, MapToggling) {
  // One camera: front and map swap the two places, the rear never shows.
  PaneStates one{kPaneLarge, kPaneHidden, kPaneSmall};
  one = ToggleMapSize(one, 1);
  EXPECT_EQ(one, (PaneStates{kPaneSmall, kPaneHidden, kPaneLarge}));
  one = ToggleMapSize(one, 1);
  EXPECT_EQ(one, (PaneStates{kPaneLarge, kPaneHidden, kPaneSmall}));
  // Two cameras after the first fix: the map covers the small rear picture; the first toggle makes
  // the map large and the front small and hides the rear; the next brings the front back large.
  PaneStates two{kPaneLarge, kPaneSmall, kPaneSmall};
  two = ToggleMapSize(two, 2);
  EXPECT_EQ(two, (PaneStates{kPaneSmall, kPaneHidden, kPaneLarge}));
  two = ToggleMapSize(two, 2);
  EXPECT_EQ(two, (PaneStates{kPaneLarge, kPaneHidden, kPaneSmall}));
  // With the rear picture large, the rear gives way instead.
  PaneStates rear{kPaneHidden, kPaneLarge, kPaneSmall};
  EXPECT_EQ(ToggleMapSize(rear, 2), (PaneStates{kPaneHidden, kPaneSmall, kPaneLarge}));
  char text[16];
  FormatClock(3725, text);
  EXPECT_STREQ(text, "01:02:05");
  FormatClock(-4, text);
  EXPECT_STREQ(text, "00:00:00");
}

TEST(Window, StartsCentredWithEveryControlInItsPlaceAndDrawnFromItsSkin) {
  TempDir config("config"), card("card");
  const std::string path = config.str() + "/config.cfg";
  Window w(card.str(), path);
  EXPECT_EQ(w->GetTitle(), "Roadeye (K70)");
  EXPECT_TRUE(Eventually(ShownCentred));
  EXPECT_EQ(w->CurrentTimeText(), "00:00:00");

  // PLAY shows (Pause only while playing), the full-screen button (previous size only in full
  // screen) and the Map View button dimmed: nothing to map yet.
  EXPECT_TRUE(apptest::PlayShown(w.get()));
  EXPECT_TRUE(apptest::ShowsButton(w.get(), kIdFullScreen, kBmpFullScreen));
  EXPECT_TRUE(apptest::MapButtonShown(w.get(), false));
  ExpectEveryControlInItsNormalPlace(w.get(), false);

  // Every key-colour pixel of every button shows the skin behind it: no box of a wrong colour.
  const wxImage screen = st::Grab(OnScreen(apptest::Origin(w.get()), apptest::kNormalClient));
  const wxImage skin = apptest::SkinOver(apptest::kNormalClient);
  int keyPixels = 0, wrong = 0;
  for (const ControlPlace& c : NormalControlPlaces()) {
    auto* button = dynamic_cast<CBitmapButtonTrans*>(w->FindControl(c.id));
    if (button == nullptr || c.id == kIdPause) continue;
    wxBitmap face(button->GetSize(), 24);
    {
      wxMemoryDC dc(face);
      dc.SetBackground(wxBrush(wxColour(255, 0, 255)));
      dc.Clear();
      button->DrawTo(dc);
    }
    const wxImage picture = face.ConvertToImage();
    for (int y = 0; y < picture.GetHeight(); ++y) {
      for (int x = 0; x < picture.GetWidth(); ++x) {
        const int sx = c.place.x + x, sy = c.place.y + y;
        if (sx >= screen.GetWidth() || sy >= screen.GetHeight()) continue;
        // Where the button drew the skin through, the screen must show the skin.
        if (picture.GetRed(x, y) == skin.GetRed(sx, sy) &&
            picture.GetGreen(x, y) == skin.GetGreen(sx, sy) &&
            picture.GetBlue(x, y) == skin.GetBlue(sx, sy)) {
          ++keyPixels;
          wrong += screen.GetRed(sx, sy) != skin.GetRed(sx, sy) ||
                   screen.GetGreen(sx, sy) != skin.GetGreen(sx, sy) ||
                   screen.GetBlue(sx, sy) != skin.GetBlue(sx, sy);
        }
      }
    }
  }
  EXPECT_GT(keyPixels, 1000);
  EXPECT_EQ(wrong, 0);
}

TEST(Window, AFirstStartCreatesTheSettingsFileAndWritesBothValuesOnExit) {
  TempDir config("config"), card("card");
  const std::string path = config.str() + "/config.cfg";
  {
    Window w(card.str(), path);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(ReadFile(path), "");  // created empty
    EXPECT_EQ(w->BrightnessSlider()->GetPos(), 0);
    EXPECT_EQ(w->VolumeSlider()->GetPos(), 50);
    EXPECT_EQ(CWaveBox::Volume(), 32767);
  }
  EXPECT_EQ(ReadViewerConfigValue(path, kConfigBrightness, 77), 0);
  EXPECT_EQ(ReadViewerConfigValue(path, kConfigVolume, 77), 50);
  EXPECT_EQ(ReadFile(path), "[config]\r\nbrightness=0\r\nvolume=50\r\n");
}

TEST(Window, StoredValuesAreClampedMissingOnesDefaultAndBothSurviveARestart) {
  TempDir config("config"), card("card");
  const std::string path = config.str() + "/config.cfg";
  WriteFile(path, "[config]\r\nbrightness=-200\r\nvolume=150\r\n");
  {
    Window w(card.str(), path);
    EXPECT_EQ(w->BrightnessSlider()->GetPos(), 0);  // -200 reads as missing
    EXPECT_EQ(w->VolumeSlider()->GetPos(), 99);     // clamped by the slider
    EXPECT_EQ(CWaveBox::Volume(), 64879);           // 99 x 655.35, as applied
    w->BrightnessSlider()->SetPos(-3);
    w->VolumeSlider()->SetPos(20);
  }
  EXPECT_EQ(ReadFile(path), "[config]\r\nbrightness=-3\r\nvolume=20\r\n");
  Window again(card.str(), path);
  EXPECT_EQ(again->BrightnessSlider()->GetPos(), -3);
  EXPECT_EQ(again->VolumeSlider()->GetPos(), 20);
  again.Close();
  WriteFile(path, "[config]\r\nvolume=abc\r\n");
  Window third(card.str(), path);
  EXPECT_EQ(third->VolumeSlider()->GetPos(), 0);  // no number reads 0
  EXPECT_EQ(third->BrightnessSlider()->GetPos(), 0);
}

TEST(Window, CloseAsksAndNoKeepsItOpenWhileYesEndsEverything) {
  TempDir config("config"), card("card");
  const std::string path = config.str() + "/config.cfg";
  const int threadsBefore = PlayerThreadCount();
  Window w(card.str(), path);
  // The worker, the reader and the feeder; the sound device opens when something plays.
  EXPECT_GE(PlayerThreadCount(), threadsBefore + 3);

  w.messages.answer = wxID_NO;
  w->CloseCommand();
  ASSERT_EQ(w.messages.texts.size(), 1u);
  EXPECT_EQ(w.messages.texts[0], "Do you want to quit?");
  EXPECT_EQ(w.messages.captions[0], "Select");
  Pump(200);
  EXPECT_TRUE(w.Alive());
  EXPECT_EQ(ReadViewerConfigValue(path, kConfigVolume, -1), 50);  // saved before asking

  std::remove(path.c_str());
  w.messages.answer = wxID_YES;
  w->CloseCommand();
  EXPECT_TRUE(PumpUntil([&] { return !w.Alive(); }, 10000));
  EXPECT_EQ(ReadViewerConfigValue(path, kConfigVolume, -1), 50);
  // Every thread the window started has been joined.
  EXPECT_EQ(PlayerThreadCount(), threadsBefore);
}

TEST(Window, CloseAndMinimiseDoNothingWhileADownloadRuns) {
  TempDir config("config"), card("card");
  Window w(card.str(), config.str() + "/config.cfg");
  w->Download().SetBusy(true);
  w->CloseCommand();
  EXPECT_TRUE(w.messages.texts.empty());
  w->ToggleFullScreen(false);
  EXPECT_EQ(w->LayoutMode(), kLayoutNormal);
  w->Download().SetBusy(false);
}

TEST(Window, FullScreenAndEnterBackToTheCentredWindow) {
  TempDir config("config"), card("card");
  // One recording of the front camera, without fixes: its picture alone fills the screen.
  ASSERT_TRUE(apptest::MakeCard(
      card.str(),
      "--seconds 4 --count 1 --kinds REC --rear no --no-damaged --no-fix --bitrate 2000"));
  Window w(card.str(), config.str() + "/config.cfg");
  w->PollCard();
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  w->PlayNext();
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 5; }));
  w->OnPauseCommand();
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
  const wxImage list = st::Grab(OnScreen(apptest::Origin(w.get()), kListPlace));

  w->ToggleFullScreen(false);
  EXPECT_EQ(w->LayoutMode(), kLayoutFullScreen);
  // The window covers the work area: the picture in the place for the area's size with black
  // around it, the controls along the area's right and bottom edges.
  const wxRect area = WorkArea();
  const Place screen{0, 0, area.width, area.height};
  const wxImage black = apptest::BlackOver(screen);
  const Place picture = FullScreenPicturePlace(area.width, area.height);
  EXPECT_TRUE(Eventually([&] {
    return apptest::ShowsPicture(area.GetTopLeft(), w->FrontPane(), picture, black, screen,
                                 "full-screen-picture");
  }));
  for (const ControlPlace& c : FullScreenControlPlaces(area.width, area.height)) {
    SCOPED_TRACE("control " + std::to_string(c.id));
    if (c.id == kIdPause) continue;  // paused: PLAY shows at their place
    if (c.id == kIdOpen) {
      // OPEN keeps a place but the full-screen layout leaves it out.
      EXPECT_LT(st::MeanDifference(st::Grab(OnScreen(area.GetTopLeft(), c.place)),
                                   apptest::BlackOver(c.place)),
                1);
      continue;
    }
    wxWindow* control = w->FindControl(c.id);
    const wxPoint at(c.place.x, c.place.y);
    const std::string name = "full-screen-control-" + std::to_string(c.id);
    if (DrawsItself(control)) {
      EXPECT_TRUE(
          Eventually([&] { return ShowsItsDrawing(area.GetTopLeft(), control, at, name); }));
    }
    // The previous-size button instead of the full-screen one, on black.
    if (c.id == kIdPreviousSize) {
      EXPECT_TRUE(apptest::ShowsFace(area.GetTopLeft(), at, kBmpPreviousSize, black, name));
    }
  }
  // What the full-screen layout hides shows nowhere: over the list, the graph and the normal
  // layout's buttons, the screen shows the picture or the black around it.
  wxImage look = black.Copy();
  look.Paste(w->FrontPane()->LastPicture().Scale(picture.w, picture.h, wxIMAGE_QUALITY_BILINEAR),
             picture.x, picture.y);
  std::vector<Place> hidden = {kListPlace, kGraphPlace};
  for (int id : {kIdOpen, kIdSettings, kIdCapture, kIdZoom, kIdMapSize, kIdFullScreen,
                 kIdFilterEvent, kIdFilterParking, kIdFilterDriving, kIdFilterManual, kIdFilterAll,
                 kIdFileDownload, kIdSelectAll}) {
    hidden.push_back(apptest::NormalPlaceOf(id));
  }
  for (const Place& p : hidden) {
    SCOPED_TRACE("place " + std::to_string(p.x) + ", " + std::to_string(p.y));
    const wxImage grabbed = st::Grab(OnScreen(area.GetTopLeft(), p));
    EXPECT_LT(st::MeanDifference(grabbed, look.GetSubImage(wxRect(p.x, p.y, p.w, p.h))), 12);
  }

  // Enter in full screen: the previous-size command, back to 975 x 635 in the middle.
  EXPECT_TRUE(w->HandleKey(WXK_RETURN, false));
  EXPECT_EQ(w->LayoutMode(), kLayoutNormal);
  EXPECT_TRUE(Eventually(ShownCentred));
  EXPECT_TRUE(apptest::PictureShown(w.get(), w->FrontPane(), kLargePlace, "back-large"));
  EXPECT_TRUE(Eventually([&] {
    return ::testing::AssertionResult(
        st::MeanDifference(st::Grab(OnScreen(apptest::Origin(w.get()), kListPlace)), list) < 1);
  })) << "the list shows again as it was";
  EXPECT_TRUE(apptest::ShowsButton(w.get(), kIdFullScreen, kBmpFullScreen));
  ExpectEveryControlInItsNormalPlace(w.get(), false);
}

TEST(Program, AnswersHelpAndVersion) {
  const std::string bin = std::string(ROADEYE_BIN_DIR) + "/roadeye";
  std::FILE* p = popen((bin + " --version 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[256] = {};
  std::string out;
  while (std::fgets(line, sizeof line, p)) out += line;
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(out.rfind("roadeye ", 0), 0u) << out;
  p = popen((bin + " --help 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  out.clear();
  while (std::fgets(line, sizeof line, p)) out += line;
  pclose(p);
  EXPECT_NE(out.find("--card"), std::string::npos) << out;
  EXPECT_NE(out.find("--config-dir"), std::string::npos) << out;
}

// `roadeye DIR` opens the folder as the card: the program's own screenshot shows the rows of a
// Tesla card in the list, where an empty folder leaves the list black.
TEST(Program, AFolderGivenIsTheCard) {
  const std::string bin = std::string(ROADEYE_BIN_DIR) + "/roadeye";
  TempDir card("program-card"), empty("program-empty"), config("program-config");
  ASSERT_TRUE(apptest::MakeCard(card.str(),
                                "--family tesla --kinds REC --count 2 --seconds 1 "
                                "--front 320x180 --no-damaged"));
  const auto listLevel = [&](const std::string& folder) {
    const std::string shot = config.str() + "/shot.png";
    std::filesystem::remove(shot);
    const std::string command = bin + " " + folder + " --config-dir " + config.str() +
                                " --screenshot " + shot + " --after 2500 > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    wxImage picture;
    if (!picture.LoadFile(shot, wxBITMAP_TYPE_PNG)) return -1.0;
    // The list's rows, under its header.
    return apptest::MeanLevel(picture.GetSubImage(
        wxRect(kListPlace.x, kListPlace.y + 30, kListPlace.w - 20, kListPlace.h - 40)));
  };
  const double rows = listLevel(card.str()), none = listLevel(empty.str());
  ASSERT_GE(none, 0) << "no screenshot";
  EXPECT_GT(rows, none + 5) << "rows " << rows << ", empty list " << none;
}

// What the viewer is pointed at: one folder, or files; anything else is a wrong command line.
TEST(Program, RefusesPlacesItCannotOpen) {
  const std::string bin = std::string(ROADEYE_BIN_DIR) + "/roadeye";
  TempDir dir("places");
  const std::string file = dir.str() + "/clip.mp4";
  std::ofstream(file) << "x";
  const auto status = [&](const std::string& args) {
    const int s = std::system((bin + " " + args + " > /dev/null 2>&1").c_str());
    return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  };
  EXPECT_EQ(status(dir.str() + "/missing.mp4"), 2);
  EXPECT_EQ(status(dir.str() + " " + file), 2) << "a folder and a file";
  EXPECT_EQ(status(dir.str() + " " + dir.str()), 2) << "two folders";
  EXPECT_EQ(status("/dev/null"), 2) << "not a folder or a file";
}

// The desktop ends the viewer with SIGTERM when the user logs out (and a terminal with SIGHUP or
// Ctrl+C): it ends as the close box's Yes ends it, its settings saved, whether a recording plays
// or playback has ended and nothing happens any more. Every picture it was given decoded.
TEST(Program, AnEndSignalEndsTheViewerAsTheCloseBoxDoes) {
  TempDir card("signal-card"), config("signal-config");
  ASSERT_TRUE(apptest::MakeCard(
      card.str(), "--seconds 4 --count 1 --kinds REC --rear yes --no-damaged --bitrate 8000"));
  struct Case {
    int signal;
    bool afterTheEnd;
  };
  for (const Case c : {Case{SIGTERM, false}, Case{SIGINT, false}, Case{SIGHUP, true}}) {
    SCOPED_TRACE("signal " + std::to_string(c.signal) + (c.afterTheEnd ? " after the end" : ""));
    const std::string cfg = config.str() + "/config.cfg";
    const std::string out = config.str() + "/out.txt";
    const std::string err = config.str() + "/err.txt";
    std::remove(cfg.c_str());
    std::remove(out.c_str());
    const std::string bin = std::string(ROADEYE_BIN_DIR) + "/roadeye";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Its diagnostic lines (one per picture shown) tell that it plays.
      if (std::freopen(out.c_str(), "w", stdout) == nullptr) _exit(126);
      if (std::freopen(err.c_str(), "w", stderr) == nullptr) _exit(126);
      setvbuf(stdout, nullptr, _IOLBF, 0);
      execl(bin.c_str(), bin.c_str(), "--card", card.str().c_str(), "--config-dir",
            config.str().c_str(), "--play", static_cast<char*>(nullptr));
      _exit(127);
    }
    auto count = [&](const char* what) {
      const std::string text = ReadFile(out);
      std::size_t n = 0;
      for (std::size_t at = text.find(what); at != std::string::npos;
           at = text.find(what, at + 1)) {
        ++n;
      }
      return n;
    };
    for (int i = 0; i < 2000 && count(" dif ") < 20; ++i) wxMilliSleep(10);
    EXPECT_GE(count(" dif "), 20u) << "the viewer plays";
    if (c.afterTheEnd) {
      // The list's only recording plays to its end and playback stops: then all is quiet.
      for (int i = 0; i < 2000 && count(" dif ") < 120; ++i) wxMilliSleep(10);
      wxMilliSleep(1000);
    }
    kill(pid, c.signal);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 2000 && ended == 0; ++i) {
      ended = waitpid(pid, &status, WNOHANG);
      if (ended == 0) wxMilliSleep(10);
    }
    if (ended == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the viewer did not end";
      continue;
    }
    EXPECT_TRUE(WIFEXITED(status)) << "ended by the signal itself";
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    const std::string saved = ReadFile(cfg);
    EXPECT_NE(saved.find("brightness=0"), std::string::npos) << saved;
    EXPECT_NE(saved.find("volume=50"), std::string::npos) << saved;
    // A picture the decoder refused (a key picture it never saw) shows black for up to a second.
    EXPECT_EQ(ReadFile(err).find("non-existing PPS"), std::string::npos) << ReadFile(err);
  }
}
