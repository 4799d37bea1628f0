// SPDX-License-Identifier: GPL-3.0-or-later
// The skin pictures and the icon, read back pixel by pixel, and drawn the way the player window
// draws them: the background first, each button over it with black as its transparent colour.
// Runs under Xvfb (label gui).
//
// With ROADEYE_SKIN_SHEET=<folder> set, the tests also write <folder>/skin-sheet.png (every
// picture, enlarged, on grey) and <folder>/skin-window.png (the normal layout with its buttons,
// sliders, mute check box and sample read-outs) for a look by eye.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "resources/ResourceIds.h"
#include "resources/SkinImages.h"

namespace {

enum class Kind { kKeyed, kOpaque, kBackground };

struct Expected {
  int id;
  int width;
  int height;
  Kind kind;
};

// The picture table of the player window: every id with its size.
const std::vector<Expected> kTable = {
    {kBmpMinimise, 25, 25, Kind::kKeyed},
    {kBmpMinimiseSelected, 25, 25, Kind::kKeyed},
    {kBmpClose, 25, 25, Kind::kKeyed},
    {kBmpCloseSelected, 25, 25, Kind::kKeyed},
    {kBmpPre, 31, 17, Kind::kKeyed},
    {kBmpPreSelected, 31, 17, Kind::kKeyed},
    {kBmpPlay, 15, 17, Kind::kKeyed},
    {kBmpPlaySelected, 15, 17, Kind::kKeyed},
    {kBmpStop, 17, 16, Kind::kKeyed},
    {kBmpStopSelected, 17, 16, Kind::kKeyed},
    {kBmpNext, 31, 17, Kind::kKeyed},
    {kBmpNextSelected, 31, 17, Kind::kKeyed},
    {kBmpSecondsBack, 25, 16, Kind::kKeyed},
    {kBmpSecondsBackSelected, 25, 16, Kind::kKeyed},
    {kBmpSecondsForward, 25, 16, Kind::kKeyed},
    {kBmpSecondsForwardSelected, 25, 16, Kind::kKeyed},
    {kBmpOpen, 19, 17, Kind::kKeyed},
    {kBmpOpenSelected, 19, 17, Kind::kKeyed},
    {kBmpSettings, 21, 21, Kind::kKeyed},
    {kBmpSettingsSelected, 21, 21, Kind::kKeyed},
    {kBmpCapture, 30, 20, Kind::kKeyed},
    {kBmpCaptureSelected, 30, 20, Kind::kKeyed},
    {kBmpFullScreen, 25, 25, Kind::kKeyed},
    {kBmpFullScreenSelected, 25, 25, Kind::kKeyed},
    {kBmpPreviousSize, 25, 25, Kind::kKeyed},
    {kBmpPreviousSizeSelected, 25, 25, Kind::kKeyed},
    {kBmpMapSize, 161, 24, Kind::kKeyed},
    {kBmpMapSizeSelected, 161, 24, Kind::kKeyed},
    {kBmpMapSizeDisabled, 161, 24, Kind::kKeyed},
    {kBmpPause, 15, 17, Kind::kKeyed},
    {kBmpZoom, 21, 21, Kind::kKeyed},
    {kBmpZoomSelected, 21, 21, Kind::kKeyed},
    {kBmpFileDownload, 117, 20, Kind::kKeyed},
    {kBmpFileDownloadSelected, 117, 20, Kind::kKeyed},
    {kBmpFilterEvent, 65, 24, Kind::kKeyed},
    {kBmpFilterEventSelected, 65, 24, Kind::kKeyed},
    {kBmpFilterParking, 65, 24, Kind::kKeyed},
    {kBmpFilterParkingSelected, 65, 24, Kind::kKeyed},
    {kBmpFilterDriving, 65, 24, Kind::kKeyed},
    {kBmpFilterDrivingSelected, 65, 24, Kind::kKeyed},
    {kBmpFilterUser, 65, 24, Kind::kKeyed},
    {kBmpFilterUserSelected, 65, 24, Kind::kKeyed},
    {kBmpFilterAll, 65, 24, Kind::kKeyed},
    {kBmpFilterAllSelected, 65, 24, Kind::kKeyed},
    {kBmpBrightness, 24, 25, Kind::kKeyed},
    {kBmpMute, 27, 22, Kind::kOpaque},
    {kBmpMuteDown, 27, 22, Kind::kOpaque},
    {kBmpSeekChannel, 390, 14, Kind::kKeyed},
    {kBmpSeekChannelActive, 390, 14, Kind::kKeyed},
    {kBmpLevelChannel, 81, 14, Kind::kKeyed},
    {kBmpLevelChannelActive, 81, 14, Kind::kKeyed},
    {kBmpThumb, 14, 14, Kind::kKeyed},
    {kBmpBackground, 975, 635, Kind::kBackground},
};

// Normal and selected pictures of every button that has both.
const std::vector<std::pair<int, int>> kSelectedPairs = {
    {kBmpMinimise, kBmpMinimiseSelected},
    {kBmpClose, kBmpCloseSelected},
    {kBmpFullScreen, kBmpFullScreenSelected},
    {kBmpPreviousSize, kBmpPreviousSizeSelected},
    {kBmpPre, kBmpPreSelected},
    {kBmpPlay, kBmpPlaySelected},
    {kBmpStop, kBmpStopSelected},
    {kBmpNext, kBmpNextSelected},
    {kBmpSecondsBack, kBmpSecondsBackSelected},
    {kBmpSecondsForward, kBmpSecondsForwardSelected},
    {kBmpOpen, kBmpOpenSelected},
    {kBmpZoom, kBmpZoomSelected},
    {kBmpCapture, kBmpCaptureSelected},
    {kBmpSettings, kBmpSettingsSelected},
    {kBmpMapSize, kBmpMapSizeSelected},
    {kBmpFileDownload, kBmpFileDownloadSelected},
    {kBmpFilterDriving, kBmpFilterDrivingSelected},
    {kBmpFilterEvent, kBmpFilterEventSelected},
    {kBmpFilterParking, kBmpFilterParkingSelected},
    {kBmpFilterUser, kBmpFilterUserSelected},
    {kBmpFilterAll, kBmpFilterAllSelected},
};

// Where the keyed pictures stand in the normal layout (top-left corners).
struct Placed {
  int id;
  int x;
  int y;
};
const std::vector<Placed> kNormalLayout = {
    {kBmpMinimise, 898, 5},       {kBmpFullScreen, 922, 5},
    {kBmpClose, 946, 5},          {kBmpMapSize, 485, 38},
    {kBmpFilterDriving, 650, 38}, {kBmpFilterEvent, 714, 38},
    {kBmpFilterParking, 778, 38}, {kBmpFilterUser, 842, 38},
    {kBmpFilterAll, 906, 38},     {kBmpFileDownload, 825, 218},
    {kBmpOpen, 28, 473},          {kBmpStop, 87, 474},
    {kBmpPre, 137, 473},          {kBmpSecondsBack, 198, 473},
    {kBmpPlay, 261, 473},         {kBmpSecondsForward, 313, 473},
    {kBmpNext, 368, 473},         {kBmpZoom, 431, 471},
    {kBmpCapture, 484, 472},      {kBmpSettings, 546, 471},
    {kBmpBrightness, 832, 472},   {kBmpSeekChannel, 92, 432},
    {kBmpLevelChannel, 715, 474}, {kBmpLevelChannel, 864, 474},
};

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

Rgb At(const wxImage& image, int x, int y) {
  return {image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y)};
}

bool IsKey(const Rgb& c) { return c.r == 0 && c.g == 0 && c.b == 0; }

double Luma(const Rgb& c) { return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b; }

std::string Describe(const Rgb& c) {
  return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

wxImage Picture(int id) { return LoadSkinBitmap(id).ConvertToImage(); }

// Mean luminance and mean blue excess (blue minus red) of a picture's drawn (non-key) pixels.
struct InkStats {
  int count = 0;
  double luma = 0;
  double blueExcess = 0;
};

InkStats Ink(const wxImage& image) {
  InkStats s;
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = 0; x < image.GetWidth(); ++x) {
      const Rgb c = At(image, x, y);
      if (IsKey(c)) continue;
      ++s.count;
      s.luma += Luma(c);
      s.blueExcess += c.b - c.r;
    }
  }
  if (s.count > 0) {
    s.luma /= s.count;
    s.blueExcess /= s.count;
  }
  return s;
}

const char* SheetFolder() { return std::getenv("ROADEYE_SKIN_SHEET"); }

TEST(SkinImagesTest, EveryPictureOfTheTableHasItsSize) {
  std::set<int> expected;
  for (const Expected& e : kTable) expected.insert(e.id);
  const std::vector<int>& known = SkinBitmapIds();
  EXPECT_EQ(std::set<int>(known.begin(), known.end()), expected);
  EXPECT_TRUE(std::is_sorted(known.begin(), known.end()));

  for (const Expected& e : kTable) {
    SCOPED_TRACE("id " + std::to_string(e.id));
    const wxBitmap bitmap = LoadSkinBitmap(e.id);
    ASSERT_TRUE(bitmap.IsOk());
    EXPECT_EQ(bitmap.GetWidth(), e.width);
    EXPECT_EQ(bitmap.GetHeight(), e.height);
    EXPECT_EQ(bitmap.GetDepth(), 24);
    EXPECT_FALSE(bitmap.ConvertToImage().HasAlpha());
  }
}

TEST(SkinImagesTest, KeyedPicturesAreBlackAroundAVisibleGlyph) {
  for (const Expected& e : kTable) {
    if (e.kind != Kind::kKeyed) continue;
    SCOPED_TRACE("id " + std::to_string(e.id));
    const wxImage image = Picture(e.id);
    const int w = image.GetWidth(), h = image.GetHeight();
    for (const auto& [x, y] : {std::pair{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}}) {
      EXPECT_TRUE(IsKey(At(image, x, y)))
          << "corner " << x << "," << y << " is " << Describe(At(image, x, y));
    }
    const InkStats ink = Ink(image);
    EXPECT_GT(ink.count, w * h / 10) << "too little is drawn";
    EXPECT_LT(ink.count, w * h) << "nothing shows the background";
    EXPECT_GT(ink.luma, 40) << "the glyph is too dark to see";
  }
}

// Every drawn pixel is blended toward the colours under the button, never toward black: no pixel
// is so dark that it would show as a dark fringe on the window background.
TEST(SkinImagesTest, KeyedPicturesHaveNoDarkFringe) {
  for (const Expected& e : kTable) {
    if (e.kind != Kind::kKeyed) continue;
    SCOPED_TRACE("id " + std::to_string(e.id));
    const wxImage image = Picture(e.id);
    int dark = 0;
    for (int y = 0; y < image.GetHeight(); ++y) {
      for (int x = 0; x < image.GetWidth(); ++x) {
        const Rgb c = At(image, x, y);
        if (!IsKey(c) && std::max({c.r, c.g, c.b}) < 20) ++dark;
      }
    }
    EXPECT_EQ(dark, 0);
  }
}

TEST(SkinImagesTest, SelectedPicturesAreBrighterOrBluer) {
  for (const auto& [normalId, selectedId] : kSelectedPairs) {
    SCOPED_TRACE("ids " + std::to_string(normalId) + "/" + std::to_string(selectedId));
    const wxImage normal = Picture(normalId);
    const wxImage selected = Picture(selectedId);
    ASSERT_EQ(normal.GetSize(), selected.GetSize());
    int differing = 0;
    for (int y = 0; y < normal.GetHeight(); ++y) {
      for (int x = 0; x < normal.GetWidth(); ++x) {
        if (!(At(normal, x, y) == At(selected, x, y))) ++differing;
      }
    }
    EXPECT_GT(differing, normal.GetWidth() * normal.GetHeight() / 10);
    const InkStats a = Ink(normal);
    const InkStats b = Ink(selected);
    EXPECT_TRUE(b.luma > a.luma + 5 || b.blueExcess > a.blueExcess + 20)
        << "luma " << a.luma << " -> " << b.luma << ", blue excess " << a.blueExcess << " -> "
        << b.blueExcess;
  }
}

TEST(SkinImagesTest, DisabledMapSizeIsDimmed) {
  const InkStats normal = Ink(Picture(kBmpMapSize));
  const InkStats disabled = Ink(Picture(kBmpMapSizeDisabled));
  EXPECT_LT(disabled.luma, normal.luma * 0.8);
  // Same bar, same outline: only the colours change.
  EXPECT_NEAR(disabled.count, normal.count, normal.count / 10);
}

TEST(SkinImagesTest, MutePicturesAreOpaqueOnTheCardUnderThem) {
  const wxImage on = Picture(kBmpMute);
  const wxImage off = Picture(kBmpMuteDown);
  const wxImage background = Picture(kBmpBackground);
  int differing = 0;
  for (int y = 0; y < on.GetHeight(); ++y) {
    for (int x = 0; x < on.GetWidth(); ++x) {
      EXPECT_FALSE(IsKey(At(on, x, y)));
      EXPECT_FALSE(IsKey(At(off, x, y)));
      if (!(At(on, x, y) == At(off, x, y))) ++differing;
    }
  }
  EXPECT_GT(differing, 20);  // the sound waves give way to a cross
  // The button's face is the colour of the background at its place, so it shows no box.
  EXPECT_EQ(Describe(At(on, 0, 0)), Describe(At(background, 684, 472)));
  EXPECT_EQ(Describe(At(off, 26, 21)), Describe(At(background, 684 + 26, 472 + 21)));
}

TEST(SkinImagesTest, SliderPicturesKeyOnTheirFirstPixel) {
  for (int id : {kBmpSeekChannel, kBmpSeekChannelActive, kBmpLevelChannel, kBmpLevelChannelActive,
                 kBmpThumb}) {
    EXPECT_TRUE(IsKey(At(Picture(id), 0, 0))) << "id " << id;
  }
  // The channel is a thin grey line; the active part is blue.
  const wxImage channel = Picture(kBmpLevelChannel);
  const wxImage active = Picture(kBmpLevelChannelActive);
  const Rgb grey = At(channel, 40, 7);
  const Rgb blue = At(active, 40, 7);
  EXPECT_LT(std::abs(grey.b - grey.r), 25) << Describe(grey);
  EXPECT_GT(blue.b - blue.r, 100) << Describe(blue);
  EXPECT_TRUE(IsKey(At(channel, 40, 1)));
  EXPECT_TRUE(IsKey(At(channel, 40, 12)));
  // The thumb: a light disc.
  const wxImage thumb = Picture(kBmpThumb);
  EXPECT_GT(Luma(At(thumb, 3, 7)), 200);
  EXPECT_GT(Luma(At(thumb, 7, 11)), 200);
}

TEST(SkinImagesTest, BackgroundFramesThePanesAndMatchesTheBrushes) {
  const wxImage bg = Picture(kBmpBackground);
  ASSERT_EQ(bg.GetWidth(), 975);
  ASSERT_EQ(bg.GetHeight(), 635);
  // The Select All check box paints its own background with (30, 32, 38): the place under it is
  // that colour, so the box disappears into the card.
  for (int y = 218; y < 238; ++y) {
    for (int x = 650; x < 767; ++x) ASSERT_EQ(Describe(At(bg, x, y)), "30,32,38") << x << "," << y;
  }
  // Picture places, list and graph are dark wells, darker than the card around them, outlined.
  const auto meanLuma = [&](const wxRect& r) {
    double sum = 0;
    for (int y = r.y; y < r.GetBottom() + 1; ++y) {
      for (int x = r.x; x < r.GetRight() + 1; ++x) sum += Luma(At(bg, x, y));
    }
    return sum / (r.width * r.height);
  };
  for (const wxRect& well : {wxRect(4, 64, 640, 360), wxRect(650, 268, 320, 180),
                             wxRect(650, 65, 320, 150), wxRect(30, 520, 760, 104)}) {
    SCOPED_TRACE(std::to_string(well.x) + "," + std::to_string(well.y));
    EXPECT_LT(meanLuma(well), 15);
    const Rgb outline = At(bg, well.x + well.width / 2, well.y - 1);
    EXPECT_GT(Luma(outline), 35) << Describe(outline);
  }
  EXPECT_GT(meanLuma(wxRect(560, 480, 60, 15)), 25);  // the transport card
  // The top bar carries the wordmark: light pixels at its left end.
  int light = 0;
  for (int y = 5; y < 28; ++y) {
    for (int x = 40; x < 110; ++x) light += Luma(At(bg, x, y)) > 150;
  }
  EXPECT_GT(light, 60);
}

// Each keyed button laid over the background at its place: where its edge meets the key colour,
// the blend is never darker than the background there, so no button carries a dark halo.
TEST(SkinImagesTest, ButtonEdgesBlendIntoTheBackgroundUnderThem) {
  const wxImage bg = Picture(kBmpBackground);
  for (const Placed& p : kNormalLayout) {
    SCOPED_TRACE("id " + std::to_string(p.id));
    const wxImage button = Picture(p.id);
    int edges = 0;
    for (int y = 0; y < button.GetHeight(); ++y) {
      for (int x = 0; x < button.GetWidth(); ++x) {
        const Rgb c = At(button, x, y);
        if (IsKey(c)) continue;
        const bool touchesKey = (x > 0 && IsKey(At(button, x - 1, y))) ||
                                (y > 0 && IsKey(At(button, x, y - 1))) ||
                                (x + 1 < button.GetWidth() && IsKey(At(button, x + 1, y))) ||
                                (y + 1 < button.GetHeight() && IsKey(At(button, x, y + 1)));
        if (!touchesKey) continue;
        ++edges;
        const Rgb under = At(bg, p.x + x, p.y + y);
        EXPECT_GE(Luma(c), Luma(under) - 6)
            << "edge " << x << "," << y << " " << Describe(c) << " over " << Describe(under);
      }
    }
    EXPECT_GT(edges, 0);
  }
}

TEST(SkinImagesTest, UnknownIdsGiveNoPicture) {
  for (int id : {0, -1, 1, kIconApp, 419, 999, 100000}) {
    EXPECT_FALSE(LoadSkinBitmap(id).IsOk()) << id;
  }
}

TEST(SkinImagesTest, PicturesAreDrawnOnceAndShared) {
  const wxBitmap first = LoadSkinBitmap(kBmpClose);
  const wxBitmap second = LoadSkinBitmap(kBmpClose);
  EXPECT_TRUE(first.IsSameAs(second));
  EXPECT_FALSE(first.IsSameAs(LoadSkinBitmap(kBmpCloseSelected)));
  // A button giving its copy a mask does not change the picture the next button gets.
  wxBitmap masked = LoadSkinBitmap(kBmpClose);
  masked.SetMask(new wxMask(masked, *wxBLACK));
  EXPECT_EQ(LoadSkinBitmap(kBmpClose).GetMask(), nullptr);
}

TEST(SkinImagesTest, OtherThreadsGetNoPicture) {
  LoadSkinBitmap(kBmpPlay);  // drawn and kept by the GUI thread
  bool pictureOk = true, iconOk = true;
  std::thread worker([&] {
    pictureOk = LoadSkinBitmap(kBmpPlay).IsOk();
    iconOk = LoadAppIconBitmap(32).IsOk();
  });
  worker.join();
  EXPECT_FALSE(pictureOk);
  EXPECT_FALSE(iconOk);
}

TEST(SkinImagesTest, ApplicationIcon) {
  const wxIcon icon = LoadAppIcon();
  ASSERT_TRUE(icon.IsOk());
  EXPECT_EQ(icon.GetWidth(), 48);
  EXPECT_EQ(icon.GetHeight(), 48);

  for (int size : {16, 32, 256}) {
    SCOPED_TRACE(size);
    const wxBitmap bitmap = LoadAppIconBitmap(size);
    ASSERT_TRUE(bitmap.IsOk());
    EXPECT_EQ(bitmap.GetWidth(), size);
    EXPECT_EQ(bitmap.GetHeight(), size);
    const wxImage image = bitmap.ConvertToImage();
    ASSERT_TRUE(image.HasAlpha());
    EXPECT_EQ(image.GetAlpha(0, 0), 0);  // rounded corner
    EXPECT_EQ(image.GetAlpha(size / 2, size / 2), 255);
  }
  // The lens shows a road under a blue sky: blue above the middle, the road's grey below.
  const wxImage big = LoadAppIconBitmap(256).ConvertToImage();
  const Rgb sky = At(big, 128, 80);
  EXPECT_GT(sky.b, sky.r + 60) << Describe(sky);
  const Rgb road = At(big, 100, 190);
  EXPECT_LT(std::abs(road.r - road.b), 30) << Describe(road);

  EXPECT_FALSE(LoadAppIconBitmap(0).IsOk());
  EXPECT_FALSE(LoadAppIconBitmap(-16).IsOk());
  EXPECT_FALSE(LoadAppIconBitmap(100000).IsOk());

  const wxIconBundle bundle = LoadAppIconBundle();
  EXPECT_EQ(bundle.GetIconCount(), 7u);
  EXPECT_EQ(bundle.GetIconOfExactSize(wxSize(16, 16)).GetWidth(), 16);
  EXPECT_EQ(bundle.GetIconOfExactSize(wxSize(256, 256)).GetWidth(), 256);
}

// A borderless window painted as the player window paints itself: the background, then every
// button with black as its transparent colour. What reaches the screen shows the background at
// every key pixel and the button everywhere else.
class SkinWindow : public wxFrame {
 public:
  SkinWindow()
      : wxFrame(nullptr, wxID_ANY, "Roadeye skin", wxPoint(0, 0), wxSize(975, 635), wxBORDER_NONE) {
    Bind(wxEVT_PAINT, &SkinWindow::OnPaint, this);
    Bind(wxEVT_ERASE_BACKGROUND, [](wxEraseEvent&) {});
  }

  // Paints the window's picture; dressed, with thumbs, the mute check box and read-out texts.
  static void Draw(wxDC& dc, bool dressed) {
    dc.DrawBitmap(LoadSkinBitmap(kBmpBackground), 0, 0);
    for (const Placed& p : kNormalLayout) dc.DrawBitmap(Masked(p.id), p.x, p.y, true);
    if (!dressed) return;
    dc.DrawBitmap(LoadSkinBitmap(kBmpMute), 684, 472);
    Slider(dc, kBmpSeekChannel, kBmpSeekChannelActive, 92, 432, 0.35);
    Slider(dc, kBmpLevelChannel, kBmpLevelChannelActive, 715, 474, 50 / 99.0);
    Slider(dc, kBmpLevelChannel, kBmpLevelChannelActive, 864, 474, 0.5);
    dc.SetFont(wxFontInfo(wxSize(0, 11)).Family(wxFONTFAMILY_SWISS));
    Text(dc, "00:01:23", *wxWHITE, 27, 433);
    Text(dc, "00:03:00", *wxWHITE, 497, 433);
    Text(dc, "52Km/h", *wxRED, 582, 433);
    Text(dc, "Select All", *wxRED, 670, 221);
  }

 private:
  static wxBitmap Masked(int id) {
    wxBitmap bitmap = LoadSkinBitmap(id);
    bitmap.SetMask(new wxMask(bitmap, *wxBLACK));
    return bitmap;
  }

  // A slider as it draws itself: the active channel left of the thumb's centre, the channel
  // right of it, the thumb on top.
  static void Slider(wxDC& dc, int channelId, int activeId, int x, int y, double fraction) {
    const wxBitmap channel = Masked(channelId);
    const int w = channel.GetWidth();
    const int c = 7 + static_cast<int>((w - 14) * fraction);
    dc.DrawBitmap(Masked(activeId).GetSubBitmap(wxRect(0, 0, c, 14)), x, y, true);
    dc.DrawBitmap(channel.GetSubBitmap(wxRect(c, 0, w - c, 14)), x + c, y, true);
    dc.DrawBitmap(Masked(kBmpThumb), x + c - 7, y, true);
  }

  static void Text(wxDC& dc, const wxString& text, const wxColour& colour, int x, int y) {
    dc.SetTextForeground(colour);
    dc.DrawText(text, x, y);
  }

  void OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    Draw(dc, false);
  }
};

wxImage Screenshot(wxWindow* window) {
  const wxSize size = window->GetClientSize();
  wxBitmap shot(size.x, size.y, 24);
  {
    wxScreenDC screen;
    wxMemoryDC memory(shot);
    const wxPoint at = window->GetScreenPosition();
    memory.Blit(0, 0, size.x, size.y, &screen, at.x, at.y);
  }
  return shot.ConvertToImage();
}

TEST(SkinImagesTest, ButtonsShowTheBackgroundThroughTheirKeyColourOnScreen) {
  SkinWindow* window = new SkinWindow;
  window->Show();
  window->Raise();
  // The window manager-less X server maps the window asynchronously: let it settle.
  for (int i = 0; i < 100 && window->GetClientSize() != wxSize(975, 635); ++i) {
    wxTheApp->Yield(true);
    wxMilliSleep(10);
  }
  window->Refresh();
  window->Update();
  wxTheApp->Yield(true);
  const wxImage screen = Screenshot(window);
  EXPECT_EQ(screen.GetSize(), wxSize(975, 635));

  const wxImage bg = Picture(kBmpBackground);
  for (const Placed& p : kNormalLayout) {
    if (screen.GetSize() != bg.GetSize()) break;
    SCOPED_TRACE("id " + std::to_string(p.id));
    const wxImage button = Picture(p.id);
    int keyed = 0, drawn = 0, wrong = 0;
    for (int y = 0; y < button.GetHeight(); ++y) {
      for (int x = 0; x < button.GetWidth(); ++x) {
        const Rgb b = At(button, x, y);
        const Rgb expected = IsKey(b) ? At(bg, p.x + x, p.y + y) : b;
        (IsKey(b) ? keyed : drawn) += 1;
        if (!(At(screen, p.x + x, p.y + y) == expected)) ++wrong;
      }
    }
    EXPECT_GT(keyed, 0);
    EXPECT_GT(drawn, 0);
    EXPECT_EQ(wrong, 0);
  }

  if (const char* folder = SheetFolder()) {
    wxBitmap dressed(975, 635, 24);
    {
      wxMemoryDC dc(dressed);
      SkinWindow::Draw(dc, true);
    }
    EXPECT_TRUE(dressed.ConvertToImage().SaveFile(wxString(folder) + "/skin-window.png",
                                                  wxBITMAP_TYPE_PNG));
  }
  window->Destroy();
  wxTheApp->Yield(true);
}

// The contact sheet: every picture enlarged three times (the background at its own size) on a
// mid grey, with its id, so that key-colour pixels stand out as black.
TEST(SkinImagesTest, ContactSheet) {
  const char* folder = SheetFolder();
  if (!folder) GTEST_SKIP() << "set ROADEYE_SKIN_SHEET=<folder> to write the contact sheet";
  constexpr int kScale = 3;
  constexpr int kSheetWidth = 1300;
  const wxImage background = Picture(kBmpBackground);
  // Lay the small pictures out in rows first to know the sheet's height.
  struct Cell {
    int id;
    wxPoint at;
  };
  std::vector<Cell> cells;
  int x = 10, y = 10, rowHeight = 0;
  for (int id : SkinBitmapIds()) {
    if (id == kBmpBackground) continue;
    const wxBitmap bitmap = LoadSkinBitmap(id);
    const int w = bitmap.GetWidth() * kScale, h = bitmap.GetHeight() * kScale + 16;
    if (x + w + 10 > kSheetWidth) {
      x = 10;
      y += rowHeight + 10;
      rowHeight = 0;
    }
    cells.push_back({id, wxPoint(x, y)});
    x += w + 14;
    rowHeight = std::max(rowHeight, h);
  }
  const int iconsY = y + rowHeight + 10;
  const int backgroundY = iconsY + 256 + 20;
  wxBitmap sheet(kSheetWidth, backgroundY + background.GetHeight() + 10, 24);
  {
    wxMemoryDC dc(sheet);
    dc.SetBackground(wxBrush(wxColour(128, 128, 128)));
    dc.Clear();
    dc.SetTextForeground(*wxWHITE);
    for (const Cell& cell : cells) {
      const wxImage image = Picture(cell.id);
      dc.DrawBitmap(wxBitmap(image.Scale(image.GetWidth() * kScale, image.GetHeight() * kScale,
                                         wxIMAGE_QUALITY_NEAREST)),
                    cell.at.x, cell.at.y);
      dc.DrawText(std::to_string(cell.id), cell.at.x, cell.at.y + image.GetHeight() * kScale);
    }
    int ix = 10;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
      dc.DrawBitmap(LoadAppIconBitmap(size), ix, iconsY, true);
      ix += size + 20;
    }
    dc.DrawBitmap(wxBitmap(background), 10, backgroundY);
  }
  EXPECT_TRUE(
      sheet.ConvertToImage().SaveFile(wxString(folder) + "/skin-sheet.png", wxBITMAP_TYPE_PNG));
}

}  // namespace
