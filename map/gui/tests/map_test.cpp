// SPDX-License-Identifier: GPL-3.0-or-later
// The map view: command texts taken apart and turned into safe script calls, and the map page in
// a real browser (WebKit under Xvfb, label gui). No test uses the network: the views' tile server
// is a file URL, which the tile fetcher refuses, so the map shows its plain background.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/time.h>
#include <wx/utils.h>
#include <wx/webview.h>

#include <string>
#include <vector>

#include "map/gui/CMapView.h"
#include "map/gui/MapPage.h"
#include "skin/testing/Screen.h"
#include "telemetry/CGPSData.h"
#include "telemetry/Track.h"

namespace {

bool Online() { return true; }
bool Offline() { return false; }

// A fix at the given decimal degrees (the record keeps ddmm.mmmm).
CGPSData Fix(double lat, double lng, bool valid) {
  auto raw = [](double degrees) {
    const double sign = degrees < 0 ? -1 : 1;
    const double a = degrees * sign;
    const int whole = static_cast<int>(a);
    return sign * (whole * 100 + (a - whole) * 60);
  };
  CGPSData fix;
  fix.valid = valid ? 1 : 0;
  fix.latitude = raw(lat);
  fix.longitude = raw(lng);
  return fix;
}

using screentest::PumpUntil;

}  // namespace

TEST(MapCommand, TakesTheCommandApart) {
  const JsCommand call = ParseJsCommand("javascript:DrawCurrent('37.552057', '126.991234')");
  EXPECT_EQ(call.name, "DrawCurrent");
  EXPECT_EQ(call.args, (std::vector<std::string>{"37.552057", "126.991234"}));

  const JsCommand spaced = ParseJsCommand("  x javascript:  f  (;;a\t\"b\"),c;");
  EXPECT_EQ(spaced.name, "f");
  EXPECT_EQ(spaced.args, (std::vector<std::string>{"a", "b", "c"}));

  const JsCommand none = ParseJsCommand("DrawCurrent 1 2");
  EXPECT_EQ(none.name, "");
  EXPECT_EQ(none.args, (std::vector<std::string>{"DrawCurrent", "1", "2"}));

  EXPECT_EQ(ParseJsCommand("").name, "");
  EXPECT_TRUE(ParseJsCommand("").args.empty());
}

TEST(MapCommand, PositionCommandHasSixDecimals) {
  EXPECT_EQ(PositionCommand(Fix(-33.5, 151.25, true)),
            "javascript:DrawCurrent('-33.500000', '151.250000')");
}

TEST(MapCommand, StringLiteralEscapesEverythingThatCouldEndIt) {
  EXPECT_EQ(JsStringLiteral("plain"), "\"plain\"");
  EXPECT_EQ(JsStringLiteral("a\"b'c\\d"), "\"a\\\"b\\'c\\\\d\"");
  EXPECT_EQ(JsStringLiteral("x</script>"), "\"x\\x3C/script>\"");
  EXPECT_EQ(JsStringLiteral("1\n2\r3"), "\"1\\n2\\r3\"");
  EXPECT_EQ(JsStringLiteral("\xE2\x80\xA8|\xE2\x80\xA9"), "\"\\u2028|\\u2029\"");
  EXPECT_EQ(JsStringLiteral(std::string("\x01", 1)), "\"\\x01\"");
  EXPECT_EQ(JsStringLiteral("\xEC\xA7\x80"), "\"\xEC\xA7\x80\"");  // other UTF-8 passes
}

TEST(MapCommand, OnlyPlainNamesMakeAScript) {
  EXPECT_EQ(JsCallScript("", {}), "");
  EXPECT_EQ(JsCallScript("a.b", {}), "");
  EXPECT_EQ(JsCallScript("x=1;y", {}), "");
  EXPECT_EQ(JsCallScript("1abc", {}), "");
  EXPECT_NE(JsCallScript("DrawCurrent", {"1", "2"}), "");
}

TEST(MapPageText, NamesLeafletTheTilesAndTheFunctions) {
  const std::string page = MapPageHtml("roadeye-tile-7://{z}/{x}/{y}.png");
  EXPECT_NE(page.find("src=\"leaflet.js\""), std::string::npos);
  EXPECT_NE(page.find("href=\"leaflet.css\""), std::string::npos);
  EXPECT_NE(page.find("\"roadeye-tile-7://{z}/{x}/{y}.png\""), std::string::npos);
  EXPECT_NE(page.find("37.5660483, 126.9779299"), std::string::npos);
  EXPECT_NE(MapPageHtml("file:///t/{z}/\"</x>").find("\"file:///t/{z}/\\\"\\x3C/x>\""),
            std::string::npos);
  for (const char* name : {"initialize", "DrawCurrent", "addMarker", "setAllMap", "clearMarkers",
                           "showMarkers", "deleteMarkers"}) {
    EXPECT_NE(page.find(std::string("function ") + name + "("), std::string::npos) << name;
  }
}

// A shown frame holding one map view.
class MapViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frame_ = new wxFrame(nullptr, wxID_ANY, "map", wxDefaultPosition, wxSize(400, 300));
    view_ = new CMapView(frame_, 1106, wxPoint(0, 0), wxSize(320, 180));
    view_->SetTileUrl("file:///nonexistent-roadeye-tiles/{z}/{x}/{y}.png");
    frame_->Show();
    if (view_->Browser() == nullptr) GTEST_SKIP() << "no web view backend";
    view_->Browser()->Bind(wxEVT_WEBVIEW_LOADED, [this](wxWebViewEvent& event) {
      if (event.GetURL().StartsWith(kMapPageBaseUrl)) loaded_ = true;
      event.Skip();
    });
  }
  void TearDown() override { frame_->Destroy(); }

  // Loads the page and waits until its marker exists.
  void LoadPage() {
    view_->SetNetworkCheck(&Online);
    ASSERT_TRUE(view_->NavigateMapPage());
    ASSERT_TRUE(PumpUntil([this] { return loaded_; }, 8000)) << "page never loaded";
    ASSERT_TRUE(PumpUntil([this] { return !Position().empty(); }, 4000)) << "no marker";
  }

  std::string Position() { return view_->CallJScript("markerPosition()").utf8_string(); }

  wxFrame* frame_ = nullptr;
  CMapView* view_ = nullptr;
  bool loaded_ = false;
};

TEST_F(MapViewTest, MarkerStartsAtTheCentreAndFollowsValidFixes) {
  LoadPage();
  EXPECT_EQ(Position(), "37.5660483,126.9779299");

  // The marker moves without the caller waiting for the page.
  view_->ShowPosition(Fix(-33.5, 151.25, true));
  EXPECT_TRUE(PumpUntil([this] { return Position() == "-33.5000000,151.2500000"; }, 4000))
      << Position();

  view_->ShowPosition(Fix(12.0, 34.0, false));
  EXPECT_EQ(Position(), "-33.5000000,151.2500000");

  view_->CallJScript("javascript:DrawCurrent('37.552057', '126.991234')");
  EXPECT_EQ(Position(), "37.5520570,126.9912340");
}

TEST_F(MapViewTest, UnknownOrMissingFunctionsGiveEmptyText) {
  LoadPage();
  EXPECT_EQ(view_->CallJScript(""), "");
  EXPECT_EQ(view_->CallJScript("javascript:DrawCurrent 1 2"), "");
  EXPECT_EQ(view_->CallJScript("javascript:noSuchFunction('1')"), "");
  EXPECT_EQ(view_->CallJScript("javascript:(1, 2)"), "");
  EXPECT_EQ(view_->CallJScript("javascript:DrawCurrent.call(null, 1, 2)"), "");
  EXPECT_EQ(Position(), "37.5660483,126.9779299");
  // Functions that return nothing give empty text too.
  EXPECT_EQ(view_->CallJScript("javascript:deleteMarkers()"), "");
  EXPECT_EQ(view_->CallJScript("javascript:echo('abc')"), "abc");
}

TEST_F(MapViewTest, ArgumentsArriveUnchangedAndRunNothing) {
  LoadPage();
  const std::string tricky =
      "\"'); window.injected = 1; ('\\\"</script><script>window.injected = 2</script>\n"
      "\xE2\x80\xA8\xE2\x80\xA9 \xEC\xA7\x80\xEB\x8F\x84";
  EXPECT_EQ(view_->CallFunction("echo", {tricky}).utf8_string(), tricky);
  EXPECT_EQ(view_->CallJScript("javascript:echo(a\\b</script>\nc\\\\)").utf8_string(),
            "a\\b</script>\nc\\\\");
  EXPECT_EQ(view_->CallJScript("javascript:String(window.injected)"), "window.injected");
  wxString injected;
  ASSERT_TRUE(view_->Browser()->RunScript("String(typeof window.injected)", &injected));
  EXPECT_EQ(injected, "undefined");
  EXPECT_EQ(Position(), "37.5660483,126.9779299");
}

TEST_F(MapViewTest, OfflineLoadsNothing) {
  view_->SetNetworkCheck(&Offline);
  EXPECT_FALSE(view_->NavigateMapPage());
  PumpUntil([] { return false; }, 300);
  EXPECT_FALSE(loaded_);
  const wxString url = view_->Browser()->GetCurrentURL();
  EXPECT_TRUE(url.empty() || url == "about:blank") << url;
  EXPECT_EQ(view_->CallJScript("javascript:markerPosition()"), "");
}

// ---- The track and the page's messages
// -----------------------------------------------------------

TEST(PageMessages, OnlyThePagesOwnShortTextsAreRead) {
  EXPECT_EQ(ParsePageMessage("ready").kind, PageMessage::kReady);
  const PageMessage drawn = ParsePageMessage("drawn 3600");
  EXPECT_EQ(drawn.kind, PageMessage::kDrawn);
  EXPECT_EQ(drawn.count, 3600);
  const PageMessage seek = ParsePageMessage("seek -33.8567844 151.2152967");
  ASSERT_EQ(seek.kind, PageMessage::kSeek);
  EXPECT_DOUBLE_EQ(seek.latitude, -33.8567844);
  EXPECT_DOUBLE_EQ(seek.longitude, 151.2152967);
  for (const char* hostile : {"",
                              "Ready",
                              "ready ",
                              "drawn",
                              "drawn -1",
                              "drawn 36001",
                              "drawn 1e3",
                              "drawn 12x",
                              "seek",
                              "seek 1",
                              "seek 1 2 3",
                              "seek 91 0",
                              "seek 0 -180.5",
                              "seek 1e308 0",
                              "seek NaN 0",
                              "seek inf 0",
                              "seek 0x10 0",
                              "seek  1 2",
                              "seek 1,2",
                              "seek -. 1",
                              "seek 37.5 126.9;alert(1)",
                              "<script>alert(1)</script>",
                              "[object Object]",
                              "seek 37.566000000000000000000000 126.978"}) {
    EXPECT_EQ(ParsePageMessage(hostile).kind, PageMessage::kNone) << hostile;
  }
  EXPECT_EQ(ParsePageMessage("seek 1 " + std::string(100, '1')).kind, PageMessage::kNone);
}

// A track of three segments in the page: every point drawn, the ends where they belong, the map
// fitted to it; clicks reach the handler only as checked positions.
class MapTrackTest : public MapViewTest {
 protected:
  static Track ThreeSegments() {
    TrackBuilder builder;
    int t = 0;
    auto add = [&](double lat, double lng, bool valid) {
      CGPSData fix = Fix(lat, lng, valid);
      fix.year = 24, fix.month = 6, fix.day = 12, fix.hour = 17;  // a track point has a time
      builder.Add(fix, t);
      t += 1000;
    };
    for (int i = 0; i < 5; ++i) add(37.5660 + i * 0.0002, 126.9780, true);
    add(0, 0, false);  // no fix: the line breaks
    for (int i = 0; i < 4; ++i) add(37.5672, 126.9780 + i * 0.0003, true);
    for (int i = 0; i < 3; ++i) add(37.5800 + i * 0.0002, 126.9790, true);  // a jump: a new line
    return builder.Take("REC_20240612_081500_D.avi");
  }
  void PostFromPage(const std::string& argument) {
    view_->Browser()->RunScript("window.webkit.messageHandlers.roadeye.postMessage(" + argument +
                                ")");
  }
};

TEST_F(MapTrackTest, DrawsEveryPointFitsTheMapAndReportsOnlyCheckedClicks) {
  std::vector<std::pair<double, double>> clicks;
  view_->SetTrackClickHandler([&](double lat, double lng) { clicks.emplace_back(lat, lng); });
  const Track track = ThreeSegments();
  ASSERT_EQ(track.segments.size(), 3u);
  // Given before the page exists, drawn once it is ready.
  view_->SetTrack(track);
  LoadPage();
  ASSERT_TRUE(PumpUntil([this] { return view_->DrawnTrackPoints() >= 0; }, 4000));
  EXPECT_EQ(view_->DrawnTrackPoints(), 12);
  EXPECT_EQ(view_->CallJScript("trackInfo()"), "12;37.5660000,126.9780000;37.5804000,126.9790000");
  // Fitted: both ends inside the view.
  wxString inside;
  ASSERT_TRUE(
      view_->Browser()->RunScript("String(map.getBounds().contains([37.5660, 126.9780]) && "
                                  "map.getBounds().contains([37.5804, 126.9790]))",
                                  &inside));
  EXPECT_EQ(inside, "true");

  // Hostile messages: other types, huge and odd numbers, script text; then one real click.
  for (const char* hostile :
       {"123", "{lat: 37.5, lng: 126.9}", "['seek', 37.5, 126.9]", "null", "'seek 1e400 2'",
        "'seek 37.5 126.9<script>'", "'seek 95 10'", "'seek ' + 'x'.repeat(100000)",
        "'drawn 99999999'", "'seek 37.5 126.9\\n'"}) {
    PostFromPage(hostile);
  }
  PostFromPage("'seek 37.5672000 126.9786000'");
  ASSERT_TRUE(PumpUntil([&] { return !clicks.empty(); }, 4000));
  PumpUntil([] { return false; }, 200);
  ASSERT_EQ(clicks.size(), 1u);
  EXPECT_DOUBLE_EQ(clicks[0].first, 37.5672);
  EXPECT_DOUBLE_EQ(clicks[0].second, 126.9786);
  EXPECT_EQ(view_->DrawnTrackPoints(), 12);
  EXPECT_EQ(track.NearestTimeMs(clicks[0].first, clicks[0].second), 8000);

  // An empty track takes the line away.
  view_->SetTrack(Track{});
  EXPECT_TRUE(PumpUntil([this] { return view_->CallJScript("trackInfo()") == "0"; }, 4000));
}
