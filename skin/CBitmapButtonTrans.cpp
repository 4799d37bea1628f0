// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/CBitmapButtonTrans.h"

#include <wx/dcclient.h>

#include "skin/CMemDC_NOV.h"
#include "skin/SkinBitmaps.h"
#include "skin/VSkinBackground.h"

CBitmapButtonTrans::CBitmapButtonTrans(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                                       const wxSize& size) {
  Create(parent, id, pos, size);
}

bool CBitmapButtonTrans::Create(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                                const wxSize& size) {
  // The paint handler covers every pixel, so the toolkit never erases first: no flicker.
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  if (!wxControl::Create(parent, id, pos, size, wxBORDER_NONE)) return false;
  Bind(wxEVT_PAINT, &CBitmapButtonTrans::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, &CBitmapButtonTrans::OnLeftDown, this);
  // A second press arrives as a double click; it is a press like the first.
  Bind(wxEVT_LEFT_DCLICK, &CBitmapButtonTrans::OnLeftDown, this);
  Bind(wxEVT_LEFT_UP, &CBitmapButtonTrans::OnLeftUp, this);
  Bind(wxEVT_MOTION, &CBitmapButtonTrans::OnMotion, this);
  Bind(wxEVT_ENTER_WINDOW, &CBitmapButtonTrans::OnEnter, this);
  Bind(wxEVT_LEAVE_WINDOW, &CBitmapButtonTrans::OnLeave, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &CBitmapButtonTrans::OnCaptureLost, this);
  Bind(wxEVT_SET_FOCUS, &CBitmapButtonTrans::OnFocus, this);
  Bind(wxEVT_KILL_FOCUS, &CBitmapButtonTrans::OnFocus, this);
  return true;
}

CBitmapButtonTrans::~CBitmapButtonTrans() {
  if (HasCapture()) ReleaseMouse();
}

bool CBitmapButtonTrans::LoadBitmaps(int normal, int selected, int focus, int disabled) {
  const int ids[] = {normal, selected, focus, disabled};
  bool all = true;
  for (int slot = kNormalSlot; slot <= kDisabledSlot; ++slot) {
    raw_[slot] = LoadSkinBitmapById(ids[slot]);
    if (ids[slot] != 0 && !raw_[slot].IsOk()) all = false;
  }
  RebuildKeyed();
  InvalidateBestSize();
  Refresh(false);
  return all;
}

void CBitmapButtonTrans::SizeToContent() {
  if (!raw_[kNormalSlot].IsOk()) return;
  SetSize(raw_[kNormalSlot].GetSize());
}

void CBitmapButtonTrans::SetTransparentColor(const wxColour& colour) {
  if (!colour.IsOk()) return;
  key_ = colour;
  RebuildKeyed();
  Refresh(false);
}

void CBitmapButtonTrans::SetHoverBitmap(int id) {
  if (id == 0) return;
  raw_[kHoverSlot] = LoadSkinBitmapById(id);
  keyed_[kHoverSlot] = MakeKeyedBitmap(raw_[kHoverSlot], key_);
  Refresh(false);
}

void CBitmapButtonTrans::RebuildKeyed() {
  for (int slot = 0; slot < kSlotCount; ++slot) keyed_[slot] = MakeKeyedBitmap(raw_[slot], key_);
}

CBitmapButtonTrans::Face CBitmapButtonTrans::CurrentFace() const {
  Face face;
  if (pushed_ && keyed_[kSelectedSlot].IsOk()) {
    face = Face::kSelected;
  } else if (HasFocus() && keyed_[kFocusSlot].IsOk()) {
    face = Face::kFocus;
  } else if (!IsEnabled() && keyed_[kDisabledSlot].IsOk()) {
    face = Face::kDisabled;
  } else {
    face = keyed_[kNormalSlot].IsOk() ? Face::kNormal : Face::kNone;
  }
  if (hover_ && keyed_[kHoverSlot].IsOk()) face = Face::kHover;
  return face;
}

void CBitmapButtonTrans::DrawTo(wxDC& dc) {
  PaintSkinParentBackground(*this, dc);
  const wxBitmap* bitmap = nullptr;
  switch (CurrentFace()) {
    case Face::kNone:
      break;
    case Face::kNormal:
      bitmap = &keyed_[kNormalSlot];
      break;
    case Face::kSelected:
      bitmap = &keyed_[kSelectedSlot];
      break;
    case Face::kFocus:
      bitmap = &keyed_[kFocusSlot];
      break;
    case Face::kDisabled:
      bitmap = &keyed_[kDisabledSlot];
      break;
    case Face::kHover:
      bitmap = &keyed_[kHoverSlot];
      break;
  }
  if (bitmap != nullptr) dc.DrawBitmap(*bitmap, 0, 0, true);
}

bool CBitmapButtonTrans::Enable(bool enable) {
  const bool changed = wxControl::Enable(enable);
  if (!enable) Release();
  if (changed) Refresh(false);
  return changed;
}

wxSize CBitmapButtonTrans::DoGetBestSize() const {
  if (raw_[kNormalSlot].IsOk()) return raw_[kNormalSlot].GetSize();
  return wxControl::DoGetBestSize();
}

void CBitmapButtonTrans::SetPushed(bool pushed) {
  if (pushed == pushed_) return;
  pushed_ = pushed;
  Refresh(false);
}

void CBitmapButtonTrans::Release() {
  if (HasCapture()) ReleaseMouse();
  down_ = false;
  SetPushed(false);
}

void CBitmapButtonTrans::OnPaint(wxPaintEvent&) {
  wxPaintDC target(this);
  CMemDC_NOV surface(target, wxRect(GetClientSize()));
  DrawTo(surface.GetDC());
}

void CBitmapButtonTrans::OnLeftDown(wxMouseEvent& event) {
  if (AcceptsFocus() && !HasFocus()) SetFocus();
  // The press keeps the mouse until the release, so a release outside is still seen; a window
  // not yet on screen cannot take it and gets the events sent to it anyway.
  if (!HasCapture() && IsShownOnScreen()) CaptureMouse();
  down_ = true;
  SetPushed(true);
  event.Skip();
}

void CBitmapButtonTrans::OnLeftUp(wxMouseEvent& event) {
  event.Skip();
  const bool click = down_ && wxRect(GetClientSize()).Contains(event.GetPosition());
  Release();
  if (!click) return;
  wxCommandEvent command(wxEVT_BUTTON, GetId());
  command.SetEventObject(this);
  // Last: the handler may destroy this button.
  ProcessWindowEvent(command);
}

void CBitmapButtonTrans::OnMotion(wxMouseEvent& event) {
  event.Skip();
  const bool inside = wxRect(GetClientSize()).Contains(event.GetPosition());
  if (down_) SetPushed(inside);
  if (!hover_ && inside) {
    hover_ = true;
    Refresh(false);
  }
}

void CBitmapButtonTrans::OnEnter(wxMouseEvent& event) {
  event.Skip();
  if (hover_) return;
  hover_ = true;
  Refresh(false);
}

void CBitmapButtonTrans::OnLeave(wxMouseEvent& event) {
  event.Skip();
  if (!hover_) return;
  hover_ = false;
  Refresh(false);
}

void CBitmapButtonTrans::OnCaptureLost(wxMouseCaptureLostEvent&) {
  down_ = false;
  SetPushed(false);
}

void CBitmapButtonTrans::OnFocus(wxFocusEvent& event) {
  event.Skip();
  if (event.GetEventType() == wxEVT_KILL_FOCUS) Release();
  Refresh(false);
}
