// SPDX-License-Identifier: GPL-3.0-or-later
// A skinned button that acts as a push button, a check box or a radio button, drawn from up to
// six pictures (normal, down, over, disabled, focus, and a mask that gives it a non-rectangular
// shape), with an optional raised or sunken edge, a focus rectangle and a centred one-line label.
//
// The ticked state lives in the object. The user ticks a check box by a press and a release
// inside it (a release outside leaves it alone), or with Space while it has the focus; a radio
// button is ticked the same way and clears the radio-kind skin buttons next to it under the same
// parent (a run of consecutive radio siblings is one group). User changes send wxEVT_CHECKBOX
// (check box, GetInt() = ticked), wxEVT_RADIOBUTTON (radio button, when it becomes ticked) or
// wxEVT_BUTTON (push button click) with the button's id; SetCheck sends nothing.
//
// With a mask the button's shape is the mask's non-black pixels: only they are drawn and only
// they take the mouse. Outside the shape the parent's background shows (VSkinBackground.h).
//
// Threads: the window thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/control.h>
#include <wx/region.h>

// The region made of every pixel of `mask` whose colour differs from `colour`: each row is
// scanned from the bottom row up, left to right, and every run of such pixels adds a rectangle
// one pixel high. Empty when there are none (or the mask is invalid).
wxRegion BitmapToRegion(const wxBitmap& mask, const wxColour& colour);

class CxSkinButton : public wxControl {
 public:
  // Button kinds.
  static constexpr int kPushButton = 0;
  static constexpr int kCheckBox = 2;
  static constexpr int kRadioButton = 4;

  // How a picture fills the button.
  static constexpr short kDrawNatural = 0;  // at its own size from the top-left corner
  static constexpr short kDrawStretch = 1;  // stretched over the whole button
  static constexpr short kDrawTile = 2;     // repeated from the top-left corner, cut at the edges

  CxSkinButton() = default;
  CxSkinButton(wxWindow* parent, wxWindowID id, const wxString& label, int kind = kPushButton,
               const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize);
  bool Create(wxWindow* parent, wxWindowID id, const wxString& label, int kind = kPushButton,
              const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize);
  ~CxSkinButton() override;

  // kPushButton, kCheckBox or kRadioButton; any other value makes a push button.
  void SetButtonKind(int kind);
  int GetButtonKind() const { return kind_; }

  // Replaces every picture; id 0 leaves one out, except that a missing disabled picture falls
  // back to the normal one. The draw mode is brought into 0..2 (above 1 tiles, below 0 is
  // natural), a negative margin counts as 0. With a mask the shape is rebuilt from it and, in the
  // natural draw mode, the button takes the mask's size (position unchanged); without one the
  // button is rectangular.
  void SetSkinBitmaps(int normal, int down, int over, int disabled, int focus, int mask,
                      short drawMode, short border, int margin);

  // Ticks or unticks (a push button stays unticked). Ticking a radio button clears its group.
  void SetCheck(bool checked);
  bool GetCheck() const { return checked_; }

  void SetTextColor(const wxColour& colour);

  // The button's shape from its mask, in client coordinates; empty without a mask.
  const wxRegion& GetShapeRegion() const { return region_; }
  // Whether a client point belongs to the button (its shape when it has one).
  bool HitTestPoint(const wxPoint& point) const;

  bool IsMouseOver() const { return over_; }
  // Held down with the cursor over it.
  bool IsPushed() const { return pushed_; }
  short GetDrawMode() const { return drawMode_; }
  int GetMargin() const { return margin_; }

  // Draws the button as it appears, in client coordinates (what lies behind, picture, edge,
  // focus rectangle, label). Painting uses it; so can snapshots.
  void DrawTo(wxDC& dc);

  bool Enable(bool enable = true) override;

 protected:
  wxSize DoGetBestSize() const override;

 private:
  void DrawSkin(wxDC& dc, const wxBitmap& bitmap, const wxRect& rect) const;
  void DrawEdge(wxDC& dc, const wxRect& rect, bool raised) const;
  void ToggleByUser();
  void UncheckGroup();
  void SendCommand(wxEventType type);
  void SetPushed(bool pushed);
  void Release();

  void OnPaint(wxPaintEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnLeave(wxMouseEvent& event);
  void OnCaptureLost(wxMouseCaptureLostEvent& event);
  void OnFocus(wxFocusEvent& event);
  void OnKeyDown(wxKeyEvent& event);

  bool checked_ = false;
  int kind_ = kPushButton;
  bool over_ = false;
  bool down_ = false;    // the left button went down on the button and has not come up
  bool pushed_ = false;  // down, and the cursor is over the button
  wxBitmap normal_;
  wxBitmap downBitmap_;
  wxBitmap disabled_;
  wxBitmap mask_;
  wxBitmap overBitmap_;
  wxBitmap focus_;
  int margin_ = 0;
  wxColour textColour_;
  wxRegion region_;
  short border_ = 0;
  short drawMode_ = kDrawStretch;
};
