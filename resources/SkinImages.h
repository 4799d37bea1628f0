// SPDX-License-Identifier: GPL-3.0-or-later
// The player window's skin pictures and the application icon, all drawn in code.
//
// Button pictures use pure black (0, 0, 0) as their transparent key colour: every pixel that is to
// show the window background is exactly black, and the drawn parts never are. Their anti-aliased
// edges are blended against the colour of the background that lies under each button, so they
// sit cleanly on the window without dark fringes. The slider channels and the thumb follow the
// same rule. The mute check box pictures are opaque: that button copies its picture as it is.
//
// Pictures are drawn on first use and kept for the life of the program. They belong to the GUI
// thread: called from any other thread, these functions give an invalid bitmap or icon.
#pragma once

#include <wx/bitmap.h>
#include <wx/dc.h>
#include <wx/icon.h>
#include <wx/iconbndl.h>

#include <vector>

// The 24-bit picture of a bitmap resource id (ResourceIds.h); an invalid bitmap for an id that
// names no picture.
wxBitmap LoadSkinBitmap(int id);

// Draws a pane's caption beside the one the background has: "SECOND VIEW" over the second pane,
// then `text` in the same small capitals (the camera it shows), on dc's client area.
void DrawSecondPaneCaption(wxDC& dc, const wxString& text);

// Every id that LoadSkinBitmap knows, in ascending order.
const std::vector<int>& SkinBitmapIds();

// The application icon drawn at size x size pixels with an alpha channel (size limited to
// 8..1024); an invalid bitmap for a size outside that range. The sizes of LoadAppIconBundle are
// kept once drawn, others are drawn on every call.
wxBitmap LoadAppIconBitmap(int size);

// The application icon at 48 x 48, for a window's icon.
wxIcon LoadAppIcon();

// The application icon at the usual window-manager sizes (16 to 256), for
// wxTopLevelWindow::SetIcons.
wxIconBundle LoadAppIconBundle();
