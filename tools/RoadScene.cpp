// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RoadScene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "tools/CardWriter.h"
#include "tools/Rng.h"

namespace tools {

namespace {

constexpr double kPi = std::numbers::pi;

// The whole-second mark in the front picture: a square in the top-right corner.
constexpr int kFlashSide = 96;
constexpr std::uint8_t kFlashLuma = 235;
constexpr std::uint8_t kDarkLuma = 16;

// A colour: luma and the two chroma values.
struct Yuv {
  std::uint8_t y, u, v;
};

void FillRect(const Picture& p, int x, int y, int w, int h, Yuv c) {
  int x0 = std::max(x, 0), y0 = std::max(y, 0);
  int x1 = std::min(x + w, p.width), y1 = std::min(y + h, p.height);
  if (x0 >= x1 || y0 >= y1) return;
  for (int r = y0; r < y1; ++r) std::memset(p.plane[0] + r * p.stride[0] + x0, c.y, x1 - x0);
  int cx0 = x0 / 2, cx1 = (x1 + 1) / 2, cy0 = y0 / 2, cy1 = (y1 + 1) / 2;
  for (int r = cy0; r < cy1; ++r) {
    std::memset(p.plane[1] + r * p.stride[1] + cx0, c.u, cx1 - cx0);
    std::memset(p.plane[2] + r * p.stride[2] + cx0, c.v, cx1 - cx0);
  }
}

// Block digits: 3x5 cells per glyph, one row per entry, the top bit on the left.
struct Glyph {
  char c;
  std::uint8_t rows[5];
};
constexpr Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 2, 2, 2}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'.', {0, 0, 0, 0, 2}}, {':', {0, 2, 0, 2, 0}},
    {'/', {1, 1, 2, 4, 4}}, {'-', {0, 0, 7, 0, 0}}, {'F', {7, 4, 6, 4, 4}}, {'R', {6, 5, 6, 5, 5}},
    {'K', {5, 5, 6, 5, 5}}, {'M', {5, 7, 7, 5, 5}}, {'H', {5, 5, 7, 5, 5}},
};

// Draws text in block glyphs of `scale` pixels per cell, 4 cells a character, in `ink`; characters
// the font lacks are left blank.
void DrawGlyphs(const Picture& p, int x, int y, int scale, const std::string& text, Yuv ink) {
  const int advance = 4 * scale;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const Glyph* g = nullptr;
    for (const Glyph& f : kFont) {
      if (f.c == text[i]) g = &f;
    }
    if (!g) continue;
    int gx = x + int(i) * advance;
    for (int r = 0; r < 5; ++r) {
      for (int c = 0; c < 3; ++c) {
        if (g->rows[r] & (4 >> c)) FillRect(p, gx + c * scale, y + r * scale, scale, scale, ink);
      }
    }
  }
}

// Draws text in light block glyphs on a dark box; returns the box's width.
int DrawText(const Picture& p, int x, int y, int scale, const std::string& text) {
  int width = int(text.size()) * 4 * scale + scale;
  FillRect(p, x - scale, y - scale, width + scale, 7 * scale, {kDarkLuma, 128, 128});
  DrawGlyphs(p, x, y, scale, text, {220, 128, 128});
  return width;
}

// The number plate of the car ahead where PlateRect puts it: black border, white face, black text.
void DrawPlate(const Picture& p) {
  const PixelRect r = PlateRect(p.width, p.height);
  if (r.width <= 0) return;
  const int c = PlateCell(p.height);
  FillRect(p, r.x, r.y, r.width, r.height, {kDarkLuma, 128, 128});
  FillRect(p, r.x + c, r.y + c, r.width - 2 * c, r.height - 2 * c, {kFlashLuma, 128, 128});
  DrawGlyphs(p, r.x + 3 * c, r.y + 3 * c, c, kPlateText, {kDarkLuma, 128, 128});
}

}  // namespace

RoadScene::RoadScene(int width, int height, bool front, std::uint64_t seed, bool realistic)
    : width_(width), height_(height), front_(front) {
  Rng rng(seed);
  hillPhase_ = rng.Range(0, 2 * kPi);
  horizon_ = height * (front ? 42 : 46) / 100;
  if (realistic) {
    realistic_ = std::make_unique<RealisticScene>(width, height, front, front ? 42 : 46, seed);
  }
  scale_ = double(width) / 1280;
  for (int i = 0; i < 3; ++i) {
    int w = i == 0 ? width : width / 2, h = i == 0 ? height : height / 2;
    background_[i].assign(std::size_t(w) * h, 0);
  }
  Picture bg;
  for (int i = 0; i < 3; ++i) {
    bg.plane[i] = background_[i].data();
    bg.stride[i] = i == 0 ? width : width / 2;
  }
  bg.width = width;
  bg.height = height;
  DrawStill(bg);
}

void RoadScene::Draw(const Picture& p, int frame, double t, double metres, const std::string& clock,
                     int kmh, bool flash) const {
  if (realistic_) {
    realistic_->Draw(p.plane, p.stride, frame, metres);
  } else {
    for (int i = 0; i < 3; ++i) {
      int w = i == 0 ? width_ : width_ / 2, h = i == 0 ? height_ : height_ / 2;
      for (int r = 0; r < h; ++r) {
        std::memcpy(p.plane[i] + r * p.stride[i], background_[i].data() + std::size_t(r) * w, w);
      }
    }
    DrawLaneMarks(p, metres);
    DrawPosts(p, metres);
  }
  DrawVehicle(p, t);

  int cell = std::max(1, height_ / 180);
  int x = 4 * cell, y = height_ - 16 * cell;
  DrawText(p, x, y, cell, clock);
  char line[64];
  std::snprintf(line, sizeof line, "%c %05d  %d KM/H", front_ ? 'F' : 'R', frame, kmh);
  DrawText(p, x, y + 8 * cell, cell, line);

  if (ShowsFlash()) {
    int side = FlashSide();
    FillRect(p, width_ - side, 0, side, side, {flash ? kFlashLuma : kDarkLuma, 128, 128});
  }
}

int RoadScene::FlashSide() const { return std::min({kFlashSide, width_ / 4, height_ / 4}) & ~1; }

void RoadScene::DrawStill(const Picture& p) {
  for (int y = 0; y < horizon_; ++y) {
    double f = double(y) / horizon_;
    Yuv sky{std::uint8_t(110 + 85 * f), std::uint8_t(152 - 16 * f), std::uint8_t(110 + 12 * f)};
    if (!front_)
      sky = {std::uint8_t(100 + 80 * f), std::uint8_t(146 - 12 * f), std::uint8_t(118 + 8 * f)};
    FillRect(p, 0, y, width_, 1, sky);
  }
  // Hills on the horizon, in columns of 4 pixels.
  for (int x = 0; x < width_; x += 4) {
    double u = double(x) / width_;
    double h = height_ * (0.03 + 0.035 * (1 + std::sin(2 * kPi * u * 2.7 + hillPhase_)) *
                                     (0.6 + 0.4 * std::sin(2 * kPi * u * 7.1)));
    FillRect(p, x, horizon_ - int(h), 4, int(h), {78, 118, 122});
  }
  for (int y = horizon_; y < height_; ++y) {
    double d = RowFraction(y);
    FillRect(p, 0, y, width_, 1, {std::uint8_t(84 + 34 * d), 108, 116});
    int half = int(RoadHalfWidth(d));
    int cx = width_ / 2;
    FillRect(p, cx - half, y, 2 * half, 1, {std::uint8_t(70 + 26 * d), 127, 129});
    int line = std::max(1, int(12 * scale_ * d));
    FillRect(p, cx - half, y, line, 1, {196, 128, 128});
    FillRect(p, cx + half - line, y, line, 1, {196, 128, 128});
  }
}

// The dashed centre line: 3 m of paint every 9 m, moving towards the camera.
void RoadScene::DrawLaneMarks(const Picture& p, double metres) const {
  for (int y = horizon_ + 2; y < height_; ++y) {
    double d = RowFraction(y);
    double depth = 3.0 / d;
    double phase = std::fmod(depth + (front_ ? metres : -metres), 9.0);
    if (phase < 0) phase += 9;
    if (phase >= 3) continue;
    int w = std::max(1, int(14 * scale_ * d));
    FillRect(p, width_ / 2 - w / 2, y, w, 1, {205, 126, 134});
  }
}

// Posts along both sides of the road every 25 m.
void RoadScene::DrawPosts(const Picture& p, double metres) const {
  double shift = std::fmod(metres, 25.0);
  for (int k = 0; k < 6; ++k) {
    double depth = front_ ? 25.0 * k + 25 - shift : 25.0 * k + shift;
    if (depth < 3) continue;
    double d = 3.0 / depth;
    int y = horizon_ + int(d * (height_ - horizon_));
    int h = int(height_ * 0.45 * d), w = std::max(2, int(24 * scale_ * d));
    int off = int(RoadHalfWidth(d) + 90 * scale_ * d);
    FillRect(p, width_ / 2 - off - w, y - h, w, h, {150, 124, 136});
    FillRect(p, width_ / 2 + off, y - h, w, h, {150, 124, 136});
    FillRect(p, width_ / 2 - off - w, y - h, w, std::max(1, h / 8), {90, 120, 200});
    FillRect(p, width_ / 2 + off, y - h, w, std::max(1, h / 8), {90, 120, 200});
  }
}

// The car ahead of us (front) stands still in its lane, 11 m away, with its number plate, so
// that its fine detail is always in the same place; the car following us (rear) drifts in its
// lane.
void RoadScene::DrawVehicle(const Picture& p, double t) const {
  if (front_) {
    const PixelRect car = AheadCarRect(width_, height_);
    DrawCar(p, car.x + car.width / 2, car.y + car.height, car.width / 2, car.height);
    DrawPlate(p);
    return;
  }
  double depth = 11 + 4 * std::sin(t / 7 + hillPhase_);
  double d = 3.0 / depth;
  int bottom = horizon_ + int(d * (height_ - horizon_));
  int half = int(RoadHalfWidth(d) * 0.42);
  int cx = width_ / 2 + int(RoadHalfWidth(d) * (0.3 * std::sin(t / 5) - 0.45));
  DrawCar(p, cx, bottom, half, int(half * 1.2));
}

// A car's back seen from behind: body, rear window, lamps and bumper; centred at cx, its bottom
// at row `bottom`, `half` its half width and h its height.
void RoadScene::DrawCar(const Picture& p, int cx, int bottom, int half, int h) const {
  FillRect(p, cx - half, bottom - h, 2 * half, h, {48, 140, 122});
  FillRect(p, cx - half * 3 / 4, bottom - h, half * 3 / 2, h / 3, {28, 130, 126});
  int lamp = std::max(2, half / 5);
  Yuv light = front_ ? Yuv{82, 96, 210} : Yuv{230, 124, 132};
  FillRect(p, cx - half + lamp / 2, bottom - h / 2, lamp, lamp / 2 + 1, light);
  FillRect(p, cx + half - lamp * 3 / 2, bottom - h / 2, lamp, lamp / 2 + 1, light);
  FillRect(p, cx - half, bottom - h / 8, 2 * half, h / 8, {20, 128, 128});
}

}  // namespace tools
