// SPDX-License-Identifier: GPL-3.0-or-later
// The player window's layouts as plain numbers, so that they can be checked without a window:
// the control places of the normal and full-screen layouts, the picture place in full screen and
// the rules by which the map and the two pictures share the large and the small place.
#pragma once

#include <vector>

struct Place {
  int x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Place&) const = default;
};

struct ControlPlace {
  int id = 0;
  Place place;
};

// The window's two layouts.
enum LayoutMode : int { kLayoutNormal = 1, kLayoutFullScreen = 2 };

// Pane states of the front picture, the rear picture and the map.
enum PaneState : int { kPaneHidden = 0, kPaneLarge = 1, kPaneSmall = 2 };

struct PaneStates {
  int front = kPaneHidden;
  int rear = kPaneHidden;
  int map = kPaneHidden;
  bool operator==(const PaneStates&) const = default;
};

// The background picture's size, which the normal layout takes.
constexpr int kNormalWidth = 975;
constexpr int kNormalHeight = 635;

// Places in the normal layout.
constexpr Place kLargePlace{4, 64, 640, 360};
constexpr Place kSmallPlace{650, 268, 320, 180};
constexpr Place kHiddenMapPlace{650, 268, 0, 0};
constexpr Place kGraphPlace{30, 520, 760, 104};
constexpr Place kListPlace{650, 65, 320, 150};

// Where the controls go in the normal layout (the graph and the panes excepted).
const std::vector<ControlPlace>& NormalControlPlaces();
// Where they go in full screen, for a client area of w x h.
std::vector<ControlPlace> FullScreenControlPlaces(int w, int h);
// The picture place in full screen: the whole area under a 40-pixel strip (less 169 pixels for
// the controls) when the area is smaller than 1280 x 829, else 1280 x 720 centred (29 pixels
// lower, for the top strip).
Place FullScreenPicturePlace(int w, int h);
// The map-size command: with one camera the front picture and the map swap the two places; with
// two the map swaps with whichever picture holds the other place, the third pane being hidden.
PaneStates ToggleMapSize(PaneStates states, int channels);
// "hh:mm:ss" of a count of seconds (negative counts as 0).
void FormatClock(int seconds, char out[16]);
