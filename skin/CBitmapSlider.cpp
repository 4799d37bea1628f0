// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/CBitmapSlider.h"

#include <wx/dcclient.h>
#include <wx/image.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "skin/CMemDC_NOV.h"
#include "skin/SkinBitmaps.h"
#include "skin/SkinEvents.h"
#include "skin/VSkinBackground.h"

namespace {

// Loads a picture and, when transparent, makes its key colour see-through. The key point is
// kept inside the picture.
wxBitmap LoadPart(int id, bool transparent, std::uint32_t keyColour, int keyX, int keyY) {
  wxBitmap bitmap = LoadSkinBitmapById(id);
  if (!bitmap.IsOk() || !transparent) return bitmap;
  wxColour key;
  if (keyColour == CBitmapSlider::kKeyFromPixel) {
    const wxImage image = bitmap.ConvertToImage();
    const int x = std::clamp(keyX, 0, image.GetWidth() - 1);
    const int y = std::clamp(keyY, 0, image.GetHeight() - 1);
    key.Set(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
  } else {
    key.SetRGB(keyColour & 0xFFFFFF);
  }
  return MakeKeyedBitmap(bitmap, key);
}

// Draws the columns [x, x + width) of `bitmap` at the same place on `dc`, clipped to the picture.
void DrawColumns(wxDC& dc, const wxBitmap& bitmap, int x, int width) {
  x = std::max(x, 0);
  width = std::min(width, bitmap.GetWidth() - x);
  if (width <= 0 || bitmap.GetHeight() <= 0) return;
  dc.DrawBitmap(bitmap.GetSubBitmap(wxRect(x, 0, width, bitmap.GetHeight())), x, 0, true);
}

int ToInt(double value) {
  constexpr double kLow = std::numeric_limits<int>::min();
  constexpr double kHigh = std::numeric_limits<int>::max();
  return static_cast<int>(std::clamp(std::trunc(value), kLow, kHigh));
}

}  // namespace

CBitmapSlider::CBitmapSlider(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                             const wxSize& size) {
  Create(parent, id, pos, size);
}

bool CBitmapSlider::Create(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                           const wxSize& size) {
  // Every pixel is painted by the paint handler: no erase, no flicker. The slider wants the
  // arrow and page keys, so it takes all keys and passes Tab on itself.
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  if (!wxControl::Create(parent, id, pos, size, wxBORDER_NONE | wxWANTS_CHARS)) return false;
  clientRect_ = wxRect(GetClientSize());
  width_ = clientRect_.width;
  height_ = clientRect_.height;
  Bind(wxEVT_PAINT, &CBitmapSlider::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, &CBitmapSlider::OnLeftDown, this);
  // A second press arrives as a double click; it is a press like the first.
  Bind(wxEVT_LEFT_DCLICK, &CBitmapSlider::OnLeftDown, this);
  Bind(wxEVT_MOTION, &CBitmapSlider::OnMotion, this);
  Bind(wxEVT_LEFT_UP, &CBitmapSlider::OnLeftUp, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &CBitmapSlider::OnCaptureLost, this);
  Bind(wxEVT_KEY_DOWN, &CBitmapSlider::OnKeyDown, this);
  Bind(wxEVT_SET_FOCUS, &CBitmapSlider::OnFocus, this);
  Bind(wxEVT_KILL_FOCUS, &CBitmapSlider::OnFocus, this);
  Bind(wxEVT_SIZE, &CBitmapSlider::OnSize, this);
  return true;
}

CBitmapSlider::~CBitmapSlider() {
  if (HasCapture()) ReleaseMouse();
}

bool CBitmapSlider::SetChannelBitmaps(int channelId, int activeId, bool transparent,
                                      std::uint32_t keyColour, int keyX, int keyY) {
  channel_ = wxBitmap();
  activeChannelBitmap_ = wxBitmap();
  channelLoaded_ = false;
  activeChannel_ = false;
  if (channelId == 0) {
    Refresh(false);
    return true;
  }
  wxBitmap channel = LoadPart(channelId, transparent, keyColour, keyX, keyY);
  if (!channel.IsOk()) return false;
  wxBitmap active;
  if (activeId != 0) {
    active = LoadPart(activeId, transparent, keyColour, keyX, keyY);
    if (!active.IsOk()) return false;
  }
  channel_ = channel;
  activeChannelBitmap_ = active;
  activeChannel_ = activeId != 0;

  SetSize(channel_.GetSize());
  clientRect_ = wxRect(GetClientSize());
  width_ = channel_.GetWidth();
  height_ = channel_.GetHeight();
  channelTransparent_ = transparent;
  channelLoaded_ = true;
  Refresh(false);
  return true;
}

bool CBitmapSlider::SetThumbBitmaps(int thumbId, int activeId, bool transparent,
                                    std::uint32_t keyColour, int keyX, int keyY) {
  thumb_ = wxBitmap();
  activeThumbBitmap_ = wxBitmap();
  thumbLoaded_ = false;
  activeThumb_ = false;
  if (thumbId == 0) {
    thumbWidth_ = 0;
    thumbHeight_ = 0;
    Refresh(false);
    return true;
  }
  wxBitmap thumb = LoadPart(thumbId, transparent, keyColour, keyX, keyY);
  if (!thumb.IsOk()) return false;
  wxBitmap active;
  if (activeId != 0) {
    active = LoadPart(activeId, transparent, keyColour, keyX, keyY);
    if (!active.IsOk()) return false;
  }
  thumb_ = thumb;
  activeThumbBitmap_ = active;
  activeThumb_ = activeId != 0;

  thumbWidth_ = thumb_.GetWidth();
  thumbHeight_ = thumb_.GetHeight();
  if (!channelLoaded_) {
    clientRect_ = wxRect(GetClientSize());
    width_ = clientRect_.width;
    height_ = clientRect_.height;
  }
  thumbTransparent_ = transparent;
  thumbLoaded_ = true;
  Refresh(false);
  return true;
}

void CBitmapSlider::SetRange(int min, int max, bool redraw) {
  min_ = min;
  max_ = max;
  if (redraw) Refresh(false);
  RefreshMarks();
}

void CBitmapSlider::SetRangeMin(int min, bool redraw) {
  min_ = min;
  if (redraw) Refresh(false);
  RefreshMarks();
}

void CBitmapSlider::SetRangeMax(int max, bool redraw) {
  max_ = max;
  if (redraw) Refresh(false);
  RefreshMarks();
}

void CBitmapSlider::SetPos(int pos) {
  if (pos > max_) pos = max_;
  if (pos < min_) pos = min_;
  pos_ = pos;
  Refresh(false);
}

int CBitmapSlider::SetPageSize(int size) {
  const int old = page_;
  page_ = size;
  return old;
}

void CBitmapSlider::SetFocusRectDrawing(bool draw, bool redraw) {
  drawFocusRect_ = draw;
  if (redraw) Refresh(false);
}

void CBitmapSlider::SetMarks(std::vector<int> positions, int highlighted) {
  marks_ = std::move(positions);
  highlighted_ = highlighted;
  Refresh(false);
}

void CBitmapSlider::RefreshMarks() {
  if (!marks_.empty() || highlighted_ >= 0) Refresh(false);
}

void CBitmapSlider::DrawMarks(wxDC& dc) const {
  if (marks_.empty() && highlighted_ < 0) return;
  const int low = std::min(min_, max_), high = std::max(min_, max_);
  auto tick = [&](int pos, std::uint32_t rgb, int inset) {
    if (pos < low || pos > high) return;
    dc.SetBrush(wxBrush(wxColour((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF)));
    dc.DrawRectangle(PosToPixel(pos) - 1, inset, 2, height_ - 2 * inset);
  };
  dc.SetPen(*wxTRANSPARENT_PEN);
  for (int pos : marks_) {
    if (pos != highlighted_) tick(pos, kMarkColour, height_ * 2 / 7);
  }
  if (highlighted_ >= 0) tick(highlighted_, kHighlightColour, height_ / 7);
  dc.SetBrush(wxNullBrush);
  dc.SetPen(wxNullPen);
}

int CBitmapSlider::PosToPixel(int pos) const {
  const int half = thumbWidth_ / 2;
  const int travel = width_ - thumbWidth_;
  if (max_ == min_ || travel <= 0) return half;
  const double fraction = (double(pos) - min_) / (double(max_) - min_);
  const int pixel = ToInt(travel * fraction) + half;
  return std::clamp(pixel, half, width_ - half);
}

int CBitmapSlider::PixelToPos(int pixel) const {
  const int travel = width_ - thumbWidth_;
  if (max_ == min_ || travel <= 0) return min_;
  const double fraction = (double(pixel) - thumbWidth_ / 2) / travel;
  return ToInt(fraction * (double(max_) - min_) + min_);
}

void CBitmapSlider::Notify(wxEventType type) {
  wxWindow* parent = GetParent();
  if (parent == nullptr) return;
  auto* event = new wxCommandEvent(type, GetId());
  event->SetInt(pos_);
  wxQueueEvent(parent->GetEventHandler(), event);
}

void CBitmapSlider::MoveThumbTo(int x) {
  const int low = thumbWidth_ / 2;
  const int high = std::max(low, width_ - thumbWidth_ / 2);
  const int target = std::clamp(x - grip_, low, high);
  const int before = PosToPixel(pos_);
  if (target == before) return;
  SetPos(PixelToPos(target));
  // Positions finer than a pixel can leave the thumb where it was: nothing to report then.
  if (PosToPixel(pos_) != before) Notify(EVT_SLIDER_DRAG_MSG);
}

void CBitmapSlider::DrawTo(wxDC& dc) {
  PaintSkinParentBackground(*this, dc);
  const int centre = PosToPixel(pos_);
  if (channelLoaded_) {
    if (activeChannel_) {
      DrawColumns(dc, channel_, centre, width_ - centre);
      DrawColumns(dc, activeChannelBitmap_, 0, centre);
    } else {
      dc.DrawBitmap(channel_, 0, 0, true);
    }
  }
  DrawMarks(dc);
  if (thumbLoaded_) {
    const wxBitmap& thumb = dragging_ && activeThumb_ ? activeThumbBitmap_ : thumb_;
    dc.DrawBitmap(thumb, centre - thumbWidth_ / 2, 0, true);
  }
  if (drawFocusRect_ && hasFocus_) {
    dc.SetPen(wxPen(GetForegroundColour(), 1, wxPENSTYLE_DOT));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(clientRect_);
    dc.SetBrush(wxNullBrush);
    dc.SetPen(wxNullPen);
  }
}

void CBitmapSlider::OnPaint(wxPaintEvent&) {
  wxPaintDC target(this);
  CMemDC_NOV surface(target, wxRect(GetClientSize()));
  DrawTo(surface.GetDC());
}

void CBitmapSlider::OnLeftDown(wxMouseEvent& event) {
  event.Skip();
  // The drag keeps the mouse until the release; a window not on screen cannot take it and gets
  // its events sent to it anyway.
  if (!HasCapture() && IsShownOnScreen()) CaptureMouse();
  if (AcceptsFocus() && !HasFocus()) SetFocus();
  dragging_ = true;
  const int offset = event.GetX() - PosToPixel(pos_);
  // Far from the thumb it jumps to the cursor; on it, it keeps the point where it was taken.
  grip_ = std::abs(offset) > thumbWidth_ / 2 ? 0 : offset;
  MoveThumbTo(event.GetX());
  Refresh(false);
}

void CBitmapSlider::OnMotion(wxMouseEvent& event) {
  event.Skip();
  if (!dragging_) return;
  MoveThumbTo(event.GetX());
}

void CBitmapSlider::EndDrag() {
  if (HasCapture()) ReleaseMouse();
  dragging_ = false;
  Refresh(false);
}

void CBitmapSlider::OnLeftUp(wxMouseEvent& event) {
  event.Skip();
  EndDrag();
  Notify(EVT_SLIDER_CHANGE_MSG);
}

void CBitmapSlider::OnCaptureLost(wxMouseCaptureLostEvent&) {
  // The drag ends without its release: the owner still hears where the thumb was left.
  const bool wasDragging = dragging_;
  dragging_ = false;
  Refresh(false);
  if (wasDragging) Notify(EVT_SLIDER_CHANGE_MSG);
}

void CBitmapSlider::OnKeyDown(wxKeyEvent& event) {
  // 64-bit so that a step past either end of the int range cannot wrap.
  long long target = pos_;
  switch (event.GetKeyCode()) {
    case WXK_PAGEUP:
    case WXK_NUMPAD_PAGEUP:
      target -= page_;
      break;
    case WXK_PAGEDOWN:
    case WXK_NUMPAD_PAGEDOWN:
      target += page_;
      break;
    case WXK_END:
    case WXK_NUMPAD_END:
      target = max_;
      break;
    case WXK_HOME:
    case WXK_NUMPAD_HOME:
      target = min_;
      break;
    case WXK_RIGHT:
    case WXK_DOWN:
    case WXK_NUMPAD_RIGHT:
    case WXK_NUMPAD_DOWN:
      target += 1;
      break;
    case WXK_LEFT:
    case WXK_UP:
    case WXK_NUMPAD_LEFT:
    case WXK_NUMPAD_UP:
      target -= 1;
      break;
    case WXK_TAB:
      Navigate(event.ShiftDown() ? wxNavigationKeyEvent::IsBackward
                                 : wxNavigationKeyEvent::IsForward);
      return;
    default:
      event.Skip();
      return;
  }
  constexpr long long kLow = std::numeric_limits<int>::min();
  constexpr long long kHigh = std::numeric_limits<int>::max();
  SetPos(static_cast<int>(std::clamp(target, kLow, kHigh)));
  Notify(EVT_SLIDER_CHANGE_MSG);
}

void CBitmapSlider::OnSize(wxSizeEvent& event) {
  event.Skip();
  RefreshMarks();
}

void CBitmapSlider::OnFocus(wxFocusEvent& event) {
  event.Skip();
  hasFocus_ = event.GetEventType() == wxEVT_SET_FOCUS;
  Refresh(false);
}
