// SPDX-License-Identifier: GPL-3.0-or-later
// The skin button as check box, radio button and push button: ticking by mouse and keyboard,
// radio groups, the mask's shape, and the pictures, edges and draw modes it paints.
#include <gtest/gtest.h>
#include <wx/settings.h>

#include "SkinTestSupport.h"
#include "skin/CxSkinButton.h"

namespace {

using skintest::BackgroundAt;
using skintest::SendKey;
using skintest::SendMouse;

class SkinButtonTest : public skintest::FrameTest {
 protected:
  void SetUp() override {
    FrameTest::SetUp();
    parent_ = MakeParent(true);
    parent_->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent& event) {
      events_.push_back("check " + std::to_string(event.GetId()) + " " +
                        std::to_string(event.GetInt()));
    });
    parent_->Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent& event) {
      events_.push_back("radio " + std::to_string(event.GetId()));
    });
    parent_->Bind(wxEVT_BUTTON, [this](wxCommandEvent& event) {
      events_.push_back("button " + std::to_string(event.GetId()));
    });
  }

  // The mute check box as the player window sets it up.
  CxSkinButton* MakeCheckBox(int id = 1023, const wxPoint& pos = wxPoint(60, 40)) {
    auto* box = new CxSkinButton(parent_, id, "", CxSkinButton::kCheckBox, pos, wxSize(27, 22));
    box->SetSkinBitmaps(skintest::kSkinNormal, skintest::kSkinDown, 0, 0, 0, 0, 0, 1, 0);
    return box;
  }

  CxSkinButton* MakeRadio(int id) {
    auto* radio = new CxSkinButton(parent_, id, "", CxSkinButton::kRadioButton,
                                   wxPoint(10 + 30 * (id % 10), 100), wxSize(27, 22));
    radio->SetSkinBitmaps(skintest::kSkinNormal, skintest::kSkinDown, 0, 0, 0, 0, 0, 0, 0);
    return radio;
  }

  void Click(wxWindow& control, int x = 10, int y = 10) {
    SendMouse(control, wxEVT_LEFT_DOWN, x, y);
    SendMouse(control, wxEVT_LEFT_UP, x, y);
  }

  wxWindow* parent_ = nullptr;
  std::vector<std::string> events_;
};

TEST_F(SkinButtonTest, ReleaseOutsideDoesNotTick) {
  CxSkinButton* box = MakeCheckBox();
  SendMouse(*box, wxEVT_LEFT_DOWN, 10, 10);
  EXPECT_TRUE(box->IsPushed());
  SendMouse(*box, wxEVT_MOTION, 50, 10);
  EXPECT_FALSE(box->IsPushed());
  SendMouse(*box, wxEVT_LEFT_UP, 50, 10);
  EXPECT_FALSE(box->GetCheck());
  EXPECT_TRUE(events_.empty());
}

TEST_F(SkinButtonTest, ReleaseInsideTicksOnce) {
  CxSkinButton* box = MakeCheckBox();
  Click(*box);
  EXPECT_TRUE(box->GetCheck());
  EXPECT_FALSE(box->IsPushed());
  Click(*box);
  EXPECT_FALSE(box->GetCheck());
  EXPECT_EQ(events_, (std::vector<std::string>{"check 1023 1", "check 1023 0"}));
}

TEST_F(SkinButtonTest, ReleaseWithoutPressDoesNotTick) {
  CxSkinButton* box = MakeCheckBox();
  SendMouse(*box, wxEVT_LEFT_UP, 10, 10);
  EXPECT_FALSE(box->GetCheck());
  EXPECT_TRUE(events_.empty());
}

TEST_F(SkinButtonTest, DoubleClickTicksTwice) {
  CxSkinButton* box = MakeCheckBox();
  SendMouse(*box, wxEVT_LEFT_DOWN, 10, 10);
  SendMouse(*box, wxEVT_LEFT_UP, 10, 10);
  SendMouse(*box, wxEVT_LEFT_DCLICK, 10, 10);
  SendMouse(*box, wxEVT_LEFT_UP, 10, 10);
  EXPECT_FALSE(box->GetCheck());
  EXPECT_EQ(events_.size(), 2u);
}

TEST_F(SkinButtonTest, SpaceTicksOtherKeysDoNot) {
  CxSkinButton* box = MakeCheckBox();
  SendKey(*box, WXK_SPACE);
  EXPECT_TRUE(box->GetCheck());
  for (int key : {int('A'), int(WXK_RETURN), int(WXK_LEFT), int(WXK_TAB), int('0')}) {
    SendKey(*box, key);
    EXPECT_TRUE(box->GetCheck()) << "key " << key;
  }
  SendKey(*box, WXK_SPACE);
  EXPECT_FALSE(box->GetCheck());
  EXPECT_EQ(events_.size(), 2u);
}

TEST_F(SkinButtonTest, SetCheckSendsNothingAndPushButtonsStayUnticked) {
  CxSkinButton* box = MakeCheckBox();
  box->SetCheck(true);
  EXPECT_TRUE(box->GetCheck());
  EXPECT_TRUE(events_.empty());

  auto* push = new CxSkinButton(parent_, 77, "Go", CxSkinButton::kPushButton, wxPoint(200, 10),
                                wxSize(40, 20));
  push->SetCheck(true);
  EXPECT_FALSE(push->GetCheck());
  Click(*push);
  EXPECT_FALSE(push->GetCheck());
  SendKey(*push, WXK_SPACE);
  EXPECT_EQ(events_, (std::vector<std::string>{"button 77", "button 77"}));
  // Kinds other than check box and radio button are push buttons.
  push->SetButtonKind(3);
  EXPECT_EQ(push->GetButtonKind(), CxSkinButton::kPushButton);
}

TEST_F(SkinButtonTest, TickingARadioButtonClearsItsGroupOnly) {
  CxSkinButton* first = MakeRadio(1);
  CxSkinButton* second = MakeRadio(2);
  CxSkinButton* third = MakeRadio(3);
  // A check box ends the group; the radio after it is a group of its own.
  CxSkinButton* box = MakeCheckBox(9, wxPoint(200, 200));
  CxSkinButton* other = MakeRadio(4);
  first->SetCheck(true);
  box->SetCheck(true);
  other->SetCheck(true);

  Click(*second);
  EXPECT_FALSE(first->GetCheck());
  EXPECT_TRUE(second->GetCheck());
  EXPECT_FALSE(third->GetCheck());
  EXPECT_TRUE(box->GetCheck());
  EXPECT_TRUE(other->GetCheck());
  EXPECT_EQ(events_, std::vector<std::string>{"radio 2"});

  // Clicking the ticked one again changes nothing.
  Click(*second);
  EXPECT_TRUE(second->GetCheck());
  EXPECT_EQ(events_.size(), 1u);

  third->SetCheck(true);
  EXPECT_FALSE(second->GetCheck());
  EXPECT_TRUE(third->GetCheck());
  EXPECT_TRUE(other->GetCheck());
}

TEST(BitmapToRegionTest, RunsOfPixelsThatDifferFromTheColour) {
  // . = black, # = white, r = red (also not black).
  const char* rows[] = {
      "#..##",
      ".r#..",
      ".....",
      "##..#",
  };
  wxImage image(5, 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      const char c = rows[y][x];
      image.SetRGB(x, y, c == '.' ? 0 : 255, c == '#' ? 255 : 0, c == '#' ? 255 : 0);
    }
  }
  const wxRegion region = BitmapToRegion(wxBitmap(image), *wxBLACK);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      EXPECT_EQ(region.Contains(x, y) == wxInRegion, rows[y][x] != '.') << x << "," << y;
    }
  }
  EXPECT_EQ(region.GetBox(), wxRect(0, 0, 5, 4));

  // Keyed on white instead, the white pixels drop out.
  const wxRegion red = BitmapToRegion(wxBitmap(image), *wxWHITE);
  EXPECT_EQ(red.Contains(1, 1), wxInRegion);
  EXPECT_EQ(red.Contains(0, 0), wxOutRegion);
  EXPECT_EQ(red.Contains(4, 3), wxOutRegion);
}

TEST(BitmapToRegionTest, NothingDifferentGivesAnEmptyRegion) {
  wxImage image(4, 3);
  image.SetRGB(wxRect(0, 0, 4, 3), 0, 0, 0);
  EXPECT_TRUE(BitmapToRegion(wxBitmap(image), *wxBLACK).IsEmpty());
  EXPECT_TRUE(BitmapToRegion(wxBitmap(), *wxBLACK).IsEmpty());
}

TEST_F(SkinButtonTest, MaskGivesTheShapeForDrawingAndForTheMouse) {
  auto* button =
      new CxSkinButton(parent_, 1023, "", CxSkinButton::kCheckBox, wxPoint(60, 40), wxSize(50, 50));
  button->SetSkinBitmaps(skintest::kSkinNormal, skintest::kSkinDown, 0, 0, 0, skintest::kSkinMask,
                         0, 0, 0);
  // Natural size with a mask: the button takes the mask's size.
  EXPECT_EQ(button->GetSize(), wxSize(27, 22));
  EXPECT_EQ(button->GetPosition(), wxPoint(60, 40));
  EXPECT_FALSE(button->GetShapeRegion().IsEmpty());
  EXPECT_FALSE(button->HitTestPoint(wxPoint(1, 1)));
  EXPECT_TRUE(button->HitTestPoint(wxPoint(5, 1)));

  const wxImage image = skintest::Render(*button);
  EXPECT_PIXEL(image, 1, 1, BackgroundAt(61, 41));
  EXPECT_PIXEL(image, 25, 20, BackgroundAt(85, 60));
  EXPECT_PIXEL(image, 4, 0, skintest::kSkinGreen);
  EXPECT_PIXEL(image, 13, 11, skintest::kSkinGreen);

  // A press in a corner is not on the button.
  Click(*button, 2, 2);
  EXPECT_FALSE(button->GetCheck());
  Click(*button, 13, 11);
  EXPECT_TRUE(button->GetCheck());
  EXPECT_PIXEL(skintest::Render(*button), 13, 11, skintest::kOrange);
  EXPECT_PIXEL(skintest::Render(*button), 0, 21, BackgroundAt(60, 61));

  // Without a mask the shape goes.
  button->SetSkinBitmaps(skintest::kSkinNormal, skintest::kSkinDown, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_TRUE(button->GetShapeRegion().IsEmpty());
  EXPECT_TRUE(button->HitTestPoint(wxPoint(1, 1)));
}

TEST_F(SkinButtonTest, PicturesFollowTheState) {
  CxSkinButton* box = MakeCheckBox();
  box->SetSkinBitmaps(skintest::kSkinNormal, skintest::kSkinDown, skintest::kSkinOver, 0, 0, 0, 0,
                      0, 0);
  EXPECT_PIXEL(skintest::Render(*box), 13, 11, skintest::kSkinGreen);

  SendMouse(*box, wxEVT_MOTION, 5, 5);
  EXPECT_TRUE(box->IsMouseOver());
  EXPECT_PIXEL(skintest::Render(*box), 13, 11, skintest::kCyan);
  SendMouse(*box, wxEVT_LEAVE_WINDOW, 40, 5);
  EXPECT_FALSE(box->IsMouseOver());

  // Held down, and ticked: the down picture.
  SendMouse(*box, wxEVT_LEFT_DOWN, 5, 5);
  EXPECT_PIXEL(skintest::Render(*box), 13, 11, skintest::kOrange);
  SendMouse(*box, wxEVT_LEFT_UP, 5, 5);
  EXPECT_TRUE(box->GetCheck());
  EXPECT_PIXEL(skintest::Render(*box), 13, 11, skintest::kOrange);

  // Disabled without a disabled picture: the normal one.
  box->SetCheck(false);
  box->Disable();
  EXPECT_PIXEL(skintest::Render(*box), 13, 11, skintest::kSkinGreen);
}

TEST_F(SkinButtonTest, RaisedEdgeWhenUpSunkenWhenTicked) {
  CxSkinButton* box = MakeCheckBox();  // border on
  const wxColour light = wxSystemSettings::GetColour(wxSYS_COLOUR_3DLIGHT);
  const wxColour dark = wxSystemSettings::GetColour(wxSYS_COLOUR_3DDKSHADOW);
  const wxColour shadow = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNSHADOW);
  const wxColour highlight = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNHIGHLIGHT);

  wxImage image = skintest::Render(*box);
  EXPECT_PIXEL(image, 0, 5, light);
  EXPECT_PIXEL(image, 26, 5, dark);
  EXPECT_PIXEL(image, 1, 5, highlight);
  EXPECT_PIXEL(image, 25, 5, shadow);
  EXPECT_PIXEL(image, 13, 11, skintest::kSkinGreen);

  box->SetCheck(true);
  image = skintest::Render(*box);
  EXPECT_PIXEL(image, 0, 5, shadow);
  EXPECT_PIXEL(image, 26, 5, highlight);
  EXPECT_PIXEL(image, 1, 5, dark);
  EXPECT_PIXEL(image, 25, 5, light);
  EXPECT_PIXEL(image, 13, 11, skintest::kOrange);
}

TEST_F(SkinButtonTest, DrawModesNaturalStretchedAndTiled) {
  auto* button =
      new CxSkinButton(parent_, 50, "", CxSkinButton::kPushButton, wxPoint(100, 100), wxSize(8, 7));
  // Tiled: the 3 x 3 picture repeats from the corner, red at every third pixel.
  button->SetSkinBitmaps(skintest::kTile, 0, 0, 0, 0, 0, 7, 0, -4);
  EXPECT_EQ(button->GetDrawMode(), CxSkinButton::kDrawTile);
  EXPECT_EQ(button->GetMargin(), 0);
  wxImage image = skintest::Render(*button);
  EXPECT_PIXEL(image, 0, 0, skintest::kRed);
  EXPECT_PIXEL(image, 3, 3, skintest::kRed);
  EXPECT_PIXEL(image, 6, 6, skintest::kRed);
  EXPECT_PIXEL(image, 7, 6, skintest::kWhite);
  EXPECT_PIXEL(image, 4, 3, skintest::kWhite);

  // Stretched twice over: the picture's red corner becomes a 2 x 2 block.
  button->SetSize(wxSize(6, 6));
  button->SetSkinBitmaps(skintest::kTile, 0, 0, 0, 0, 0, 1, 0, 0);
  image = skintest::Render(*button);
  EXPECT_PIXEL(image, 1, 1, skintest::kRed);
  EXPECT_PIXEL(image, 2, 1, skintest::kWhite);
  EXPECT_PIXEL(image, 1, 2, skintest::kWhite);
  EXPECT_PIXEL(image, 5, 5, skintest::kWhite);

  // Natural: the picture once, at its size; behind the rest the parent shows.
  button->SetSkinBitmaps(skintest::kTile, 0, 0, 0, 0, 0, -3, 0, 0);
  EXPECT_EQ(button->GetDrawMode(), CxSkinButton::kDrawNatural);
  image = skintest::Render(*button);
  EXPECT_PIXEL(image, 0, 0, skintest::kRed);
  EXPECT_PIXEL(image, 2, 2, skintest::kWhite);
  EXPECT_PIXEL(image, 3, 3, BackgroundAt(103, 103));
  EXPECT_PIXEL(image, 5, 0, BackgroundAt(105, 100));
}

TEST_F(SkinButtonTest, LabelIsCentredInTheTextColour) {
  auto* button = new CxSkinButton(parent_, 51, "WWWW", CxSkinButton::kPushButton, wxPoint(0, 150),
                                  wxSize(120, 40));
  button->SetSkinBitmaps(skintest::kSkinNormal, 0, 0, 0, 0, 0, 1, 0, 0);
  button->SetTextColor(skintest::kRed);
  const wxImage image = skintest::Render(*button);
  // Red pixels exist, and their box sits in the middle.
  int left = image.GetWidth(), right = -1, top = image.GetHeight(), bottom = -1;
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = 0; x < image.GetWidth(); ++x) {
      if (image.GetRed(x, y) > 200 && image.GetGreen(x, y) < 100) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
    }
  }
  ASSERT_GE(right, 0) << "no label drawn";
  EXPECT_NEAR((left + right) / 2.0, 60, 3);
  EXPECT_NEAR((top + bottom) / 2.0, 20, 4);
  EXPECT_PIXEL(image, 2, 2, skintest::kSkinGreen);
}

}  // namespace
