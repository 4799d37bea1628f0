// SPDX-License-Identifier: GPL-3.0-or-later
// Reads JPEG pictures back for tests, with TurboJPEG's decoder: colour as BGR, greyscale as one
// channel, rows packed. Shared by the tests of every folder; a test program using it links
// PkgConfig::TURBOJPEG.
#pragma once

#include <turbojpeg.h>

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace roadeye_test {

struct JpegPicture {
  int width = 0;
  int height = 0;
  int channels = 0;  // 3 (BGR) or 1 (grey); 0 when nothing was decoded
  std::vector<unsigned char> pixels;

  bool ok() const { return channels > 0; }
  const unsigned char* At(int x, int y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * channels;
  }
  // The mean of every sample in the w x h rectangle at (x, y), all channels together.
  double Mean(int x, int y, int w, int h) const {
    double sum = 0;
    for (int row = y; row < y + h; ++row) {
      for (int i = 0; i < w * channels; ++i) sum += At(x, row)[i];
    }
    return w > 0 && h > 0 ? sum / (double(w) * h * channels) : 0;
  }
};

inline JpegPicture DecodeJpeg(const std::vector<unsigned char>& bytes) {
  JpegPicture picture;
  tjhandle decoder = tjInitDecompress();
  if (decoder == nullptr) return picture;
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (!bytes.empty() &&
      tjDecompressHeader3(decoder, bytes.data(), static_cast<unsigned long>(bytes.size()), &width,
                          &height, &subsampling, &colourspace) == 0) {
    const bool grey = colourspace == TJCS_GRAY;
    const int channels = grey ? 1 : 3;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * channels);
    if (tjDecompress2(decoder, bytes.data(), static_cast<unsigned long>(bytes.size()),
                      pixels.data(), width, width * channels, height, grey ? TJPF_GRAY : TJPF_BGR,
                      0) == 0) {
      picture.width = width;
      picture.height = height;
      picture.channels = channels;
      picture.pixels = std::move(pixels);
    }
  }
  tjDestroy(decoder);
  return picture;
}

inline std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
}

inline JpegPicture DecodeJpegFile(const std::string& path) {
  return DecodeJpeg(ReadFileBytes(path));
}

}  // namespace roadeye_test
