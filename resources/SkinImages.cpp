// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/SkinImages.h"

#include <wx/brush.h>
#include <wx/font.h>
#include <wx/graphics.h>
#include <wx/image.h>
#include <wx/thread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <utility>

#include "resources/ResourceIds.h"
#include "resources/core/StringTable.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Palette. The background and the buttons share it, so that every button's anti-aliased edge is
// blended against the colour that really lies under it in the normal layout.

const wxColour kBase(21, 23, 27);           // window surface between the cards
const wxColour kCard(30, 32, 38);           // control cards (also the Select All brush)
const wxColour kCardEdge(45, 49, 57);       // card outline
const wxColour kCardHighlight(39, 42, 49);  // card top inner highlight
const wxColour kWell(7, 8, 10);             // picture, list and read-out wells
const wxColour kWellEdge(52, 56, 66);       // well outline
const wxColour kTopBarTop(40, 43, 51);      // top bar gradient
const wxColour kTopBarBottom(27, 29, 35);
const wxColour kTopBarMid(33, 36, 42);  // what the window buttons sit on
const wxColour kDivider(44, 48, 56);
const wxColour kLabel(116, 123, 136);  // small captions
const wxColour kText(226, 229, 235);
const wxColour kAccent(46, 136, 236);
const wxColour kAccentLight(98, 178, 255);
const wxColour kPlayDisc(38, 41, 48);  // the disc behind PLAY
const wxColour kAmber(236, 184, 84);
const wxColour kRecRed(232, 64, 58);

// Glyph colours of the plain (faceless) buttons.
const wxColour kGlyph(200, 205, 214);
const wxColour kGlyphSelected(98, 180, 255);

// Faces of the bar and square buttons.
struct FaceStyle {
  wxColour top, bottom, edge, text;
};
const FaceStyle kFaceNormal{wxColour(64, 68, 79), wxColour(50, 54, 63), wxColour(78, 83, 96),
                            wxColour(226, 229, 235)};
const FaceStyle kFaceSelected{wxColour(60, 150, 246), wxColour(34, 110, 210),
                              wxColour(104, 180, 255), wxColour(255, 255, 255)};
const FaceStyle kFaceDisabled{wxColour(37, 40, 46), wxColour(33, 35, 41), wxColour(46, 49, 56),
                              wxColour(102, 107, 118)};

enum class State { kNormal, kSelected, kDisabled };

const FaceStyle& FaceFor(State state) {
  switch (state) {
    case State::kSelected:
      return kFaceSelected;
    case State::kDisabled:
      return kFaceDisabled;
    case State::kNormal:
      break;
  }
  return kFaceNormal;
}

const wxColour& GlyphFor(State state) {
  return state == State::kSelected ? kGlyphSelected : kGlyph;
}

// ---------------------------------------------------------------------------------------------
// Drawing surfaces.

// A fully transparent RGBA picture with a graphics context over it. The picture is complete once
// Take() has ended the context.
class Canvas {
 public:
  Canvas(int width, int height) : image_(width, height) {
    image_.InitAlpha();
    std::memset(image_.GetAlpha(), 0, static_cast<size_t>(width) * height);
    gc_.reset(wxGraphicsContext::Create(image_));
    if (gc_) gc_->SetAntialiasMode(wxANTIALIAS_DEFAULT);
  }

  bool ok() const { return gc_ != nullptr; }
  wxGraphicsContext& gc() { return *gc_; }

  wxImage Take() {
    gc_.reset();
    return image_;
  }

 private:
  wxImage image_;
  std::unique_ptr<wxGraphicsContext> gc_;
};

unsigned char Blend(unsigned char fg, unsigned char bg, unsigned alpha) {
  return static_cast<unsigned char>((fg * alpha + bg * (255 - alpha) + 127) / 255);
}

// Alpha below this is treated as nothing drawn: such a pixel would be all but the backdrop colour.
constexpr unsigned kKeyAlpha = 16;

// Turns an RGBA glyph into a 24-bit picture keyed on black: uncovered pixels become exactly black,
// covered ones are blended against `backdrop` and never come out pure black.
wxImage KeyOnBlack(const wxImage& rgba, const wxColour& backdrop) {
  const int w = rgba.GetWidth();
  const int h = rgba.GetHeight();
  wxImage out(w, h);
  const unsigned char* src = rgba.GetData();
  const unsigned char* alpha = rgba.GetAlpha();
  unsigned char* dst = out.GetData();
  for (int i = 0; i < w * h; ++i) {
    const unsigned a = alpha ? alpha[i] : 255;
    unsigned char* p = dst + 3 * i;
    if (a < kKeyAlpha) {
      p[0] = p[1] = p[2] = 0;
      continue;
    }
    p[0] = Blend(src[3 * i], backdrop.Red(), a);
    p[1] = Blend(src[3 * i + 1], backdrop.Green(), a);
    p[2] = Blend(src[3 * i + 2], backdrop.Blue(), a);
    if (p[0] == 0 && p[1] == 0 && p[2] == 0) p[0] = p[1] = p[2] = 1;
  }
  return out;
}

// Flattens an RGBA picture onto a solid colour (opaque result, no key colour).
wxImage Flatten(const wxImage& rgba, const wxColour& under) {
  const int w = rgba.GetWidth();
  const int h = rgba.GetHeight();
  wxImage out(w, h);
  const unsigned char* src = rgba.GetData();
  const unsigned char* alpha = rgba.GetAlpha();
  unsigned char* dst = out.GetData();
  for (int i = 0; i < w * h; ++i) {
    const unsigned a = alpha ? alpha[i] : 255;
    dst[3 * i] = Blend(src[3 * i], under.Red(), a);
    dst[3 * i + 1] = Blend(src[3 * i + 1], under.Green(), a);
    dst[3 * i + 2] = Blend(src[3 * i + 2], under.Blue(), a);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Small drawing helpers.

void Fill(wxGraphicsContext& gc, const wxColour& colour) {
  gc.SetPen(wxNullGraphicsPen);
  gc.SetBrush(gc.CreateBrush(wxBrush(colour)));
}

void Stroke(wxGraphicsContext& gc, const wxColour& colour, double width,
            wxPenCap cap = wxCAP_ROUND) {
  gc.SetBrush(wxNullGraphicsBrush);
  gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(colour).Width(width).Cap(cap).Join(wxJOIN_ROUND)));
}

void Polygon(wxGraphicsContext& gc, std::initializer_list<wxPoint2DDouble> points) {
  wxGraphicsPath path = gc.CreatePath();
  bool first = true;
  for (const wxPoint2DDouble& p : points) {
    if (first) {
      path.MoveToPoint(p);
      first = false;
    } else {
      path.AddLineToPoint(p);
    }
  }
  path.CloseSubpath();
  gc.FillPath(path);
}

void Polyline(wxGraphicsContext& gc, std::initializer_list<wxPoint2DDouble> points) {
  wxGraphicsPath path = gc.CreatePath();
  bool first = true;
  for (const wxPoint2DDouble& p : points) {
    if (first) {
      path.MoveToPoint(p);
      first = false;
    } else {
      path.AddLineToPoint(p);
    }
  }
  gc.StrokePath(path);
}

void Line(wxGraphicsContext& gc, double x1, double y1, double x2, double y2) {
  gc.StrokeLine(x1, y1, x2, y2);
}

void Disc(wxGraphicsContext& gc, double cx, double cy, double r) {
  gc.DrawEllipse(cx - r, cy - r, 2 * r, 2 * r);
}

// A sans-serif font of a given pixel height.
wxFont SansFont(int pixels, bool bold) {
  wxFontInfo info(wxSize(0, pixels));
  info.Family(wxFONTFAMILY_SWISS);
  if (bold) info.Bold();
  return wxFont(info);
}

// Draws text with its box centred on (cx, cy), the position rounded to whole pixels so that the
// glyphs stay crisp.
void CentredText(wxGraphicsContext& gc, const wxString& text, const wxFont& font,
                 const wxColour& colour, double cx, double cy) {
  gc.SetFont(font, colour);
  double w = 0, h = 0;
  gc.GetTextExtent(text, &w, &h);
  gc.DrawText(text, std::round(cx - w / 2), std::round(cy - h / 2));
}

// Draws a word to the right of an icon of the given width, the pair centred in a w x h button;
// returns the icon's left edge.
double WordBesideIcon(wxGraphicsContext& gc, int w, int h, double iconWidth, double gap,
                      const wxString& word, const wxFont& font, const wxColour& colour) {
  gc.SetFont(font, colour);
  double tw = 0, th = 0;
  gc.GetTextExtent(word, &tw, &th);
  const double left = std::round((w - iconWidth - gap - tw) / 2);
  gc.DrawText(word, left + iconWidth + gap, std::round((h - th) / 2));
  return left;
}

// A rounded face with a vertical gradient and a one-pixel outline, filling the rectangle.
void Face(wxGraphicsContext& gc, double x, double y, double w, double h, double radius,
          const FaceStyle& style) {
  gc.SetPen(wxNullGraphicsPen);
  gc.SetBrush(gc.CreateLinearGradientBrush(0, y, 0, y + h, style.top, style.bottom));
  gc.DrawRoundedRectangle(x, y, w, h, radius);
  Stroke(gc, style.edge, 1.0);
  gc.DrawRoundedRectangle(x + 0.5, y + 0.5, w - 1, h - 1, radius - 0.5);
}

// ---------------------------------------------------------------------------------------------
// Button pictures. Each draws onto a transparent canvas of the button's size.

using Painter = std::function<void(wxGraphicsContext&, int w, int h)>;

wxImage Paint(int w, int h, const Painter& painter) {
  Canvas canvas(w, h);
  if (canvas.ok()) painter(canvas.gc(), w, h);
  return canvas.Take();
}

wxBitmap Keyed(int w, int h, const wxColour& backdrop, const Painter& painter) {
  return wxBitmap(KeyOnBlack(Paint(w, h, painter), backdrop), 24);
}

// The four window buttons of the top bar: a glyph on a rounded grey square.
enum class WindowGlyph { kMinimise, kClose, kFullScreen, kPreviousSize };

void OutwardArrow(wxGraphicsContext& gc, double sx, double sy, const wxColour& colour) {
  // One corner arrow of the full-screen glyph, drawn for the top-left corner and mirrored by the
  // signs (sx, sy) about the square's centre (12.5, 12.5).
  auto at = [&](double x, double y) { return wxPoint2DDouble(12.5 + sx * x, 12.5 + sy * y); };
  Fill(gc, colour);
  Polygon(gc, {at(-6.5, -6.5), at(-1.5, -6.5), at(-6.5, -1.5)});
  Stroke(gc, colour, 1.7, wxCAP_BUTT);
  const wxPoint2DDouble a = at(-4.5, -4.5), b = at(-1.5, -1.5);
  Line(gc, a.m_x, a.m_y, b.m_x, b.m_y);
}

void InwardArrow(wxGraphicsContext& gc, double sx, double sy, const wxColour& colour) {
  auto at = [&](double x, double y) { return wxPoint2DDouble(12.5 + sx * x, 12.5 + sy * y); };
  Fill(gc, colour);
  Polygon(gc, {at(-1.5, -1.5), at(-1.5, -6.0), at(-6.0, -1.5)});
  Stroke(gc, colour, 1.7, wxCAP_BUTT);
  const wxPoint2DDouble a = at(-7.0, -7.0), b = at(-3.5, -3.5);
  Line(gc, a.m_x, a.m_y, b.m_x, b.m_y);
}

wxBitmap WindowButton(WindowGlyph glyph, State state) {
  return Keyed(25, 25, kTopBarMid, [&](wxGraphicsContext& gc, int, int) {
    const FaceStyle& face = FaceFor(state);
    Face(gc, 1, 1, 23, 23, 4.5, face);
    const wxColour& ink = face.text;
    switch (glyph) {
      case WindowGlyph::kMinimise:
        Fill(gc, ink);
        gc.DrawRectangle(8, 16, 9, 2);
        break;
      case WindowGlyph::kClose:
        Stroke(gc, ink, 2.0);
        Line(gc, 8.5, 8.5, 16.5, 16.5);
        Line(gc, 16.5, 8.5, 8.5, 16.5);
        break;
      case WindowGlyph::kFullScreen:
        for (double sx : {1.0, -1.0}) {
          for (double sy : {1.0, -1.0}) OutwardArrow(gc, sx, sy, ink);
        }
        break;
      case WindowGlyph::kPreviousSize:
        for (double sx : {1.0, -1.0}) {
          for (double sy : {1.0, -1.0}) InwardArrow(gc, sx, sy, ink);
        }
        break;
    }
  });
}

// Transport glyphs: drawn straight on the control card, no face.
enum class Transport { kPlay, kPause, kStop, kPre, kNext, kBack, kForward, kOpen };

void TransportGlyph(wxGraphicsContext& gc, Transport which, const wxColour& ink) {
  Fill(gc, ink);
  switch (which) {
    case Transport::kPlay:  // 15 x 17
      Polygon(gc, {{3, 2}, {13.5, 8.5}, {3, 15}});
      break;
    case Transport::kPause:  // 15 x 17
      gc.DrawRoundedRectangle(3, 2, 3.5, 13, 0.8);
      gc.DrawRoundedRectangle(8.5, 2, 3.5, 13, 0.8);
      break;
    case Transport::kStop:  // 17 x 16
      gc.DrawRoundedRectangle(3, 2, 11, 11, 1.5);
      break;
    case Transport::kPre:  // 31 x 17: bar and two left-pointing triangles
      gc.DrawRectangle(6, 3, 2, 11);
      Polygon(gc, {{8.5, 8.5}, {17, 3}, {17, 14}});
      Polygon(gc, {{16.5, 8.5}, {25, 3}, {25, 14}});
      break;
    case Transport::kNext:  // 31 x 17: mirror of PRE
      gc.DrawRectangle(23, 3, 2, 11);
      Polygon(gc, {{22.5, 8.5}, {14, 3}, {14, 14}});
      Polygon(gc, {{14.5, 8.5}, {6, 3}, {6, 14}});
      break;
    case Transport::kBack:  // 25 x 16: double left arrows
      Stroke(gc, ink, 2.0);
      Polyline(gc, {{11.5, 3.5}, {6.5, 8}, {11.5, 12.5}});
      Polyline(gc, {{18.5, 3.5}, {13.5, 8}, {18.5, 12.5}});
      break;
    case Transport::kForward:  // 25 x 16: double right arrows
      Stroke(gc, ink, 2.0);
      Polyline(gc, {{6.5, 3.5}, {11.5, 8}, {6.5, 12.5}});
      Polyline(gc, {{13.5, 3.5}, {18.5, 8}, {13.5, 12.5}});
      break;
    case Transport::kOpen:  // 19 x 17: eject
      Polygon(gc, {{2.5, 10}, {9.5, 2.5}, {16.5, 10}});
      gc.DrawRoundedRectangle(2.5, 12, 14, 3, 0.8);
      break;
  }
}

wxBitmap TransportButton(Transport which, int w, int h, State state) {
  const wxColour backdrop =
      which == Transport::kPlay || which == Transport::kPause ? kPlayDisc : kCard;
  return Keyed(w, h, backdrop, [&](wxGraphicsContext& gc, int, int) {
    TransportGlyph(gc, which, GlyphFor(state));
  });
}

// Tool buttons: zoom, capture, settings.
wxBitmap ZoomButton(State state) {
  return Keyed(21, 21, kCard, [&](wxGraphicsContext& gc, int, int) {
    const wxColour& ink = GlyphFor(state);
    Stroke(gc, ink, 2.2);
    Disc(gc, 8.5, 8.5, 5.6);
    Stroke(gc, ink, 3.2);
    Line(gc, 13.0, 13.0, 17.8, 17.8);
  });
}

wxBitmap CaptureButton(State state) {
  return Keyed(30, 20, kCard, [&](wxGraphicsContext& gc, int, int) {
    const wxColour& ink = GlyphFor(state);
    Fill(gc, ink);
    gc.DrawRoundedRectangle(10, 2, 10, 4, 1.2);
    gc.DrawRoundedRectangle(3, 5, 24, 13, 2.5);
    // The lens and the flash window are cut out so the background shows through them.
    gc.SetCompositionMode(wxCOMPOSITION_CLEAR);
    Disc(gc, 15, 11.5, 4.8);
    gc.DrawRectangle(21, 7, 3, 2);
    gc.SetCompositionMode(wxCOMPOSITION_OVER);
    Fill(gc, ink);
    Disc(gc, 15, 11.5, 2.6);
  });
}

wxBitmap SettingsButton(State state) {
  return Keyed(21, 21, kCard, [&](wxGraphicsContext& gc, int, int) {
    const wxColour& ink = GlyphFor(state);
    constexpr double cx = 10.5, cy = 10.5;
    constexpr int kTeeth = 8;
    constexpr double kOuter = 9.3, kRoot = 7.0;
    constexpr double kPi = std::numbers::pi;
    wxGraphicsPath path = gc.CreatePath();
    for (int i = 0; i < kTeeth; ++i) {
      // Each tooth spans a little under half of its sector, with a slanted flank.
      const double base = 2 * kPi * i / kTeeth;
      const double sector = 2 * kPi / kTeeth;
      const double angles[4] = {base - sector * 0.30, base - sector * 0.18, base + sector * 0.18,
                                base + sector * 0.30};
      const double radii[4] = {kRoot, kOuter, kOuter, kRoot};
      for (int k = 0; k < 4; ++k) {
        const wxPoint2DDouble p(cx + radii[k] * std::cos(angles[k]),
                                cy + radii[k] * std::sin(angles[k]));
        if (i == 0 && k == 0) {
          path.MoveToPoint(p);
        } else {
          path.AddLineToPoint(p);
        }
      }
      path.AddArc(cx, cy, kRoot, base + sector * 0.30, base + sector * 0.70, true);
    }
    path.CloseSubpath();
    Fill(gc, ink);
    gc.FillPath(path);
    gc.SetCompositionMode(wxCOMPOSITION_CLEAR);
    Disc(gc, cx, cy, 3.0);
    gc.SetCompositionMode(wxCOMPOSITION_OVER);
  });
}

// Brightness icon: a half-filled circle with short rays.
wxBitmap BrightnessIcon() {
  return Keyed(24, 25, kCard, [&](wxGraphicsContext& gc, int, int) {
    constexpr double cx = 12, cy = 12.5, r = 5.2;
    constexpr double kPi = std::numbers::pi;
    Stroke(gc, kGlyph, 1.5);
    Disc(gc, cx, cy, r);
    wxGraphicsPath half = gc.CreatePath();
    half.MoveToPoint(cx, cy - r);
    half.AddArc(cx, cy, r, -kPi / 2, kPi / 2, true);
    half.CloseSubpath();
    Fill(gc, kGlyph);
    gc.FillPath(half);
    Stroke(gc, kGlyph, 1.5);
    for (int i = 0; i < 8; ++i) {
      const double a = kPi * i / 4;
      Line(gc, cx + 7.8 * std::cos(a), cy + 7.8 * std::sin(a), cx + 10.0 * std::cos(a),
           cy + 10.0 * std::sin(a));
    }
  });
}

// Bar buttons with a word: the kind filters, the map size and the file download buttons.
void MapPin(wxGraphicsContext& gc, double cx, double top, const wxColour& ink,
            const wxColour& hole) {
  constexpr double kPi = std::numbers::pi;
  const double r = 4.5;
  const double cy = top + r;
  wxGraphicsPath pin = gc.CreatePath();
  pin.MoveToPoint(cx, top + 13);
  pin.AddLineToPoint(cx - r * 0.92, cy + r * 0.4);
  pin.AddArc(cx, cy, r, kPi - 0.41, 0.41, true);
  pin.CloseSubpath();
  Fill(gc, ink);
  gc.FillPath(pin);
  Fill(gc, hole);
  Disc(gc, cx, cy, 1.7);
}

void Folder(wxGraphicsContext& gc, double x, double y, const wxColour& ink, const wxColour& arrow) {
  Fill(gc, ink);
  gc.DrawRoundedRectangle(x, y, 6, 3, 1);
  gc.DrawRoundedRectangle(x, y + 2, 15, 10, 1.5);
  // A down arrow on the folder: the file comes down to the computer.
  Fill(gc, arrow);
  gc.DrawRectangle(x + 6.75, y + 3.5, 1.5, 4);
  Polygon(gc, {{x + 4.5, y + 7}, {x + 10.5, y + 7}, {x + 7.5, y + 10.5}});
}

// A word of a button in the interface's language.
wxString Word(int koreanId, int englishId) {
  return wxString::FromUTF8(DisplayText(BilingualText(koreanId, englishId)));
}

wxBitmap WordBar(int w, int h, const wxString& word, State state, const wxColour& backdrop,
                 int fontPixels) {
  return Keyed(w, h, backdrop, [&](wxGraphicsContext& gc, int, int) {
    const FaceStyle& face = FaceFor(state);
    Face(gc, 1, 1, w - 2, h - 2, 4, face);
    CentredText(gc, word, SansFont(fontPixels, true), face.text, w / 2.0, h / 2.0);
  });
}

wxBitmap MapSizeButton(State state) {
  return Keyed(161, 24, kBase, [&](wxGraphicsContext& gc, int w, int h) {
    const FaceStyle& face = FaceFor(state);
    Face(gc, 1, 1, w - 2, h - 2, 4, face);
    const double left = WordBesideIcon(gc, w, h, 10, 7, "Map View", SansFont(12, true), face.text);
    MapPin(gc, left + 5, 5, state == State::kNormal ? kAccentLight : face.text, face.bottom);
  });
}

wxBitmap FileDownloadButton(State state) {
  return Keyed(117, 20, kCard, [&](wxGraphicsContext& gc, int w, int h) {
    const FaceStyle& face = FaceFor(state);
    Face(gc, 1, 1, w - 2, h - 2, 4, face);
    const double left =
        WordBesideIcon(gc, w, h, 15, 6, "File Download", SansFont(11, true), face.text);
    Folder(gc, left, 4, state == State::kNormal ? kAmber : face.text, face.bottom);
  });
}

// The mute check box: opaque pictures on the control card's colour, because that button copies
// its picture without a mask. No pixel is pure black, so a keyed drawing shows it whole too.
wxBitmap MuteButton(bool muted) {
  const wxImage rgba = Paint(27, 22, [&](wxGraphicsContext& gc, int, int) {
    constexpr double kPi = std::numbers::pi;
    Fill(gc, kGlyph);
    gc.DrawRectangle(4, 8, 4, 6);
    Polygon(gc, {{7.5, 8}, {13, 3.5}, {13, 18.5}, {7.5, 14}});
    if (muted) {
      Stroke(gc, kRecRed, 1.9);
      Line(gc, 16.5, 7.5, 22.5, 14.5);
      Line(gc, 22.5, 7.5, 16.5, 14.5);
    } else {
      Stroke(gc, kGlyph, 1.6);
      wxGraphicsPath waves = gc.CreatePath();
      waves.AddArc(13, 11, 4.2, -kPi / 4, kPi / 4, true);
      waves.MoveToPoint(13 + 8 * std::cos(-kPi / 3.6), 11 + 8 * std::sin(-kPi / 3.6));
      waves.AddArc(13, 11, 8, -kPi / 3.6, kPi / 3.6, true);
      gc.StrokePath(waves);
    }
  });
  return wxBitmap(Flatten(rgba, kCard), 24);
}

// Slider channels: a thin rounded line on black; grey for the channel, blue for the active part.
wxBitmap Channel(int w, bool active) {
  return Keyed(w, 14, kCard, [&](wxGraphicsContext& gc, int, int) {
    gc.SetPen(wxNullGraphicsPen);
    if (active) {
      gc.SetBrush(gc.CreateLinearGradientBrush(0, 5, 0, 9, kAccentLight, kAccent));
    } else {
      gc.SetBrush(
          gc.CreateLinearGradientBrush(0, 5, 0, 9, wxColour(58, 62, 72), wxColour(74, 79, 91)));
    }
    gc.DrawRoundedRectangle(1, 5, w - 2, 4, 2);
  });
}

// Slider thumb: a white disc on black.
wxBitmap Thumb() {
  return Keyed(14, 14, kCard, [&](wxGraphicsContext& gc, int, int) {
    Fill(gc, wxColour(250, 251, 253));
    Disc(gc, 7, 7, 6.2);
    Stroke(gc, wxColour(198, 204, 214), 1.0);
    Disc(gc, 7, 7, 5.6);
    Fill(gc, kAccent);
    Disc(gc, 7, 7, 2.0);
  });
}

// ---------------------------------------------------------------------------------------------
// The application icon: a camera lens looking down a road, with a recording light.

// Multiplies the alpha of `layer` by the coverage of a disc; used to clip the road scene to the
// lens glass.
void ClipToDisc(wxImage& layer, double cx, double cy, double r) {
  const wxImage mask =
      Paint(layer.GetWidth(), layer.GetHeight(), [&](wxGraphicsContext& gc, int, int) {
        Fill(gc, *wxWHITE);
        Disc(gc, cx, cy, r);
      });
  unsigned char* a = layer.GetAlpha();
  const unsigned char* m = mask.GetAlpha();
  const int n = layer.GetWidth() * layer.GetHeight();
  for (int i = 0; i < n; ++i) a[i] = static_cast<unsigned char>((a[i] * m[i] + 127) / 255);
}

wxImage DrawAppIcon(int size) {
  const double s = size / 256.0;
  // The road scene seen through the glass, drawn on its own layer and clipped to the glass.
  wxImage scene = Paint(size, size, [&](wxGraphicsContext& gc, int, int) {
    gc.Scale(s, s);
    gc.SetPen(wxNullGraphicsPen);
    gc.SetBrush(gc.CreateLinearGradientBrush(0, 60, 0, 122, wxColour(38, 92, 170),
                                             wxColour(120, 186, 238)));
    gc.DrawRectangle(40, 40, 176, 84);
    gc.SetBrush(
        gc.CreateLinearGradientBrush(0, 122, 0, 216, wxColour(40, 56, 46), wxColour(26, 34, 30)));
    gc.DrawRectangle(40, 122, 176, 100);
    // The road, narrowing to the horizon.
    Fill(gc, wxColour(64, 68, 78));
    Polygon(gc, {{121, 122}, {135, 122}, {214, 222}, {42, 222}});
    Fill(gc, wxColour(230, 232, 236));
    Polygon(gc, {{121, 122}, {123, 122}, {56, 222}, {44, 222}});
    Polygon(gc, {{133, 122}, {135, 122}, {212, 222}, {200, 222}});
    // Centre dashes, longer toward the viewer.
    Fill(gc, wxColour(250, 200, 60));
    Polygon(gc, {{127, 128}, {129, 128}, {129.6, 138}, {126.4, 138}});
    Polygon(gc, {{126, 148}, {130, 148}, {131, 166}, {125, 166}});
    Polygon(gc, {{124.6, 180}, {131.4, 180}, {133, 212}, {123, 212}});
  });
  ClipToDisc(scene, 128 * s, 128 * s, 70 * s);

  return Paint(size, size, [&](wxGraphicsContext& gc, int, int) {
    // Everything below is drawn in a 256 x 256 design space.
    gc.PushState();
    gc.Scale(s, s);
    gc.SetPen(wxNullGraphicsPen);
    gc.SetBrush(
        gc.CreateLinearGradientBrush(0, 8, 0, 248, wxColour(50, 58, 72), wxColour(18, 21, 28)));
    gc.DrawRoundedRectangle(8, 8, 240, 240, 54);
    Stroke(gc, wxColour(78, 88, 106), 4);
    gc.DrawRoundedRectangle(10, 10, 236, 236, 52);
    // Lens barrel: a metal ring, then a dark inner ring.
    gc.SetPen(wxNullGraphicsPen);
    gc.SetBrush(
        gc.CreateLinearGradientBrush(0, 32, 0, 224, wxColour(176, 184, 196), wxColour(58, 64, 76)));
    Disc(gc, 128, 128, 96);
    Fill(gc, wxColour(16, 18, 23));
    Disc(gc, 128, 128, 84);
    Stroke(gc, wxColour(44, 50, 62), 3);
    Disc(gc, 128, 128, 76);
    gc.PopState();
    gc.DrawBitmap(wxBitmap(scene), 0, 0, size, size);
    gc.Scale(s, s);
    // Glass glint.
    gc.SetPen(wxNullGraphicsPen);
    gc.SetBrush(gc.CreateBrush(wxBrush(wxColour(255, 255, 255, 70))));
    wxGraphicsPath glint = gc.CreatePath();
    glint.AddArc(128, 128, 62, std::numbers::pi * 1.08, std::numbers::pi * 1.42, true);
    glint.AddArc(128, 128, 50, std::numbers::pi * 1.42, std::numbers::pi * 1.08, false);
    glint.CloseSubpath();
    gc.FillPath(glint);
    // Recording light.
    Fill(gc, wxColour(255, 255, 255, 60));
    Disc(gc, 210, 46, 20);
    Fill(gc, kRecRed);
    Disc(gc, 210, 46, 15);
  });
}

// ---------------------------------------------------------------------------------------------
// The normal layout's background, 975 x 635.

constexpr int kWindowWidth = 975;
constexpr int kWindowHeight = 635;

// Places of the player window's controls and panes in the normal layout.
const wxRect kLargePane(4, 64, 640, 360);
const wxRect kSmallPane(650, 268, 320, 180);
const wxRect kList(650, 65, 320, 150);
const wxRect kGraph(30, 520, 760, 104);
const wxRect kCurrentTime(25, 433, 56, 14);
const wxRect kTotalTime(495, 433, 56, 14);
const wxRect kSpeed(580, 433, 56, 14);
const wxRect kPlay(261, 473, 15, 17);

// Cards: the rounded panels the controls stand on.
const wxRect kLibraryCard(648, 35, 324, 208);
const wxRect kTransportCard(3, 428, 642, 75);
const wxRect kLevelsCard(648, 453, 324, 50);
const wxRect kGraphCard(3, 508, 969, 123);
constexpr int kTopBarHeight = 33;

void Card(wxGraphicsContext& gc, const wxRect& r) {
  Fill(gc, kCard);
  gc.DrawRoundedRectangle(r.x, r.y, r.width, r.height, 5);
  Stroke(gc, kCardHighlight, 1);
  Line(gc, r.x + 5, r.y + 1.5, r.x + r.width - 5, r.y + 1.5);
  Stroke(gc, kCardEdge, 1);
  gc.DrawRoundedRectangle(r.x + 0.5, r.y + 0.5, r.width - 1, r.height - 1, 4.5);
}

// A dark inset around a control or pane place: the outline sits one pixel outside the place.
void Well(wxGraphicsContext& gc, const wxRect& place, int pad, double radius) {
  const double x = place.x - pad, y = place.y - pad;
  const double w = place.width + 2 * pad, h = place.height + 2 * pad;
  Fill(gc, kWell);
  gc.DrawRoundedRectangle(x - 1, y - 1, w + 2, h + 2, radius);
  Stroke(gc, kWellEdge, 1);
  gc.DrawRoundedRectangle(x - 0.5, y - 0.5, w + 1, h + 1, radius);
}

void Caption(wxGraphicsContext& gc, const wxString& text, double x, double y,
             const wxColour& colour = kLabel) {
  gc.SetFont(SansFont(9, true), colour);
  gc.DrawText(text, x, y);
}

// The lens and road of the icon as faint outlines, shown in the large place while it is empty.
void FaintLensMark(wxGraphicsContext& gc, double cx, double cy) {
  const wxColour ink(33, 36, 43);
  Stroke(gc, ink, 3);
  Disc(gc, cx, cy, 44);
  Stroke(gc, ink, 1.5);
  Disc(gc, cx, cy, 36);
  Line(gc, cx - 35.5, cy - 4, cx + 35.5, cy - 4);
  Line(gc, cx - 3, cy - 4, cx - 22, cy + 29);
  Line(gc, cx + 3, cy - 4, cx + 22, cy + 29);
  Stroke(gc, ink, 2, wxCAP_BUTT);
  Line(gc, cx, cy + 1, cx, cy + 8);
  Line(gc, cx, cy + 14, cx, cy + 26);
}

void DrawBackground(wxGraphicsContext& gc) {
  const int w = kWindowWidth, h = kWindowHeight;
  gc.SetAntialiasMode(wxANTIALIAS_NONE);
  Fill(gc, kBase);
  gc.DrawRectangle(0, 0, w, h);
  gc.SetAntialiasMode(wxANTIALIAS_DEFAULT);

  // Top bar with the mark and the wordmark.
  gc.SetPen(wxNullGraphicsPen);
  gc.SetBrush(gc.CreateLinearGradientBrush(0, 0, 0, kTopBarHeight, kTopBarTop, kTopBarBottom));
  gc.DrawRectangle(0, 0, w, kTopBarHeight);
  Stroke(gc, kDivider, 1, wxCAP_BUTT);
  Line(gc, 0, kTopBarHeight - 0.5, w, kTopBarHeight - 0.5);
  gc.DrawBitmap(wxBitmap(DrawAppIcon(22)), 10, 5, 22, 22);
  const wxFont mark = SansFont(16, true);
  gc.SetFont(mark, kText);
  double tw = 0, th = 0;
  gc.GetTextExtent("Road", &tw, &th);
  const double baseY = std::round((kTopBarHeight - th) / 2);
  gc.DrawText("Road", 40, baseY);
  gc.SetFont(mark, kAccentLight);
  gc.DrawText("eye", 40 + tw, baseY);
  double ew = 0;
  gc.GetTextExtent("eye", &ew, &th);
  gc.SetFont(SansFont(10, false), kLabel);
  double lw = 0, lh = 0;
  gc.GetTextExtent("DASHCAM VIEWER", &lw, &lh);
  gc.DrawText("DASHCAM VIEWER", std::round(40 + tw + ew + 10),
              std::round((kTopBarHeight - lh) / 2) + 1);

  // Library card: filter tabs, the recording list, Select All and File Download.
  Card(gc, kLibraryCard);
  Well(gc, kList, 0, 2);

  // Picture places.
  Well(gc, kLargePane, 0, 2);
  Well(gc, kSmallPane, 0, 2);
  FaintLensMark(gc, kLargePane.x + kLargePane.width / 2.0, kLargePane.y + kLargePane.height / 2.0);
  Caption(gc, "MAIN VIEW", kLargePane.x + 2, 45);
  Caption(gc, "SECOND VIEW", kSmallPane.x + 2, kSmallPane.y - 17);

  // Transport card: seek row, then buttons.
  Card(gc, kTransportCard);
  Well(gc, kCurrentTime, 1, 3);
  Well(gc, kTotalTime, 1, 3);
  Well(gc, kSpeed, 1, 3);
  Stroke(gc, kDivider, 1, wxCAP_BUTT);
  Line(gc, kTransportCard.x + 10, 460.5, kTransportCard.GetRight() - 10, 460.5);
  Line(gc, 415.5, 468, 415.5, 498);
  // A disc behind PLAY / Pause.
  Fill(gc, kPlayDisc);
  Disc(gc, kPlay.x + 7.5, kPlay.y + 8.5, 15);
  Stroke(gc, kCardEdge, 1);
  Disc(gc, kPlay.x + 7.5, kPlay.y + 8.5, 15);

  // Levels card: sound and brightness.
  Card(gc, kLevelsCard);
  Caption(gc, "VOLUME", 686, 457);
  Caption(gc, "BRIGHTNESS", 834, 457);
  Line(gc, 815.5, 462, 815.5, 497);

  // Graph card with its legend.
  Card(gc, kGraphCard);
  Well(gc, kGraph, 0, 2);
  Caption(gc, "G-SENSOR", 808, 524, kText);
  Caption(gc, "ACCELERATION", 808, 537);
  const struct {
    const char* name;
    wxColour colour;
  } axes[] = {{"X", wxColour(0, 0, 255)}, {"Y", wxColour(255, 255, 0)}, {"Z", wxColour(255, 0, 0)}};
  for (int i = 0; i < 3; ++i) {
    const double y = 566 + 18 * i;
    Stroke(gc, axes[i].colour, 2.5, wxCAP_ROUND);
    Line(gc, 810, y, 834, y);
    gc.SetFont(SansFont(11, true), kText);
    gc.DrawText(axes[i].name, 842, y - 7);
  }

  // A thin outline around the whole window, as it has no frame of its own.
  Stroke(gc, wxColour(58, 62, 72), 1, wxCAP_BUTT);
  gc.SetAntialiasMode(wxANTIALIAS_NONE);
  gc.DrawRectangle(0.5, 0.5, w - 1, h - 1);
}

wxBitmap Background() {
  wxImage image(kWindowWidth, kWindowHeight);
  {
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
    if (!gc) return wxBitmap();
    DrawBackground(*gc);
  }
  return wxBitmap(image, 24);
}

// ---------------------------------------------------------------------------------------------
// The table of pictures.

using Maker = wxBitmap (*)();

const std::map<int, Maker>& Makers() {
  static const auto& makers = *new std::map<int, Maker>{
      {kBmpMinimise, [] { return WindowButton(WindowGlyph::kMinimise, State::kNormal); }},
      {kBmpMinimiseSelected, [] { return WindowButton(WindowGlyph::kMinimise, State::kSelected); }},
      {kBmpClose, [] { return WindowButton(WindowGlyph::kClose, State::kNormal); }},
      {kBmpCloseSelected, [] { return WindowButton(WindowGlyph::kClose, State::kSelected); }},
      {kBmpFullScreen, [] { return WindowButton(WindowGlyph::kFullScreen, State::kNormal); }},
      {kBmpFullScreenSelected,
       [] { return WindowButton(WindowGlyph::kFullScreen, State::kSelected); }},
      {kBmpPreviousSize, [] { return WindowButton(WindowGlyph::kPreviousSize, State::kNormal); }},
      {kBmpPreviousSizeSelected,
       [] { return WindowButton(WindowGlyph::kPreviousSize, State::kSelected); }},

      {kBmpPre, [] { return TransportButton(Transport::kPre, 31, 17, State::kNormal); }},
      {kBmpPreSelected, [] { return TransportButton(Transport::kPre, 31, 17, State::kSelected); }},
      {kBmpPlay, [] { return TransportButton(Transport::kPlay, 15, 17, State::kNormal); }},
      {kBmpPlaySelected,
       [] { return TransportButton(Transport::kPlay, 15, 17, State::kSelected); }},
      {kBmpPause, [] { return TransportButton(Transport::kPause, 15, 17, State::kNormal); }},
      {kBmpStop, [] { return TransportButton(Transport::kStop, 17, 16, State::kNormal); }},
      {kBmpStopSelected,
       [] { return TransportButton(Transport::kStop, 17, 16, State::kSelected); }},
      {kBmpNext, [] { return TransportButton(Transport::kNext, 31, 17, State::kNormal); }},
      {kBmpNextSelected,
       [] { return TransportButton(Transport::kNext, 31, 17, State::kSelected); }},
      {kBmpSecondsBack, [] { return TransportButton(Transport::kBack, 25, 16, State::kNormal); }},
      {kBmpSecondsBackSelected,
       [] { return TransportButton(Transport::kBack, 25, 16, State::kSelected); }},
      {kBmpSecondsForward,
       [] { return TransportButton(Transport::kForward, 25, 16, State::kNormal); }},
      {kBmpSecondsForwardSelected,
       [] { return TransportButton(Transport::kForward, 25, 16, State::kSelected); }},
      {kBmpOpen, [] { return TransportButton(Transport::kOpen, 19, 17, State::kNormal); }},
      {kBmpOpenSelected,
       [] { return TransportButton(Transport::kOpen, 19, 17, State::kSelected); }},

      {kBmpZoom, [] { return ZoomButton(State::kNormal); }},
      {kBmpZoomSelected, [] { return ZoomButton(State::kSelected); }},
      {kBmpCapture, [] { return CaptureButton(State::kNormal); }},
      {kBmpCaptureSelected, [] { return CaptureButton(State::kSelected); }},
      {kBmpSettings, [] { return SettingsButton(State::kNormal); }},
      {kBmpSettingsSelected, [] { return SettingsButton(State::kSelected); }},

      {kBmpMapSize, [] { return MapSizeButton(State::kNormal); }},
      {kBmpMapSizeSelected, [] { return MapSizeButton(State::kSelected); }},
      {kBmpMapSizeDisabled, [] { return MapSizeButton(State::kDisabled); }},

      {kBmpFilterDriving,
       [] {
         return WordBar(65, 24, Word(kStrKindDrivingKo, kStrKindDrivingEn), State::kNormal, kCard,
                        12);
       }},
      {kBmpFilterDrivingSelected,
       [] {
         return WordBar(65, 24, Word(kStrKindDrivingKo, kStrKindDrivingEn), State::kSelected, kCard,
                        12);
       }},
      {kBmpFilterEvent,
       [] {
         return WordBar(65, 24, Word(kStrKindEventKo, kStrKindEventEn), State::kNormal, kCard, 12);
       }},
      {kBmpFilterEventSelected,
       [] {
         return WordBar(65, 24, Word(kStrKindEventKo, kStrKindEventEn), State::kSelected, kCard,
                        12);
       }},
      {kBmpFilterParking,
       [] {
         return WordBar(65, 24, Word(kStrKindParkingKo, kStrKindParkingEn), State::kNormal, kCard,
                        12);
       }},
      {kBmpFilterParkingSelected,
       [] {
         return WordBar(65, 24, Word(kStrKindParkingKo, kStrKindParkingEn), State::kSelected, kCard,
                        12);
       }},
      {kBmpFilterUser,
       [] {
         return WordBar(65, 24, Word(kStrKindUserKo, kStrKindUserEn), State::kNormal, kCard, 12);
       }},
      {kBmpFilterUserSelected,
       [] {
         return WordBar(65, 24, Word(kStrKindUserKo, kStrKindUserEn), State::kSelected, kCard, 12);
       }},
      {kBmpFilterAll,
       [] {
         return WordBar(65, 24, Word(kStrKindAllKo, kStrKindAllEn), State::kNormal, kCard, 12);
       }},
      {kBmpFilterAllSelected,
       [] {
         return WordBar(65, 24, Word(kStrKindAllKo, kStrKindAllEn), State::kSelected, kCard, 12);
       }},

      {kBmpFileDownload, [] { return FileDownloadButton(State::kNormal); }},
      {kBmpFileDownloadSelected, [] { return FileDownloadButton(State::kSelected); }},

      {kBmpBrightness, [] { return BrightnessIcon(); }},
      {kBmpMute, [] { return MuteButton(false); }},
      {kBmpMuteDown, [] { return MuteButton(true); }},

      {kBmpSeekChannel, [] { return Channel(390, false); }},
      {kBmpSeekChannelActive, [] { return Channel(390, true); }},
      {kBmpLevelChannel, [] { return Channel(81, false); }},
      {kBmpLevelChannelActive, [] { return Channel(81, true); }},
      {kBmpThumb, [] { return Thumb(); }},

      {kBmpBackground, [] { return Background(); }},
  };
  return makers;
}

}  // namespace

wxBitmap LoadSkinBitmap(int id) {
  // The cache is not locked: pictures belong to the GUI thread. Pictures with words are drawn in
  // the interface's language, so each language has its own.
  if (!wxIsMainThread()) return wxBitmap();
  static auto& cache = *new std::map<std::pair<int, std::uint16_t>, wxBitmap>;
  const std::pair<int, std::uint16_t> key{id, InterfaceLanguage()};
  const auto cached = cache.find(key);
  if (cached != cache.end()) return cached->second;
  const auto& makers = Makers();
  const auto maker = makers.find(id);
  if (maker == makers.end()) return wxBitmap();
  wxBitmap bitmap = maker->second();
  if (bitmap.IsOk()) cache.emplace(key, bitmap);
  return bitmap;
}

void DrawSecondPaneCaption(wxDC& dc, const wxString& text) {
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::CreateFromUnknownDC(dc));
  if (!gc) return;
  gc->SetFont(SansFont(9, true), kLabel);
  double w = 0, h = 0;
  gc->GetTextExtent("SECOND VIEW", &w, &h);
  gc->DrawText(text, std::round(kSmallPane.x + 2 + w + 8), kSmallPane.y - 17);
}

const std::vector<int>& SkinBitmapIds() {
  static const auto& ids = *new std::vector<int>([] {
    std::vector<int> all;
    for (const auto& [id, maker] : Makers()) all.push_back(id);
    return all;
  }());
  return ids;
}

namespace {

// The icon sizes a window manager asks for; only these are kept once drawn.
constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

}  // namespace

wxBitmap LoadAppIconBitmap(int size) {
  if (size < 8 || size > 1024 || !wxIsMainThread()) return wxBitmap();
  static auto& cache = *new std::map<int, wxBitmap>;
  const auto cached = cache.find(size);
  if (cached != cache.end()) return cached->second;
  wxBitmap bitmap(DrawAppIcon(size), 32);
  if (bitmap.IsOk() && std::ranges::find(kIconSizes, size) != std::end(kIconSizes)) {
    cache.emplace(size, bitmap);
  }
  return bitmap;
}

wxIcon LoadAppIcon() {
  wxIcon icon;
  const wxBitmap bitmap = LoadAppIconBitmap(48);
  if (bitmap.IsOk()) icon.CopyFromBitmap(bitmap);
  return icon;
}

wxIconBundle LoadAppIconBundle() {
  wxIconBundle bundle;
  for (int size : kIconSizes) {
    const wxBitmap bitmap = LoadAppIconBitmap(size);
    if (!bitmap.IsOk()) continue;
    wxIcon icon;
    icon.CopyFromBitmap(bitmap);
    bundle.AddIcon(icon);
  }
  return bundle;
}
