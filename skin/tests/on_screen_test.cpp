// SPDX-License-Identifier: GPL-3.0-or-later
// The controls on a real window: shown, painted by the toolkit through their paint handlers, and
// read back from the screen.
#include <gtest/gtest.h>
#include <wx/dcscreen.h>
#include <wx/utils.h>

#include <functional>

#include "SkinTestSupport.h"
#include "skin/CBitmapButtonTrans.h"
#include "skin/CBitmapSlider.h"
#include "skin/CxSkinButton.h"

namespace {

using skintest::BackgroundAt;

// What the screen shows of a window's client area.
wxImage Capture(wxWindow& window) {
  const wxSize size = window.GetClientSize();
  const wxPoint origin = window.ClientToScreen(wxPoint(0, 0));
  wxBitmap bitmap(size.x, size.y);
  {
    wxMemoryDC dc(bitmap);
    wxScreenDC screen;
    dc.Blit(0, 0, size.x, size.y, &screen, origin.x, origin.y);
  }
  return bitmap.ConvertToImage();
}

// Lets the toolkit paint until `done` holds for the window's capture, or gives up after a
// bounded number of rounds; returns the last capture.
wxImage CaptureWhen(wxWindow& window, const std::function<bool(const wxImage&)>& done) {
  wxImage image;
  for (int round = 0; round < 200; ++round) {
    window.Refresh(false);
    window.Update();
    wxYield();
    image = Capture(window);
    if (done(image)) break;
    wxMilliSleep(10);
  }
  return image;
}

bool Same(const wxImage& image, int x, int y, const wxColour& colour) {
  return skintest::Pixel(image, x, y) == colour;
}

class OnScreenTest : public skintest::FrameTest {};

TEST_F(OnScreenTest, ControlsPaintThemselvesOverTheParentsPicture) {
  wxWindow* parent = MakeParent(true, true);
  auto* button = new CBitmapButtonTrans(parent, 1005, wxPoint(30, 20));
  button->SetTransparentColor(*wxBLACK);
  ASSERT_TRUE(button->LoadBitmaps(skintest::kButtonNormal, skintest::kButtonSelected));
  button->SizeToContent();

  auto* mute = new CxSkinButton(parent, 1023, "", CxSkinButton::kCheckBox, wxPoint(100, 40));
  mute->SetSkinBitmaps(skintest::kSkinNormal, skintest::kSkinDown, 0, 0, 0, skintest::kSkinMask, 0,
                       0, 0);
  mute->SetCheck(true);

  auto* slider = new CBitmapSlider(parent, 1004, wxPoint(50, 100));
  ASSERT_TRUE(slider->SetChannelBitmaps(skintest::kChannel, skintest::kActiveChannel, true,
                                        CBitmapSlider::kKeyFromPixel, 0, 0));
  ASSERT_TRUE(slider->SetThumbBitmaps(skintest::kThumb, skintest::kThumb, true,
                                      CBitmapSlider::kKeyFromPixel, 0, 0));
  slider->SetRange(0, 99);
  slider->SetPos(50);  // thumb centre at 40

  const wxImage image = CaptureWhen(*parent, [](const wxImage& shot) {
    return Same(shot, 33, 23, skintest::kRed) && Same(shot, 113, 51, skintest::kOrange) &&
           Same(shot, 90, 107, skintest::kWhite);
  });
  // The button: its block, and the parent's picture through its black edge.
  EXPECT_PIXEL(image, 33, 23, skintest::kRed);
  EXPECT_PIXEL(image, 30, 20, BackgroundAt(30, 20));
  EXPECT_PIXEL(image, 39, 27, BackgroundAt(39, 27));
  // The ticked mute box, shaped by its mask: corners show the parent's picture.
  EXPECT_PIXEL(image, 113, 51, skintest::kOrange);
  EXPECT_PIXEL(image, 101, 41, BackgroundAt(101, 41));
  // The slider: blue left of the thumb, grey right of it, white thumb, picture between.
  EXPECT_PIXEL(image, 70, 106, skintest::kBlue);
  EXPECT_PIXEL(image, 120, 106, skintest::kGrey);
  EXPECT_PIXEL(image, 90, 107, skintest::kWhite);
  EXPECT_PIXEL(image, 70, 100, BackgroundAt(70, 100));
}

}  // namespace
