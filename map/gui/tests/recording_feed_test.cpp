// SPDX-License-Identifier: GPL-3.0-or-later
// A whole recording's telemetry, as playback hands it over: the text records of a card written by
// roadeye-mkcard go into the store at their media times, and the graph and the map follow.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/time.h>
#include <wx/utils.h>
#include <wx/webview.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "map/gui/CMapView.h"
#include "map/gui/MapPage.h"
#include "skin/testing/Screen.h"
#include "telemetry/CTextData.h"
#include "telemetry/gui/CGraphStatic.h"
#include "telemetry/gui/GSensorGraphFeed.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

bool Online() { return true; }

using screentest::PumpUntil;

struct Record {
  std::string bytes;
  int timeMs;
};

// The text records of the card's one recording with their media times: the number of front
// pictures delivered before each record, at 30 per second, as the engine counts them.
std::vector<Record> TextRecords(const std::string& card) {
  std::vector<Record> out;
  VexHandle h = VexStart();
  VexInitialise(h, card.c_str());
  char drive = 0;
  VexCardPoll(h, &drive);
  VexCardAttach(h);
  std::string name;
  for (const auto& e : fs::directory_iterator(fs::path(card) / "VEX")) {
    name = e.path().stem().string() + ".avi";
  }
  int id = VexSelectByName(h, kVexContinuous, name.c_str());
  if (VexOpenStream(h, kVexContinuous, 0, id)) {
    std::vector<char> buf(1048576);
    int fronts = 0;
    for (;;) {
      std::uint8_t channel = 0, type = 0, flags = 0;
      std::int32_t scratch = 0;
      int size = int(buf.size());
      if (VexReadPacket(h, &channel, &type, &flags, &size, buf.data(), &scratch) != kVexReadOk)
        break;
      if ((type == 0 || type == 2) && channel == 0) ++fronts;
      if (type == 3)
        out.push_back(Record{std::string(buf.data(), std::size_t(size)), fronts * 1000 / 30});
    }
  }
  VexRelease(h);
  return out;
}

}  // namespace

TEST(RecordingFeed, GraphAndMapFollowTheRecordingsTelemetry) {
  char tmpl[] = "/tmp/roadeye-feed-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  const std::string cmd = std::string(ROADEYE_BIN_DIR) + "/roadeye-mkcard " + root +
                          " --seconds 5 --count 1 --kinds REC --rear no --no-damaged > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::vector<Record> records = TextRecords(root);
  fs::remove_all(root);
  ASSERT_FALSE(records.empty());

  wxFrame* frame = new wxFrame(nullptr, wxID_ANY, "feed", wxDefaultPosition, wxSize(800, 400));
  CGraphStatic* graph = new CGraphStatic(frame, 1101, wxPoint(0, 0), wxSize(400, 104));
  CMapView* map = new CMapView(frame, 1106, wxPoint(0, 110), wxSize(320, 180));
  map->SetTileUrl("file:///nonexistent-roadeye-tiles/{z}/{x}/{y}.png");
  frame->Show();
  GSensorGraph g = SetUpGSensorGraph(*graph);
  bool loaded = false;
  if (map->Browser()) {
    map->Browser()->Bind(wxEVT_WEBVIEW_LOADED, [&](wxWebViewEvent& e) {
      loaded = loaded || e.GetURL().StartsWith(kMapPageBaseUrl);
      e.Skip();
    });
    map->SetNetworkCheck(&Online);
    ASSERT_TRUE(map->NavigateMapPage());
    ASSERT_TRUE(PumpUntil([&] { return loaded; }, 8000));
    ASSERT_TRUE(PumpUntil([&] { return !map->CallJScript("markerPosition()").empty(); }, 4000));
  }

  // Playback's 100 ms tick, compressed: after each record the graph is fed for the current second
  // and the map shown the newest fix.
  CTextData store;
  int fedSeconds = 0;
  for (const Record& r : records) {
    std::string payload = r.bytes;
    payload.push_back('\0');
    store.OnTextData(payload.data(), int(payload.size()), r.timeMs);
    int second = r.timeMs / 1000 + 1;
    if (UpdateGSensorGraph(g, store, second)) fedSeconds = g.shown;
    if (map->Browser() && store.GpsCount() > 0) map->ShowPosition(store.LastGps());
  }

  // One G-sensor sample per second and every fix, all valid, along the route near the start.
  EXPECT_EQ(store.GSensorCount(), 5);
  EXPECT_EQ(store.GpsCount(), 5);
  for (int i = 0; i < store.GpsCount(); ++i) {
    CGPSData fix = store.Gps(i);
    EXPECT_TRUE(fix.valid);
    EXPECT_NEAR(fix.GetLatitude(), 37.566, 0.02);
    EXPECT_NEAR(fix.GetLongitude(), 126.978, 0.02);
  }
  // The graph shows every sample, one value per axis each.
  EXPECT_EQ(fedSeconds, 5);
  EXPECT_EQ(g.x->count, 5);
  EXPECT_EQ(g.y->count, 5);
  EXPECT_EQ(g.z->count, 5);
  // The marker stands at the last fix.
  if (map->Browser()) {
    CGPSData last = store.LastGps();
    double lat = 0, lng = 0;
    std::string pos;
    // The marker moves without the tick waiting for the page: give the page its turn.
    EXPECT_TRUE(PumpUntil(
        [&] {
          pos = map->CallJScript("markerPosition()").utf8_string();
          return std::sscanf(pos.c_str(), "%lf,%lf", &lat, &lng) == 2 &&
                 std::fabs(lat - last.GetLatitude()) < 1e-5;
        },
        4000))
        << pos;
    EXPECT_NEAR(lat, last.GetLatitude(), 1e-5);
    EXPECT_NEAR(lng, last.GetLongitude(), 1e-5);
  }
  frame->Destroy();
}
