#include "app/CPicturePane.h"

#include <wx/dcclient.h>
#include <wx/image.h>

#include <algorithm>
#include <cstring>

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

void CPicturePane::PaneSurface::Present(const unsigned char* bgr, int width, int height,
                                        int stride) {
  if (bgr == nullptr || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
      stride < width * 3) {
    return;
  }
  {
    std::lock_guard<std::mutex> hold(pane_->lock_);
    pane_->rgb_.resize(static_cast<std::size_t>(width) * height * 3);
    unsigned char* out = pane_->rgb_.data();
    for (int y = 0; y < height; ++y) {
      const unsigned char* in = bgr + static_cast<std::size_t>(y) * stride;
      for (int x = 0; x < width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
      }
    }
    pane_->pictureWidth_ = width;
    pane_->pictureHeight_ = height;
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
  if (rgb_.empty()) return wxImage();
  wxImage image(pictureWidth_, pictureHeight_, false);
  std::memcpy(image.GetData(), rgb_.data(), rgb_.size());
  return image;
}

void CPicturePane::ClearPicture() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    rgb_.clear();
    pictureWidth_ = pictureHeight_ = 0;
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
    if (!rgb_.empty() && client.x > 0 && client.y > 0) {
      // A view of the kept picture, not a copy; scaled when the pane changed size since.
      wxImage view(pictureWidth_, pictureHeight_, rgb_.data(), true);
      bitmap = pictureWidth_ == client.x && pictureHeight_ == client.y
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
