// SPDX-License-Identifier: GPL-3.0-or-later
// The off-screen surface over a memory bitmap (whose pixels can be read before and after the
// surface is copied back) and over a PostScript printer DC.
#include <gtest/gtest.h>
#include <wx/dcmemory.h>
#include <wx/dcps.h>
#include <wx/ffile.h>
#include <wx/filename.h>

#include "SkinTestSupport.h"
#include "skin/CMemDC_NOV.h"

namespace {

using skintest::BackgroundAt;

constexpr int kWidth = 40;
constexpr int kHeight = 30;

// A target bitmap holding the gradient picture.
wxBitmap Gradient() {
  wxImage image(kWidth, kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const wxColour c = BackgroundAt(x, y);
      image.SetRGB(x, y, c.Red(), c.Green(), c.Blue());
    }
  }
  return wxBitmap(image);
}

void FillRect(wxDC& dc, const wxRect& rect, const wxColour& colour) {
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(wxBrush(colour));
  dc.DrawRectangle(rect);
}

TEST(MemDCTest, CopyBackgroundStartsFromTheTargetAndCopiesBackOnce) {
  wxBitmap bitmap = Gradient();
  wxMemoryDC target(bitmap);
  const wxRect rect(10, 5, 20, 15);
  {
    CMemDC_NOV surface(target, rect, true);
    ASSERT_TRUE(surface.IsMemory());
    EXPECT_EQ(surface.GetRect(), rect);
    FillRect(surface.GetDC(), wxRect(12, 7, 3, 2), skintest::kRed);
    // Drawing beyond the rectangle is dropped.
    FillRect(surface.GetDC(), wxRect(0, 0, 10, 30), skintest::kGreen);

    // Nothing reaches the target while the surface lives.
    target.SelectObject(wxNullBitmap);
    EXPECT_PIXEL(bitmap.ConvertToImage(), 12, 7, BackgroundAt(12, 7));
    target.SelectObject(bitmap);

    // The surface itself already shows the target's picture around the drawing.
    wxBitmap copy(40, 30);
    wxMemoryDC probe(copy);
    probe.Blit(rect.x, rect.y, rect.width, rect.height, &surface.GetDC(), rect.x, rect.y);
    probe.SelectObject(wxNullBitmap);
    const wxImage seen = copy.ConvertToImage();
    EXPECT_PIXEL(seen, 12, 7, skintest::kRed);
    EXPECT_PIXEL(seen, 20, 12, BackgroundAt(20, 12));
  }
  target.SelectObject(wxNullBitmap);
  const wxImage image = bitmap.ConvertToImage();
  // The drawing landed at the same logical place; the rest of the rectangle is the old picture.
  EXPECT_PIXEL(image, 12, 7, skintest::kRed);
  EXPECT_PIXEL(image, 14, 8, skintest::kRed);
  EXPECT_PIXEL(image, 15, 8, BackgroundAt(15, 8));
  EXPECT_PIXEL(image, 29, 19, BackgroundAt(29, 19));
  EXPECT_PIXEL(image, 0, 0, BackgroundAt(0, 0));
  EXPECT_PIXEL(image, 9, 10, BackgroundAt(9, 10));
  EXPECT_PIXEL(image, 30, 20, BackgroundAt(30, 20));
}

TEST(MemDCTest, WithoutCopyStartsFromTheTargetsBackgroundColour) {
  wxBitmap bitmap = Gradient();
  wxMemoryDC target(bitmap);
  target.SetBackground(wxBrush(wxColour(0, 0, 200)));
  const wxRect rect(10, 5, 20, 15);
  {
    CMemDC_NOV surface(target, rect, false);
    FillRect(surface.GetDC(), wxRect(25, 15, 2, 2), skintest::kRed);
  }
  target.SelectObject(wxNullBitmap);
  const wxImage image = bitmap.ConvertToImage();
  EXPECT_PIXEL(image, 10, 5, wxColour(0, 0, 200));
  EXPECT_PIXEL(image, 29, 19, wxColour(0, 0, 200));
  EXPECT_PIXEL(image, 26, 16, skintest::kRed);
  // Outside the rectangle the target is untouched.
  EXPECT_PIXEL(image, 9, 5, BackgroundAt(9, 5));
  EXPECT_PIXEL(image, 30, 19, BackgroundAt(30, 19));
  EXPECT_PIXEL(image, 10, 20, BackgroundAt(10, 20));
}

TEST(MemDCTest, WithoutRectangleCoversTheClippingBoxOrTheWholeTarget) {
  wxBitmap bitmap = Gradient();
  wxMemoryDC target(bitmap);
  {
    CMemDC_NOV surface(target, true);
    EXPECT_EQ(surface.GetRect(), wxRect(0, 0, kWidth, kHeight));
  }
  target.SetClippingRegion(wxRect(4, 6, 8, 9));
  {
    CMemDC_NOV surface(target, true);
    EXPECT_EQ(surface.GetRect(), wxRect(4, 6, 8, 9));
    FillRect(surface.GetDC(), wxRect(0, 0, kWidth, kHeight), skintest::kBlue);
  }
  target.DestroyClippingRegion();
  target.SelectObject(wxNullBitmap);
  const wxImage image = bitmap.ConvertToImage();
  EXPECT_PIXEL(image, 4, 6, skintest::kBlue);
  EXPECT_PIXEL(image, 11, 14, skintest::kBlue);
  EXPECT_PIXEL(image, 12, 14, BackgroundAt(12, 14));
}

TEST(MemDCTest, KeepsTheTargetsOriginShift) {
  wxBitmap bitmap = Gradient();
  wxMemoryDC target(bitmap);
  // Logical (0, 0) of the target is device (5, 3).
  target.SetDeviceOrigin(5, 3);
  {
    CMemDC_NOV surface(target, wxRect(0, 0, 10, 10), true);
    FillRect(surface.GetDC(), wxRect(2, 2, 1, 1), skintest::kRed);
  }
  target.SetDeviceOrigin(0, 0);
  target.SelectObject(wxNullBitmap);
  const wxImage image = bitmap.ConvertToImage();
  EXPECT_PIXEL(image, 7, 5, skintest::kRed);
  EXPECT_PIXEL(image, 2, 2, BackgroundAt(2, 2));
}

TEST(MemDCTest, EmptyRectangleIsHarmless) {
  wxBitmap bitmap = Gradient();
  wxMemoryDC target(bitmap);
  {
    CMemDC_NOV surface(target, wxRect(3, 3, 0, 0), true);
    FillRect(surface.GetDC(), wxRect(0, 0, kWidth, kHeight), skintest::kRed);
  }
  target.SelectObject(wxNullBitmap);
  EXPECT_PIXEL(bitmap.ConvertToImage(), 3, 3, BackgroundAt(3, 3));
}

TEST(MemDCTest, PrintingTargetIsDrawnIntoDirectly) {
  const wxString path = wxFileName::CreateTempFileName("skin-memdc");
  ASSERT_FALSE(path.empty());
  wxPrintData data;
  data.SetFilename(path);
  data.SetPrintMode(wxPRINT_MODE_FILE);
  {
    wxPostScriptDC printer(data);
    ASSERT_TRUE(printer.IsOk());
    EXPECT_TRUE(CMemDC_NOV::IsPrinting(printer));
    wxBitmap bitmap(4, 4);
    wxMemoryDC screenLike(bitmap);
    EXPECT_FALSE(CMemDC_NOV::IsPrinting(screenLike));
    ASSERT_TRUE(printer.StartDoc("memdc"));
    printer.StartPage();
    {
      CMemDC_NOV surface(printer, wxRect(0, 0, 100, 100), true);
      EXPECT_FALSE(surface.IsMemory());
      EXPECT_EQ(&surface.GetDC(), static_cast<wxDC*>(&printer));
      FillRect(surface.GetDC(), wxRect(10, 10, 50, 50), wxColour(0, 255, 0));
    }
    printer.EndPage();
    printer.EndDoc();
  }
  wxString text;
  wxFFile file(path, "r");
  ASSERT_TRUE(file.IsOpened());
  ASSERT_TRUE(file.ReadAll(&text));
  file.Close();
  wxRemoveFile(path);
  // The fill is in the page as a drawing of its own.
  EXPECT_NE(text.Find("0.000000 1.000000 0.000000 setrgbcolor"), wxNOT_FOUND);
}

}  // namespace
