// SPDX-License-Identifier: GPL-3.0-or-later
// A push button drawn from bitmaps, with one key colour that is transparent: wherever a picture
// has that colour, what lies behind the button shows (the parent's skin through VSkinBackground,
// or the parent's background colour). It has no native look at all.
//
// Pictures, by resource id through the skin loader (SkinBitmaps.h): normal, selected (shown while
// the button is held down with the cursor over it), focus, disabled, and an optional hover
// picture that replaces whichever of them applies while the mouse is over the button. A press
// and a release inside the button send wxEVT_BUTTON with the button's id, which propagates to
// the parent like a native button's.
//
// Threads: the window thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/control.h>

class CBitmapButtonTrans : public wxControl {
 public:
  // Which of the pictures the button shows.
  enum class Face { kNone, kNormal, kSelected, kFocus, kDisabled, kHover };

  CBitmapButtonTrans() = default;
  CBitmapButtonTrans(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                     const wxSize& size = wxDefaultSize);
  bool Create(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
              const wxSize& size = wxDefaultSize);
  ~CBitmapButtonTrans() override;

  // Replaces the four pictures; id 0 leaves that one out. True when every id given loaded.
  bool LoadBitmaps(int normal, int selected = 0, int focus = 0, int disabled = 0);
  // Resizes the button (position unchanged) to the normal picture's size.
  void SizeToContent();
  // The colour drawn transparent; RGB(255, 0, 255) until set.
  virtual void SetTransparentColor(const wxColour& colour);
  // A non-zero id replaces the hover picture; 0 keeps the one there is.
  virtual void SetHoverBitmap(int id);

  const wxColour& GetTransparentColor() const { return key_; }
  bool IsHovering() const { return hover_; }
  // Held down with the cursor over it.
  bool IsPushed() const { return pushed_; }
  // The picture the current state shows (kNone when that picture is not loaded).
  Face CurrentFace() const;

  // Draws the button as it appears, in client coordinates: what lies behind it, then the chosen
  // picture at (0, 0) with the key colour transparent. Painting uses it; so can snapshots.
  void DrawTo(wxDC& dc);

  bool Enable(bool enable = true) override;

 protected:
  wxSize DoGetBestSize() const override;

 private:
  enum Slot { kNormalSlot, kSelectedSlot, kFocusSlot, kDisabledSlot, kHoverSlot, kSlotCount };

  void RebuildKeyed();
  void SetPushed(bool pushed);
  void Release();

  void OnPaint(wxPaintEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnEnter(wxMouseEvent& event);
  void OnLeave(wxMouseEvent& event);
  void OnCaptureLost(wxMouseCaptureLostEvent& event);
  void OnFocus(wxFocusEvent& event);

  wxColour key_{255, 0, 255};
  bool hover_ = false;
  bool down_ = false;           // the left button went down on the button and has not come up
  bool pushed_ = false;         // down, and the cursor is over the button
  wxBitmap raw_[kSlotCount];    // as loaded
  wxBitmap keyed_[kSlotCount];  // with the key colour transparent
};
