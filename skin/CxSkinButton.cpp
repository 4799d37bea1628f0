// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/CxSkinButton.h"

#include <wx/dcclient.h>
#include <wx/image.h>
#include <wx/settings.h>

#include <algorithm>

#include "skin/CMemDC_NOV.h"
#include "skin/SkinBitmaps.h"
#include "skin/VSkinBackground.h"

wxRegion BitmapToRegion(const wxBitmap& mask, const wxColour& colour) {
  wxRegion region;
  if (!mask.IsOk()) return region;
  const wxImage image = mask.ConvertToImage();
  const int width = image.GetWidth();
  const int height = image.GetHeight();
  const unsigned char* rgb = image.GetData();
  const unsigned char r = colour.Red();
  const unsigned char g = colour.Green();
  const unsigned char b = colour.Blue();
  auto differs = [&](int x, int y) {
    const unsigned char* p = rgb + 3 * (static_cast<size_t>(y) * width + x);
    return p[0] != r || p[1] != g || p[2] != b;
  };
  for (int y = height - 1; y >= 0; --y) {
    int x = 0;
    while (x < width) {
      while (x < width && !differs(x, y)) ++x;
      const int start = x;
      while (x < width && differs(x, y)) ++x;
      if (x > start) region.Union(start, y, x - start, 1);
    }
  }
  return region;
}

namespace {

// The picture with the pixels where the mask is black made transparent (the mask's pixels
// beyond its own size count as black), so only the button's shape is drawn.
wxBitmap ApplyMask(const wxImage& picture, const wxImage& mask) {
  wxImage out = picture.Copy();
  // Opaque to start with (a mask the picture brings turns into alpha).
  if (!out.HasAlpha()) out.InitAlpha();
  unsigned char* alpha = out.GetAlpha();
  const int width = out.GetWidth();
  const int height = out.GetHeight();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool inside =
          x < mask.GetWidth() && y < mask.GetHeight() &&
          (mask.GetRed(x, y) != 0 || mask.GetGreen(x, y) != 0 || mask.GetBlue(x, y) != 0);
      if (!inside) alpha[static_cast<size_t>(y) * width + x] = 0;
    }
  }
  return wxBitmap(out);
}

}  // namespace

CxSkinButton::CxSkinButton(wxWindow* parent, wxWindowID id, const wxString& label, int kind,
                           const wxPoint& pos, const wxSize& size) {
  Create(parent, id, label, kind, pos, size);
}

bool CxSkinButton::Create(wxWindow* parent, wxWindowID id, const wxString& label, int kind,
                          const wxPoint& pos, const wxSize& size) {
  // Every pixel is painted by the paint handler: no erase, no flicker.
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  if (!wxControl::Create(parent, id, pos, size, wxBORDER_NONE)) return false;
  SetLabel(label);
  SetButtonKind(kind);
  textColour_ = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNTEXT);
  Bind(wxEVT_PAINT, &CxSkinButton::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, &CxSkinButton::OnLeftDown, this);
  // A double click is a second press: a double click on a check box ticks it twice.
  Bind(wxEVT_LEFT_DCLICK, &CxSkinButton::OnLeftDown, this);
  Bind(wxEVT_LEFT_UP, &CxSkinButton::OnLeftUp, this);
  Bind(wxEVT_MOTION, &CxSkinButton::OnMotion, this);
  Bind(wxEVT_LEAVE_WINDOW, &CxSkinButton::OnLeave, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &CxSkinButton::OnCaptureLost, this);
  Bind(wxEVT_SET_FOCUS, &CxSkinButton::OnFocus, this);
  Bind(wxEVT_KILL_FOCUS, &CxSkinButton::OnFocus, this);
  Bind(wxEVT_KEY_DOWN, &CxSkinButton::OnKeyDown, this);
  return true;
}

CxSkinButton::~CxSkinButton() {
  if (HasCapture()) ReleaseMouse();
}

void CxSkinButton::SetButtonKind(int kind) {
  kind_ = (kind == kCheckBox || kind == kRadioButton) ? kind : kPushButton;
  if (kind_ == kPushButton) checked_ = false;
  Refresh(false);
}

void CxSkinButton::SetSkinBitmaps(int normal, int down, int over, int disabled, int focus, int mask,
                                  short drawMode, short border, int margin) {
  normal_ = LoadSkinBitmapById(normal);
  downBitmap_ = LoadSkinBitmapById(down);
  overBitmap_ = LoadSkinBitmapById(over);
  focus_ = LoadSkinBitmapById(focus);
  mask_ = LoadSkinBitmapById(mask);
  disabled_ = disabled != 0 ? LoadSkinBitmapById(disabled) : normal_;
  drawMode_ = drawMode > 1 ? kDrawTile : (drawMode < 0 ? kDrawNatural : drawMode);
  border_ = border;
  margin_ = std::max(0, margin);

  // The shape belongs to the mask: without one the button is a plain rectangle again.
  region_ = mask_.IsOk() ? BitmapToRegion(mask_, *wxBLACK) : wxRegion();
  if (mask_.IsOk() && drawMode_ == kDrawNatural) SetSize(mask_.GetSize());
  InvalidateBestSize();
  Refresh(false);
}

void CxSkinButton::SetCheck(bool checked) {
  const bool value = kind_ != kPushButton && checked;
  checked_ = value;
  if (value && kind_ == kRadioButton) UncheckGroup();
  Refresh(false);
}

void CxSkinButton::SetTextColor(const wxColour& colour) {
  if (!colour.IsOk()) return;
  textColour_ = colour;
  Refresh(false);
}

bool CxSkinButton::HitTestPoint(const wxPoint& point) const {
  if (!wxRect(GetClientSize()).Contains(point)) return false;
  return region_.IsEmpty() || region_.Contains(point) == wxInRegion;
}

void CxSkinButton::UncheckGroup() {
  wxWindow* parent = GetParent();
  if (parent == nullptr) return;
  const wxWindowList& siblings = parent->GetChildren();
  auto isRadio = [](wxWindow* window) {
    auto* button = dynamic_cast<CxSkinButton*>(window);
    return button != nullptr && button->kind_ == kRadioButton;
  };
  // The group is the run of consecutive radio-kind skin buttons around this one.
  auto self = siblings.Find(this);
  if (self == nullptr) return;
  auto first = self;
  while (first->GetPrevious() != nullptr && isRadio(first->GetPrevious()->GetData())) {
    first = first->GetPrevious();
  }
  for (auto node = first; node != nullptr && isRadio(node->GetData()); node = node->GetNext()) {
    auto* button = static_cast<CxSkinButton*>(node->GetData());
    if (button == this || !button->checked_) continue;
    button->checked_ = false;
    button->Refresh(false);
  }
}

void CxSkinButton::SendCommand(wxEventType type) {
  wxCommandEvent command(type, GetId());
  command.SetEventObject(this);
  command.SetInt(checked_ ? 1 : 0);
  ProcessWindowEvent(command);
}

void CxSkinButton::ToggleByUser() {
  if (kind_ == kCheckBox) {
    SetCheck(!checked_);
    SendCommand(wxEVT_CHECKBOX);
  } else if (kind_ == kRadioButton) {
    if (checked_) return;
    SetCheck(true);
    SendCommand(wxEVT_RADIOBUTTON);
  } else {
    SendCommand(wxEVT_BUTTON);
  }
}

bool CxSkinButton::Enable(bool enable) {
  const bool changed = wxControl::Enable(enable);
  if (!enable) Release();
  if (changed) Refresh(false);
  return changed;
}

wxSize CxSkinButton::DoGetBestSize() const {
  if (mask_.IsOk() && drawMode_ == kDrawNatural) return mask_.GetSize();
  if (normal_.IsOk()) return normal_.GetSize();
  return wxControl::DoGetBestSize();
}

void CxSkinButton::SetPushed(bool pushed) {
  if (pushed == pushed_) return;
  pushed_ = pushed;
  Refresh(false);
}

void CxSkinButton::Release() {
  if (HasCapture()) ReleaseMouse();
  down_ = false;
  SetPushed(false);
}

void CxSkinButton::DrawSkin(wxDC& dc, const wxBitmap& bitmap, const wxRect& rect) const {
  if (!bitmap.IsOk() || rect.IsEmpty()) return;
  if (drawMode_ == kDrawTile) {
    wxDCClipper clip(dc, rect);
    for (int y = rect.y; y < rect.GetBottom() + 1; y += bitmap.GetHeight()) {
      for (int x = rect.x; x < rect.GetRight() + 1; x += bitmap.GetWidth()) {
        dc.DrawBitmap(bitmap, x, y, true);
      }
    }
    return;
  }
  wxImage picture = bitmap.ConvertToImage();
  if (drawMode_ == kDrawStretch && picture.GetSize() != rect.GetSize()) {
    picture.Rescale(rect.width, rect.height, wxIMAGE_QUALITY_NEAREST);
  }
  if (!mask_.IsOk()) {
    dc.DrawBitmap(wxBitmap(picture), rect.x, rect.y, true);
    return;
  }
  wxImage mask = mask_.ConvertToImage();
  if (drawMode_ == kDrawStretch && mask.GetSize() != rect.GetSize()) {
    mask.Rescale(rect.width, rect.height, wxIMAGE_QUALITY_NEAREST);
  }
  dc.DrawBitmap(ApplyMask(picture, mask), rect.x, rect.y, true);
}

void CxSkinButton::DrawEdge(wxDC& dc, const wxRect& rect, bool raised) const {
  if (rect.width < 2 || rect.height < 2) return;
  const wxColour light = wxSystemSettings::GetColour(wxSYS_COLOUR_3DLIGHT);
  const wxColour highlight = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNHIGHLIGHT);
  const wxColour shadow = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNSHADOW);
  const wxColour dark = wxSystemSettings::GetColour(wxSYS_COLOUR_3DDKSHADOW);
  // Two rings: the outer and the inner one each with a top-left and a bottom-right colour.
  auto ring = [&dc](const wxRect& r, const wxColour& topLeft, const wxColour& bottomRight) {
    const int left = r.x, top = r.y, right = r.GetRight(), bottom = r.GetBottom();
    dc.SetPen(wxPen(topLeft));
    dc.DrawLine(left, bottom, left, top);
    dc.DrawLine(left, top, right, top);
    dc.SetPen(wxPen(bottomRight));
    dc.DrawLine(right, top, right, bottom);
    dc.DrawLine(right, bottom, left - 1, bottom);
  };
  const wxRect inner = wxRect(rect).Deflate(1);
  if (raised) {
    ring(rect, light, dark);
    if (!inner.IsEmpty()) ring(inner, highlight, shadow);
  } else {
    ring(rect, shadow, highlight);
    if (!inner.IsEmpty()) ring(inner, dark, light);
  }
  dc.SetPen(wxNullPen);
}

void CxSkinButton::DrawTo(wxDC& dc) {
  PaintSkinParentBackground(*this, dc);

  const wxRect item(GetClientSize());
  // The shape, when there is one, limits everything drawn from here on.
  wxRegion clip;
  if (!region_.IsEmpty()) {
    clip = region_;
    clip.Offset(dc.LogicalToDeviceX(0), dc.LogicalToDeviceY(0));
    dc.SetDeviceClippingRegion(clip);
  }

  const wxString label = GetLabelText();
  wxString line = label;
  line.Replace("\r", " ");
  line.Replace("\n", " ");
  wxRect text(item.x + margin_ + 2, item.y, item.width - 2 * (margin_ + 2), item.height);
  dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
  dc.SetFont(GetFont());
  auto fillFace = [&dc, &item]() {
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)));
    dc.DrawRectangle(item);
    dc.SetBrush(wxNullBrush);
    dc.SetPen(wxNullPen);
  };

  if (!IsEnabled()) {
    // Disabled: an embossed label, highlight under grey.
    if (disabled_.IsOk()) {
      DrawSkin(dc, disabled_, item);
    } else {
      fillFace();
    }
    if (border_ != 0) DrawEdge(dc, item, true);
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNHIGHLIGHT));
    if (checked_) text.Offset(1, 1);
    if (!line.empty()) dc.DrawLabel(line, text, wxALIGN_CENTER);
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT));
    text.Offset(-1, -1);
  } else {
    if (pushed_ || checked_) {
      if (downBitmap_.IsOk()) {
        DrawSkin(dc, downBitmap_, item);
      } else {
        fillFace();
      }
      text.Offset(1, 1);
      if (border_ != 0) DrawEdge(dc, item, false);
    } else {
      if (!normal_.IsOk()) {
        fillFace();
      } else if (over_ && overBitmap_.IsOk()) {
        DrawSkin(dc, overBitmap_, item);
      } else if (HasFocus() && focus_.IsOk()) {
        DrawSkin(dc, focus_, item);
      } else {
        DrawSkin(dc, normal_, item);
      }
      if (border_ != 0) DrawEdge(dc, item, true);
    }
    if (HasFocus() && margin_ > 0) {
      const wxRect focus = wxRect(item).Deflate(margin_);
      if (!focus.IsEmpty()) {
        dc.SetPen(wxPen(textColour_, 1, wxPENSTYLE_DOT));
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.DrawRectangle(focus);
        dc.SetBrush(wxNullBrush);
        dc.SetPen(wxNullPen);
      }
    }
    dc.SetTextForeground(textColour_);
  }
  if (!line.empty()) dc.DrawLabel(line, text, wxALIGN_CENTER);
  if (!region_.IsEmpty()) dc.DestroyClippingRegion();
}

void CxSkinButton::OnPaint(wxPaintEvent&) {
  wxPaintDC target(this);
  CMemDC_NOV surface(target, wxRect(GetClientSize()));
  DrawTo(surface.GetDC());
}

void CxSkinButton::OnLeftDown(wxMouseEvent& event) {
  // Outside the shape the press is not on this button.
  if (!HitTestPoint(event.GetPosition())) {
    event.Skip();
    return;
  }
  if (over_) {
    over_ = false;
    Refresh(false);
  }
  if (AcceptsFocus() && !HasFocus()) SetFocus();
  // The press keeps the mouse until the release, so a release outside is seen; a window not
  // on screen cannot take it and gets its events sent to it anyway.
  if (!HasCapture() && IsShownOnScreen()) CaptureMouse();
  down_ = true;
  SetPushed(true);
  event.Skip();
}

void CxSkinButton::OnLeftUp(wxMouseEvent& event) {
  event.Skip();
  // Only a release that ends a press on this button, inside it, counts.
  const bool inside = down_ && HitTestPoint(event.GetPosition());
  Release();
  if (inside) ToggleByUser();  // last: a handler may destroy this button
}

void CxSkinButton::OnMotion(wxMouseEvent& event) {
  event.Skip();
  const bool inside = HitTestPoint(event.GetPosition());
  if (down_) {
    SetPushed(inside);
  } else if (over_ != inside) {
    over_ = inside;
    Refresh(false);
  }
}

void CxSkinButton::OnLeave(wxMouseEvent& event) {
  event.Skip();
  if (!over_) return;
  over_ = false;
  Refresh(false);
}

void CxSkinButton::OnCaptureLost(wxMouseCaptureLostEvent&) {
  down_ = false;
  SetPushed(false);
}

void CxSkinButton::OnFocus(wxFocusEvent& event) {
  event.Skip();
  if (event.GetEventType() == wxEVT_KILL_FOCUS) Release();
  Refresh(false);
}

void CxSkinButton::OnKeyDown(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_SPACE && !event.HasAnyModifiers()) {
    ToggleByUser();
    return;
  }
  event.Skip();
}
