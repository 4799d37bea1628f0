// SPDX-License-Identifier: GPL-3.0-or-later
// A small scrolling line chart: a few series of integer values, the newest value at the left edge
// and older ones further right, over a dark background with an optional grid. It knows nothing of
// what the values mean; the player window feeds it the G-sensor axes (GSensorGraphFeed.h).
//
// The chart draws into an off-screen bitmap whose size is fixed when the control is created (its
// client size at that time); painting copies that bitmap to the window in one block, so nothing
// flickers. Later size changes of the window do not change the geometry.
//
// Threads: the window thread only, like every wx object.
#pragma once

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/panel.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class CGraphStatic : public wxPanel {
 public:
  // One line of the chart. Handles are owned by the control and stay valid for its whole life.
  struct Series {
    wxColour colour;
    bool visible = true;  // hidden series are skipped when drawing
    int penWidth = 1;
    // Stored as pixel heights above the plot bottom, 0 .. plot height.
    std::array<std::int32_t, 1024> values{};
    // The write index and the number of values shown; wraps to 0 after 1024 values.
    int count = 0;
  };

  static constexpr int kHistory = 1024;

  // The geometry is taken from `size` (the client size at creation).
  CGraphStatic(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size);
  ~CGraphStatic() override;

  // Appends a series (drawn after those added before it) and returns its handle. No repaint.
  Series* AddSeries(const wxColour& colour, int penWidth = 1);
  // Stores one value as the newest of `series` and redraws. Returns 0 and changes nothing when
  // the handle is not one of this control's series (none added yet, null, another control's);
  // 1 otherwise. The value maps to value x height / range pixels, clipped to the plot.
  int AddValue(Series* series, int value);
  // Empties a series (count 0, all values 0). No repaint. Unknown handles are ignored.
  void ClearSeries(Series* series);
  // `range` is the value that maps to the full client height; `gridStep` the value distance
  // between horizontal grid lines. Redraws.
  void SetRange(int range, int gridStep);
  // Horizontal distance in pixels between consecutive values. Redraws.
  void SetXStep(int pixels);
  // Grid drawn when non-zero. Redraws.
  void ShowGrid(int on);
  // Draws everything into the off-screen bitmap, then repaints the window at once.
  void Redraw();

  // While one of these lives, redraws are put off and done once when the last one goes. A batch
  // of values then costs one drawing and one repaint instead of one per value, and ends in the
  // very same picture. Nests.
  class DeferRedraw {
   public:
    explicit DeferRedraw(CGraphStatic& graph) : graph_(graph) { ++graph_.deferred_; }
    ~DeferRedraw() {
      if (--graph_.deferred_ == 0 && graph_.redrawPending_) graph_.Redraw();
    }
    DeferRedraw(const DeferRedraw&) = delete;
    DeferRedraw& operator=(const DeferRedraw&) = delete;

   private:
    CGraphStatic& graph_;
  };

  // The off-screen picture as last drawn (for tests and snapshots).
  const wxBitmap& Picture() const { return surface_; }
  // The plot area: left = 4, top = 2, right = width - 2, bottom = height - 2 (client coordinates).
  wxRect PlotRect() const {
    return wxRect(wxPoint(plotLeft_, plotTop_), wxPoint(plotRight_, plotBottom_));
  }
  int Rows() const { return rows_; }

  static const wxColour kBackground;  // red 1, green 0, blue 0: black to the eye
  static const wxColour kGrid;        // red 41, green 41, blue 41

 private:
  bool Owns(const Series* series) const;
  void DrawInto(wxDC& dc) const;
  void OnPaint(wxPaintEvent& event);

  wxBitmap surface_;
  bool gridOn_ = true;
  int range_ = 100;
  int gridStep_ = 10;
  int rows_ = 10;
  int xStep_ = 10;
  int width_ = 0;
  int height_ = 0;
  int plotLeft_ = 0;
  int plotTop_ = 0;
  int plotRight_ = 0;
  int plotBottom_ = 0;
  std::vector<std::unique_ptr<Series>> series_;
  int deferred_ = 0;            // live DeferRedraw guards
  bool redrawPending_ = false;  // a redraw was asked for while deferred
};
