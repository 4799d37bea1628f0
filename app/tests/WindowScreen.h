// SPDX-License-Identifier: GPL-3.0-or-later
// What the player window shows on the screen, for the window tests: places of the window read
// back from the X server (skin/testing/Screen.h) and compared with the skin's pictures, with the
// picture panes' last pictures or with what a control draws of itself. Nothing here asks wx
// whether something is shown, where it is or how large: only the window's own place on the screen
// comes from it, to turn the layout's client coordinates into screen ones, and the size a control
// draws itself at.
#pragma once

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/image.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>

#include "AppTestSupport.h"
#include "app/AppIds.h"
#include "app/CPicturePane.h"
#include "app/CSamplePlayerDlg.h"
#include "app/Layout.h"
#include "resources/ResourceIds.h"
#include "resources/SkinImages.h"
#include "skin/testing/Screen.h"

namespace apptest {

// The client area of the normal layout: the background picture's size.
inline constexpr Place kNormalClient{0, 0, kNormalWidth, kNormalHeight};

// Where the window's client area starts on the screen.
inline wxPoint Origin(CSamplePlayerDlg* w) { return w->ClientToScreen(wxPoint(0, 0)); }

// Where a place of a client area that starts at `origin` lies on the screen.
inline wxRect OnScreen(const wxPoint& origin, const Place& p) {
  return wxRect(origin + wxPoint(p.x, p.y), wxSize(p.w, p.h));
}

// The place `by` pixels larger on every side, kept inside `within`.
inline Place Grown(const Place& p, int by, const Place& within) {
  const int x0 = std::max(p.x - by, within.x), y0 = std::max(p.y - by, within.y);
  const int x1 = std::min(p.x + p.w + by, within.x + within.w);
  const int y1 = std::min(p.y + p.h + by, within.y + within.h);
  return Place{x0, y0, x1 - x0, y1 - y0};
}

// The place of a control in the normal layout.
inline Place NormalPlaceOf(int id) {
  for (const ControlPlace& c : NormalControlPlaces()) {
    if (c.id == id) return c.place;
  }
  ADD_FAILURE() << "control " << id << " has no place in the normal layout";
  return Place{};
}

// The window's skin (its background picture) over a place of the normal layout.
inline wxImage SkinOver(const Place& p) {
  static const wxImage background = LoadSkinBitmap(kBmpBackground).ConvertToImage();
  return background.GetSubImage(wxRect(p.x, p.y, p.w, p.h));
}

// Black over a place: what the full-screen layout shows where nothing is.
inline wxImage BlackOver(const Place& p) {
  wxImage black(p.w, p.h);
  black.Clear(0);
  return black;
}

// A skinned button's picture as the screen shows it over `behind`: the picture, with its key
// colour (black) showing what lies behind. The picture's own size, from the top-left of behind.
inline wxImage FaceOver(int bitmap, const wxImage& behind) {
  const wxImage picture = LoadSkinBitmap(bitmap).ConvertToImage();
  wxImage face = behind.GetSubImage(wxRect(picture.GetSize()));
  for (int y = 0; y < picture.GetHeight(); ++y) {
    for (int x = 0; x < picture.GetWidth(); ++x) {
      const unsigned char r = picture.GetRed(x, y), g = picture.GetGreen(x, y),
                          b = picture.GetBlue(x, y);
      if (r != 0 || g != 0 || b != 0) face.SetRGB(x, y, r, g, b);
    }
  }
  return face;
}

// The size of a skin picture.
inline wxSize SkinPictureSize(int bitmap) { return LoadSkinBitmap(bitmap).GetSize(); }

// Keeps a grab for a person to look at when ROADEYE_TEST_SHOTS names a folder.
inline void KeepShot(const wxImage& image, const std::string& name) {
  if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
    if (image.IsOk()) image.SaveFile(std::string(dir) + "/" + name + ".png", wxBITMAP_TYPE_PNG);
  }
}

// Pixels that differ by more than `by` in some colour value between two pictures of one size (every
// pixel when the sizes differ, none when either is missing): a thin line or a few letters, which
// a mean over a large place hardly tells.
inline int ChangedPixels(const wxImage& a, const wxImage& b, int by) {
  if (!a.IsOk() || !b.IsOk()) return 0;
  if (a.GetSize() != b.GetSize()) return a.GetWidth() * a.GetHeight();
  int n = 0;
  const unsigned char* p = a.GetData();
  const unsigned char* q = b.GetData();
  for (int i = 0; i < a.GetWidth() * a.GetHeight(); ++i, p += 3, q += 3) {
    n += std::abs(p[0] - q[0]) > by || std::abs(p[1] - q[1]) > by || std::abs(p[2] - q[2]) > by;
  }
  return n;
}

// The mean difference per colour value over the pixels of a and b (the same size) that lie
// outside `inner` (image coordinates): the ring around a place.
inline double RingDifference(const wxImage& a, const wxImage& b, const wxRect& inner) {
  if (!a.IsOk() || !b.IsOk() || a.GetSize() != b.GetSize()) return 255;
  double sum = 0;
  long n = 0;
  for (int y = 0; y < a.GetHeight(); ++y) {
    for (int x = 0; x < a.GetWidth(); ++x) {
      if (inner.Contains(x, y)) continue;
      sum += std::abs(a.GetRed(x, y) - b.GetRed(x, y)) +
             std::abs(a.GetGreen(x, y) - b.GetGreen(x, y)) +
             std::abs(a.GetBlue(x, y) - b.GetBlue(x, y));
      n += 3;
    }
  }
  return n == 0 ? 0 : sum / double(n);
}

// Runs a screen check until it holds (the screen follows the window a moment after its state
// changes) and gives its last result. The limit only keeps a broken build from hanging.
inline ::testing::AssertionResult Eventually(
    const std::function<::testing::AssertionResult()>& check, int limitMs = 10000) {
  ::testing::AssertionResult result = ::testing::AssertionFailure();
  PumpUntil([&] { return static_cast<bool>(result = check()); }, limitMs);
  return result;
}

// The screen over `at` (client coordinates of a client area at `origin`) shows the button
// picture `bitmap` over `behind` (an image of at least the picture's size: what the layout has
// under the button).
inline ::testing::AssertionResult ShowsFace(const wxPoint& origin, const wxPoint& at, int bitmap,
                                            const wxImage& behind, const std::string& name) {
  const wxImage expected = FaceOver(bitmap, behind);
  const wxImage grabbed = screentest::Grab(
      OnScreen(origin, Place{at.x, at.y, expected.GetWidth(), expected.GetHeight()}));
  const double difference = screentest::MeanDifference(grabbed, expected);
  if (difference < 1) return ::testing::AssertionSuccess();
  KeepShot(grabbed, name);
  return ::testing::AssertionFailure()
         << name << ": the screen differs from picture " << bitmap << " by " << difference;
}

// The screen over the control's place in the normal layout shows the button picture `bitmap` on
// the skin.
inline ::testing::AssertionResult ShowsButton(CSamplePlayerDlg* w, int control, int bitmap) {
  const Place p = NormalPlaceOf(control);
  const wxSize size = SkinPictureSize(bitmap);
  return ShowsFace(Origin(w), wxPoint(p.x, p.y), bitmap, SkinOver(Place{p.x, p.y, size.x, size.y}),
                   "button-" + std::to_string(control) + "-" + std::to_string(bitmap));
}

// PLAY, not Pause, shows at their shared place (once the screen has caught up).
inline ::testing::AssertionResult PlayShown(CSamplePlayerDlg* w) {
  return Eventually([&] { return ShowsButton(w, kIdPlay, kBmpPlay); });
}

// Pause, not PLAY, shows at their shared place.
inline ::testing::AssertionResult PauseShown(CSamplePlayerDlg* w) {
  return Eventually([&] { return ShowsButton(w, kIdPause, kBmpPause); });
}

// The Map View button shows its picture (enabled) or its dimmed disabled picture.
inline ::testing::AssertionResult MapButtonShown(CSamplePlayerDlg* w, bool enabled) {
  return Eventually(
      [&] { return ShowsButton(w, kIdMapSize, enabled ? kBmpMapSize : kBmpMapSizeDisabled); });
}

// The screen over `at` shows what a self-drawn control (a skinned button, a bitmap slider, the
// mute box) draws of itself: the control is there, drawn as it should be.
template <typename Control>
::testing::AssertionResult ShowsDrawing(const wxPoint& origin, Control* control, const wxPoint& at,
                                        const std::string& name) {
  wxBitmap drawing(control->GetSize(), 24);
  {
    wxMemoryDC dc(drawing);
    dc.SetBackground(wxBrush(wxColour(255, 0, 255)));
    dc.Clear();
    control->DrawTo(dc);
  }
  const wxImage expected = drawing.ConvertToImage();
  const wxImage grabbed = screentest::Grab(
      OnScreen(origin, Place{at.x, at.y, expected.GetWidth(), expected.GetHeight()}));
  const double difference = screentest::MeanDifference(grabbed, expected);
  if (difference < 1) return ::testing::AssertionSuccess();
  KeepShot(grabbed, name);
  KeepShot(expected, name + "-expected");
  return ::testing::AssertionFailure()
         << name << ": the screen differs from the control's drawing by " << difference;
}

// The screen over the place shows the window's skin: no pane, no map, no box.
inline ::testing::AssertionResult ShowsSkin(CSamplePlayerDlg* w, const Place& p,
                                            const std::string& name) {
  const wxImage grabbed = screentest::Grab(OnScreen(Origin(w), p));
  const double difference = screentest::MeanDifference(grabbed, SkinOver(p));
  if (difference < 2) return ::testing::AssertionSuccess();
  KeepShot(grabbed, name);
  return ::testing::AssertionFailure() << name << ": differs from the skin by " << difference;
}

// The screen over `place` (of a client area at `origin`) shows the pane's last picture scaled to
// the place, and the two pixels around it show `behind` (an image of the client area `within` as
// the layout shows it without the pane): the picture covers the place, no more and no less.
inline ::testing::AssertionResult ShowsPicture(const wxPoint& origin, CPicturePane* pane,
                                               const Place& place, const wxImage& behind,
                                               const Place& within, const std::string& name) {
  const Place grown = Grown(place, 2, within);
  const int before = pane->PresentedCount();
  const wxImage grabbed = screentest::Grab(OnScreen(origin, grown));
  wxImage picture = pane->LastPicture();
  if (!picture.IsOk()) return ::testing::AssertionFailure() << name << ": no picture yet";
  if (pane->PresentedCount() != before) {
    return ::testing::AssertionFailure() << name << ": a new picture came during the grab";
  }
  picture = picture.Scale(place.w, place.h, wxIMAGE_QUALITY_BILINEAR);
  wxImage expected =
      behind.GetSubImage(wxRect(grown.x - within.x, grown.y - within.y, grown.w, grown.h));
  const wxRect inner(place.x - grown.x, place.y - grown.y, place.w, place.h);
  expected.Paste(picture, inner.x, inner.y);
  const double inside = screentest::MeanDifference(screentest::Crop(grabbed, inner),
                                                   screentest::Crop(expected, inner));
  const double ring = RingDifference(grabbed, expected, inner);
  if (inside < 12 && ring < 2) return ::testing::AssertionSuccess();
  KeepShot(grabbed, name);
  KeepShot(expected, name + "-expected");
  return ::testing::AssertionFailure()
         << name << ": differs from the picture by " << inside << " and around it by " << ring;
}

// The same in the normal layout, with the skin around the place, once the screen has caught up.
inline ::testing::AssertionResult PictureShown(CSamplePlayerDlg* w, CPicturePane* pane,
                                               const Place& place, const std::string& name) {
  static const wxImage skin = SkinOver(kNormalClient);
  return Eventually(
      [&] { return ShowsPicture(Origin(w), pane, place, skin, kNormalClient, name); });
}

// The screen over the place shows the map view, and the skin around it. The tests keep the map
// offline (KeepMapOffline), so the view loads no page and its browser shows an empty white one.
inline ::testing::AssertionResult ShowsMap(CSamplePlayerDlg* w, const Place& place,
                                           const std::string& name) {
  const Place grown = Grown(place, 2, kNormalClient);
  const wxImage grabbed = screentest::Grab(OnScreen(Origin(w), grown));
  if (!grabbed.IsOk()) return ::testing::AssertionFailure() << name << ": no grab";
  const wxRect inner(place.x - grown.x, place.y - grown.y, place.w, place.h);
  long white = 0;
  for (int y = inner.y; y <= inner.GetBottom(); ++y) {
    for (int x = inner.x; x <= inner.GetRight(); ++x) {
      white +=
          grabbed.GetRed(x, y) > 250 && grabbed.GetGreen(x, y) > 250 && grabbed.GetBlue(x, y) > 250;
    }
  }
  const double share = double(white) / (double(place.w) * place.h);
  const double ring = RingDifference(grabbed, SkinOver(grown), inner);
  if (share > 0.99 && ring < 2) return ::testing::AssertionSuccess();
  KeepShot(grabbed, name);
  return ::testing::AssertionFailure()
         << name << ": " << share * 100 << "% of the place shows the empty map page, the skin "
         << "around it differs by " << ring;
}

}  // namespace apptest
