// SPDX-License-Identifier: GPL-3.0-or-later
// The notifications a bitmap slider posts to its parent window. The event id is the slider's
// window id and GetInt() its position at the time of posting.
#pragma once

#include <wx/event.h>

// Message numbers of the two notifications, for logs and for code that keys on them.
constexpr int kSliderDragMessage = 0x28D1;    // the thumb was dragged to a new pixel
constexpr int kSliderChangeMessage = 0x28D2;  // the button was released, or a key moved it

// Posted while the thumb is dragged, each time it reaches a new pixel.
wxDECLARE_EVENT(EVT_SLIDER_DRAG_MSG, wxCommandEvent);
// Posted when the left button is released over the slider and after every keyboard change.
wxDECLARE_EVENT(EVT_SLIDER_CHANGE_MSG, wxCommandEvent);
