// SPDX-License-Identifier: GPL-3.0-or-later
// What the skin window tests share: the test pictures behind a skin loader, a parent window with
// a picture of its own (a colour gradient, so that every pixel tells where it came from), pixel
// reading, and input sent straight to a control's event handler.
#pragma once

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/event.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>

#include <functional>
#include <map>
#include <string>

#include "skin/SkinBitmaps.h"
#include "skin/VSkinBackground.h"

namespace skintest {

// Picture ids handed out by the test loader.
enum : int {
  kButtonNormal = 1,  // 10 x 8, black edge (the key colour) around a red block at 2..7 x 2..5
  kButtonSelected = 2,
  kButtonFocus = 3,
  kButtonDisabled = 4,
  kButtonHover = 5,
  kChannel = 20,        // 81 x 14 black with a grey line in rows 6 and 7
  kActiveChannel = 21,  // the same line in blue
  kThumb = 22,          // 14 x 14 black with a white disc around (7, 7)
  kActiveThumb = 23,    // the same disc in yellow
  kSkinNormal = 30,     // 27 x 22 green
  kSkinDown = 31,       // 27 x 22 orange
  kSkinMask = 32,       // 27 x 22: white, with black 4 x 4 corners
  kTile = 33,           // 3 x 3: red in (0, 0), white elsewhere
  kSkinOver = 34,       // 27 x 22 cyan
};

inline const wxColour kRed(255, 0, 0);
inline const wxColour kBlue(0, 0, 255);
inline const wxColour kGreen(0, 255, 0);
inline const wxColour kGrey(128, 128, 128);
inline const wxColour kWhite(255, 255, 255);
inline const wxColour kYellow(255, 255, 0);
inline const wxColour kSkinGreen(0, 200, 0);
inline const wxColour kOrange(255, 128, 0);
inline const wxColour kCyan(0, 255, 255);
inline const wxColour kPlainParent(10, 200, 30);

// The parent picture's colour at a parent client point.
inline wxColour BackgroundAt(int x, int y) { return wxColour(x % 256, y % 256, 77); }

wxBitmap TestBitmap(int id);

inline wxBitmap LoadTestBitmap(int id) { return TestBitmap(id); }

// Installs the test loader (once per test program is enough; harmless to repeat).
inline void InstallTestBitmaps() { SetSkinBitmapLoader(&LoadTestBitmap); }

inline wxColour Pixel(const wxImage& image, int x, int y) {
  return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

inline std::string Describe(const wxColour& c) {
  return std::to_string(c.Red()) + "," + std::to_string(c.Green()) + "," + std::to_string(c.Blue());
}

#define EXPECT_PIXEL(image, x, y, colour)                                                       \
  EXPECT_EQ(::skintest::Describe(::skintest::Pixel(image, x, y)), ::skintest::Describe(colour)) \
      << "at " << (x) << "," << (y)

// A parent whose background is the gradient BackgroundAt, handed to its children on request.
class SkinPanel : public wxPanel, public VSkinBackground {
 public:
  SkinPanel(wxWindow* parent, const wxSize& size);
  void PaintSkinBackground(wxDC& dc, const wxRect& rectInParent) override;

  int requests = 0;
  wxRect lastRect;

 private:
  wxBitmap picture_;
};

// Draws a control through its own drawing code (DrawTo) into a bitmap of its client size.
template <typename Control>
wxImage Render(Control& control) {
  const wxSize size = control.GetClientSize();
  wxBitmap bitmap(size.x, size.y);
  {
    wxMemoryDC dc(bitmap);
    control.DrawTo(dc);
  }
  return bitmap.ConvertToImage();
}

// Sends a mouse event of `type` at a client point straight to the control.
inline void SendMouse(wxWindow& control, wxEventType type, int x, int y) {
  wxMouseEvent event(type);
  event.SetPosition(wxPoint(x, y));
  event.SetEventObject(&control);
  event.SetId(control.GetId());
  event.m_leftDown = type == wxEVT_LEFT_DOWN || type == wxEVT_LEFT_DCLICK;
  control.GetEventHandler()->ProcessEvent(event);
}

inline void SendKey(wxWindow& control, int keyCode) {
  wxKeyEvent event(wxEVT_KEY_DOWN);
  event.m_keyCode = keyCode;
  event.SetEventObject(&control);
  event.SetId(control.GetId());
  control.GetEventHandler()->ProcessEvent(event);
}

// Handles the events queued so far (the slider posts its notifications).
inline void DeliverQueuedEvents() {
  if (wxTheApp != nullptr) wxTheApp->ProcessPendingEvents();
}

// A frame of 400 x 300 holding one parent of the same size, shown or not; deleted with the test.
class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallTestBitmaps(); }
  void TearDown() override {
    if (frame_ != nullptr) frame_->Destroy();
    DeliverQueuedEvents();
  }

  // The parent is a SkinPanel, or a plain panel with the colour kPlainParent.
  wxWindow* MakeParent(bool skin, bool show = false) {
    frame_ = new wxFrame(nullptr, wxID_ANY, "skin", wxPoint(0, 0), wxSize(400, 300));
    wxWindow* parent;
    if (skin) {
      parent = new SkinPanel(frame_, wxSize(400, 300));
    } else {
      parent = new wxPanel(frame_, wxID_ANY, wxPoint(0, 0), wxSize(400, 300));
      parent->SetBackgroundColour(kPlainParent);
    }
    if (show) frame_->Show();
    return parent;
  }

  wxFrame* frame_ = nullptr;
};

}  // namespace skintest
