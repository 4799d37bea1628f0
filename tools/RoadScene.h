// SPDX-License-Identifier: GPL-3.0-or-later
// The pictures of the sample cards: a road seen from the windscreen (front) or the rear window,
// with the car ahead or behind, the camera's clock and speed burnt in, and, in the front picture,
// the whole-second mark and the car ahead's number plate where CardWriter.h says they are. The
// plain scene is drawn here; a --realistic card's road, verges and sky come from RealisticScene.h.
// Each recording's thread makes and draws its own scenes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/Picture.h"
#include "tools/RealisticScene.h"

namespace tools {

// The still part (sky, hills, verge, road and its edges) is drawn once; each picture copies it and
// adds what moves.
class RoadScene {
 public:
  // realistic: the road, verges, foliage and sky of a RealisticScene instead of the plain ones.
  RoadScene(int width, int height, bool front, std::uint64_t seed, bool realistic = false);
  // A camera other than the front one draws the whole-second mark as well.
  void ShowFlash(bool show) { flash_ = show; }
  bool ShowsFlash() const { return front_ || flash_; }

  // Draws the picture at `frame` (`t` seconds in), the car having travelled `metres`; `clock`
  // and `kmh` are burnt in, and flash lights the whole-second mark of a front picture.
  void Draw(const Picture& p, int frame, double t, double metres, const std::string& clock, int kmh,
            bool flash) const;

  // The side of the whole-second mark in the top-right corner of a front picture, pixels.
  int FlashSide() const;

 private:
  // How far a row lies below the horizon: 0 at the horizon, 1 at the bottom edge. The road seen
  // in a row at fraction d is 3/d metres away.
  double RowFraction(int y) const { return double(y - horizon_) / (height_ - horizon_); }
  // Half the road's width in pixels at row fraction d.
  double RoadHalfWidth(double d) const { return width_ * (0.015 + 0.5 * d); }

  void DrawStill(const Picture& p);
  void DrawLaneMarks(const Picture& p, double metres) const;
  void DrawPosts(const Picture& p, double metres) const;
  void DrawVehicle(const Picture& p, double t) const;
  void DrawCar(const Picture& p, int cx, int bottom, int half, int h) const;

  int width_, height_;
  bool front_;
  bool flash_ = false;
  int horizon_ = 0;
  double scale_ = 1;
  double hillPhase_ = 0;
  std::vector<std::uint8_t> background_[3];
  std::unique_ptr<RealisticScene> realistic_;
};

}  // namespace tools
