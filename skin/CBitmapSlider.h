// SPDX-License-Identifier: GPL-3.0-or-later
// A horizontal slider drawn entirely from bitmaps: a channel (the track), an optional active
// channel that fills the part left of the thumb, and a thumb (with an optional second picture
// shown while it is dragged), each with an optional transparent key colour over what lies behind
// the slider (VSkinBackground.h).
//
// Positions map to thumb-centre pixels across the control width W less the thumb width T:
//   PosToPixel(p) = trunc((W - T) * (p - min) / (max - min)) + T / 2
//   PixelToPos(x) = trunc((x - T / 2) / (W - T) * (max - min) + min), truncated toward zero.
// A slider with max == min, or no wider than its thumb, has nowhere to move: its thumb sits at
// T / 2, every pixel maps to min and the mouse leaves the position alone (keys still set it).
//
// The parent hears of the user's changes through events posted to it (SkinEvents.h), with the
// slider's id as the event id and the position as GetInt(); no event object is set, as the
// slider may be gone by the time the event is handled:
// - EVT_SLIDER_DRAG_MSG while the thumb is dragged, each time it lands on a new pixel;
// - EVT_SLIDER_CHANGE_MSG when the left button is released over the slider (pressed or not) and
//   after every keyboard change.
//
// Marks: ticks over the channel at chosen positions (the player marks the seconds where the car
// was jolted), each 2 pixels wide over the columns PosToPixel(p) - 1 and PosToPixel(p), drawn
// after the channel and before the thumb, so the thumb covers them. An ordinary tick is amber
// (kMarkColour) over the rows [2H / 7, H - 2H / 7) of the slider's height H; the highlighted one
// red (kHighlightColour) and taller, over [H / 7, H - H / 7). Positions outside the range are not
// drawn; the ticks follow range and size changes.
//
// Mouse: a press more than T / 2 from the thumb's centre makes the thumb jump to the cursor; a
// press on the thumb keeps the point where it was taken. Keys: Page Up / Page Down move by the
// page size, Home / End go to the ends, Left / Up and Right / Down step by one. Tab moves the
// focus on as usual.
//
// Threads: the window thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/control.h>

#include <cstdint>
#include <vector>

class CBitmapSlider : public wxControl {
 public:
  // The key colour that means "the colour of the picture's pixel at the key point". Other key
  // colours are given as wxColour::GetRGB() values (0x00BBGGRR).
  static constexpr std::uint32_t kKeyFromPixel = 0xFF000000;
  // The colours of the mark ticks, as 0xRRGGBB.
  static constexpr std::uint32_t kMarkColour = 0xFFB000;
  static constexpr std::uint32_t kHighlightColour = 0xFF2020;

  CBitmapSlider() = default;
  CBitmapSlider(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize);
  bool Create(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
              const wxSize& size = wxDefaultSize);
  ~CBitmapSlider() override;

  // Channel id 0 removes the channels and returns true. Otherwise loads the channel and, when
  // activeId is not 0, the active channel (either failing: no channel at all, false), resizes the
  // control (position unchanged) to the channel's size and takes that as the width W.
  bool SetChannelBitmaps(int channelId, int activeId = 0, bool transparent = false,
                         std::uint32_t keyColour = kKeyFromPixel, int keyX = 0, int keyY = 0);
  // The same for the thumb and the thumb shown while dragging; the thumb's size gives T. Without
  // a channel the control's client size gives W.
  bool SetThumbBitmaps(int thumbId, int activeId = 0, bool transparent = false,
                       std::uint32_t keyColour = kKeyFromPixel, int keyX = 0, int keyY = 0);

  // Range setters store the values as given (the position is not touched) and repaint when asked.
  void SetRange(int min, int max, bool redraw = false);
  void SetRangeMin(int min, bool redraw = false);
  void SetRangeMax(int max, bool redraw = false);
  int GetRangeMin() const { return min_; }
  int GetRangeMax() const { return max_; }

  // Stores p lowered to the maximum, then raised to the minimum; repaints.
  void SetPos(int pos);
  int GetPos() const { return pos_; }
  // Returns the old page size.
  int SetPageSize(int size);
  int GetPageSize() const { return page_; }
  void SetFocusRectDrawing(bool draw, bool redraw = false);
  // Replaces the marks with ticks at `positions` (any order) and repaints; `highlighted` is a
  // position drawn as the highlighted tick, whether among `positions` or not (negative: none).
  // SetMarks({}) clears them.
  void SetMarks(std::vector<int> positions, int highlighted = -1);
  const std::vector<int>& GetMarks() const { return marks_; }
  int GetHighlightedMark() const { return highlighted_; }

  // The mapping between positions and thumb-centre x coordinates (see above). Pixels are kept
  // within [T / 2, W - T / 2] even for positions outside the range.
  int PosToPixel(int pos) const;
  int PixelToPos(int pixel) const;

  int GetControlWidth() const { return width_; }
  int GetThumbWidth() const { return thumbWidth_; }
  bool IsDragging() const { return dragging_; }

  // Draws the slider as it appears, in client coordinates: what lies behind it, the channel,
  // the active channel left of the thumb, the thumb, the focus rectangle. Painting uses it.
  void DrawTo(wxDC& dc);

 private:
  void Notify(wxEventType type);
  void MoveThumbTo(int x);
  void EndDrag();

  void OnPaint(wxPaintEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnCaptureLost(wxMouseCaptureLostEvent& event);
  void OnKeyDown(wxKeyEvent& event);
  void OnFocus(wxFocusEvent& event);
  void OnSize(wxSizeEvent& event);
  void DrawMarks(wxDC& dc) const;
  // Range changes move the marks: repaint when there are any.
  void RefreshMarks();

  int max_ = 100;
  int min_ = 0;
  int pos_ = 0;
  int page_ = 20;
  wxRect clientRect_;
  int width_ = 0;   // W: the channel's width, or the client width without a channel
  int height_ = 0;  // the channel's height, or the client height without a channel
  int thumbWidth_ = 0;
  int thumbHeight_ = 0;
  int grip_ = 0;  // where the thumb was taken, in pixels right of its centre
  bool activeChannel_ = false;
  bool activeThumb_ = false;
  bool channelTransparent_ = false;
  bool thumbTransparent_ = false;
  bool thumbLoaded_ = false;
  bool channelLoaded_ = false;
  bool dragging_ = false;
  bool hasFocus_ = false;
  bool drawFocusRect_ = true;
  // Each as it is drawn: with its key colour transparent when it was loaded transparent.
  wxBitmap channel_;
  wxBitmap activeChannelBitmap_;
  wxBitmap thumb_;
  wxBitmap activeThumbBitmap_;
  std::vector<int> marks_;
  int highlighted_ = -1;
};
