// SPDX-License-Identifier: GPL-3.0-or-later
// Builds AVI recordings byte by byte in the clip writer's layout, for the reader's tests: the
// header list (main header, video, sound and text stream lists), the movie list with one chunk
// per packet and the index. It notes where every chunk header and every size field landed, so
// that tests can check offsets and damage the file on purpose.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/testing/TempDir.h"

namespace avitest {

using Bytes = std::vector<std::uint8_t>;

class AviBuilder {
 public:
  // Stream numbers as the writer numbers them: 0 front, 1 rear, 2 sound, 3 text.
  bool twoCameras = true;
  bool audio = true;
  int width[2] = {1280, 640};
  int height[2] = {720, 480};
  int frameRate[2] = {30, 15};
  int sampleRate = 8000;
  // The size fields written for the first video stream's header and format and for the sound
  // format; the bodies stay 56, 40 and 16 bytes long whatever these say.
  std::uint32_t videoStrhSize = 56;
  std::uint32_t videoStrfSize = 40;
  std::uint32_t audioStrhSize = 56;
  std::uint32_t audioStrfSize = 16;
  bool writeIndex = true;

  // Appends a packet of one of the writer's streams, tagged as the writer tags it.
  void Add(int stream, const Bytes& payload) { AddTagged(TagOf(stream), payload); }
  // Appends a chunk with any tag.
  void AddTagged(const std::string& tag, const Bytes& payload) {
    chunks_.push_back({tag, payload});
  }

  std::string TagOf(int stream) const {
    static const char* const two[] = {"00dc", "01dc", "02wb", "03tx"};
    static const char* const one[] = {"00dc", "00dc", "01wb", "02tx"};
    return (twoCameras ? two : one)[stream & 3];
  }

  Bytes Build() {
    out_.clear();
    sizeFields_.clear();
    chunkOffsets_.clear();
    const std::uint32_t n = std::uint32_t(chunks_.size());
    std::uint32_t payloadBytes = 0;
    for (const auto& c : chunks_) payloadBytes += Rounded(c.payload.size());

    Id("RIFF");
    const std::size_t riffSizeAt = Size(0);
    Id("AVI ");

    const std::uint32_t h = (twoCameras ? 404 : 280) + (audio ? 100 : 0);
    Id("LIST");
    Size(h - 4);
    Id("hdrl");
    Id("avih");
    Size(56);
    // Microseconds per frame, bytes per second, padding, flags (index, interleaved), frames,
    // initial frames, streams, buffer size, width, height, four reserved words.
    U32s({0, 0, 0, 0x110, n, 0, 4, 0, std::uint32_t(width[0]), std::uint32_t(height[0]), 0, 0, 0,
          0});

    VideoList(0, videoStrhSize, videoStrfSize);
    if (twoCameras) VideoList(1, 56, 40);
    if (audio) {
      Id("LIST");
      Size(92);
      Id("strl");
      Id("strh");
      Size(audioStrhSize);
      Id("auds");
      // Handler, flags, priority and language, initial frames, scale 2, rate, start, length,
      // buffer size, quality, sample size 2, rectangle.
      U32s({0, 0, 0, 0, 2, std::uint32_t(sampleRate) * 2, 0, 0, 2000, 0, 2, 0, 0});
      Id("strf");
      Size(audioStrfSize);
      U16(1);  // PCM
      U16(1);  // one channel
      U32s({std::uint32_t(sampleRate), std::uint32_t(sampleRate) * 2});
      U16(2);
      U16(16);
    }
    Id("LIST");
    Size(76);
    Id("strl");
    Id("strh");
    Size(56);
    Id("txts");
    Id("XBLB");
    U32s({0, 0, 0, 1000, 100000, 0, 1, 0, 0, 0, 0, 0});
    Id("strf");
    Size(0);

    Id("LIST");
    Size(payloadBytes + 8 * n + 4);
    movieType_ = out_.size();
    Id("movi");
    std::vector<std::uint32_t> indexOffsets;
    for (const auto& c : chunks_) {
      chunkOffsets_.push_back(std::uint32_t(out_.size()));
      indexOffsets.push_back(std::uint32_t(out_.size() - movieType_));
      Id(c.tag.c_str());
      Size(std::uint32_t(c.payload.size()));
      out_.insert(out_.end(), c.payload.begin(), c.payload.end());
      if (c.payload.size() % 2) out_.push_back(0);
    }
    if (writeIndex) {
      indexAt_ = out_.size();
      Id("idx1");
      Size(16 * n);
      for (std::size_t i = 0; i < chunks_.size(); ++i) {
        Id(chunks_[i].tag.c_str());
        U32(0x10);
        U32(indexOffsets[i]);
        U32(Rounded(chunks_[i].payload.size()));
      }
    }
    Put32(riffSizeAt, std::uint32_t(out_.size() - 8));
    return out_;
  }

  // Absolute offsets of the chunk headers, in the order the chunks were added.
  const std::vector<std::uint32_t>& ChunkOffsets() const { return chunkOffsets_; }
  // Absolute offsets of every 32-bit size field written.
  const std::vector<std::size_t>& SizeFields() const { return sizeFields_; }
  // Absolute offset of the movie list's type ("movi") and of the index chunk's header.
  std::size_t MovieType() const { return movieType_; }
  std::size_t IndexAt() const { return indexAt_; }
  // The movie list's size field as written.
  std::uint32_t MovieSize() const {
    std::uint32_t total = 4;
    for (const auto& c : chunks_) total += Rounded(c.payload.size()) + 8;
    return total;
  }
  std::vector<std::string> Tags() const {
    std::vector<std::string> t;
    for (const auto& c : chunks_) t.push_back(c.tag);
    return t;
  }

  static std::uint32_t Rounded(std::size_t n) { return std::uint32_t(n + (n & 1)); }

 private:
  struct Chunk {
    std::string tag;
    Bytes payload;
  };

  void VideoList(int s, std::uint32_t strhSize, std::uint32_t strfSize) {
    const auto w = std::uint32_t(width[s]), hgt = std::uint32_t(height[s]);
    Id("LIST");
    Size(116);
    Id("strl");
    Id("strh");
    Size(strhSize);
    Id("vids");
    Id("AVC1");
    // Flags, priority and language, initial frames, scale, rate, start, length, buffer size,
    // quality, sample size; then the frame rectangle in 16-bit values.
    U32s({0, 0, 0, 1000, std::uint32_t(frameRate[s]) * 1000, 0, 1, 0, 0, 0});
    U16(0);
    U16(0);
    U16(std::uint16_t(w));
    U16(std::uint16_t(hgt));
    Id("strf");
    Size(strfSize);
    U32s({40, w, hgt});
    U16(0);  // planes
    U16(0);  // bit count
    Id("AVC1");
    U32s({0, 0, 0, 0, 0});
  }

  void Id(const char* id) {
    for (int i = 0; i < 4; ++i) out_.push_back(std::uint8_t(id[i]));
  }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(std::uint8_t(v >> (8 * i)));
  }
  void U32s(std::initializer_list<std::uint32_t> values) {
    for (std::uint32_t v : values) U32(v);
  }
  void U16(std::uint16_t v) {
    out_.push_back(std::uint8_t(v));
    out_.push_back(std::uint8_t(v >> 8));
  }
  std::size_t Size(std::uint32_t v) {
    sizeFields_.push_back(out_.size());
    U32(v);
    return sizeFields_.back();
  }
  void Put32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_[at + i] = std::uint8_t(v >> (8 * i));
  }

  std::vector<Chunk> chunks_;
  Bytes out_;
  std::vector<std::size_t> sizeFields_;
  std::vector<std::uint32_t> chunkOffsets_;
  std::size_t movieType_ = 0;
  std::size_t indexAt_ = 0;
};

inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}

// A temporary folder for the tests' files, removed at the end of the test.
class TempDir : public roadeye_test::TempDir {
 public:
  TempDir() : roadeye_test::TempDir("avi") {}
  std::string Path(const std::string& name) const { return *this / name; }
  // Writes bytes to name in the folder and gives the file's path.
  std::string Write(const std::string& name, const Bytes& bytes) const {
    std::string path = Path(name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
      if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return path;
  }
};

}  // namespace avitest
