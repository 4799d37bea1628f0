// SPDX-License-Identifier: GPL-3.0-or-later
// The picture decoder as the engine drives it, on damaged pictures: the input's first byte picks
// the camera and the surfaces' sizes, the rest is an H.264 stream cut into pictures the way the
// camera writes them (a key picture: parameter sets and its slice; any other: one slice). Every
// picture is decoded and shown; a picture that is shown must be whole (its size and rows as
// given, every byte readable).
#include <cstdint>
#include <vector>

#include "playback/CDecoder.h"
#include "playback/VideoSurface.h"
#include "support/Diag.h"

namespace {

class CheckingSurface : public VideoSurface {
 public:
  CheckingSurface(int width, int height) : width_(width), height_(height) {}
  void GetSize(int* width, int* height) const override {
    *width = width_;
    *height = height_;
  }
  void Present(const unsigned char* rgb, int width, int height, int stride) override {
    if (rgb == nullptr || width <= 0 || height <= 0 || stride < width * 3) __builtin_trap();
    unsigned sum = 0;
    for (int y = 0; y < height; ++y) {
      const unsigned char* row = rgb + std::ptrdiff_t(y) * stride;
      for (int x = 0; x < width * 3; ++x) sum += row[x];
    }
    checksum_ += sum;
  }

 private:
  int width_, height_;
  unsigned checksum_ = 0;
};

// Offsets of the start codes (00 00 01, with a zero before it when there is one) and the NAL type
// after each.
struct Unit {
  std::size_t start;
  int type;
};
std::vector<Unit> Units(const std::uint8_t* d, std::size_t n) {
  std::vector<Unit> units;
  for (std::size_t i = 0; i + 3 < n; ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      units.push_back({i > 0 && d[i - 1] == 0 ? i - 1 : i, d[i + 3] & 0x1F});
      i += 2;
    }
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (DiagSetOutput(nullptr), true);
  (void)quiet;
  if (size < 2) return 0;
  const int channel = data[0] & 1;
  const bool draw = (data[0] & 2) == 0;
  // Surfaces from 1x1 to 256x144, and hidden ones (0x0).
  const int sizes[4][2] = {{64, 36}, {1, 1}, {256, 144}, {0, 0}};
  const int* s = sizes[(data[0] >> 2) & 3];
  CheckingSurface surface(s[0], s[1]);
  // One thread, or two frame threads with each picture's successor named first as the engine
  // does (or, with the top bit, never named: every picture drained and its block replayed).
  const bool frameThreads = (data[0] & 0x40) != 0;
  const bool nameAhead = (data[0] & 0x80) == 0;
  CDecoder decoder;
  decoder.SetThreads(frameThreads ? 2 : 1);
  // An odd-length input decodes under the size rule (pictures up to 64x64 on one thread, larger
  // ones with the threads, the count changed at key pictures as their parameter sets say); an
  // even-length one with the threads at every size.
  decoder.SetFrameThreadsAbove((size & 1) != 0 ? 64 * 64 : 0);
  if (!decoder.Init()) return 0;
  decoder.SetFlipMode(channel, (data[0] >> 4) & 3);
  const std::uint8_t* stream = data + 1;
  const std::size_t n = size - 1;
  const std::vector<Unit> units = Units(stream, n);
  // A picture starts at parameter sets, or at a slice not following parameter sets.
  std::vector<std::size_t> starts;
  int previous = -1;
  for (const Unit& u : units) {
    const bool slice = u.type == 1 || u.type == 5;
    const bool opens = u.type == 7 || (slice && previous != 7 && previous != 8 && previous != 6);
    if (opens) starts.push_back(u.start);
    previous = u.type;
  }
  starts.push_back(n);
  auto at = [&](std::size_t i) { return reinterpret_cast<const char*>(stream + starts[i]); };
  auto length = [&](std::size_t i) { return int(starts[i + 1] - starts[i]); };
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    if (length(i) <= 0) continue;
    if (nameAhead && i + 2 < starts.size()) decoder.DecodeAhead(channel, at(i + 1), length(i + 1));
    decoder.DecodeAndShow(channel, &surface, at(i), length(i), draw);
  }
  decoder.Redraw(channel, &surface);
  decoder.Release();
  return 0;
}
