// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop session the viewer runs in: which display backend it uses (X11, also through
// XWayland, or Wayland itself), and the few things a window does differently on each: moving a
// borderless window, and drawing the window into a picture (a Wayland client cannot read the
// screen, so the window draws itself).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class wxTopLevelWindow;

// Picks the display backend before the toolkit starts (call before wxEntry). In a Wayland session
// that offers XWayland the viewer runs on X11: there it places its borderless window itself
// (centred, dragged by its background, back to the centre from full screen) and its magnifier
// can read the screen, neither of which a Wayland client may do. Without XWayland it runs on
// Wayland itself. GDK_BACKEND, when the user sets it, decides instead.
void ChooseDisplayBackend();

// True when the toolkit talks to a Wayland compositor directly (not through XWayland).
bool OnWaylandDisplay();

// Lets the compositor size the window (maximise it) on Wayland, where a window that keeps its own
// size while maximised is cut off. The window stays without borders, so the user still cannot
// resize it. Does nothing on X11.
void LetCompositorSizeWindow(wxTopLevelWindow* window);

// Starts moving a borderless window with the mouse, from a press of the left button at the given
// screen position: the compositor moves it (on Wayland a client cannot place its window).
void BeginWindowMove(wxTopLevelWindow* window, int screenX, int screenY);

// Draws the window as it is now (its own painting and its controls', not the screen) into a PNG
// file; false when that failed. Works on every backend.
bool SaveWindowPicture(wxTopLevelWindow* window, const std::string& path);
// True while the toolkit has yet to give the window the size it was last given (its layout is
// not done: a picture drawn now would show controls where they were).
bool WindowAllocationPending(wxTopLevelWindow* window);
// Calls `done` on the window thread once the toolkit has run its next frame for the window (its
// layout and painting), so that sizes asked for by any control have been given out; at once when
// the window has no frame clock (not shown).
void AfterNextFrame(wxTopLevelWindow* window, std::function<void()> done);
// The same picture as an image.
bool DrawWindowPicture(wxTopLevelWindow* window, class wxImage* image);

// Reads rectangles of the screen's pixels, on X11 (and XWayland): the server's root window,
// which shows every program. One buffer serves every read of a size up to the largest read so
// far. On Wayland nothing can be read (false).
class ScreenReader {
 public:
  ScreenReader();
  ~ScreenReader();
  ScreenReader(const ScreenReader&) = delete;
  ScreenReader& operator=(const ScreenReader&) = delete;

  // False when the screen cannot be read here (Wayland).
  bool Available() const;
  // The screen's size in pixels.
  bool ScreenSize(int* width, int* height) const;
  // The rectangle (inside the screen) as RGB rows of width * 3 bytes into rgb.
  bool Read(int x, int y, int width, int height, std::vector<unsigned char>* rgb);
  // Where the mouse pointer is on the screen; false when it cannot be told.
  bool Pointer(int* x, int* y) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
