// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RealisticScene.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "tools/Rng.h"

namespace tools {

namespace {

constexpr double kPi = std::numbers::pi;

// The road as the camera sees it, in metres: half the road's width, the distance of the foliage
// from the middle of the road and the height of the camera. The painted lines are 0.15 m wide,
// the dashes in the middle 3 m long every 9 m.
constexpr double kRoadHalf = 3.5;
constexpr double kWall = 9;
constexpr double kLine = 0.15;
constexpr double kDash = 3, kDashPeriod = 9;
// Texels per metre of the road's and of the foliage's texture, and how far the view reaches.
constexpr double kGroundTexels = 60;
constexpr double kFoliageTexels = 24;
constexpr double kFarthest = 400;
// Texture coordinates are shifted by this many texels (a multiple of every texture's size) so
// that they stay positive.
constexpr double kTexelBias = double(1 << 30);
constexpr int kTextureSize = 512;
constexpr int kGrainSize = 1 << 16;

// Smoothly interpolated value noise of period `cells` cells across a size x size tile that wraps.
void AddValueNoise(Rng* rng, int size, int cells, double amplitude, std::vector<double>* out) {
  std::vector<double> lattice(std::size_t(cells) * cells);
  for (double& v : lattice) v = rng->Range(-1, 1);
  const double step = double(cells) / size;
  for (int y = 0; y < size; ++y) {
    double fy = y * step;
    int y0 = int(fy);
    double ty = fy - y0;
    ty = ty * ty * (3 - 2 * ty);
    int y1 = (y0 + 1) % cells;
    for (int x = 0; x < size; ++x) {
      double fx = x * step;
      int x0 = int(fx);
      double tx = fx - x0;
      tx = tx * tx * (3 - 2 * tx);
      int x1 = (x0 + 1) % cells;
      double a = lattice[std::size_t(y0) * cells + x0], b = lattice[std::size_t(y0) * cells + x1];
      double c = lattice[std::size_t(y1) * cells + x0], d = lattice[std::size_t(y1) * cells + x1];
      double top = a + (b - a) * tx, bottom = c + (d - c) * tx;
      (*out)[std::size_t(y) * size + x] += amplitude * (top + (bottom - top) * ty);
    }
  }
}

}  // namespace

RealisticScene::Texture RealisticScene::MakeTexture(std::uint64_t seed, int size, bool foliage) {
  Rng rng(seed);
  std::vector<double> v(std::size_t(size) * size, 0.0);
  if (foliage) {
    // Leaves: value noise at a few octaves, the fine ones strong.
    AddValueNoise(&rng, size, 8, 0.45, &v);
    AddValueNoise(&rng, size, 32, 0.5, &v);
    AddValueNoise(&rng, size, 128, 0.55, &v);
    AddValueNoise(&rng, size, 256, 0.35, &v);
  } else {
    // Asphalt and gravel: grain at the texel, over patches of wear.
    AddValueNoise(&rng, size, 4, 0.25, &v);
    AddValueNoise(&rng, size, 32, 0.2, &v);
    for (double& x : v) x += rng.Range(-0.55, 0.55);
  }
  Texture t;
  t.size = size;
  std::vector<std::uint8_t> base(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    base[i] = std::uint8_t(std::clamp(128 + 100 * v[i], 0.0, 255.0));
  }
  t.levels.push_back(std::move(base));
  for (int s = size / 2; s >= 4; s /= 2) {
    const std::vector<std::uint8_t>& up = t.levels.back();
    std::vector<std::uint8_t> down(std::size_t(s) * s);
    for (int y = 0; y < s; ++y) {
      for (int x = 0; x < s; ++x) {
        const std::size_t i = std::size_t(2 * y) * (2 * s) + 2 * x;
        down[std::size_t(y) * s + x] =
            std::uint8_t((up[i] + up[i + 1] + up[i + 2 * s] + up[i + 2 * s + 1] + 2) / 4);
      }
    }
    t.levels.push_back(std::move(down));
  }
  return t;
}

RealisticScene::RealisticScene(int width, int height, bool front, int horizonPercent,
                               std::uint64_t seed)
    : width_(width), height_(height), front_(front), seed_(seed) {
  horizon_ = height * horizonPercent / 100.0;
  focal_ = 0.5 * width;
  // The bottom row shows the road 3 m ahead.
  cameraHeight_ = 3 * (height - horizon_) / focal_;
  Rng rng(seed * 6364136223846793005ull + 1442695040888963407ull);
  for (double& p : shakePhase_) p = rng.Range(0, 2 * kPi);
  ground_ = MakeTexture(rng.Next(), kTextureSize, false);
  foliage_ = MakeTexture(rng.Next(), kTextureSize, true);
  grain_.resize(kGrainSize);
  for (std::int8_t& g : grain_) g = std::int8_t(rng.Int(-2, 2) + rng.Int(-1, 1));
  kinds_.assign(std::size_t(width) * height, kSky);
}

void RealisticScene::Draw(std::uint8_t* const plane[3], const int stride[3], int frame,
                          double metres) {
  const double t = frame / 30.0;
  // The shake: a few smooth wobbles and a jolt of the road each picture, about a pixel for every
  // 720 lines of the picture.
  const double amp = height_ / 720.0;
  Rng rng(seed_ * 0x9E3779B97F4A7C15ull + std::uint64_t(frame) * 0xD1B54A32D192ED03ull + 7);
  const double sx = amp * (0.8 * std::sin(t * 5.3 + shakePhase_[0]) +
                           0.4 * std::sin(t * 13.1 + shakePhase_[1]) + rng.Range(-0.3, 0.3));
  const double sy = amp * (1.0 * std::sin(t * 7.7 + shakePhase_[2]) +
                           0.5 * std::sin(t * 17.9 + shakePhase_[3]) + rng.Range(-0.4, 0.4));
  const double cx = width_ / 2.0 + sx;
  const double hz = horizon_ + sy;
  const double travelled = front_ ? metres : -metres;
  const int w = width_, h = height_;

  // Per column: where the foliage wall stands, how its texture runs and where its top is.
  struct Column {
    double base, step;  // foliage texel row: base - step * (y - hz)
    long long u;        // foliage texel column at the column's level
    int level;
    double top;  // first row of the foliage
  };
  std::vector<Column> cols(static_cast<std::size_t>(w));
  const int foliageLevels = int(foliage_.levels.size());
  for (int x = 0; x < w; ++x) {
    const double adx = std::max(std::abs(x + 0.5 - cx), 0.5);
    const double z = std::min(focal_ * kWall / adx, kFarthest);
    const double along = z + travelled;
    const double footprint = std::max(z / adx * kFoliageTexels, z / focal_ * kFoliageTexels);
    int level = footprint > 1 ? int(std::ceil(std::log2(footprint))) : 0;
    level = std::min(level, foliageLevels - 1);
    Column& c = cols[std::size_t(x)];
    c.level = level;
    c.u = (long long)(along * kFoliageTexels + kTexelBias) >> level;
    c.base = (cameraHeight_ * kFoliageTexels + kTexelBias) / (1 << level);
    c.step = z / focal_ * kFoliageTexels / (1 << level);
    const double treeTop =
        6.5 + 2.5 * std::sin(along * 0.31 + shakePhase_[0]) * std::sin(along * 0.093);
    c.top = hz - focal_ * (treeTop - cameraHeight_) / z;
  }

  std::uint8_t* Y = plane[0];
  const int groundLevels = int(ground_.levels.size());
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = Y + std::size_t(y) * stride[0];
    std::uint8_t* kind = kinds_.data() + std::size_t(y) * w;
    const double dy = y + 0.5 - hz;
    auto foliageAt = [&](int x) {
      const Column& c = cols[std::size_t(x)];
      const int size = foliage_.size >> c.level, mask = size - 1;
      const long long v = (long long)(c.base - c.step * dy);
      const std::uint8_t tex =
          foliage_.levels[std::size_t(c.level)][std::size_t(v & mask) * size + (c.u & mask)];
      return std::uint8_t(20 + tex * 3 / 8);
    };
    if (dy <= 0.5) {
      const double f = std::clamp((y - hz + horizon_) / horizon_, 0.0, 1.0);
      const std::uint8_t sky = std::uint8_t(125 + 85 * f);
      for (int x = 0; x < w; ++x) {
        if (y >= cols[std::size_t(x)].top) {
          row[x] = foliageAt(x);
          kind[x] = kFoliage;
        } else {
          row[x] = sky;
          kind[x] = kSky;
        }
      }
      continue;
    }
    const double z = std::min(focal_ * cameraHeight_ / dy, kFarthest);
    const double perPixel = z / focal_;  // metres across the road per pixel
    const double footprint = std::max(perPixel, z / dy) * kGroundTexels;
    int level = footprint > 1 ? int(std::ceil(std::log2(footprint))) : 0;
    level = std::min(level, groundLevels - 1);
    const int size = ground_.size >> level, mask = size - 1;
    const std::uint8_t* tex = ground_.levels[std::size_t(level)].data();
    const double along = z + travelled;
    const std::uint8_t* texRow =
        tex + std::size_t((long long)(along * kGroundTexels + kTexelBias) >> level & mask) * size;
    double dash = std::fmod(along, kDashPeriod);
    if (dash < 0) dash += kDashPeriod;
    const bool dashHere = dash < kDash;
    const double uScale = perPixel * kGroundTexels / (1 << level);
    const double uBias = kTexelBias / (1 << level);
    // Distance haze: the road's contrast fades and brightens towards the horizon.
    const int haze = int(std::min(1.0, z / 150) * 60);
    for (int x = 0; x < w; ++x) {
      const double across = (x + 0.5 - cx) * perPixel;
      const double a = std::abs(across);
      if (a >= kWall) {
        row[x] = foliageAt(x);
        kind[x] = kFoliage;
        continue;
      }
      const int texel = texRow[(long long)((x + 0.5 - cx) * uScale + uBias) & mask];
      if (a > kRoadHalf) {
        row[x] = std::uint8_t(55 + haze + texel * 3 / 8);
        kind[x] = kVerge;
      } else if (a > kRoadHalf - kLine || (dashHere && a < kLine / 2)) {
        row[x] = std::uint8_t(std::min(235, 150 + haze / 2 + texel / 4));
        kind[x] = kPaint;
      } else {
        row[x] = std::uint8_t(50 + haze + texel / 4);
        kind[x] = kRoad;
      }
    }
  }

  // Fresh sensor grain: a slice of the grain table, a different one each row and picture.
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = Y + std::size_t(y) * stride[0];
    const std::size_t from = std::size_t(rng.Next() % (kGrainSize - w % kGrainSize));
    const std::int8_t* g = grain_.data() + from;
    const int n = std::min(w, kGrainSize);
    for (int x = 0; x < n; ++x) row[x] = std::uint8_t(std::clamp(row[x] + g[x], 16, 235));
  }

  // Colour, from what each pixel shows and how bright it is.
  for (int y = 0; y < h / 2; ++y) {
    std::uint8_t* u = plane[1] + std::size_t(y) * stride[1];
    std::uint8_t* v = plane[2] + std::size_t(y) * stride[2];
    const std::uint8_t* kind = kinds_.data() + std::size_t(2 * y) * w;
    const std::uint8_t* luma = Y + std::size_t(2 * y) * stride[0];
    const int skyU = 150 - 16 * (2 * y) / std::max(1, int(horizon_));
    for (int x = 0; x < w / 2; ++x) {
      const int l = luma[2 * x];
      switch (kind[2 * x]) {
        case kSky:
          u[x] = std::uint8_t(std::clamp(skyU, 128, 160));
          v[x] = 114;
          break;
        case kFoliage:
          u[x] = std::uint8_t(96 + l / 10);
          v[x] = std::uint8_t(104 + l / 12);
          break;
        case kVerge:
          u[x] = std::uint8_t(104 + l / 16);
          v[x] = std::uint8_t(122 + l / 20);
          break;
        case kPaint:
          u[x] = 126;
          v[x] = 130;
          break;
        default:
          u[x] = std::uint8_t(125 + (l & 3));
          v[x] = 129;
          break;
      }
    }
  }
}

}  // namespace tools
