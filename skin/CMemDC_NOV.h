// SPDX-License-Identifier: GPL-3.0-or-later
// A scoped off-screen drawing surface. Constructed over a target DC and a rectangle, it hands
// the painter a DC backed by a bitmap of that rectangle's size that draws with the target's own
// coordinates (the rectangle's top-left corner stays where it is); when it goes out of scope the
// finished picture is copied onto the target in one transfer, so the intermediate steps are never
// seen. The surface starts either as a copy of what the target shows in the rectangle or filled
// with the target's background colour.
//
// A printing target (wxPrinterDC, wxPostScriptDC) gains nothing from this: the painter draws
// into it directly and nothing is copied at the end.
//
// Threads: the window thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/dc.h>
#include <wx/dcmemory.h>
#include <wx/gdicmn.h>

class CMemDC_NOV {
 public:
  // Covers the target's clipping box (its whole area when it has no clipping region).
  explicit CMemDC_NOV(wxDC& target, bool copyBackground = false);
  // Covers `rect`, in the target's logical coordinates.
  CMemDC_NOV(wxDC& target, const wxRect& rect, bool copyBackground = false);
  ~CMemDC_NOV();

  CMemDC_NOV(const CMemDC_NOV&) = delete;
  CMemDC_NOV& operator=(const CMemDC_NOV&) = delete;

  // Where to paint: the off-screen surface, or the target itself when it is printing.
  wxDC& GetDC();
  wxDC* operator->() { return &GetDC(); }

  // True when painting goes off-screen; false for a printing target.
  bool IsMemory() const { return memory_; }
  // The area covered, in the target's logical coordinates.
  const wxRect& GetRect() const { return rect_; }

  // Whether a DC prints (and so is drawn into directly).
  static bool IsPrinting(const wxDC& dc);

 private:
  void Start(bool copyBackground);

  wxBitmap bitmap_;
  wxMemoryDC surface_;
  wxDC& target_;
  wxRect rect_;
  bool memory_ = true;
};
