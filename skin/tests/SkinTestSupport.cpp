// SPDX-License-Identifier: GPL-3.0-or-later
#include "SkinTestSupport.h"

#include <wx/dcclient.h>
#include <wx/dcmemory.h>

#include <cmath>

namespace skintest {

namespace {

wxImage Filled(int width, int height, const wxColour& colour) {
  wxImage image(width, height);
  image.SetRGB(wxRect(0, 0, width, height), colour.Red(), colour.Green(), colour.Blue());
  return image;
}

wxImage ButtonPicture(const wxColour& inner) {
  wxImage image = Filled(10, 8, *wxBLACK);
  image.SetRGB(wxRect(2, 2, 6, 4), inner.Red(), inner.Green(), inner.Blue());
  return image;
}

wxImage Line(const wxColour& colour) {
  wxImage image = Filled(81, 14, *wxBLACK);
  image.SetRGB(wxRect(0, 6, 81, 2), colour.Red(), colour.Green(), colour.Blue());
  return image;
}

wxImage Disc(const wxColour& colour) {
  wxImage image = Filled(14, 14, *wxBLACK);
  for (int y = 0; y < 14; ++y) {
    for (int x = 0; x < 14; ++x) {
      if (std::hypot(x - 7, y - 7) <= 5.0)
        image.SetRGB(x, y, colour.Red(), colour.Green(), colour.Blue());
    }
  }
  return image;
}

}  // namespace

wxBitmap TestBitmap(int id) {
  switch (id) {
    case kButtonNormal:
      return wxBitmap(ButtonPicture(kRed));
    case kButtonSelected:
      return wxBitmap(ButtonPicture(kBlue));
    case kButtonFocus:
      return wxBitmap(ButtonPicture(kGreen));
    case kButtonDisabled:
      return wxBitmap(ButtonPicture(kGrey));
    case kButtonHover:
      return wxBitmap(ButtonPicture(kYellow));
    case kChannel:
      return wxBitmap(Line(kGrey));
    case kActiveChannel:
      return wxBitmap(Line(kBlue));
    case kThumb:
      return wxBitmap(Disc(kWhite));
    case kActiveThumb:
      return wxBitmap(Disc(kYellow));
    case kSkinNormal:
      return wxBitmap(Filled(27, 22, kSkinGreen));
    case kSkinDown:
      return wxBitmap(Filled(27, 22, kOrange));
    case kSkinOver:
      return wxBitmap(Filled(27, 22, kCyan));
    case kSkinMask: {
      wxImage image = Filled(27, 22, kWhite);
      for (const wxPoint& corner :
           {wxPoint(0, 0), wxPoint(23, 0), wxPoint(0, 18), wxPoint(23, 18)}) {
        image.SetRGB(wxRect(corner, wxSize(4, 4)), 0, 0, 0);
      }
      return wxBitmap(image);
    }
    case kTile: {
      wxImage image = Filled(3, 3, kWhite);
      image.SetRGB(0, 0, 255, 0, 0);
      return wxBitmap(image);
    }
    default:
      return wxBitmap();
  }
}

SkinPanel::SkinPanel(wxWindow* parent, const wxSize& size)
    : wxPanel(parent, wxID_ANY, wxPoint(0, 0), size) {
  wxImage image(size.x, size.y);
  for (int y = 0; y < size.y; ++y) {
    for (int x = 0; x < size.x; ++x) {
      const wxColour c = BackgroundAt(x, y);
      image.SetRGB(x, y, c.Red(), c.Green(), c.Blue());
    }
  }
  picture_ = wxBitmap(image);
  // A colour the picture never has, so that a fill instead of the picture shows.
  SetBackgroundColour(wxColour(250, 0, 250));
  Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
    wxPaintDC dc(this);
    dc.DrawBitmap(picture_, 0, 0);
  });
}

void SkinPanel::PaintSkinBackground(wxDC& dc, const wxRect& rectInParent) {
  ++requests;
  lastRect = rectInParent;
  dc.DrawBitmap(picture_, 0, 0);
}

}  // namespace skintest
