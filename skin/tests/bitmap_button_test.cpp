// SPDX-License-Identifier: GPL-3.0-or-later
// The transparent bitmap button drawn through its own drawing code and driven with mouse events
// sent straight to it.
#include <gtest/gtest.h>

#include "SkinTestSupport.h"
#include "skin/CBitmapButtonTrans.h"

namespace {

using skintest::BackgroundAt;
using skintest::SendMouse;
using Face = CBitmapButtonTrans::Face;

class BitmapButtonTest : public skintest::FrameTest {
 protected:
  CBitmapButtonTrans* MakeButton(bool skinParent, bool show = false) {
    parent_ = MakeParent(skinParent, show);
    auto* button = new CBitmapButtonTrans(parent_, 1005, wxPoint(30, 20), wxSize(40, 40));
    button->SetTransparentColor(*wxBLACK);
    EXPECT_TRUE(button->LoadBitmaps(skintest::kButtonNormal, skintest::kButtonSelected,
                                    skintest::kButtonNormal, skintest::kButtonDisabled));
    button->SizeToContent();
    parent_->Bind(wxEVT_BUTTON,
                  [this](wxCommandEvent& event) { clicks_.push_back(event.GetId()); });
    return button;
  }

  wxWindow* parent_ = nullptr;
  std::vector<int> clicks_;
};

TEST_F(BitmapButtonTest, SizesItselfToTheNormalPicture) {
  CBitmapButtonTrans* button = MakeButton(true);
  EXPECT_EQ(button->GetSize(), wxSize(10, 8));
  EXPECT_EQ(button->GetPosition(), wxPoint(30, 20));
}

TEST_F(BitmapButtonTest, KeyColourPixelsShowTheParentsPicture) {
  CBitmapButtonTrans* button = MakeButton(true);
  const wxImage image = skintest::Render(*button);
  // Black edge pixels show the parent's picture under the button's place.
  EXPECT_PIXEL(image, 0, 0, BackgroundAt(30, 20));
  EXPECT_PIXEL(image, 9, 7, BackgroundAt(39, 27));
  EXPECT_PIXEL(image, 1, 4, BackgroundAt(31, 24));
  // The picture itself is drawn over it.
  EXPECT_PIXEL(image, 2, 2, skintest::kRed);
  EXPECT_PIXEL(image, 7, 5, skintest::kRed);
  auto* panel = static_cast<skintest::SkinPanel*>(parent_);
  EXPECT_EQ(panel->lastRect, wxRect(30, 20, 10, 8));
}

TEST_F(BitmapButtonTest, OnlyTheKeyColourIsTransparent) {
  CBitmapButtonTrans* button = MakeButton(true);
  // Back to the default key: the black edge is part of the picture again.
  button->SetTransparentColor(wxColour(255, 0, 255));
  EXPECT_PIXEL(skintest::Render(*button), 0, 0, *wxBLACK);
  // Keyed on red, the block vanishes and the black edge stays.
  button->SetTransparentColor(skintest::kRed);
  const wxImage image = skintest::Render(*button);
  EXPECT_PIXEL(image, 0, 0, *wxBLACK);
  EXPECT_PIXEL(image, 4, 3, BackgroundAt(34, 23));
}

TEST_F(BitmapButtonTest, WithoutSkinParentTheParentsColourShows) {
  CBitmapButtonTrans* button = MakeButton(false);
  const wxImage image = skintest::Render(*button);
  EXPECT_PIXEL(image, 0, 0, skintest::kPlainParent);
  EXPECT_PIXEL(image, 3, 3, skintest::kRed);
}

TEST_F(BitmapButtonTest, DisabledShowsTheDisabledPictureOrElseTheNormalOne) {
  CBitmapButtonTrans* button = MakeButton(true);
  button->Disable();
  EXPECT_EQ(button->CurrentFace(), Face::kDisabled);
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kGrey);

  ASSERT_TRUE(button->LoadBitmaps(skintest::kButtonNormal, skintest::kButtonSelected));
  EXPECT_EQ(button->CurrentFace(), Face::kNormal);
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kRed);

  button->Enable();
  ASSERT_TRUE(button->LoadBitmaps(skintest::kButtonNormal, 0, 0, skintest::kButtonDisabled));
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kRed);
}

TEST_F(BitmapButtonTest, SelectedPictureWhileHeldDownOverTheButton) {
  CBitmapButtonTrans* button = MakeButton(true);
  SendMouse(*button, wxEVT_LEFT_DOWN, 4, 4);
  EXPECT_TRUE(button->IsPushed());
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kBlue);

  // Dragged off the button it looks released; back on, pressed again.
  SendMouse(*button, wxEVT_MOTION, 25, 4);
  EXPECT_FALSE(button->IsPushed());
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kRed);
  SendMouse(*button, wxEVT_MOTION, 5, 5);
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kBlue);

  SendMouse(*button, wxEVT_LEFT_UP, 5, 5);
  EXPECT_FALSE(button->IsPushed());
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kRed);
}

TEST_F(BitmapButtonTest, EachPressAndReleaseInsideClicksOnce) {
  CBitmapButtonTrans* button = MakeButton(true);
  SendMouse(*button, wxEVT_LEFT_DOWN, 4, 4);
  EXPECT_TRUE(clicks_.empty());
  SendMouse(*button, wxEVT_LEFT_UP, 6, 3);
  EXPECT_EQ(clicks_, std::vector<int>{1005});
  // A double click's second press arrives as a double-click event: a second click.
  SendMouse(*button, wxEVT_LEFT_DCLICK, 4, 4);
  SendMouse(*button, wxEVT_LEFT_UP, 4, 4);
  EXPECT_EQ(clicks_, (std::vector<int>{1005, 1005}));
}

TEST_F(BitmapButtonTest, ReleaseOutsideOrWithoutPressDoesNotClick) {
  CBitmapButtonTrans* button = MakeButton(true);
  SendMouse(*button, wxEVT_LEFT_DOWN, 4, 4);
  SendMouse(*button, wxEVT_LEFT_UP, 40, 3);
  SendMouse(*button, wxEVT_LEFT_UP, 4, 4);
  EXPECT_TRUE(clicks_.empty());
}

TEST_F(BitmapButtonTest, HoverPictureOnlyWhenOneIsSet) {
  CBitmapButtonTrans* button = MakeButton(true);
  SendMouse(*button, wxEVT_ENTER_WINDOW, 4, 4);
  EXPECT_TRUE(button->IsHovering());
  EXPECT_EQ(button->CurrentFace(), Face::kNormal);

  button->SetHoverBitmap(skintest::kButtonHover);
  EXPECT_EQ(button->CurrentFace(), Face::kHover);
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kYellow);
  // The hover picture is keyed like the others.
  EXPECT_PIXEL(skintest::Render(*button), 0, 0, BackgroundAt(30, 20));

  SendMouse(*button, wxEVT_LEAVE_WINDOW, 40, 4);
  EXPECT_FALSE(button->IsHovering());
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kRed);
}

TEST_F(BitmapButtonTest, FocusPictureWhileFocused) {
  CBitmapButtonTrans* button = MakeButton(true, true);
  ASSERT_TRUE(button->LoadBitmaps(skintest::kButtonNormal, skintest::kButtonSelected,
                                  skintest::kButtonFocus));
  button->SetFocus();
  for (int round = 0; round < 100 && !button->HasFocus(); ++round) wxYield();
  if (!button->HasFocus()) GTEST_SKIP() << "the display gave no focus";
  EXPECT_EQ(button->CurrentFace(), Face::kFocus);
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kGreen);
  // Held down, the selected picture wins over the focus one.
  SendMouse(*button, wxEVT_LEFT_DOWN, 4, 4);
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, skintest::kBlue);
  SendMouse(*button, wxEVT_LEFT_UP, 4, 4);
  EXPECT_EQ(clicks_.size(), 1u);
}

TEST_F(BitmapButtonTest, UnknownPictureIdsAreReported) {
  CBitmapButtonTrans* button = MakeButton(true);
  EXPECT_FALSE(button->LoadBitmaps(skintest::kButtonNormal, 999));
  EXPECT_EQ(button->CurrentFace(), Face::kNormal);
  EXPECT_FALSE(button->LoadBitmaps(999));
  EXPECT_EQ(button->CurrentFace(), Face::kNone);
  // Nothing to draw: only the parent's picture.
  EXPECT_PIXEL(skintest::Render(*button), 3, 3, BackgroundAt(33, 23));

  SetSkinBitmapLoader(nullptr);
  EXPECT_FALSE(button->LoadBitmaps(skintest::kButtonNormal));
  skintest::InstallTestBitmaps();
  EXPECT_FALSE(LoadSkinBitmapById(0).IsOk());
}

}  // namespace
