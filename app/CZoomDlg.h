// SPDX-License-Identifier: GPL-3.0-or-later
// The zoom window: a small window that shows what lies under the mouse pointer, enlarged, 25 times
// a second. Over the player's picture panes it shows the camera's decoded picture itself, at
// the full resolution the camera recorded (a 1920x1080 picture shown at 640x360 keeps two thirds
// of its detail hidden on the screen); elsewhere it shows the screen enlarged two times. Where
// the screen cannot be read (a Wayland session), it enlarges the viewer's own window and says so
// in its title.
#pragma once

#include <wx/bitmap.h>
#include <wx/dialog.h>
#include <wx/event.h>
#include <wx/eventfilter.h>
#include <wx/image.h>
#include <wx/timer.h>

#include <functional>
#include <memory>
#include <vector>

#include "app/Layout.h"

class ScreenReader;
class wxTopLevelWindow;

// The screen rectangle the zoom window enlarges: pointer (px, py), client area cw x ch, zoom
// factor, screen W x H. Centred on the pointer; then kept on the screen, the far edges winning.
Place ZoomSourceRect(int px, int py, int cw, int ch, int factor, int screenWidth, int screenHeight);

class CZoomDlg : public wxDialog {
 public:
  // What a picture source found at a screen point.
  enum class Found {
    kNoPane,     // the point is over none of the viewer's picture panes
    kPicture,    // the decoded picture around it, enlarged, is in the image
    kNoPicture,  // over a pane whose camera has shown no picture of this recording yet
  };
  // Answers for a screen point over one of the viewer's pictures: the decoded picture around it,
  // enlarged, in an image of the given size.
  using PictureSource =
      std::function<Found(const wxPoint& screenPoint, const wxSize& size, wxImage* image)>;

  // The zoom window's place and size on the screen.
  static constexpr Place kPlace{850, 465, 425, 330};
  static constexpr int kZoomFactor = 2;
  static constexpr int kTickMs = 40;
  // Its own area, where it lies in what it enlarges: flat grey, never itself.
  static const wxColour kOwnArea;

  // viewer: the window enlarged where the screen cannot be read.
  CZoomDlg(wxTopLevelWindow* viewer, PictureSource pictures);
  ~CZoomDlg() override;

  // One update (the timer's): reads the pointer, fills the view and paints it.
  void MagnifyTick();
  bool Magnifying() const { return timer_.IsRunning(); }
  // What the window shows now.
  const wxImage& View() const { return view_; }
  // Stops the updates and hides the window (Escape, the close box).
  void StopAndHide();

 private:
  void OnPaint(wxPaintEvent& event);
  void OnClose(wxCloseEvent& event);
  void OnCharHook(wxKeyEvent& event);
  // The enlarged screen around (px, py); false when it cannot be read.
  bool FromScreen(int px, int py, const wxSize& client);
  // The enlarged viewer window around the pointer's last place over it.
  bool FromViewer(const wxSize& client);
  // Black with the words "no picture yet": over a pane whose camera has shown nothing yet.
  void ShowNoPicture(const wxSize& client);

  // Where the pointer was last seen over the viewer (for a session whose screen is closed).
  class PointerWatch : public wxEventFilter {
   public:
    int FilterEvent(wxEvent& event) override;
    wxWindow* window = nullptr;
    wxPoint screen{-1, -1};
  };

  wxTopLevelWindow* viewer_;
  PictureSource pictures_;
  std::unique_ptr<ScreenReader> screen_;
  PointerWatch watch_;
  wxTimer timer_;
  // The window's area: a child that takes the keyboard (Escape), and paints the view.
  wxWindow* canvas_ = nullptr;
  // One source buffer and one view for the window's life.
  std::vector<unsigned char> source_;
  wxImage view_;
  wxBitmap shown_;
};
