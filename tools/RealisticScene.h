// SPDX-License-Identifier: GPL-3.0-or-later
// The road of a --realistic card: what a camera sees of a real road, so that the pictures cost an
// encoder and a decoder what a camera's own do. A textured road and verges that scroll towards the
// camera with the distance driven (seen in perspective, the distance blurred), walls of foliage on
// both sides whose detail runs outwards faster the nearer the picture's edge, a sky gradient, lane
// marks, a small shake of the whole picture and a little fresh sensor grain in every picture. The
// same seed gives the same pictures.
#pragma once

#include <cstdint>
#include <vector>

namespace tools {

class RealisticScene {
 public:
  // A front (windscreen) or rear (rear window) view of width x height pixels, horizonPercent of
  // the height down from the top.
  RealisticScene(int width, int height, bool front, int horizonPercent, std::uint64_t seed);

  // Draws the whole picture at `frame`, the car having travelled `metres`, into the planes of a
  // YUV 4:2:0 picture (luma, then the two chroma planes at half the width and height).
  void Draw(std::uint8_t* const plane[3], const int stride[3], int frame, double metres);

 private:
  struct Texture {
    // Levels of detail: level 0 is size x size texels, each next one half as wide, averaged.
    std::vector<std::vector<std::uint8_t>> levels;
    int size = 0;
  };
  static Texture MakeTexture(std::uint64_t seed, int size, bool foliage);

  // What a pixel shows; the chroma pass colours it.
  enum Kind : std::uint8_t { kSky, kFoliage, kVerge, kRoad, kPaint };

  int width_, height_;
  bool front_;
  double horizon_;
  double focal_;  // pixels per metre at a depth of 1 m
  double cameraHeight_;
  std::uint64_t seed_;
  double shakePhase_[4] = {};
  Texture ground_, foliage_;
  std::vector<std::int8_t> grain_;
  std::vector<std::uint8_t> kinds_;  // one per pixel of the picture being drawn
};

}  // namespace tools
