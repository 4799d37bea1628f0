// SPDX-License-Identifier: GPL-3.0-or-later
// The slider's mark ticks as the X server shows them: amber ticks at the positions' places over
// the channel, the highlighted one red and taller, the thumb over them, positions outside the
// range left out, moved by a range change and gone once cleared.
#include <gtest/gtest.h>

#include "SkinTestSupport.h"
#include "skin/CBitmapSlider.h"
#include "skin/testing/Screen.h"

namespace {

const wxColour kAmber((CBitmapSlider::kMarkColour >> 16) & 0xFF,
                      (CBitmapSlider::kMarkColour >> 8) & 0xFF, CBitmapSlider::kMarkColour & 0xFF);
const wxColour kHighlight((CBitmapSlider::kHighlightColour >> 16) & 0xFF,
                          (CBitmapSlider::kHighlightColour >> 8) & 0xFF,
                          CBitmapSlider::kHighlightColour & 0xFF);

// Pixels of `colour` in the image.
int Count(const wxImage& image, const wxColour& colour) {
  int n = 0;
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = 0; x < image.GetWidth(); ++x) n += skintest::Pixel(image, x, y) == colour;
  }
  return n;
}

// Rows of column x in `colour`, as the half-open span [first, last + 1); {0, 0} when none.
std::pair<int, int> RowsOf(const wxImage& image, int x, const wxColour& colour) {
  int first = -1, last = -1;
  for (int y = 0; y < image.GetHeight(); ++y) {
    if (skintest::Pixel(image, x, y) != colour) continue;
    if (first < 0) first = y;
    last = y;
  }
  return first < 0 ? std::pair(0, 0) : std::pair(first, last + 1);
}

class SliderMarksTest : public skintest::FrameTest {
 protected:
  void SetUp() override {
    FrameTest::SetUp();
    wxWindow* parent = MakeParent(true, true);
    // 81 x 14 channel, 14-pixel thumb: PosToPixel(p) = trunc(67 p / (max - min)) + 7.
    slider_ = new CBitmapSlider(parent, 1004, wxPoint(50, 100));
    ASSERT_TRUE(slider_->SetChannelBitmaps(skintest::kChannel, skintest::kActiveChannel, true,
                                           CBitmapSlider::kKeyFromPixel, 0, 0));
    ASSERT_TRUE(slider_->SetThumbBitmaps(skintest::kThumb, skintest::kThumb, true,
                                         CBitmapSlider::kKeyFromPixel, 0, 0));
    slider_->SetFocusRectDrawing(false);
    slider_->SetRange(0, 99);
    slider_->SetPos(50);  // thumb centre at 40
  }

  // The screen over the slider once `shown` holds for it (or after a bounded wait).
  wxImage ScreenWhen(const std::function<bool(const wxImage&)>& shown) {
    wxImage image;
    screentest::PumpUntil(
        [&] {
          image = screentest::GrabClient(slider_);
          return image.IsOk() && shown(image);
        },
        5000);
    return image;
  }

  CBitmapSlider* slider_ = nullptr;
};

TEST_F(SliderMarksTest, TicksSitAtTheirPositionsUnderTheThumbAndGoWhenCleared) {
  // 10 -> 13, 25 -> 23 (highlighted), 50 -> 40 (under the thumb); -5 and 150 lie outside.
  slider_->SetMarks({150, 10, 50, -5, 25}, 25);
  wxImage image = ScreenWhen([](const wxImage& shot) {
    return skintest::Pixel(shot, 13, 6) == kAmber && skintest::Pixel(shot, 23, 6) == kHighlight;
  });
  ASSERT_TRUE(image.IsOk());
  ASSERT_EQ(image.GetHeight(), 14);
  // Two columns each, rows [4, 10) for a mark, [2, 12) for the highlighted one.
  for (int x : {12, 13}) EXPECT_EQ(RowsOf(image, x, kAmber), std::pair(4, 10)) << x;
  for (int x : {22, 23}) EXPECT_EQ(RowsOf(image, x, kHighlight), std::pair(2, 12)) << x;
  for (int x : {11, 14, 21, 24}) {
    EXPECT_EQ(RowsOf(image, x, kAmber), std::pair(0, 0)) << x;
    EXPECT_EQ(RowsOf(image, x, kHighlight), std::pair(0, 0)) << x;
  }
  // The thumb covers the tick at its own position.
  EXPECT_PIXEL(image, 39, 4, skintest::kWhite);
  EXPECT_PIXEL(image, 40, 9, skintest::kWhite);
  // Nothing else: positions outside the range are not drawn at either end.
  EXPECT_EQ(Count(image, kAmber), 2 * 6);
  EXPECT_EQ(Count(image, kHighlight), 2 * 10);

  // A wider range moves the ticks without being told to redraw: 10 -> 10, 25 -> 15.
  slider_->SetRange(0, 198);
  image = ScreenWhen([](const wxImage& shot) { return skintest::Pixel(shot, 10, 6) == kAmber; });
  for (int x : {9, 10}) EXPECT_EQ(RowsOf(image, x, kAmber), std::pair(4, 10)) << x;
  for (int x : {14, 15}) EXPECT_EQ(RowsOf(image, x, kHighlight), std::pair(2, 12)) << x;
  EXPECT_EQ(RowsOf(image, 13, kAmber), std::pair(0, 0));
  EXPECT_EQ(Count(image, kHighlight), 2 * 10);
  // 150 now lies inside, at trunc(67 * 150 / 198) + 7 = 57; 50 -> 23 is under the thumb.
  for (int x : {56, 57}) EXPECT_EQ(RowsOf(image, x, kAmber), std::pair(4, 10)) << x;

  slider_->SetMarks({});
  image = ScreenWhen(
      [](const wxImage& shot) { return Count(shot, kAmber) == 0 && Count(shot, kHighlight) == 0; });
  EXPECT_EQ(Count(image, kAmber), 0);
  EXPECT_EQ(Count(image, kHighlight), 0);
  // The channel shows again where the ticks were.
  EXPECT_PIXEL(image, 9, 6, skintest::kBlue);
  EXPECT_PIXEL(image, 57, 6, skintest::kGrey);
}

// The highlighted tick is drawn on its own too: an event recording's trigger need not be a mark.
TEST_F(SliderMarksTest, HighlightAloneIsDrawn) {
  slider_->SetMarks({}, 99);  // -> 74
  const wxImage image =
      ScreenWhen([](const wxImage& shot) { return skintest::Pixel(shot, 74, 6) == kHighlight; });
  for (int x : {73, 74}) EXPECT_EQ(RowsOf(image, x, kHighlight), std::pair(2, 12)) << x;
  EXPECT_EQ(Count(image, kHighlight), 2 * 10);
  EXPECT_EQ(Count(image, kAmber), 0);
}

}  // namespace
