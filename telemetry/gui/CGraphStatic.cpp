// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/gui/CGraphStatic.h"

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>

#include <algorithm>

const wxColour CGraphStatic::kBackground(1, 0, 0);
const wxColour CGraphStatic::kGrid(41, 41, 41);

CGraphStatic::CGraphStatic(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                           const wxSize& size) {
  // Painting covers the whole client area from the bitmap: no erase, so no flicker.
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Create(parent, id, pos, size, wxBORDER_NONE);

  // The geometry and the surface are fixed here, once.
  wxSize client = GetClientSize();
  if (client.x <= 0 || client.y <= 0) client = size;
  width_ = std::max(client.x, 1);
  height_ = std::max(client.y, 1);
  plotLeft_ = 4;
  plotTop_ = 2;
  plotRight_ = width_ - 2;
  plotBottom_ = height_ - 2;
  rows_ = gridStep_ != 0 ? range_ / gridStep_ : 0;
  surface_.Create(width_, height_);

  Bind(wxEVT_PAINT, &CGraphStatic::OnPaint, this);
  Redraw();
}

CGraphStatic::~CGraphStatic() = default;

CGraphStatic::Series* CGraphStatic::AddSeries(const wxColour& colour, int penWidth) {
  auto series = std::make_unique<Series>();
  series->colour = colour;
  series->penWidth = penWidth;
  series_.push_back(std::move(series));
  return series_.back().get();
}

bool CGraphStatic::Owns(const Series* series) const {
  return series != nullptr &&
         std::any_of(series_.begin(), series_.end(),
                     [series](const std::unique_ptr<Series>& s) { return s.get() == series; });
}

int CGraphStatic::AddValue(Series* series, int value) {
  if (!Owns(series)) return 0;
  // 64-bit so that a wild value cannot overflow; a range of 0 maps everything to the bottom.
  const std::int64_t pixel = range_ != 0 ? std::int64_t(value) * height_ / range_ : std::int64_t(0);
  const std::int64_t plotHeight = plotBottom_ - plotTop_;
  series->values[series->count] = std::int32_t(std::clamp<std::int64_t>(pixel, 0, plotHeight));
  if (++series->count == kHistory) series->count = 0;
  Redraw();
  return 1;
}

void CGraphStatic::ClearSeries(Series* series) {
  if (!Owns(series)) return;
  series->count = 0;
  series->values.fill(0);
}

void CGraphStatic::SetRange(int range, int gridStep) {
  range_ = range;
  gridStep_ = gridStep;
  rows_ = gridStep_ != 0 ? range_ / gridStep_ : 0;
  Redraw();
}

void CGraphStatic::SetXStep(int pixels) {
  xStep_ = pixels;
  Redraw();
}

void CGraphStatic::ShowGrid(int on) {
  gridOn_ = on != 0;
  Redraw();
}

void CGraphStatic::DrawInto(wxDC& dc) const {
  dc.SetBackground(wxBrush(kBackground));
  dc.Clear();

  if (gridOn_) {
    dc.SetPen(wxPen(kGrid, 1, wxPENSTYLE_SOLID));
    dc.DrawLine(plotLeft_, plotTop_, plotLeft_, plotBottom_);
    dc.DrawLine(plotRight_, plotTop_, plotRight_, plotBottom_);
    // Band height in whole pixels; lines only strictly inside the plot.
    const int band = rows_ > 0 ? (plotBottom_ - plotTop_) / rows_ : 0;
    if (band > 0) {
      for (int y = plotBottom_ - band; y > plotTop_; y -= band) {
        dc.DrawLine(plotLeft_, y, plotRight_, y);
      }
    }
  }

  std::vector<wxPoint> points;
  for (const auto& series : series_) {
    if (!series->visible || series->count == 0) continue;
    // Points past the first one beyond the right edge lie wholly outside the bitmap; leaving
    // them out changes no pixel and keeps a redraw cheap with a full history.
    int shown = series->count;
    if (xStep_ > 0) shown = std::min(shown, (width_ + series->penWidth - plotLeft_) / xStep_ + 2);
    points.clear();
    for (int j = 0; j < shown; ++j) {
      points.emplace_back(plotLeft_ + j * xStep_,
                          plotBottom_ - series->values[series->count - 1 - j]);
    }
    dc.SetPen(wxPen(series->colour, series->penWidth, wxPENSTYLE_SOLID));
    if (points.size() == 1) {
      // A lone value shows as a dot where its line will start.
      dc.DrawPoint(points.front());
    } else {
      dc.DrawLines(int(points.size()), points.data());
    }
    dc.SetPen(wxNullPen);
  }
}

void CGraphStatic::Redraw() {
  if (deferred_ > 0) {
    redrawPending_ = true;
    return;
  }
  redrawPending_ = false;
  {
    wxMemoryDC dc(surface_);
    // Crisp one-pixel lines, as a plain raster device draws them.
    if (wxGraphicsContext* gc = dc.GetGraphicsContext()) gc->SetAntialiasMode(wxANTIALIAS_NONE);
    DrawInto(dc);
    dc.SelectObject(wxNullBitmap);
  }
  Refresh(true);
  Update();
}

void CGraphStatic::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  dc.DrawBitmap(surface_, 0, 0);
}
