// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CPicturePane.h"

#include <wx/dcclient.h>
#include <wx/image.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {
wxDEFINE_EVENT(EVT_PICTURE_ARRIVED, wxThreadEvent);
// Largest picture kept: the biggest camera picture the engine draws at full size.
constexpr int kMaxSide = 8192;
}  // namespace

CPicturePane::CPicturePane(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : wxWindow(parent, id, pos, size, wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  SetBackgroundColour(*wxBLACK);
  const wxSize client = GetClientSize();
  width_ = client.x;
  height_ = client.y;
  Bind(wxEVT_PAINT, &CPicturePane::OnPaint, this);
  Bind(wxEVT_SIZE, &CPicturePane::OnSize, this);
  Bind(EVT_PICTURE_ARRIVED, &CPicturePane::OnPictureArrived, this);
}

CPicturePane::~CPicturePane() = default;

void CPicturePane::PaneSurface::GetSize(int* width, int* height) const {
  if (width) *width = pane_->width_.load(std::memory_order_acquire);
  if (height) *height = pane_->height_.load(std::memory_order_acquire);
}

void CPicturePane::PaneSurface::Present(const unsigned char* rgb, int width, int height,
                                        int stride) {
  if (rgb == nullptr || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
      stride < width * 3) {
    return;
  }
  Picture& back = pane_->back_;
  const std::size_t row = static_cast<std::size_t>(width) * 3;
  back.rgb.resize(row * static_cast<std::size_t>(height));
  if (static_cast<std::size_t>(stride) == row) {
    std::memcpy(back.rgb.data(), rgb, back.rgb.size());
  } else {
    for (int y = 0; y < height; ++y) {
      std::memcpy(back.rgb.data() + y * row, rgb + static_cast<std::size_t>(y) * stride, row);
    }
  }
  back.width = width;
  back.height = height;
  {
    std::lock_guard<std::mutex> hold(pane_->lock_);
    std::swap(back, pane_->last_);
  }
  pane_->presented_.fetch_add(1, std::memory_order_acq_rel);
  // One repaint request at a time: pictures that come faster than the window paints replace
  // each other.
  if (!pane_->repaintPosted_.exchange(true)) {
    wxQueueEvent(pane_, new wxThreadEvent(EVT_PICTURE_ARRIVED));
  }
}

void CPicturePane::OnPictureArrived(wxThreadEvent&) {
  repaintPosted_ = false;
  if (IsShownOnScreen()) {
    Refresh(false);
    Update();
  }
}

void CPicturePane::OnSize(wxSizeEvent& event) {
  UpdateSurfaceSize();
  event.Skip();
}

void CPicturePane::DoSetSize(int x, int y, int width, int height, int sizeFlags) {
  wxWindow::DoSetSize(x, y, width, height, sizeFlags);
  UpdateSurfaceSize();
}

void CPicturePane::UpdateSurfaceSize() {
  const wxSize client = GetClientSize();
  width_ = std::max(0, client.x);
  height_ = std::max(0, client.y);
}

wxImage CPicturePane::LastPicture() const {
  std::lock_guard<std::mutex> hold(lock_);
  if (last_.rgb.empty()) return wxImage();
  wxImage image(last_.width, last_.height, false);
  std::memcpy(image.GetData(), last_.rgb.data(), last_.rgb.size());
  return image;
}

void CPicturePane::ClearPicture() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    last_.rgb.clear();
    last_.width = last_.height = 0;
  }
  Refresh(false);
}

void CPicturePane::OnPaint(wxPaintEvent&) {
  // One bitmap covers the whole pane, so no buffering is needed against flicker.
  wxPaintDC dc(this);
  const wxSize client = GetClientSize();
  wxBitmap bitmap;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!last_.rgb.empty() && client.x > 0 && client.y > 0) {
      // A view of the kept picture, not a copy; scaled when the pane changed size since.
      wxImage view(last_.width, last_.height, last_.rgb.data(), true);
      bitmap = last_.width == client.x && last_.height == client.y
                   ? wxBitmap(view)
                   : wxBitmap(view.Scale(client.x, client.y, wxIMAGE_QUALITY_BILINEAR));
    }
  }
  if (!bitmap.IsOk()) {
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    return;
  }
  dc.DrawBitmap(bitmap, 0, 0);
}
