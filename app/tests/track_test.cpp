// SPDX-License-Identifier: GPL-3.0-or-later
// The trip on the map in the real window: the open recording's whole track drawn on the page, a
// click on the screen at the track's far end seeking there, and the track export written through
// the save dialog. The map page is loaded (the network check says online) but its tiles come from
// a loopback port where nothing listens: no test reaches the internet.
#include <gtest/gtest.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "app/CPicturePane.h"
#include "app/tests/AppTestSupport.h"
#include "app/tests/WindowScreen.h"
#include "metadata/RecordingMetadata.h"
#include "telemetry/CGPSData.h"

namespace {

namespace fs = std::filesystem;
namespace st = screentest;
using apptest::Cell;
using apptest::Output;
using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;

// The valid fixes of a recording as roadeye-vexdump reads them off the card, in order; the card
// tool writes fix k at second k of the recording.
struct Fixes {
  std::vector<CGPSData> valid;
  std::vector<int> timesMs;
};

Fixes ReadFixes(const std::string& card, const std::string& name, const std::string& out) {
  Fixes fixes;
  Output(std::string(ROADEYE_BIN_DIR) + "/roadeye-vexdump '" + card + "' '" + name + "' '" + out +
         "'");
  std::istringstream text(apptest::ReadFile(out + "/text.txt"));
  std::string line;
  int second = 0;
  while (std::getline(text, line)) {
    if (line.rfind("G$GPRMC", 0) != 0) continue;
    const CGPSData fix(line.c_str());
    if (fix.valid != 0) {
      fixes.valid.push_back(fix);
      fixes.timesMs.push_back(second * 1000);
    }
    ++second;
  }
  return fixes;
}

std::string Fixed7(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7f", v);
  return text;
}

bool Online() { return true; }

// Pixels of the track's blue (#1565c0, drawn at 85 % over the map) in an image.
int TrackPixels(const wxImage& image) {
  int n = 0;
  const unsigned char* p = image.GetData();
  for (int i = 0; i < image.GetWidth() * image.GetHeight(); ++i, p += 3) {
    if (p[2] > 150 && p[0] < 90 && p[1] > 70 && p[1] < 140) ++n;
  }
  return n;
}

class TrackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    card_ = new TempDir("track-card");
    made_ = apptest::MakeCard(card_->str(),
                              "--seconds 12 --count 1 --kinds REC --rear yes --no-damaged "
                              "--bitrate 2000");
  }
  static void TearDownTestSuite() {
    delete card_;
    card_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(made_) << "roadeye-mkcard failed";
    window_ = std::make_unique<Window>(card_->str(), config_.str() + "/config.cfg");
    map_ = dynamic_cast<CMapView*>((*window_)->FindControl(kIdMapView));
    ASSERT_NE(map_, nullptr);
    if (map_->Browser() == nullptr) GTEST_SKIP() << "no web view backend";
    map_->SetNetworkCheck(&Online);
    map_->SetTileUrl("http://127.0.0.1:9/{z}/{x}/{y}.png");
    (*window_)->PollCard();
    ASSERT_EQ((*window_)->RecordingList()->GetItemCount(), 1);
    name_ = Cell(W(), 0, 1);
  }
  CSamplePlayerDlg* W() { return window_->get(); }

  static inline TempDir* card_ = nullptr;
  static inline bool made_ = false;
  TempDir config_{"track-config"};
  TempDir out_{"track-out"};
  std::unique_ptr<Window> window_;
  CMapView* map_ = nullptr;
  std::string name_;
};

TEST_F(TrackTest, TheWholeTrackIsDrawnAndAClickOnItsFarEndSeeksThere) {
  const Fixes fixes = ReadFixes(card_->str(), name_, out_.str() + "/dump");
  ASSERT_GE(fixes.valid.size(), 10u);

  W()->PlayRow(0);
  ASSERT_TRUE(PumpUntil([&] { return map_->DrawnTrackPoints() >= 0; }, 20000))
      << "the page never drew the track";
  EXPECT_EQ(map_->DrawnTrackPoints(), static_cast<int>(fixes.valid.size()));
  EXPECT_EQ(W()->Trip().CurrentTrack().PointCount(), static_cast<int>(fixes.valid.size()));
  const CGPSData& first = fixes.valid.front();
  const CGPSData& last = fixes.valid.back();
  EXPECT_EQ(map_->CallJScript("trackInfo()").utf8_string(),
            std::to_string(fixes.valid.size()) + ";" + Fixed7(first.GetLatitude()) + "," +
                Fixed7(first.GetLongitude()) + ";" + Fixed7(last.GetLatitude()) + "," +
                Fixed7(last.GetLongitude()));

  // The map made large, as a user would to see the trip.
  ASSERT_TRUE(PumpUntil([&] { return W()->Panes().map == kPaneSmall; }));
  apptest::Click(W(), kIdMapSize);
  ASSERT_EQ(W()->Panes().map, kPaneLarge);
  st::Pump(800);  // the page takes its new size and fits the track to it

  // The line is on the screen: blue pixels inside the map's rectangle.
  const wxRect mapRect(map_->GetScreenPosition(), map_->GetSize());
  EXPECT_GT(TrackPixels(st::Grab(mapRect)), 200) << "no track on the screen";

  // A click on the screen at the track's last point.
  const std::string pixel =
      map_->CallJScript("trackPointPixel('" + std::to_string(fixes.valid.size() - 1) + "')")
          .utf8_string();
  int x = -1, y = -1;
  ASSERT_EQ(std::sscanf(pixel.c_str(), "%d,%d", &x, &y), 2) << pixel;
  ASSERT_TRUE(x >= 0 && y >= 0 && x < mapRect.width && y < mapRect.height) << pixel;
  W()->OnPauseCommand();
  st::Pump(300);
  const wxString timeBefore = W()->CurrentTimeText();
  const wxImage pictureBefore = W()->FrontPane()->LastPicture();
  const int presentedBefore = W()->FrontPane()->PresentedCount();
  st::Click(mapRect.x + x, mapRect.y + y);
  const int target = fixes.timesMs.back();
  ASSERT_TRUE(
      PumpUntil([&] { return std::abs(W()->Engine().GetPositionMs() - target) <= 1000; }, 5000))
      << "position " << W()->Engine().GetPositionMs() << " ms, the last fix at " << target;
  EXPECT_NE(W()->CurrentTimeText(), timeBefore);
  EXPECT_EQ(W()->CurrentTimeText().Left(6), "00:00:");
  EXPECT_GE(std::stoi(W()->CurrentTimeText().Mid(6).ToStdString()), target / 1000 - 1);
  // The picture there is shown: a new one, different at least in its clock and counter lines
  // (the car may be standing at a light in both).
  EXPECT_TRUE(PumpUntil([&] {
    return W()->FrontPane()->PresentedCount() > presentedBefore &&
           apptest::ChangedPixels(W()->FrontPane()->LastPicture(), pictureBefore, 60) > 20;
  })) << "the picture did not change";
}

// A recording whose receiver never had a fix: no track, and the map never shows.
TEST_F(TrackTest, NoFixNoTrackAndNoMap) {
  TempDir card("track-nofix");
  ASSERT_TRUE(apptest::MakeCard(card.str(),
                                "--seconds 6 --count 1 --kinds REC --rear no --no-damaged "
                                "--bitrate 2000 --no-fix"));
  window_.reset();
  window_ = std::make_unique<Window>(card.str(), config_.str() + "/config2.cfg");
  map_ = dynamic_cast<CMapView*>((*window_)->FindControl(kIdMapView));
  map_->SetNetworkCheck(&Online);
  (*window_)->PollCard();
  ASSERT_EQ(W()->RecordingList()->GetItemCount(), 1);
  W()->PlayRow(0);
  ASSERT_TRUE(PumpUntil([&] { return W()->Trip().TracksRead() == 1; }, 20000));
  EXPECT_TRUE(W()->Trip().CurrentTrack().Empty());
  // Several fixes delivered (all without a position), and still no map.
  ASSERT_TRUE(PumpUntil([&] { return W()->Telemetry().GpsCount() >= 3; }, 20000));
  st::Pump(300);
  EXPECT_EQ(W()->Panes().map, kPaneHidden);
  EXPECT_FALSE(W()->FindControl(kIdMapSize)->IsEnabled());
  // The page is there, without a line.
  EXPECT_TRUE(PumpUntil([&] { return map_->CallJScript("trackInfo()") == "0"; }, 8000));
  // On the screen: nothing of the map's plain background in the small slot it would take.
  const wxImage slot = st::Grab(wxRect(W()->ClientToScreen(wxPoint(kSmallPlace.x, kSmallPlace.y)),
                                       wxSize(kSmallPlace.w, kSmallPlace.h)));
  int mapPixels = 0;
  const unsigned char* p = slot.GetData();
  for (int i = 0; i < slot.GetWidth() * slot.GetHeight(); ++i, p += 3) {
    if (p[0] == 0xf2 && p[1] == 0xef && p[2] == 0xe9) ++mapPixels;
  }
  EXPECT_EQ(mapPixels, 0);
}

TEST_F(TrackTest, ExportWritesTheTrackThroughTheSaveDialog) {
  W()->PlayRow(0);
  ASSERT_TRUE(PumpUntil([&] { return W()->Trip().CurrentTrack().PointCount() > 0; }, 20000));
  const std::string target = out_.str() + "/trip";  // no ending: GPX
  wxString offered;
  W()->Trip().SetExportDialogRunner([&](const wxString& name, wxString* path) {
    offered = name;
    *path = wxString::FromUTF8(target);
    return true;
  });
  bool ended = false, ok = false;
  std::string written;
  W()->Trip().SetExportObserver([&](bool success, const std::string& path) {
    ended = true;
    ok = success;
    written = path;
  });
  ASSERT_TRUE(W()->HandleKey('T', false));
  ASSERT_TRUE(PumpUntil([&] { return ended; }));
  EXPECT_EQ(offered, wxString::FromUTF8(fs::path(name_).replace_extension(".gpx").string()));
  EXPECT_TRUE(ok) << window_->messages.texts.back();
  EXPECT_EQ(written, target + ".gpx");
  const std::string csv = Output("gpsbabel -i gpx -f '" + written + "' -o csv -F -");
  const int rows = static_cast<int>(std::count(csv.begin(), csv.end(), '\n'));
  EXPECT_EQ(rows, W()->Trip().CurrentTrack().PointCount()) << csv;

  // Nothing to export: a card's list with nothing ticked and nothing playing.
  W()->StopPlayback();
  ended = false;
  const std::size_t before = window_->messages.texts.size();
  W()->Trip().ExportTracks();
  EXPECT_EQ(window_->messages.texts.size(), before + 1);
  EXPECT_FALSE(ended);
}

// A Novatek recording's fixes, read from its own GPS blocks, are the track on the map, drawn on
// the screen.
TEST(FamilyTrack, ANovatekRecordingsFixesAreItsTrackOnTheMap) {
  TempDir card("track-novatek"), config("track-novatek-config");
  ASSERT_TRUE(apptest::MakeCard(card.str(),
                                "--family novatek --kinds REC --count 1 --seconds 8 --rear no "
                                "--front 320x180 --no-damaged"));
  Window window(card.str(), config.str() + "/config.cfg");
  CSamplePlayerDlg* w = window.get();
  auto* map = dynamic_cast<CMapView*>(w->FindControl(kIdMapView));
  ASSERT_NE(map, nullptr);
  if (map->Browser() == nullptr) GTEST_SKIP() << "no web view backend";
  map->SetNetworkCheck(&Online);
  map->SetTileUrl("http://127.0.0.1:9/{z}/{x}/{y}.png");
  w->PollCard();
  ASSERT_TRUE(PumpUntil([&] { return w->OtherCard().Complete(); }, 60000));
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  const cards::CardRecording* r = w->OtherCard().Find(Cell(w, 0, 1));
  ASSERT_NE(r, nullptr);
  const std::string front = card.str() + "/" + r->files.front().path;
  const metadata::RecordingMetadata read =
      metadata::ReadRecordingMetadata(front, metadata::CameraClockMs(front), nullptr);
  const auto valid = std::count_if(read.data.fixes.begin(), read.data.fixes.end(),
                                   [](const metadata::Fix& f) { return f.valid; });
  ASSERT_GE(valid, 6);

  apptest::DoubleClickRow(w, 0);
  ASSERT_TRUE(PumpUntil([&] { return map->DrawnTrackPoints() >= 0; }, 20000))
      << "the page never drew the track";
  EXPECT_EQ(map->DrawnTrackPoints(), static_cast<int>(valid));
  ASSERT_TRUE(PumpUntil([&] { return w->Panes().map == kPaneSmall; }));
  apptest::Click(w, kIdMapSize);
  st::Pump(800);
  const wxRect mapRect(map->GetScreenPosition(), map->GetSize());
  EXPECT_GT(TrackPixels(st::Grab(mapRect)), 100) << "no track on the screen";
}

}  // namespace
