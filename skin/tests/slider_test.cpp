// SPDX-License-Identifier: GPL-3.0-or-later
// The bitmap slider: its position/pixel mapping, mouse and keys sent straight to it, the events
// it posts to its parent, and what it paints.
#include <gtest/gtest.h>

#include <limits>
#include <ostream>

#include "SkinTestSupport.h"
#include "skin/CBitmapSlider.h"
#include "skin/SkinEvents.h"

namespace {

using skintest::BackgroundAt;
using skintest::SendKey;
using skintest::SendMouse;

struct Posted {
  std::string kind;
  int id;
  int pos;
  bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Posted& p) {
  return out << p.kind << " " << p.id << " " << p.pos;
}

class SliderTest : public skintest::FrameTest {
 protected:
  void SetUp() override {
    FrameTest::SetUp();
    parent_ = MakeParent(true);
    parent_->Bind(EVT_SLIDER_DRAG_MSG, [this](wxCommandEvent& event) {
      posted_.push_back({"drag", event.GetId(), event.GetInt()});
    });
    parent_->Bind(EVT_SLIDER_CHANGE_MSG, [this](wxCommandEvent& event) {
      posted_.push_back({"change", event.GetId(), event.GetInt()});
    });
  }

  // The volume slider: 81 wide, thumb 14, range 0..99, page 25.
  CBitmapSlider* MakeVolume() {
    auto* slider = new CBitmapSlider(parent_, 1004, wxPoint(50, 60), wxSize(75, 3));
    EXPECT_TRUE(slider->SetChannelBitmaps(skintest::kChannel, skintest::kActiveChannel, true,
                                          CBitmapSlider::kKeyFromPixel, 0, 0));
    EXPECT_TRUE(slider->SetThumbBitmaps(skintest::kThumb, skintest::kActiveThumb, true,
                                        CBitmapSlider::kKeyFromPixel, 0, 0));
    slider->SetPageSize(25);
    slider->SetRange(0, 99);
    slider->SetFocusRectDrawing(false);
    return slider;
  }

  std::vector<Posted> Take() {
    skintest::DeliverQueuedEvents();
    std::vector<Posted> taken;
    taken.swap(posted_);
    return taken;
  }

  wxWindow* parent_ = nullptr;
  std::vector<Posted> posted_;
};

TEST_F(SliderTest, VolumeMapping) {
  CBitmapSlider* slider = MakeVolume();
  // The channel gives the size (position kept), the thumb its width.
  EXPECT_EQ(slider->GetSize(), wxSize(81, 14));
  EXPECT_EQ(slider->GetPosition(), wxPoint(50, 60));
  EXPECT_EQ(slider->GetThumbWidth(), 14);
  EXPECT_EQ(slider->PosToPixel(0), 7);
  EXPECT_EQ(slider->PosToPixel(99), 74);
  EXPECT_EQ(slider->PosToPixel(50), 40);  // trunc(67 * 50 / 99) + 7
  EXPECT_EQ(slider->PixelToPos(7), 0);
  EXPECT_EQ(slider->PixelToPos(74), 99);
  EXPECT_EQ(slider->PixelToPos(40), 48);  // trunc(33 / 67 * 99)
}

TEST_F(SliderTest, PressAwayFromTheThumbJumpsToTheCursor) {
  CBitmapSlider* slider = MakeVolume();
  SendMouse(*slider, wxEVT_LEFT_DOWN, 40, 7);
  EXPECT_TRUE(slider->IsDragging());
  EXPECT_EQ(slider->GetPos(), 48);
  SendMouse(*slider, wxEVT_LEFT_UP, 40, 7);
  EXPECT_FALSE(slider->IsDragging());
  EXPECT_EQ(Take(), (std::vector<Posted>{{"drag", 1004, 48}, {"change", 1004, 48}}));
}

TEST_F(SliderTest, PressOnTheThumbKeepsTheGrip) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetPos(50);  // centre at 40
  // Taken 5 pixels right of its centre (within half the thumb): the thumb does not move.
  SendMouse(*slider, wxEVT_LEFT_DOWN, 45, 7);
  EXPECT_EQ(slider->GetPos(), 50);
  EXPECT_TRUE(Take().empty());
  // Dragged 10 pixels, the centre follows 5 pixels left of the cursor.
  SendMouse(*slider, wxEVT_MOTION, 55, 7);
  EXPECT_EQ(slider->GetPos(), slider->PixelToPos(50));
  EXPECT_EQ(slider->PosToPixel(slider->GetPos()), 49);
  SendMouse(*slider, wxEVT_LEFT_UP, 55, 7);

  // Just beyond half the thumb, it jumps.
  slider->SetPos(50);
  Take();
  SendMouse(*slider, wxEVT_LEFT_DOWN, 48, 7);
  EXPECT_EQ(slider->GetPos(), slider->PixelToPos(48));
  EXPECT_NE(slider->GetPos(), 50);
}

TEST_F(SliderTest, DragIsKeptWithinTheTrack) {
  CBitmapSlider* slider = MakeVolume();
  SendMouse(*slider, wxEVT_LEFT_DOWN, 30, 7);
  SendMouse(*slider, wxEVT_MOTION, 500, 7);
  EXPECT_EQ(slider->GetPos(), 99);
  SendMouse(*slider, wxEVT_MOTION, -300, 7);
  EXPECT_EQ(slider->GetPos(), 0);
  SendMouse(*slider, wxEVT_LEFT_UP, -300, 7);
  EXPECT_EQ(Take().back(), (Posted{"change", 1004, 0}));
}

TEST_F(SliderTest, DragReportsOnlyWhenTheThumbReachesANewPixel) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetRange(0, 9);  // about 7 pixels per position
  SendMouse(*slider, wxEVT_LEFT_DOWN, 7, 7);
  EXPECT_TRUE(Take().empty());
  // Still position 0: the thumb stays.
  SendMouse(*slider, wxEVT_MOTION, 8, 7);
  SendMouse(*slider, wxEVT_MOTION, 10, 7);
  EXPECT_TRUE(Take().empty());
  // Position 1, drawn at pixel 14.
  SendMouse(*slider, wxEVT_MOTION, 15, 7);
  EXPECT_EQ(Take(), (std::vector<Posted>{{"drag", 1004, 1}}));
  EXPECT_EQ(slider->PosToPixel(1), 14);
  // The same place again, and a place of the same position: nothing new.
  SendMouse(*slider, wxEVT_MOTION, 15, 7);
  SendMouse(*slider, wxEVT_MOTION, 16, 7);
  EXPECT_TRUE(Take().empty());
  SendMouse(*slider, wxEVT_MOTION, 60, 7);
  EXPECT_EQ(Take(), (std::vector<Posted>{{"drag", 1004, 7}}));
}

TEST_F(SliderTest, OnlyAReleaseWithoutPressStillReportsAChange) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetPos(33);
  // Moving without a press does nothing; releasing reports.
  SendMouse(*slider, wxEVT_MOTION, 60, 7);
  EXPECT_TRUE(Take().empty());
  SendMouse(*slider, wxEVT_LEFT_UP, 60, 7);
  EXPECT_EQ(slider->GetPos(), 33);
  EXPECT_EQ(Take(), (std::vector<Posted>{{"change", 1004, 33}}));
}

TEST_F(SliderTest, SetPosIsKeptInRange) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetPos(150);
  EXPECT_EQ(slider->GetPos(), 99);
  slider->SetPos(-4);
  EXPECT_EQ(slider->GetPos(), 0);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(slider->SetPageSize(10), 25);
  EXPECT_EQ(slider->GetPageSize(), 10);
}

TEST_F(SliderTest, KeysStepAndReportEachChange) {
  CBitmapSlider* slider = MakeVolume();
  struct Step {
    int key;
    int expected;
  };
  const Step steps[] = {
      {WXK_PAGEDOWN, 25}, {WXK_PAGEDOWN, 50}, {WXK_RIGHT, 51}, {WXK_DOWN, 52},  {WXK_LEFT, 51},
      {WXK_UP, 50},       {WXK_PAGEUP, 25},   {WXK_END, 99},   {WXK_RIGHT, 99}, {WXK_PAGEDOWN, 99},
      {WXK_HOME, 0},      {WXK_PAGEUP, 0},    {WXK_LEFT, 0},
  };
  for (const Step& step : steps) {
    SendKey(*slider, step.key);
    EXPECT_EQ(slider->GetPos(), step.expected) << "key " << step.key;
    EXPECT_EQ(Take(), (std::vector<Posted>{{"change", 1004, step.expected}})) << "key " << step.key;
  }
  // Other keys neither move it nor report.
  for (int key : {int('A'), int(WXK_RETURN), int(WXK_SPACE), int(WXK_F2)}) {
    SendKey(*slider, key);
    EXPECT_EQ(slider->GetPos(), 0);
  }
  EXPECT_TRUE(Take().empty());
}

TEST_F(SliderTest, BrightnessEndsAndTruncationTowardZero) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetRange(-5, 5);
  SendKey(*slider, WXK_HOME);
  EXPECT_EQ(slider->GetPos(), -5);
  SendKey(*slider, WXK_END);
  EXPECT_EQ(slider->GetPos(), 5);
  // Pixel 34 maps to 27 / 67 * 10 - 5 = -0.97, which truncates to 0, not -1; pixel 33 to -1.12.
  EXPECT_EQ(slider->PixelToPos(34), 0);
  EXPECT_EQ(slider->PixelToPos(33), -1);
  EXPECT_EQ(slider->PixelToPos(40), 0);
  SendKey(*slider, WXK_HOME);
  SendMouse(*slider, wxEVT_LEFT_DOWN, 40, 7);
  EXPECT_EQ(slider->GetPos(), 0);
  SendMouse(*slider, wxEVT_LEFT_UP, 40, 7);
}

TEST_F(SliderTest, EmptyRangeAndNarrowControlStayAtTheLeft) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetRange(7, 7);
  EXPECT_EQ(slider->PosToPixel(7), 7);
  EXPECT_EQ(slider->PixelToPos(60), 7);
  SendMouse(*slider, wxEVT_LEFT_DOWN, 60, 7);
  SendMouse(*slider, wxEVT_MOTION, 70, 7);
  SendMouse(*slider, wxEVT_LEFT_UP, 70, 7);
  EXPECT_EQ(slider->GetPos(), 7);
  EXPECT_EQ(Take(), (std::vector<Posted>{{"change", 1004, 7}}));

  // A thumb but no channel on a control narrower than the thumb.
  auto* narrow = new CBitmapSlider(parent_, 1112, wxPoint(0, 200), wxSize(10, 14));
  ASSERT_TRUE(
      narrow->SetThumbBitmaps(skintest::kThumb, 0, true, CBitmapSlider::kKeyFromPixel, 0, 0));
  EXPECT_EQ(narrow->GetControlWidth(), 10);
  narrow->SetRange(0, 50);
  narrow->SetPos(30);
  EXPECT_EQ(narrow->PosToPixel(30), 7);
  EXPECT_EQ(narrow->PixelToPos(9), 0);
  Take();
  // The mouse has nowhere to take the thumb; keys still set the position.
  SendMouse(*narrow, wxEVT_LEFT_DOWN, 9, 7);
  SendMouse(*narrow, wxEVT_MOTION, 2, 7);
  SendMouse(*narrow, wxEVT_LEFT_UP, 2, 7);
  EXPECT_EQ(narrow->GetPos(), 30);
  EXPECT_EQ(Take(), (std::vector<Posted>{{"change", 1112, 30}}));
  SendKey(*narrow, WXK_HOME);
  EXPECT_EQ(narrow->GetPos(), 0);
  const wxImage image = skintest::Render(*narrow);
  EXPECT_PIXEL(image, 7, 7, skintest::kWhite);
}

TEST_F(SliderTest, HugeRangesDoNotOverflow) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  SendKey(*slider, WXK_END);
  EXPECT_EQ(slider->GetPos(), std::numeric_limits<int>::max());
  EXPECT_EQ(slider->PosToPixel(slider->GetPos()), 74);
  SendKey(*slider, WXK_PAGEDOWN);
  EXPECT_EQ(slider->GetPos(), std::numeric_limits<int>::max());
  SendKey(*slider, WXK_HOME);
  SendKey(*slider, WXK_PAGEUP);
  EXPECT_EQ(slider->GetPos(), std::numeric_limits<int>::min());
  EXPECT_EQ(slider->PosToPixel(slider->GetPos()), 7);
  // A range narrowed under the position maps it to the nearer end of the track.
  slider->SetRange(0, 10);
  EXPECT_EQ(slider->PosToPixel(slider->GetPos()), 7);
  EXPECT_EQ(slider->PosToPixel(1000), 74);
}

TEST_F(SliderTest, PaintsActiveChannelLeftOfTheThumbOverTheParentsPicture) {
  CBitmapSlider* slider = MakeVolume();
  slider->SetPos(50);  // centre at 40
  wxImage image = skintest::Render(*slider);
  EXPECT_PIXEL(image, 20, 6, skintest::kBlue);
  EXPECT_PIXEL(image, 32, 7, skintest::kBlue);
  EXPECT_PIXEL(image, 70, 6, skintest::kGrey);
  EXPECT_PIXEL(image, 48, 7, skintest::kGrey);
  EXPECT_PIXEL(image, 40, 7, skintest::kWhite);
  EXPECT_PIXEL(image, 40, 2, skintest::kWhite);
  // The black key pixels of channel and thumb show the parent's picture.
  EXPECT_PIXEL(image, 20, 0, BackgroundAt(70, 60));
  EXPECT_PIXEL(image, 70, 13, BackgroundAt(120, 73));
  EXPECT_PIXEL(image, 33, 0, BackgroundAt(83, 60));

  // Moved to the far left: nearly the whole channel is grey, the thumb at 7.
  slider->SetPos(0);
  image = skintest::Render(*slider);
  EXPECT_PIXEL(image, 7, 7, skintest::kWhite);
  EXPECT_PIXEL(image, 20, 6, skintest::kGrey);
  EXPECT_PIXEL(image, 40, 2, BackgroundAt(90, 62));
}

TEST_F(SliderTest, DraggingShowsTheActiveThumb) {
  CBitmapSlider* slider = MakeVolume();
  SendMouse(*slider, wxEVT_LEFT_DOWN, 40, 7);
  const int centre = slider->PosToPixel(slider->GetPos());
  EXPECT_PIXEL(skintest::Render(*slider), centre, 7, skintest::kYellow);
  SendMouse(*slider, wxEVT_LEFT_UP, 40, 7);
  EXPECT_PIXEL(skintest::Render(*slider), centre, 7, skintest::kWhite);
}

TEST_F(SliderTest, KeyColourGivenOrTakenFromAPixel) {
  CBitmapSlider* slider = MakeVolume();
  // Keyed on the disc's white (taken at its centre): the disc disappears, its black stays.
  ASSERT_TRUE(
      slider->SetThumbBitmaps(skintest::kThumb, 0, true, CBitmapSlider::kKeyFromPixel, 7, 7));
  wxImage image = skintest::Render(*slider);
  EXPECT_PIXEL(image, 0, 0, *wxBLACK);
  EXPECT_PIXEL(image, 7, 2, BackgroundAt(57, 62));
  // The same by colour value.
  ASSERT_TRUE(slider->SetThumbBitmaps(skintest::kThumb, 0, true, skintest::kWhite.GetRGB(), 0, 0));
  image = skintest::Render(*slider);
  EXPECT_PIXEL(image, 0, 0, *wxBLACK);
  EXPECT_PIXEL(image, 7, 2, BackgroundAt(57, 62));
  // Opaque: all of it.
  ASSERT_TRUE(slider->SetThumbBitmaps(skintest::kThumb, 0, false));
  image = skintest::Render(*slider);
  EXPECT_PIXEL(image, 0, 0, *wxBLACK);
  EXPECT_PIXEL(image, 7, 2, skintest::kWhite);
}

TEST_F(SliderTest, MissingPicturesAreReportedAndLeaveNoChannel) {
  CBitmapSlider* slider = MakeVolume();
  EXPECT_FALSE(slider->SetChannelBitmaps(skintest::kChannel, 999, true));
  EXPECT_FALSE(slider->SetChannelBitmaps(999));
  EXPECT_FALSE(slider->SetThumbBitmaps(999));
  // Nothing left to draw but the parent's picture.
  EXPECT_PIXEL(skintest::Render(*slider), 20, 6, BackgroundAt(70, 66));
  EXPECT_TRUE(slider->SetChannelBitmaps(0));
  EXPECT_TRUE(slider->SetThumbBitmaps(0));
}

}  // namespace
