// SPDX-License-Identifier: GPL-3.0-or-later
// The G-sensor graph drawn into its off-screen bitmap and read back pixel by pixel, and the feed
// from the telemetry store. Runs under Xvfb (label gui).
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/frame.h>
#include <wx/image.h>

#include <cmath>
#include <cstring>
#include <string>

#include "telemetry/CTextData.h"
#include "telemetry/gui/CGraphStatic.h"
#include "telemetry/gui/GSensorGraphFeed.h"

namespace {

constexpr int kWidth = 760;
constexpr int kHeight = 104;
constexpr int kPlotBottom = kHeight - 2;

const wxColour kBlue(0, 0, 255);
const wxColour kYellow(255, 255, 0);
const wxColour kRed(255, 0, 0);

wxColour Pixel(const wxImage& image, int x, int y) {
  return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

std::string Describe(const wxColour& c) {
  return std::to_string(c.Red()) + "," + std::to_string(c.Green()) + "," + std::to_string(c.Blue());
}

#define EXPECT_PIXEL(image, x, y, colour) \
  EXPECT_EQ(Describe(Pixel(image, x, y)), Describe(colour)) << "at " << (x) << "," << (y)

// A hidden frame holding one graph of the player window's size.
class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frame_ = new wxFrame(nullptr, wxID_ANY, "graph", wxDefaultPosition, wxSize(800, 200));
    graph_ = new CGraphStatic(frame_, 1156, wxPoint(0, 0), wxSize(kWidth, kHeight));
  }
  void TearDown() override { delete frame_; }

  wxImage Picture() const { return graph_->Picture().ConvertToImage(); }

  wxFrame* frame_ = nullptr;
  CGraphStatic* graph_ = nullptr;
};

TEST_F(GraphTest, GeometryIsFixedAtCreation) {
  const wxRect plot = graph_->PlotRect();
  EXPECT_EQ(plot.GetLeft(), 4);
  EXPECT_EQ(plot.GetTop(), 2);
  EXPECT_EQ(plot.GetRight(), kWidth - 2);
  EXPECT_EQ(plot.GetBottom(), kPlotBottom);
  EXPECT_EQ(graph_->Picture().GetWidth(), kWidth);
  EXPECT_EQ(graph_->Picture().GetHeight(), kHeight);
  EXPECT_EQ(graph_->Rows(), 10);  // defaults: range 100, grid step 10

  graph_->SetSize(wxSize(300, 50));
  EXPECT_EQ(graph_->PlotRect().GetRight(), kWidth - 2);
  EXPECT_EQ(graph_->Picture().GetWidth(), kWidth);
}

TEST_F(GraphTest, EmptyGraphWithoutGridIsBackgroundOnly) {
  graph_->ShowGrid(0);
  const wxImage image = Picture();
  for (int y = 0; y < kHeight; y += 7) {
    for (int x = 0; x < kWidth; x += 13) EXPECT_PIXEL(image, x, y, CGraphStatic::kBackground);
  }
}

TEST_F(GraphTest, GridLinesAtEveryQuarterAndBothPlotEdges) {
  const GSensorGraph g = SetUpGSensorGraph(*graph_);
  ASSERT_NE(g.x, nullptr);
  EXPECT_EQ(graph_->Rows(), 4);
  const wxImage image = Picture();
  // (102 - 2) / 4 = 25 pixels per band: lines 25, 50 and 75 above the plot bottom; the fourth
  // would be the plot top and is not drawn.
  for (int x : {10, 200, 400, 700}) {
    EXPECT_PIXEL(image, x, kPlotBottom - 25, CGraphStatic::kGrid);
    EXPECT_PIXEL(image, x, kPlotBottom - 50, CGraphStatic::kGrid);
    EXPECT_PIXEL(image, x, kPlotBottom - 75, CGraphStatic::kGrid);
    EXPECT_PIXEL(image, x, kPlotBottom - 24, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, x, kPlotBottom - 26, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, x, kPlotBottom - 51, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, x, kPlotBottom - 76, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, x, 2, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, x, 0, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, x, kHeight - 1, CGraphStatic::kBackground);
  }
  // Vertical lines at the plot's left and right.
  for (int y : {10, 40, 64, 90}) {
    EXPECT_PIXEL(image, 4, y, CGraphStatic::kGrid);
    EXPECT_PIXEL(image, kWidth - 2, y, CGraphStatic::kGrid);
    EXPECT_PIXEL(image, 3, y, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, 5, y, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, kWidth - 1, y, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, kWidth - 3, y, CGraphStatic::kBackground);
  }

  graph_->ShowGrid(0);
  EXPECT_PIXEL(Picture(), 200, kPlotBottom - 50, CGraphStatic::kBackground);
}

TEST_F(GraphTest, RestValuesLandAtThreeQuartersHalfAndQuarter) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(graph_->AddValue(g.x, 150), 1);
    EXPECT_EQ(graph_->AddValue(g.y, 100), 1);
    EXPECT_EQ(graph_->AddValue(g.z, 50), 1);
  }
  // value x 104 / 200: 78, 52, 26 pixels above the plot bottom.
  EXPECT_EQ(g.x->values[0], 78);
  EXPECT_EQ(g.y->values[0], 52);
  EXPECT_EQ(g.z->values[0], 26);
  EXPECT_EQ(g.x->count, 10);

  const wxImage image = Picture();
  // Ten values 13 pixels apart: x 4 .. 121.
  for (int x : {6, 30, 60, 100, 120}) {
    EXPECT_PIXEL(image, x, kPlotBottom - 78, kBlue);
    EXPECT_PIXEL(image, x, kPlotBottom - 52, kYellow);
    EXPECT_PIXEL(image, x, kPlotBottom - 26, kRed);
    EXPECT_PIXEL(image, x, kPlotBottom - 79, CGraphStatic::kBackground);
    EXPECT_PIXEL(image, x, kPlotBottom - 77, CGraphStatic::kBackground);
  }
  // Past the oldest value only the grid shows.
  EXPECT_PIXEL(image, 200, kPlotBottom - 78, CGraphStatic::kBackground);
  EXPECT_PIXEL(image, 200, kPlotBottom - 50, CGraphStatic::kGrid);
}

TEST_F(GraphTest, LaterSeriesDrawOverEarlierOnes) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  for (int i = 0; i < 5; ++i) {
    graph_->AddValue(g.x, 100);
    graph_->AddValue(g.z, 100);
  }
  EXPECT_PIXEL(Picture(), 30, kPlotBottom - 52, kRed);
}

TEST_F(GraphTest, NewestValueIsAtTheLeft) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  for (int i = 0; i < 5; ++i) graph_->AddValue(g.x, 100);  // older: x 69 .. 121
  for (int i = 0; i < 5; ++i) graph_->AddValue(g.x, 150);  // newer: x 4 .. 56
  EXPECT_EQ(g.x->values[9], 78);
  EXPECT_EQ(g.x->values[0], 52);

  const wxImage image = Picture();
  EXPECT_PIXEL(image, 20, kPlotBottom - 78, kBlue);
  EXPECT_PIXEL(image, 50, kPlotBottom - 78, kBlue);
  EXPECT_PIXEL(image, 20, kPlotBottom - 52, CGraphStatic::kBackground);
  EXPECT_PIXEL(image, 80, kPlotBottom - 52, kBlue);
  EXPECT_PIXEL(image, 115, kPlotBottom - 52, kBlue);
  EXPECT_PIXEL(image, 80, kPlotBottom - 78, CGraphStatic::kBackground);
}

TEST_F(GraphTest, ValuesAreClippedToThePlot) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  graph_->AddValue(g.x, 1000);
  graph_->AddValue(g.x, -40);
  graph_->AddValue(g.x, 199);  // 199 x 104 / 200 = 103.48 -> 103 -> plot height 100
  graph_->AddValue(g.x, 3);    // 3 x 104 / 200 = 1.56 -> 1 (truncated)
  EXPECT_EQ(g.x->values[0], 100);
  EXPECT_EQ(g.x->values[1], 0);
  EXPECT_EQ(g.x->values[2], 100);
  EXPECT_EQ(g.x->values[3], 1);
}

TEST_F(GraphTest, AddValueWithoutASeriesChangesNothing) {
  graph_->SetRange(200, 50);
  const wxImage before = Picture();
  EXPECT_EQ(graph_->AddValue(nullptr, 100), 0);

  CGraphStatic other(frame_, wxID_ANY, wxPoint(0, 110), wxSize(100, 40));
  CGraphStatic::Series* foreign = other.AddSeries(kBlue);
  EXPECT_EQ(graph_->AddValue(foreign, 100), 0);
  EXPECT_EQ(foreign->count, 0);
  graph_->ClearSeries(foreign);  // ignored as well

  const wxImage after = Picture();
  ASSERT_EQ(before.GetWidth(), after.GetWidth());
  EXPECT_EQ(0, std::memcmp(before.GetData(), after.GetData(),
                           std::size_t(before.GetWidth()) * before.GetHeight() * 3));
}

TEST_F(GraphTest, HistoryWrapsAfter1024Values) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  for (int i = 0; i < CGraphStatic::kHistory - 1; ++i) graph_->AddValue(g.x, 150);
  EXPECT_EQ(g.x->count, 1023);
  EXPECT_PIXEL(Picture(), 30, kPlotBottom - 78, kBlue);

  graph_->AddValue(g.x, 150);
  EXPECT_EQ(g.x->count, 0);  // wrapped: nothing is shown until the next value
  EXPECT_PIXEL(Picture(), 30, kPlotBottom - 78, CGraphStatic::kBackground);

  graph_->AddValue(g.x, 100);
  graph_->AddValue(g.x, 100);
  EXPECT_EQ(g.x->count, 2);
  EXPECT_EQ(g.x->values[0], 52);
  EXPECT_EQ(g.x->values[2], 78);  // older values stay stored but are not drawn
  const wxImage image = Picture();
  EXPECT_PIXEL(image, 10, kPlotBottom - 52, kBlue);
  EXPECT_PIXEL(image, 30, kPlotBottom - 78, CGraphStatic::kBackground);
  EXPECT_PIXEL(image, 30, kPlotBottom - 52, CGraphStatic::kBackground);
}

TEST_F(GraphTest, ClearSeriesEmptiesWithoutRepainting) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  for (int i = 0; i < 20; ++i) graph_->AddValue(g.y, 100);
  graph_->ClearSeries(g.y);
  EXPECT_EQ(g.y->count, 0);
  for (int v : g.y->values) ASSERT_EQ(v, 0);
  // The picture still shows the old line until the next redraw.
  EXPECT_PIXEL(Picture(), 30, kPlotBottom - 52, kYellow);
  graph_->Redraw();
  EXPECT_PIXEL(Picture(), 30, kPlotBottom - 52, CGraphStatic::kBackground);
}

TEST_F(GraphTest, LoneValueShowsAsADotAtTheLeft) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  RestGSensorGraph(g);
  EXPECT_EQ(g.x->count, 1);
  EXPECT_EQ(g.shown, 0);
  const wxImage image = Picture();
  EXPECT_PIXEL(image, 4, kPlotBottom - 78, kBlue);
  EXPECT_PIXEL(image, 4, kPlotBottom - 52, kYellow);
  EXPECT_PIXEL(image, 4, kPlotBottom - 26, kRed);
  EXPECT_PIXEL(image, 17, kPlotBottom - 78, CGraphStatic::kBackground);
}

// One G-sensor record per second: "M" and the three raw axis bytes (128 - axis), terminated.
void AddSample(CTextData& store, int second, int x, int y, int z) {
  const char record[] = {'M', char(128 - x), char(128 - y), char(128 - z), 0};
  store.OnTextData(record, sizeof record, second * 1000);
}

TEST_F(GraphTest, FeedAddsOneValuePerSecondOfPlayback) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  CTextData store;

  // No samples: nothing changes, whatever the position.
  EXPECT_FALSE(UpdateGSensorGraph(g, store, 5));
  EXPECT_EQ(g.shown, 0);

  for (int s = 0; s < 6; ++s) AddSample(store, s, 10 * s, -s, 40);
  ASSERT_EQ(store.GSensorCount(), 6);

  EXPECT_FALSE(UpdateGSensorGraph(g, store, 0));  // n = 0, as before
  EXPECT_TRUE(UpdateGSensorGraph(g, store, 3));
  EXPECT_EQ(g.shown, 3);
  EXPECT_EQ(g.x->count, 3);
  EXPECT_EQ(g.y->count, 3);
  EXPECT_EQ(g.z->count, 3);
  // x: 150, 160, 170 -> 78, 83, 88; y: 100, 99, 98 -> 52, 51, 50; z: 90 -> 46.
  EXPECT_EQ(g.x->values[0], 78);
  EXPECT_EQ(g.x->values[1], 83);
  EXPECT_EQ(g.x->values[2], 88);
  EXPECT_EQ(g.y->values[2], 50);
  EXPECT_EQ(g.z->values[1], 46);

  EXPECT_FALSE(UpdateGSensorGraph(g, store, 3));   // same second: no refeed
  EXPECT_TRUE(UpdateGSensorGraph(g, store, 100));  // capped by the sample count
  EXPECT_EQ(g.shown, 6);
  EXPECT_EQ(g.x->count, 6);
  EXPECT_EQ(g.x->values[5], 100);  // 200 x 104 / 200 = 104, clipped to the plot height
  EXPECT_TRUE(UpdateGSensorGraph(g, store, 2));  // seeking back refeeds from the start
  EXPECT_EQ(g.x->count, 2);

  ResetGSensorGraph(g);
  EXPECT_EQ(g.shown, 0);
  EXPECT_EQ(g.x->count, 0);
  store.Clear();
  EXPECT_FALSE(UpdateGSensorGraph(g, store, 4));
  EXPECT_EQ(g.x->count, 0);
}

TEST_F(GraphTest, FeedDrawsWhatValueByValueDrawingDraws) {
  GSensorGraph g = SetUpGSensorGraph(*graph_);
  CTextData store;
  for (int s = 0; s < 120; ++s) AddSample(store, s, (s * 7) % 60 - 30, (s * 3) % 40 - 20, s % 9);
  ASSERT_TRUE(UpdateGSensorGraph(g, store, 120));
  const wxImage fed = Picture();

  CGraphStatic plain(frame_, wxID_ANY, wxPoint(0, 0), wxSize(kWidth, kHeight));
  GSensorGraph h = SetUpGSensorGraph(plain);
  for (const CGSensorData& d : store.GSensorSamples()) {
    plain.AddValue(h.x, d.x + kGraphOffsetX);
    plain.AddValue(h.y, d.y + kGraphOffsetY);
    plain.AddValue(h.z, d.z + kGraphOffsetZ);
  }
  const wxImage drawn = plain.Picture().ConvertToImage();
  EXPECT_EQ(0, std::memcmp(fed.GetData(), drawn.GetData(), std::size_t(kWidth) * kHeight * 3));

  // A deferred redraw happens when the guard goes.
  {
    CGraphStatic::DeferRedraw later(*graph_);
    graph_->ClearSeries(g.x);
    graph_->ClearSeries(g.y);
    graph_->ClearSeries(g.z);
    graph_->Redraw();
    EXPECT_EQ(0,
              std::memcmp(fed.GetData(), Picture().GetData(), std::size_t(kWidth) * kHeight * 3));
  }
  EXPECT_PIXEL(Picture(), 30, kPlotBottom - 52, CGraphStatic::kBackground);
}

// A frame on screen holding the graph fed with three sine-like axes; its picture is written to
// /tmp/graph.png for a look by eye.
TEST_F(GraphTest, ShownFrameDrawsSineLikeAxes) {
  delete frame_;
  frame_ = new wxFrame(nullptr, wxID_ANY, "Roadeye graph", wxDefaultPosition, wxSize(820, 180));
  graph_ = new CGraphStatic(frame_, 1156, wxPoint(30, 20), wxSize(kWidth, kHeight));
  frame_->Show();
  wxTheApp->Yield(true);

  GSensorGraph g = SetUpGSensorGraph(*graph_);
  CTextData store;
  for (int s = 0; s < 80; ++s) {
    AddSample(store, s, int(std::lround(40 * std::sin(s / 5.0))),
              int(std::lround(30 * std::sin(s / 3.0 + 1))),
              s == 40 ? 90 : int(std::lround(20 * std::cos(s / 7.0))));
  }
  EXPECT_TRUE(UpdateGSensorGraph(g, store, 80));
  wxTheApp->Yield(true);
  EXPECT_EQ(g.x->count, 80);

  const wxImage image = Picture();
  ASSERT_TRUE(image.SaveFile("/tmp/graph.png", wxBITMAP_TYPE_PNG));
  // The newest sample (s = 79) sits at the left of each line.
  const int newestX = (150 + int(std::lround(40 * std::sin(79 / 5.0)))) * 104 / 200;
  EXPECT_PIXEL(image, 4, kPlotBottom - newestX, kBlue);
  // The jolt in Z at s = 40: 90 + 50 = 140 -> 72 pixels, 39 values from the left.
  EXPECT_EQ(g.z->values[40], 72);
  EXPECT_PIXEL(image, 4 + 39 * 13, kPlotBottom - 72, kRed);

  // What the paint handler put on the screen: the same picture.
  graph_->Refresh();
  graph_->Update();
  wxTheApp->Yield(true);
  wxBitmap shot(kWidth, kHeight);
  {
    wxScreenDC screen;
    wxMemoryDC memory(shot);
    const wxPoint at = graph_->GetScreenPosition();
    memory.Blit(0, 0, kWidth, kHeight, &screen, at.x, at.y);
  }
  const wxImage onScreen = shot.ConvertToImage();
  onScreen.SaveFile("/tmp/graph-screen.png", wxBITMAP_TYPE_PNG);
  EXPECT_PIXEL(onScreen, 200, kPlotBottom - 50, CGraphStatic::kGrid);
  EXPECT_PIXEL(onScreen, 4, kPlotBottom - newestX, kBlue);
}

}  // namespace
