// SPDX-License-Identifier: GPL-3.0-or-later
// What window tests see and do on the X server itself: a display of their own (Xvfb), a window
// manager when focus or placement depends on one (openbox), the screen's pixels read back from
// the server (XGetImage on the root window), and the user's keys and mouse sent through the
// server (XTest), so that they travel the same way a user's do.
//
// A test asserts what these return, never what the toolkit believes about sizes, visibility or
// focus: a window the toolkit calls hidden can still cover the screen.
#pragma once

#include <wx/gdicmn.h>
#include <wx/image.h>

#include <functional>
#include <string>

class wxWindow;

namespace screentest {

// Starts an Xvfb display (1280x1024, 24 bits) for this process and points DISPLAY at it, so that
// window tests running side by side never see each other's windows. Call before the toolkit
// starts. Does nothing (true) when ROADEYE_TEST_DISPLAY=shared asks for the display in DISPLAY.
// The server ends with the process.
bool StartPrivateDisplay();

// Starts openbox on the display unless a window manager runs there already; true once one
// manages the screen. It ends with the process.
bool StartWindowManager();
// Ends the window manager StartWindowManager started (tests after it expect none).
void StopWindowManager();

// The screen's pixels inside rect (screen coordinates), once everything the toolkit has asked
// the server to draw is drawn. An empty image when the server cannot be read.
wxImage Grab(const wxRect& rect);
// The screen's pixels over a window's client area.
wxImage GrabClient(const wxWindow* window);

// Handles the toolkit's events for about ms milliseconds.
void Pump(int ms);
// Handles the toolkit's events until done() holds or ms milliseconds pass; whether it held.
bool PumpUntil(const std::function<bool()>& done, long ms);

// The user's gestures, through the X server. Positions are screen coordinates; each call pumps
// the toolkit's events a little so that the gesture has arrived when it returns.
void MoveMouse(int x, int y);
void Click(int x, int y);
void DoubleClick(int x, int y);
// Presses at from, moves to to in steps and lets go.
void Drag(const wxPoint& from, const wxPoint& to);
// Presses and releases one key, named as X names it ("Return", "space", "Up", "F2").
void PressKey(const std::string& keysym);

// Per-pixel comparisons of two grabs of the same size.
// The mean absolute difference per colour value (0 same, 255 opposite).
double MeanDifference(const wxImage& a, const wxImage& b);
// The mean of all colour values, 0 (black) to 255 (white).
double MeanLevel(const wxImage& image);
// The part of image inside rect (image coordinates).
wxImage Crop(const wxImage& image, const wxRect& rect);

}  // namespace screentest
