// SPDX-License-Identifier: GPL-3.0-or-later
// Map tiles on the screen (label gui): the map view's page draws its tiles through the view's own
// scheme, served from the disk cache and fetched from a tile server on 127.0.0.1
// (map/testing/LoopbackTileServer.h) that paints every tile in a colour of its own. The
// tests read the X server's pixels: the tiles' colours after a first fetch, the same colours from
// the cache with the server gone, and with no tile to be had the plain light background (never
// Leaflet's grey) with the marker and a small "offline" note that goes once tiles arrive.
//
// Every map view of this test program fetches from loopback only: the environment below points
// the default tile server at a closed loopback port and the cache at a scratch folder before any
// test runs.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/time.h>
#include <wx/utils.h>
#include <wx/webview.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "map/TileCache.h"
#include "map/gui/CMapView.h"
#include "map/gui/MapPage.h"
#include "map/gui/TileScheme.h"
#include "map/testing/LoopbackTileServer.h"
#include "skin/testing/Screen.h"
#include "support/testing/TempDir.h"

namespace {

using roadeye_test::LoopbackTileServer;
using roadeye_test::Rgb;
using roadeye_test::TempDir;

// Points every map view of the program away from the internet before the tests run.
class LoopbackOnly : public ::testing::Environment {
 public:
  void SetUp() override {
    scratch_ = std::make_unique<TempDir>("tile-env");
    setenv("XDG_CACHE_HOME", scratch_->str().c_str(), 1);
    // Port 9 (discard) on loopback: nothing listens, a connection is refused at once.
    setenv("ROADEYE_TILE_URL", "http://127.0.0.1:9/{z}/{x}/{y}.png", 1);
  }
  void TearDown() override { scratch_.reset(); }

 private:
  std::unique_ptr<TempDir> scratch_;
};
::testing::Environment* const gLoopbackOnly = ::testing::AddGlobalTestEnvironment(new LoopbackOnly);

std::atomic<bool> gOnline{true};
bool NetworkCheck() { return gOnline.load(); }

using screentest::PumpUntil;

constexpr Rgb kPlainBackground{0xF2, 0xEF, 0xE9};
constexpr int kViewWidth = 360;
constexpr int kViewHeight = 260;

bool Near(const unsigned char* p, Rgb c, int tolerance) {
  return std::abs(p[0] - c.r) <= tolerance && std::abs(p[1] - c.g) <= tolerance &&
         std::abs(p[2] - c.b) <= tolerance;
}

// Where the page's tiles fall on the view: Leaflet centres the start position at the start zoom
// and rounds the top-left corner's world pixel.
struct TileGrid {
  int zoom = kMapStartZoom;
  double left = 0;
  double top = 0;

  TileGrid(int width, int height) {
    const double scale = 256.0 * std::pow(2.0, zoom);
    const double lat = kMapStartLatitude * M_PI / 180.0;
    const double x = (kMapStartLongitude + 180.0) / 360.0 * scale;
    const double y = (1.0 - std::log(std::tan(lat) + 1.0 / std::cos(lat)) / M_PI) / 2.0 * scale;
    left = std::round(x - width / 2.0);
    top = std::round(y - height / 2.0);
  }
  TileKey At(int px, int py) const {
    return TileKey{zoom, static_cast<int>(std::floor((left + px) / 256)),
                   static_cast<int>(std::floor((top + py) / 256))};
  }
  // Within `margin` pixels of a tile's edge (where rounding could put the other tile).
  bool NearEdge(int px, int py, int margin) const {
    const double fx = std::fmod(left + px, 256.0);
    const double fy = std::fmod(top + py, 256.0);
    return fx < margin || fx > 256 - margin || fy < margin || fy > 256 - margin;
  }
};

// Sample points of the map, clear of the controls, the marker and the tiles' edges.
std::vector<wxPoint> SamplePoints(const TileGrid& grid, int width, int height) {
  std::vector<wxPoint> points;
  const wxRect zoom_buttons(0, 0, 60, 90);
  const wxRect attribution(width - 240, height - 24, 240, 24);
  const wxRect note(0, height - 45, 110, 45);
  const wxRect marker(width / 2 - 25, height / 2 - 50, 50, 60);
  for (int y = 12; y < height - 6; y += 14) {
    for (int x = 12; x < width - 6; x += 14) {
      const wxPoint p(x, y);
      if (zoom_buttons.Contains(p) || attribution.Contains(p) || note.Contains(p) ||
          marker.Contains(p) || grid.NearEdge(x, y, 6)) {
        continue;
      }
      points.push_back(p);
    }
  }
  return points;
}

class TileViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gOnline = true;
    ASSERT_TRUE(cache_.ok());
  }
  void TearDown() override { CloseView(); }

  // A shown frame with a map view fetching from `url` into the test's cache.
  void OpenView(const std::string& url) {
    frame_ = new wxFrame(nullptr, wxID_ANY, "tiles", wxPoint(0, 0), wxSize(420, 320));
    view_ = new CMapView(frame_, 1106, wxPoint(0, 0), wxSize(kViewWidth, kViewHeight));
    view_->SetTileUrl(url);
    view_->SetTileCacheFolder(cache_.str());
    view_->SetNetworkCheck(&NetworkCheck);
    frame_->Show();
    if (view_->Browser() == nullptr) GTEST_SKIP() << "no web view backend";
    view_->Browser()->Bind(wxEVT_WEBVIEW_LOADED, [this](wxWebViewEvent& event) {
      if (event.GetURL().StartsWith(kMapPageBaseUrl)) loaded_ = true;
      event.Skip();
    });
  }

  // Loads the page (the check says online); `then_offline` turns the check to offline before the
  // page asks for its first tile.
  void LoadPage(bool then_offline = false) {
    loaded_ = false;
    ASSERT_TRUE(view_->NavigateMapPage());
    if (then_offline) gOnline = false;
    ASSERT_TRUE(PumpUntil([this] { return loaded_; }, 10000)) << "page never loaded";
  }

  void CloseView() {
    if (frame_ == nullptr) return;
    // Answers to scripts still on their way must come back before the browser goes.
    PumpUntil([this] { return view_->PendingScripts() == 0; }, 3000);
    frame_->Destroy();
    PumpUntil([] { return false; }, 100);
    frame_ = nullptr;
    view_ = nullptr;
  }

  wxImage Grab() { return screentest::GrabClient(view_->Browser()); }

  // Waits for the offline look as a whole (on a busy machine the note may be drawn before the
  // marker): the note, the plain background and the marker, in *shot.
  ::testing::AssertionResult WaitForOfflineLook(wxImage* shot) {
    if (PumpUntil(
            [&] {
              *shot = Grab();
              return NoteTextPixels(*shot) > 10 && BackgroundMismatches(*shot) == 0 &&
                     MarkerPixels(*shot) > 40;
            },
            20000)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no offline look: note " << NoteTextPixels(*shot)
                                         << ", marker " << MarkerPixels(*shot);
  }

  // The sample points whose pixel is not the colour of the tile under it.
  int TileMismatches(const wxImage& image) {
    const wxSize size = view_->Browser()->GetClientSize();
    const TileGrid grid(size.x, size.y);
    int wrong = 0;
    for (const wxPoint& p : SamplePoints(grid, size.x, size.y)) {
      const TileKey key = grid.At(p.x, p.y);
      const Rgb colour = roadeye_test::TileColour(key.z, key.x, key.y);
      if (!Near(image.GetData() + 3 * (p.y * image.GetWidth() + p.x), colour, 6)) ++wrong;
    }
    return wrong;
  }

  // The tiles under the sample points.
  std::set<std::string> VisibleTiles() {
    const wxSize size = view_->Browser()->GetClientSize();
    const TileGrid grid(size.x, size.y);
    std::set<std::string> keys;
    for (const wxPoint& p : SamplePoints(grid, size.x, size.y)) {
      const TileKey key = grid.At(p.x, p.y);
      keys.insert(std::to_string(key.z) + "/" + std::to_string(key.x) + "/" +
                  std::to_string(key.y));
    }
    return keys;
  }

  // Counts pixels of the note's corner that are the note's dark text.
  int NoteTextPixels(const wxImage& image) {
    const int height = image.GetHeight();
    int dark = 0;
    for (int y = height - 40; y < height - 4; ++y) {
      for (int x = 4; x < 100; ++x) {
        const unsigned char* p = image.GetData() + 3 * (y * image.GetWidth() + x);
        if (std::max({p[0], p[1], p[2]}) < 110) ++dark;
      }
    }
    return dark;
  }

  // Blue pixels of Leaflet's marker icon, which stands on the centre.
  int MarkerPixels(const wxImage& image) {
    const int cx = image.GetWidth() / 2;
    const int cy = image.GetHeight() / 2;
    int blue = 0;
    for (int y = cy - 40; y < cy - 4; ++y) {
      for (int x = cx - 12; x < cx + 12; ++x) {
        const unsigned char* p = image.GetData() + 3 * (y * image.GetWidth() + x);
        if (p[2] > 150 && p[0] < 120 && p[2] > p[1]) ++blue;
      }
    }
    return blue;
  }

  // The sample points showing the plain background.
  int BackgroundMismatches(const wxImage& image) {
    const wxSize size = view_->Browser()->GetClientSize();
    const TileGrid grid(size.x, size.y);
    int wrong = 0;
    for (const wxPoint& p : SamplePoints(grid, size.x, size.y)) {
      if (!Near(image.GetData() + 3 * (p.y * image.GetWidth() + p.x), kPlainBackground, 4)) ++wrong;
    }
    return wrong;
  }

  TempDir cache_{"map-tiles"};
  wxFrame* frame_ = nullptr;
  CMapView* view_ = nullptr;
  bool loaded_ = false;
};

TEST_F(TileViewTest, FirstViewFetchesAndStoresTheTilesThenTheCacheShowsThemWithTheServerGone) {
  auto server = std::make_unique<LoopbackTileServer>();
  ASSERT_TRUE(server->ok());
  const std::string url = server->UrlTemplate();

  OpenView(url);
  LoadPage();
  wxImage shot;
  EXPECT_TRUE(PumpUntil(
      [&] {
        shot = Grab();
        return TileMismatches(shot) == 0;
      },
      20000))
      << TileMismatches(shot) << " sample points are not their tile's colour";
  EXPECT_GT(MarkerPixels(shot), 40);
  const std::set<std::string> visible = VisibleTiles();
  ASSERT_GE(visible.size(), 2u);
  TileCache cache(cache_.str());
  for (const std::string& key : visible) {
    const auto tile = ParseTilePath(key);
    ASSERT_TRUE(tile.has_value());
    EXPECT_TRUE(cache.Contains(*tile)) << key << " was shown but not stored";
  }
  EXPECT_GE(server->Requests(), static_cast<int>(visible.size()));
  EXPECT_LE(server->MostConnections(), 2);
  EXPECT_EQ(server->LastUserAgent(), TileUserAgent());
  EXPECT_EQ(NoteTextPixels(shot), 0);
  CloseView();

  // A second run: the server is gone, the tiles come from the disk cache.
  server.reset();
  OpenView(url);
  LoadPage();
  EXPECT_TRUE(PumpUntil(
      [&] {
        shot = Grab();
        return TileMismatches(shot) == 0;
      },
      20000))
      << TileMismatches(shot) << " sample points are not their tile's colour";
  EXPECT_GE(view_->Tiles()->ServedFromCache(), static_cast<int>(visible.size()));
  EXPECT_EQ(view_->Tiles()->FetchStats().sent, 0u);  // every tile was fresh: nothing asked for
  EXPECT_EQ(NoteTextPixels(shot), 0);
  EXPECT_GT(MarkerPixels(shot), 40);
}

// What the page made of a picture loaded from `uri`: "loaded", "error", or "" when the page did
// not say within the limit. The page's answers come through the view's tagged calls: the browser's
// own blocking call takes whichever answer comes first, also one to a tile's reload.
std::string PageLoadsPicture(CMapView* view, const std::string& uri) {
  view->Browser()->RunScript(
      "window.roadeyeProbeStart = function (uri) { window.roadeyeProbe = 'wait';"
      "  var probe = new Image();"
      "  probe.onload = function () { window.roadeyeProbe = 'loaded'; };"
      "  probe.onerror = function () { window.roadeyeProbe = 'error'; };"
      "  probe.src = uri; return 'started'; };"
      "window.roadeyeProbeState = function () { return window.roadeyeProbe; }; 'defined'");
  if (view->CallFunction("roadeyeProbeStart", {uri}) != "started") return {};
  wxString state;
  PumpUntil(
      [&] {
        state = view->CallFunction("roadeyeProbeState", {});
        return state == "loaded" || state == "error";
      },
      10000);
  return state == "loaded" || state == "error" ? state.utf8_string() : std::string();
}

TEST_F(TileViewTest, AClosedViewsSchemeAnswersNothingWhileTheOpenViewServesItsOwn) {
  LoopbackTileServer server;
  ASSERT_TRUE(server.ok());
  OpenView(server.UrlTemplate());
  const wxString closedScheme = view_->TileScheme();
  LoadPage();
  // The first view's tiles are cached now; its scheme stays registered with WebKit after it goes.
  ASSERT_TRUE(PumpUntil([&] { return TileMismatches(Grab()) == 0; }, 20000));
  CloseView();

  OpenView(server.UrlTemplate());
  ASSERT_NE(view_->TileScheme(), closedScheme);
  LoadPage();
  ASSERT_TRUE(PumpUntil([&] { return TileMismatches(Grab()) == 0; }, 20000));
  const std::string tile = "://" + std::to_string(kMapStartZoom) + "/0/0.png";
  const int cachedBefore = view_->Tiles()->ServedFromCache();
  EXPECT_EQ(PageLoadsPicture(view_, view_->TileScheme().utf8_string() + tile), "loaded");
  EXPECT_EQ(PageLoadsPicture(view_, closedScheme.utf8_string() + tile), "error");
  // A path that is no tile is refused by the open view's own scheme as well.
  EXPECT_EQ(PageLoadsPicture(view_, view_->TileScheme().utf8_string() + "://x/y.png"), "error");
  EXPECT_GE(view_->Tiles()->ServedFromCache() + view_->Tiles()->ServedEmpty(), cachedBefore + 1);
}

TEST(TileSchemeAnswer, ComesFromTheSourceWhileItLivesAndIsNothingOnceItIsGone) {
  TempDir folder("tile-answer");
  auto source = std::make_shared<MapTileSource>(nullptr);
  source->SetCacheFolder(folder.str());
  source->SetNetworkCheck([] { return false; });
  const std::string png = roadeye_test::TilePng(3, 2, 1);
  TileMeta meta;
  meta.expires = std::numeric_limits<std::int32_t>::max();
  ASSERT_TRUE(source->Cache().Store(TileKey{3, 2, 1}, png, meta));
  const std::weak_ptr<MapTileSource> weak = source;

  EXPECT_EQ(AnswerTileRequest(weak, "roadeye-tile-9://3/2/1.png"), png);
  EXPECT_EQ(AnswerTileRequest(weak, "roadeye-tile-9://3/2/0.png"), kTransparentTilePng);
  EXPECT_EQ(AnswerTileRequest(weak, "roadeye-tile-9://3/2/1.png/../../etc"), "");
  EXPECT_EQ(AnswerTileRequest(weak, "roadeye-tile-9://3/99/1.png"), "");
  source.reset();
  EXPECT_EQ(AnswerTileRequest(weak, "roadeye-tile-9://3/2/1.png"), "");
}

class TileSchemeNameTest : public ::testing::TestWithParam<const char*> {};

TEST_P(TileSchemeNameTest, ANameWebKitCouldMisreadIsNotRegistered) {
  auto* frame = new wxFrame(nullptr, wxID_ANY, "scheme", wxPoint(0, 0), wxSize(200, 150));
  CMapView view(frame, wxID_ANY);
  if (view.Browser() == nullptr) {
    frame->Destroy();
    GTEST_SKIP() << "no web view backend";
  }
  auto source = std::make_shared<MapTileSource>(nullptr);
  EXPECT_FALSE(RegisterTileScheme(view.Browser(), wxString::FromUTF8(GetParam()), source));
  EXPECT_FALSE(RegisterTileScheme(nullptr, "roadeye-tile-999", source));
  frame->Destroy();
}

INSTANTIATE_TEST_SUITE_P(Names, TileSchemeNameTest,
                         ::testing::Values("", "http", "file", "data", "roadeye-tile-",
                                           "roadeye-tile-1x", "Roadeye-tile-1", "roadeye-tile-1/",
                                           "roadeye-tile-12345678901"));

// How the tiles become impossible to fetch.
enum class NoTiles { kNetworkCheckSaysOffline, kServerPortClosed };

class TileViewOfflineTest : public TileViewTest, public ::testing::WithParamInterface<NoTiles> {};

TEST_P(TileViewOfflineTest, WithAnEmptyCacheShowsThePlainBackgroundTheMarkerAndTheNote) {
  std::string url;
  {
    LoopbackTileServer closed;  // started and stopped: its port refuses connections
    ASSERT_TRUE(closed.ok());
    url = closed.UrlTemplate();
  }
  OpenView(url);
  // The page is loaded while the check says online; then it says offline.
  LoadPage(GetParam() == NoTiles::kNetworkCheckSaysOffline);
  wxImage shot;
  EXPECT_TRUE(WaitForOfflineLook(&shot));
  EXPECT_EQ(BackgroundMismatches(shot), 0) << "not the plain background";
  EXPECT_GT(MarkerPixels(shot), 40);
  // Nothing of Leaflet's grey (#ddd) anywhere but under the controls.
  const TileGrid grid(shot.GetWidth(), shot.GetHeight());
  int grey = 0;
  for (const wxPoint& p : SamplePoints(grid, shot.GetWidth(), shot.GetHeight())) {
    grey += Near(shot.GetData() + 3 * (p.y * shot.GetWidth() + p.x), Rgb{0xDD, 0xDD, 0xDD}, 6);
  }
  EXPECT_EQ(grey, 0);
  EXPECT_GT(view_->Tiles()->ServedEmpty(), 0);
  EXPECT_EQ(view_->Tiles()->ServedFromCache(), 0);
  if (GetParam() == NoTiles::kNetworkCheckSaysOffline) {
    EXPECT_EQ(view_->Tiles()->FetchStats().sent, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Causes, TileViewOfflineTest,
                         ::testing::Values(NoTiles::kNetworkCheckSaysOffline,
                                           NoTiles::kServerPortClosed),
                         [](const auto& info) {
                           return info.param == NoTiles::kNetworkCheckSaysOffline
                                      ? std::string("NetworkCheckSaysOffline")
                                      : std::string("ServerPortClosed");
                         });

TEST_F(TileViewTest, TheNoteGoesWhenTheServerComesBackAndTilesArrive) {
  LoopbackTileServer server;
  ASSERT_TRUE(server.ok());
  server.SetMode(LoopbackTileServer::Mode::kHangUp);
  OpenView(server.UrlTemplate());
  TileFetcher::Options options;
  options.first_retry_delay = std::chrono::milliseconds(500);
  view_->Tiles()->SetFetchOptions(options);
  LoadPage();
  wxImage shot;
  ASSERT_TRUE(WaitForOfflineLook(&shot));
  EXPECT_EQ(BackgroundMismatches(shot), 0);

  server.SetMode(LoopbackTileServer::Mode::kTiles);
  EXPECT_TRUE(PumpUntil(
      [&] {
        shot = Grab();
        return TileMismatches(shot) == 0 && NoteTextPixels(shot) == 0;
      },
      20000))
      << TileMismatches(shot) << " sample points are not their tile's colour; note pixels "
      << NoteTextPixels(shot);
  EXPECT_LE(server.MostConnections(), 2);
}

}  // namespace
