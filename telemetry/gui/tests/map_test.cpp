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

#include "telemetry/CGPSData.h"
#include "telemetry/gui/CMapView.h"
#include "telemetry/gui/MapPage.h"

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

// Runs the GUI's events until `done` holds or `ms` milliseconds pass.
template <typename Done>
bool PumpUntil(Done done, long ms) {
  const wxLongLong end = wxGetLocalTimeMillis() + ms;
  while (!done()) {
    if (wxGetLocalTimeMillis() > end) return false;
    wxTheApp->Yield(true);
    wxMilliSleep(5);
  }
  return true;
}

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
  const std::string page = MapPageHtml();
  EXPECT_NE(page.find("src=\"leaflet.js\""), std::string::npos);
  EXPECT_NE(page.find("href=\"leaflet.css\""), std::string::npos);
  EXPECT_NE(page.find(kMapTileUrl), std::string::npos);
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
