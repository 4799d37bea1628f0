// SPDX-License-Identifier: GPL-3.0-or-later
// Child windows under GTK are not transparent: a skinned control that wants to look round (or
// have holes) must itself paint what lies behind it before drawing its picture. A parent window
// with a picture of its own (the player window's skin) implements this interface; the controls
// find it with a dynamic_cast of their parent and ask it for the part under them.
#pragma once

#include <wx/dc.h>
#include <wx/gdicmn.h>
#include <wx/window.h>

class VSkinBackground {
 public:
  virtual ~VSkinBackground() = default;

  // Paints the parent's background for the area `rectInParent` (in the parent's client
  // coordinates). The caller has moved `dc`'s origin so that the parent's client coordinates
  // apply: what the parent draws at rectInParent's top-left corner lands at the control's (0, 0).
  // Only the part inside rectInParent is shown; drawing outside it is harmless.
  virtual void PaintSkinBackground(wxDC& dc, const wxRect& rectInParent) = 0;
};

// Paints what lies behind `control` into `dc`, which draws in the control's client coordinates:
// the parent's own picture when the parent implements VSkinBackground (over a fill with the
// parent's background colour, for any part it leaves out), otherwise that colour alone.
void PaintSkinParentBackground(wxWindow& control, wxDC& dc);
