// SPDX-License-Identifier: GPL-3.0-or-later
#include "skin/VSkinBackground.h"

#include <wx/brush.h>
#include <wx/pen.h>

void PaintSkinParentBackground(wxWindow& control, wxDC& dc) {
  wxWindow* parent = control.GetParent();
  const wxSize size = control.GetClientSize();
  const wxColour colour = parent != nullptr ? parent->GetBackgroundColour() : *wxBLACK;

  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(wxBrush(colour.IsOk() ? colour : *wxBLACK));
  dc.DrawRectangle(0, 0, size.x, size.y);
  dc.SetBrush(wxNullBrush);
  dc.SetPen(wxNullPen);

  auto* skin = dynamic_cast<VSkinBackground*>(parent);
  if (skin == nullptr) return;
  // The client area's place in the parent's client coordinates.
  const wxRect rectInParent(control.GetPosition() + control.GetClientAreaOrigin(), size);
  const wxPoint origin = dc.GetDeviceOrigin();
  const wxPoint shift(dc.LogicalToDeviceXRel(rectInParent.x),
                      dc.LogicalToDeviceYRel(rectInParent.y));
  dc.SetDeviceOrigin(origin.x - shift.x, origin.y - shift.y);
  skin->PaintSkinBackground(dc, rectInParent);
  dc.SetDeviceOrigin(origin.x, origin.y);
}
