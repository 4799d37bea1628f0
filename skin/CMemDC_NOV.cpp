// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/CMemDC_NOV.h"

#include <wx/brush.h>
#include <wx/dcprint.h>
#include <wx/dcps.h>
#include <wx/pen.h>

#include <algorithm>

namespace {

wxRect ClippingBoxOf(const wxDC& dc) {
  wxCoord x = 0, y = 0, w = 0, h = 0;
  dc.GetClippingBox(&x, &y, &w, &h);
  if (w > 0 && h > 0) return wxRect(x, y, w, h);
  // No clipping box: the whole target, converted to its logical units.
  const wxSize size = dc.GetSize();
  return wxRect(dc.DeviceToLogicalX(0), dc.DeviceToLogicalY(0), dc.DeviceToLogicalXRel(size.x),
                dc.DeviceToLogicalYRel(size.y));
}

}  // namespace

bool CMemDC_NOV::IsPrinting(const wxDC& dc) {
#if wxUSE_PRINTING_ARCHITECTURE
  if (dc.IsKindOf(wxCLASSINFO(wxPrinterDC))) return true;
#endif
#if wxUSE_POSTSCRIPT
  if (dc.IsKindOf(wxCLASSINFO(wxPostScriptDC))) return true;
#endif
  return false;
}

CMemDC_NOV::CMemDC_NOV(wxDC& target, bool copyBackground)
    : target_(target), rect_(ClippingBoxOf(target)) {
  Start(copyBackground);
}

CMemDC_NOV::CMemDC_NOV(wxDC& target, const wxRect& rect, bool copyBackground)
    : target_(target), rect_(rect) {
  Start(copyBackground);
}

void CMemDC_NOV::Start(bool copyBackground) {
  memory_ = !IsPrinting(target_);
  if (!memory_) return;

  // The bitmap covers the rectangle in device pixels; an empty rectangle still gets a pixel so
  // that the painter always has a working DC (nothing is copied back for it).
  const int width = std::max(1, target_.LogicalToDeviceXRel(rect_.width));
  const int height = std::max(1, target_.LogicalToDeviceYRel(rect_.height));
  bitmap_.Create(width, height);
  surface_.SelectObject(bitmap_);

  // Same mapping as the target, with the rectangle's top-left corner at the bitmap's origin.
  surface_.SetMapMode(target_.GetMapMode());
  double sx = 1.0, sy = 1.0;
  target_.GetUserScale(&sx, &sy);
  surface_.SetUserScale(sx, sy);
  target_.GetLogicalScale(&sx, &sy);
  surface_.SetLogicalScale(sx, sy);
  const wxPoint logicalOrigin = target_.GetLogicalOrigin();
  surface_.SetLogicalOrigin(logicalOrigin.x, logicalOrigin.y);
  const wxPoint deviceOrigin = target_.GetDeviceOrigin();
  surface_.SetDeviceOrigin(deviceOrigin.x - target_.LogicalToDeviceX(rect_.x),
                           deviceOrigin.y - target_.LogicalToDeviceY(rect_.y));

  if (rect_.IsEmpty()) return;
  if (copyBackground) {
    surface_.Blit(rect_.x, rect_.y, rect_.width, rect_.height, &target_, rect_.x, rect_.y);
  } else {
    const wxBrush& background = target_.GetBackground();
    surface_.SetPen(*wxTRANSPARENT_PEN);
    surface_.SetBrush(background.IsOk() ? background : *wxWHITE_BRUSH);
    surface_.DrawRectangle(rect_);
    surface_.SetBrush(wxNullBrush);
    surface_.SetPen(wxNullPen);
  }
}

CMemDC_NOV::~CMemDC_NOV() {
  if (!memory_) return;
  if (!rect_.IsEmpty()) {
    target_.Blit(rect_.x, rect_.y, rect_.width, rect_.height, &surface_, rect_.x, rect_.y);
  }
  surface_.SelectObject(wxNullBitmap);
}

wxDC& CMemDC_NOV::GetDC() { return memory_ ? static_cast<wxDC&>(surface_) : target_; }
