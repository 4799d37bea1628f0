// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "media/CAVIWriter.h"
#include "media/VFileSystem.h"
#include "support/testing/TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t Le32(const std::string& b, std::size_t at) {
  if (at + 4 > b.size()) return 0xDEADBEEF;
  return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
         std::uint32_t(std::uint8_t(b[at + 2])) << 16 |
         std::uint32_t(std::uint8_t(b[at + 3])) << 24;
}

std::string Tag(const std::string& b, std::size_t at) {
  return at + 4 <= b.size() ? b.substr(at, 4) : std::string();
}

using roadeye_test::TempDir;

// A file kept in memory. It stores the first `keep` bytes and only counts the rest, so that a
// clip of several GiB costs nothing, and it can be told to fail.
class MemFile final : public VFileSystem {
 public:
  explicit MemFile(std::int64_t keep = std::numeric_limits<std::int64_t>::max()) : keep_(keep) {}

  bool Open(const char* path, const char* mode) override {
    if (open_ || !path || std::strcmp(mode, "wb") != 0) return false;
    open_ = true;
    pos_ = 0;
    size_ = 0;
    accepted_ = 0;
    writeCalls_ = 0;
    bytes.clear();
    return true;
  }
  int Write(const void* data, int length) override {
    if (!open_ || length <= 0) return 0;
    ++writeCalls_;
    std::int64_t n = length;
    if (failCall != 0 && writeCalls_ == failCall) n = std::min<std::int64_t>(n, failPartial);
    if (failAfter >= 0)
      n = std::min<std::int64_t>(n, std::max<std::int64_t>(0, failAfter - accepted_));
    const std::int64_t storeEnd = std::min(pos_ + n, keep_);
    if (storeEnd > pos_) {
      if (std::int64_t(bytes.size()) < storeEnd) bytes.resize(std::size_t(storeEnd));
      std::memcpy(&bytes[std::size_t(pos_)], data, std::size_t(storeEnd - pos_));
    }
    pos_ += n;
    size_ = std::max(size_, pos_);
    accepted_ += n;
    return int(n);
  }
  void Close() override {
    if (open_) ++closes;
    open_ = false;
  }
  int Seek(int offset, int origin) override {
    if (!open_ || failSeek) return -1;
    const std::int64_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? pos_ : size_;
    if (base + offset < 0) return -1;
    pos_ = base + offset;
    return 0;
  }
  bool IsOpen() override { return open_; }

  std::int64_t size() const { return size_; }

  // Every write falls short once this many bytes have been accepted in all (-1: never).
  std::int64_t failAfter = -1;
  // The write call with this number (from 1, counted since Open) takes only failPartial bytes.
  int failCall = 0;
  int failPartial = 0;
  bool failSeek = false;

  std::string bytes;  // the first `keep` bytes of the file
  int closes = 0;

 private:
  std::int64_t keep_;
  bool open_ = false;
  std::int64_t pos_ = 0;
  std::int64_t size_ = 0;
  std::int64_t accepted_ = 0;
  int writeCalls_ = 0;
};

// The header as the layout describes it, built field by field for comparison.
struct HeaderModel {
  bool twoCameras = false;
  bool provisional = false;
  int width[2] = {0, 720};
  int height[2] = {0, 480};
  int fps[2] = {0, 15};
  int audioRate = 8000;
  std::int64_t count[4] = {};
  std::int64_t bytes[4] = {};  // rounded up to even, chunk by chunk
  // The sound chunks' payload bytes as given (not rounded); -1: bytes[2].
  std::int64_t soundBytes = -1;

  int H() const { return (twoCameras ? 404 : 280) + 100; }
  std::int64_t N() const { return count[0] + count[1] + count[2] + count[3]; }
  std::int64_t P() const { return bytes[0] + bytes[1] + bytes[2] + bytes[3]; }

  std::string Build() const {
    std::string s;
    auto tag = [&](const char* t) { s.append(t, 4); };
    auto u32 = [&](std::int64_t v) {
      for (int i = 0; i < 4; ++i) s.push_back(char(std::uint8_t(std::uint64_t(v) >> (8 * i))));
    };
    auto u16 = [&](std::int64_t v) {
      s.push_back(char(std::uint8_t(v)));
      s.push_back(char(std::uint8_t(v >> 8)));
    };
    tag("RIFF");
    if (provisional) {
      tag("0000");
    } else {
      u32(H() + 24 * N() + P() + 28);
    }
    tag("AVI ");
    tag("LIST");
    u32(H() - 4);
    tag("hdrl");
    tag("avih");
    u32(56);
    for (std::int64_t v : {0, 0, 0, 0x110}) u32(v);
    u32(provisional ? 0 : N());
    for (std::int64_t v : {0, 4, 0}) u32(v);
    u32(width[0]);
    u32(height[0]);
    for (int i = 0; i < 4; ++i) u32(0);
    for (int v = 0; v < (twoCameras ? 2 : 1); ++v) {
      const std::int64_t n = provisional ? 0 : count[v];
      const std::int64_t b = provisional ? 0 : bytes[v];
      tag("LIST");
      u32(116);
      tag("strl");
      tag("strh");
      u32(56);
      tag("vids");
      tag("AVC1");
      for (std::int64_t x : {0, 0, 0, 1000}) u32(x);
      u32(fps[v] * 1000);
      u32(0);
      u32(n == 0 ? 1 : n);
      u32(b / (n == 0 ? 1 : n));
      u32(0);
      u32(0);
      u16(0);
      u16(0);
      u16(width[v]);
      u16(height[v]);
      tag("strf");
      u32(40);
      u32(40);
      u32(width[v]);
      u32(height[v]);
      u16(0);
      u16(0);
      tag("AVC1");
      for (int i = 0; i < 5; ++i) u32(0);
    }
    {
      const std::int64_t samples =
          provisional ? 0 : (soundBytes < 0 ? bytes[2] : soundBytes) / 2;  // 16-bit mono
      tag("LIST");
      u32(92);
      tag("strl");
      tag("strh");
      u32(56);
      tag("auds");
      for (std::int64_t x : {0, 0, 0, 0, 2}) u32(x);
      u32(audioRate * 2);
      u32(0);
      u32(samples);
      u32(2000);
      u32(0);
      u32(2);
      u32(0);
      u32(0);
      tag("strf");
      u32(16);
      u16(1);
      u16(1);
      u32(audioRate);
      u32(audioRate * 2);
      u16(2);
      u16(16);
    }
    {
      const std::int64_t n = provisional ? 0 : count[3];
      const std::int64_t b = provisional ? 0 : bytes[3];
      tag("LIST");
      u32(76);
      tag("strl");
      tag("strh");
      u32(56);
      tag("txts");
      tag("XBLB");
      for (std::int64_t x : {0, 0, 0, 1000, 100000, 0}) u32(x);
      u32(n == 0 ? 1 : n);
      u32(b / (n == 0 ? 1 : n));
      for (int i = 0; i < 4; ++i) u32(0);
      tag("strf");
      u32(0);
    }
    tag("LIST");
    if (provisional) {
      tag("0000");
    } else {
      u32(P() + 8 * N() + 4);
    }
    tag("movi");
    return s;
  }
};

struct Chunk {
  std::string id;
  std::uint32_t size = 0;    // as the chunk header says
  std::uint32_t offset = 0;  // from the movie list's type
  std::string payload;
};

struct IndexEntry {
  std::string id;
  std::uint32_t flags = 0;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
};

struct ParsedClip {
  bool ok = false;
  std::string error;
  std::uint32_t riffSize = 0;
  std::uint32_t headerListSize = 0;
  std::size_t movi = 0;  // where the movie list's type "movi" is
  std::uint32_t movieSize = 0;
  std::vector<Chunk> chunks;
  std::vector<IndexEntry> index;
};

// Walks a finished clip: RIFF header, header list, movie list chunk by chunk, then the index.
ParsedClip Parse(const std::string& b) {
  ParsedClip c;
  auto fail = [&](const std::string& why) {
    c.error = why;
    return c;
  };
  if (Tag(b, 0) != "RIFF" || Tag(b, 8) != "AVI ") return fail("no RIFF AVI header");
  c.riffSize = Le32(b, 4);
  if (std::uint64_t(c.riffSize) + 8 != b.size()) return fail("RIFF size does not match the file");
  if (Tag(b, 12) != "LIST" || Tag(b, 20) != "hdrl") return fail("no header list");
  c.headerListSize = Le32(b, 16);
  const std::size_t movieList = 20 + std::size_t(c.headerListSize);
  if (Tag(b, movieList) != "LIST" || Tag(b, movieList + 8) != "movi") return fail("no movie list");
  c.movieSize = Le32(b, movieList + 4);
  c.movi = movieList + 8;
  const std::size_t end = c.movi + c.movieSize;
  std::size_t at = c.movi + 4;
  while (at < end) {
    if (at + 8 > end) return fail("chunk header past the movie list");
    Chunk k;
    k.id = Tag(b, at);
    k.size = Le32(b, at + 4);
    k.offset = std::uint32_t(at - c.movi);
    const std::size_t padded = k.size + (k.size & 1);
    if (at + 8 + padded > end) return fail("chunk past the movie list");
    k.payload = b.substr(at + 8, k.size);
    if ((k.size & 1) && b[at + 8 + k.size] != 0) return fail("pad byte not zero");
    c.chunks.push_back(std::move(k));
    at += 8 + padded;
  }
  if (at != end) return fail("movie list size does not end on a chunk");
  if (Tag(b, end) != "idx1") return fail("no index after the movie list");
  const std::uint32_t indexSize = Le32(b, end + 4);
  if (indexSize % 16 != 0 || end + 8 + indexSize != b.size()) return fail("index size");
  for (std::size_t e = end + 8; e < b.size(); e += 16)
    c.index.push_back(IndexEntry{Tag(b, e), Le32(b, e + 4), Le32(b, e + 8), Le32(b, e + 12)});
  c.ok = true;
  return c;
}

// The index lists every chunk of the movie list, in order, with its rounded length.
void ExpectIndexMatchesChunks(const ParsedClip& c) {
  ASSERT_EQ(c.index.size(), c.chunks.size());
  for (std::size_t i = 0; i < c.chunks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c.index[i].id, c.chunks[i].id);
    EXPECT_EQ(c.index[i].flags, 0x10u);
    EXPECT_EQ(c.index[i].offset, c.chunks[i].offset);
    EXPECT_EQ(c.index[i].length, c.chunks[i].size + (c.chunks[i].size & 1));
  }
}

std::string Payload(int length, int seed) {
  std::string p(std::size_t(length), '\0');
  for (int i = 0; i < length; ++i) p[std::size_t(i)] = char(std::uint8_t(seed * 37 + i * 11 + 1));
  return p;
}

bool Add(CAVIWriter& w, const std::string& payload, int stream) {
  return w.AddData(payload.data(), int(payload.size()), stream);
}

}  // namespace

TEST(CAVIWriter, EmptyOneCameraClip) {
  TempDir dir;
  const std::string path = dir / "empty.avi";
  CAVIWriter w;
  EXPECT_FALSE(w.IsOpen());
  ASSERT_TRUE(w.OpenClip(path.c_str()));
  EXPECT_TRUE(w.IsOpen());
  EXPECT_EQ(w.CloseClip(), 408);
  EXPECT_FALSE(w.IsOpen());

  const std::string b = ReadAll(path);
  ASSERT_EQ(b.size(), 416u);
  HeaderModel m;
  EXPECT_EQ(b.substr(0, 408), m.Build());
  EXPECT_EQ(Le32(b, 4), 408u);
  EXPECT_EQ(Le32(b, 16), 376u);         // header list: H - 4 with H = 380
  EXPECT_EQ(Le32(b, 24 + 8 + 16), 0u);  // total frames N
  EXPECT_EQ(Le32(b, 24 + 8 + 24), 4u);  // streams
  EXPECT_EQ(Tag(b, 396), "LIST");
  EXPECT_EQ(Le32(b, 400), 4u);  // movie list of no chunks
  EXPECT_EQ(Tag(b, 404), "movi");
  EXPECT_EQ(Tag(b, 408), "idx1");
  EXPECT_EQ(Le32(b, 412), 0u);

  ParsedClip c = Parse(b);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_TRUE(c.chunks.empty());
  EXPECT_TRUE(c.index.empty());
}

TEST(CAVIWriter, EmptyTwoCameraClip) {
  MemFile f;
  CAVIWriter w(&f);
  w.SetTwoCameras(true);
  w.SetVideoSize(0, 1280, 720);
  w.SetVideoSize(1, 640, 360);
  w.SetFrameRate(0, 30);
  w.SetFrameRate(1, 15);
  ASSERT_TRUE(w.OpenClip("two.avi"));
  EXPECT_EQ(w.CloseClip(), 532);  // H = 504
  ASSERT_EQ(f.bytes.size(), 540u);
  HeaderModel m;
  m.twoCameras = true;
  m.width[0] = 1280;
  m.height[0] = 720;
  m.width[1] = 640;
  m.height[1] = 360;
  m.fps[0] = 30;
  m.fps[1] = 15;
  EXPECT_EQ(f.bytes.substr(0, 532), m.Build());
  EXPECT_EQ(Le32(f.bytes, 16), 500u);
  // The stream lists in order: front, rear, sound, text.
  EXPECT_EQ(Tag(f.bytes, 88 + 20), "vids");
  EXPECT_EQ(Tag(f.bytes, 212 + 20), "vids");
  EXPECT_EQ(Le32(f.bytes, 212 + 88), 640u);
  EXPECT_EQ(Tag(f.bytes, 336 + 20), "auds");
  EXPECT_EQ(Tag(f.bytes, 436 + 20), "txts");
  EXPECT_EQ(Tag(f.bytes, 528), "movi");
  ParsedClip c = Parse(f.bytes);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.headerListSize, 500u);
}

TEST(CAVIWriter, OddPayloadIsPaddedAndIndexedRounded) {
  MemFile f;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("odd.avi"));
  ASSERT_TRUE(w.AddData("abc", 3, 0));
  ASSERT_TRUE(w.AddData("wxyz", 4, 0));
  EXPECT_EQ(w.CloseClip(), 380 + 24 * 2 + 8 + 28);

  const std::string& b = f.bytes;
  EXPECT_EQ(b.substr(408, 12), std::string("00dc\x03\0\0\0abc\0", 12));
  EXPECT_EQ(b.substr(420, 12), std::string("00dc\x04\0\0\0wxyz", 12));
  EXPECT_EQ(Le32(b, 400), 4u + 8 * 2 + 8);  // movie list size P + 8N + 4
  EXPECT_EQ(Tag(b, 432), "idx1");
  EXPECT_EQ(Le32(b, 436), 32u);
  EXPECT_EQ(b.substr(440, 16), std::string("00dc\x10\0\0\0\x04\0\0\0\x04\0\0\0", 16));
  EXPECT_EQ(b.substr(456, 16), std::string("00dc\x10\0\0\0\x10\0\0\0\x04\0\0\0", 16));

  ParsedClip c = Parse(b);
  ASSERT_TRUE(c.ok) << c.error;
  ASSERT_EQ(c.chunks.size(), 2u);
  EXPECT_EQ(c.chunks[0].payload, "abc");
  EXPECT_EQ(c.chunks[0].offset, 4u);
  ExpectIndexMatchesChunks(c);
  HeaderModel m;
  m.count[0] = 2;
  m.bytes[0] = 8;
  EXPECT_EQ(b.substr(0, 408), m.Build());
}

// The sound stream's length is its sample count: the payload bytes as given, two per 16-bit
// sample, whatever the chunks' sizes (a card's sound packets hold 1,920 samples each). Padding
// after an odd chunk is not sound.
TEST(CAVIWriter, SoundLengthIsTheSampleCountOfItsPayload) {
  MemFile f;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("s.avi"));
  ASSERT_TRUE(Add(w, Payload(3840, 1), 2));
  ASSERT_TRUE(Add(w, Payload(10, 2), 0));
  ASSERT_TRUE(Add(w, Payload(3, 3), 2));
  ASSERT_TRUE(Add(w, Payload(3840, 4), 2));
  ASSERT_TRUE(Add(w, Payload(5, 5), 2));
  ASSERT_NE(w.CloseClip(), 0);
  EXPECT_EQ(Le32(f.bytes, 212 + 20 + 32), (3840u + 3 + 3840 + 5) / 2);
  HeaderModel m;
  m.count[0] = 1;
  m.bytes[0] = 10;
  m.count[2] = 4;
  m.bytes[2] = 3840 + 4 + 3840 + 6;
  m.soundBytes = 3840 + 3 + 3840 + 5;
  EXPECT_EQ(f.bytes.substr(0, 408), m.Build());

  // A new clip counts from nothing.
  ASSERT_TRUE(w.OpenClip("t.avi"));
  ASSERT_TRUE(Add(w, Payload(3840, 6), 2));
  ASSERT_NE(w.CloseClip(), 0);
  EXPECT_EQ(Le32(f.bytes, 212 + 20 + 32), 1920u);
}

TEST(CAVIWriter, OneCameraChunkIdsAndStreamCounts) {
  MemFile f;
  CAVIWriter w(&f);
  w.SetVideoSize(0, 320, 240);
  w.SetFrameRate(0, 30);
  ASSERT_TRUE(w.OpenClip("one.avi"));
  ASSERT_TRUE(Add(w, Payload(10, 1), 0));
  ASSERT_TRUE(Add(w, Payload(3840, 2), 2));
  ASSERT_TRUE(Add(w, Payload(11, 3), 0));
  ASSERT_TRUE(Add(w, Payload(25, 4), 3));
  ASSERT_TRUE(Add(w, Payload(3840, 5), 2));
  ASSERT_TRUE(Add(w, Payload(20, 6), 0));
  ASSERT_TRUE(Add(w, Payload(6, 7), 1));  // not expected with one camera; written as "00dc"
  const int riff = w.CloseClip();

  ParsedClip c = Parse(f.bytes);
  ASSERT_TRUE(c.ok) << c.error;
  std::vector<std::string> ids;
  for (const Chunk& k : c.chunks) ids.push_back(k.id);
  EXPECT_EQ(ids,
            (std::vector<std::string>{"00dc", "01wb", "00dc", "02tx", "01wb", "00dc", "00dc"}));
  EXPECT_EQ(c.chunks[3].payload, Payload(25, 4));
  ExpectIndexMatchesChunks(c);

  HeaderModel m;
  m.width[0] = 320;
  m.height[0] = 240;
  m.fps[0] = 30;
  m.count[0] = 3;
  m.bytes[0] = 10 + 12 + 20;
  m.count[1] = 1;
  m.bytes[1] = 6;
  m.count[2] = 2;
  m.bytes[2] = 7680;
  m.count[3] = 1;
  m.bytes[3] = 26;
  EXPECT_EQ(f.bytes.substr(0, 408), m.Build());
  EXPECT_EQ(std::uint32_t(riff), c.riffSize);
  EXPECT_EQ(riff, 380 + 24 * 7 + (42 + 6 + 7680 + 26) + 28);

  // The stream headers read by hand: video, sound, text.
  const std::size_t video = 88, audio = 212, text = 312;
  EXPECT_EQ(Le32(f.bytes, 24 + 8 + 16), 7u);          // total frames: every chunk
  EXPECT_EQ(Le32(f.bytes, video + 20 + 24), 30000u);  // rate
  EXPECT_EQ(Le32(f.bytes, video + 20 + 32), 3u);      // length
  EXPECT_EQ(Le32(f.bytes, video + 20 + 36), 14u);     // suggested buffer: 42 / 3
  EXPECT_EQ(Le32(f.bytes, audio + 20 + 24), 16000u);  // rate: samples per second x 2
  EXPECT_EQ(Le32(f.bytes, audio + 20 + 32), 3840u);   // length: 7680 bytes of 16-bit samples
  EXPECT_EQ(Le32(f.bytes, audio + 20 + 36), 2000u);   // suggested buffer
  EXPECT_EQ(Le32(f.bytes, audio + 88), 8000u);        // samples per second
  EXPECT_EQ(Le32(f.bytes, text + 20 + 32), 1u);       // length
  EXPECT_EQ(Le32(f.bytes, text + 20 + 36), 26u);      // suggested buffer
}

TEST(CAVIWriter, ProvisionalHeaderAndRewriteOfTheSameLength) {
  MemFile f;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("p.avi"));
  ASSERT_TRUE(Add(w, Payload(101, 1), 0));
  ASSERT_TRUE(Add(w, Payload(3840, 2), 2));

  HeaderModel provisional;
  provisional.provisional = true;
  const std::string before = f.bytes;
  ASSERT_EQ(before.size(), 408u + 8 + 102 + 8 + 3840);
  EXPECT_EQ(before.substr(0, 408), provisional.Build());
  EXPECT_EQ(Tag(before, 4), "0000");
  EXPECT_EQ(Tag(before, 400), "0000");
  EXPECT_EQ(Tag(before, 404), "movi");

  ASSERT_NE(w.CloseClip(), 0);
  const std::string& after = f.bytes;
  EXPECT_EQ(Tag(after, 404), "movi");  // the movie list did not move
  EXPECT_EQ(after.substr(408, before.size() - 408), before.substr(408));
  EXPECT_NE(Tag(after, 4), "0000");
  EXPECT_NE(Tag(after, 400), "0000");
  ParsedClip c = Parse(after);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.movi, 404u);
}

TEST(CAVIWriter, CloseTwiceAndAddToAClosedClip) {
  MemFile f;
  CAVIWriter w(&f);
  EXPECT_EQ(w.CloseClip(), 0);  // never opened
  ASSERT_TRUE(w.OpenClip("c.avi"));
  EXPECT_EQ(w.CloseClip(), 408);
  EXPECT_EQ(w.CloseClip(), 0);
  EXPECT_EQ(f.closes, 1);

  testing::internal::CaptureStdout();
  const bool added = w.AddData("ab", 2, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(added);
  EXPECT_EQ(out, "[CAVIWriter] AddData : File is already closed\n");
  EXPECT_EQ(f.bytes.size(), 416u);
}

TEST(CAVIWriter, InvalidChunksAreRefusedWithNothingWritten) {
  MemFile f;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("i.avi"));
  testing::internal::CaptureStdout();
  const bool negative = w.AddData("ab", -1, 0);
  const bool nullData = w.AddData(nullptr, 4, 0);
  const bool stream4 = w.AddData("ab", 2, 4);
  const bool streamMinus = w.AddData("ab", 2, -1);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(negative);
  EXPECT_FALSE(nullData);
  EXPECT_FALSE(stream4);
  EXPECT_FALSE(streamMinus);
  EXPECT_EQ(f.size(), 408);
  EXPECT_TRUE(w.AddData(nullptr, 0, 3));  // an empty record is a chunk of its own
  EXPECT_EQ(w.CloseClip(), 380 + 24 + 28);
  ParsedClip c = Parse(f.bytes);
  ASSERT_TRUE(c.ok) << c.error;
  ASSERT_EQ(c.chunks.size(), 1u);
  EXPECT_EQ(c.chunks[0].id, "02tx");
  EXPECT_EQ(c.chunks[0].size, 0u);
  ExpectIndexMatchesChunks(c);
}

TEST(CAVIWriter, LongIndexGoesToTheTemporaryFileAndComesBackInOrder) {
  TempDir dir;
  const std::string path = dir / "long.avi";
  CAVIWriter w;
  w.SetTwoCameras(true);
  ASSERT_TRUE(w.OpenClip(path.c_str()));
  const int kChunks = 20000;
  int most = 0;
  for (int i = 0; i < kChunks; ++i) {
    const int length = 1 + i % 9;
    ASSERT_TRUE(Add(w, Payload(length, i), i % 4)) << i;
    most = std::max(most, w.IndexEntriesInMemory());
  }
  EXPECT_LE(most, CAVIWriter::kIndexBlock);
  EXPECT_LT(w.IndexEntriesInMemory(), CAVIWriter::kIndexBlock);
  const int riff = w.CloseClip();
  ASSERT_NE(riff, 0);

  ParsedClip c = Parse(ReadAll(path));
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(std::uint32_t(riff), c.riffSize);
  ASSERT_EQ(c.chunks.size(), std::size_t(kChunks));
  static const char* const kIds[4] = {"00dc", "01dc", "02wb", "03tx"};
  for (int i = 0; i < kChunks; i += 997) {
    EXPECT_EQ(c.chunks[std::size_t(i)].id, kIds[i % 4]);
    EXPECT_EQ(c.chunks[std::size_t(i)].payload, Payload(1 + i % 9, i));
  }
  ExpectIndexMatchesChunks(c);
}

namespace {
// A writer whose index cannot go to a temporary file: none can be made, or the one given refuses
// writes.
class NoSpillWriter : public CAVIWriter {
 public:
  NoSpillWriter(VFileSystem* file, bool readOnlySpill)
      : CAVIWriter(file), readOnly_(readOnlySpill) {}

 protected:
  std::FILE* OpenSpillFile() override {
    return readOnly_ ? std::fopen("/dev/null", "rb") : nullptr;
  }

 private:
  bool readOnly_;
};
}  // namespace

TEST(CAVIWriter, IndexStaysInMemoryWhenItCannotSpill) {
  for (bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly);
    MemFile f;
    NoSpillWriter w(&f, readOnly);
    ASSERT_TRUE(w.OpenClip("m.avi"));
    const int kChunks = 3 * CAVIWriter::kIndexBlock + 5;
    for (int i = 0; i < kChunks; ++i) ASSERT_TRUE(Add(w, Payload(1 + i % 4, i), i % 2 ? 2 : 0));
    EXPECT_EQ(w.IndexEntriesInMemory(), kChunks);
    ASSERT_NE(w.CloseClip(), 0);
    ParsedClip c = Parse(f.bytes);
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_EQ(c.chunks.size(), std::size_t(kChunks));
    ExpectIndexMatchesChunks(c);
  }
}

namespace {
// A writer that lets the test reach the temporary file its index entries go to.
class SpillWatchingWriter : public CAVIWriter {
 public:
  explicit SpillWatchingWriter(VFileSystem* file) : CAVIWriter(file) {}
  std::FILE* spill = nullptr;

 protected:
  std::FILE* OpenSpillFile() override { return spill = std::tmpfile(); }
};
}  // namespace

TEST(CAVIWriter, DamagedSpilledEntryFailsTheClose) {
  MemFile f;
  SpillWatchingWriter w(&f);
  ASSERT_TRUE(w.OpenClip("s.avi"));
  for (int i = 0; i < CAVIWriter::kIndexBlock + 3; ++i) ASSERT_TRUE(w.AddData("ab", 2, 0));
  ASSERT_NE(w.spill, nullptr);
  // Damage the stream number of the first spilled entry.
  const int bad = 9;
  ASSERT_EQ(std::fseek(w.spill, 0, SEEK_SET), 0);
  ASSERT_EQ(std::fwrite(&bad, sizeof bad, 1, w.spill), 1u);
  testing::internal::CaptureStdout();
  const int closed = w.CloseClip();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(out,
            "Critical Error !!!!!!!!!!!!!!!!!!!!!!!!!!!!\n"
            "[CAVIWriter] CloseClip : write failed\n");
  EXPECT_FALSE(f.IsOpen());
}

TEST(CAVIWriter, RefusesAChunkThatWouldPassFourGiB) {
  // Only the first 64 KiB are kept; the rest is counted.
  MemFile f(65536);
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("big.avi"));
  const std::int64_t kMax = 0xFFFFFFFFll;
  const int kBig = 1 << 20;
  std::string buffer(std::size_t(kBig) + 2, 'v');
  std::int64_t riff = 408;  // what the clip would say if closed now
  int added = 0;
  std::int64_t soundBytes = 0;
  while (riff + 24 + kBig <= kMax) {
    const int stream = added % 3 == 2 ? 2 : 0;
    ASSERT_TRUE(w.AddData(buffer.data(), kBig, stream)) << added;
    if (stream == 2) soundBytes += kBig;
    riff += 24 + kBig;
    ++added;
  }
  ASSERT_EQ(f.size(), riff - 16 * added);      // all but the index, which comes at close
  const std::int64_t room = kMax - riff - 24;  // payload bytes one more chunk may have
  ASSERT_GT(room, 0);
  ASSERT_LT(room, kBig);
  ASSERT_EQ(room % 2, 1);  // the RIFF size is even: the last byte below 4 GiB cannot be reached

  // One byte too many (the odd length rounds up past the limit): refused, nothing written.
  const std::int64_t sizeBefore = f.size();
  testing::internal::CaptureStdout();
  const bool tooBig = w.AddData(buffer.data(), int(room), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(tooBig);
  EXPECT_EQ(out, "[CAVIWriter] AddData : clip would pass 4 GiB\n");
  EXPECT_EQ(f.size(), sizeBefore);
  EXPECT_TRUE(w.IsOpen());

  // Exactly up to the last even size: accepted.
  ASSERT_TRUE(w.AddData(buffer.data(), int(room - 1), 0));
  riff += 24 + room - 1;
  ASSERT_EQ(riff, kMax - 1);
  // Not even an empty chunk fits now.
  testing::internal::CaptureStdout();
  const bool empty = w.AddData(nullptr, 0, 3);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(empty);

  const int closed = w.CloseClip();
  EXPECT_EQ(std::uint32_t(closed), std::uint32_t(riff));
  EXPECT_LE(std::int64_t(std::uint32_t(closed)), kMax);
  EXPECT_EQ(std::int64_t(std::uint32_t(closed)), f.size() - 8);
  EXPECT_EQ(Le32(f.bytes, 4), std::uint32_t(riff));
  EXPECT_EQ(Le32(f.bytes, 400), std::uint32_t(f.size() - 412 - 16 * (added + 1)));
  EXPECT_EQ(Le32(f.bytes, 24 + 8 + 16), std::uint32_t(added + 1));  // total frames
  // The sound's length in 16-bit samples: over half a gigasample, still exact.
  EXPECT_GT(soundBytes, std::int64_t(1) << 30);
  EXPECT_EQ(Le32(f.bytes, 212 + 20 + 32), std::uint32_t(soundBytes / 2));
}

TEST(CAVIWriter, ShortBodyWriteReportsAndTheClipCannotBeFinished) {
  MemFile f;
  f.failAfter = 408 + 8 + 50;  // the header, a chunk header and 50 payload bytes fit
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("fail.avi"));
  const std::string p = Payload(100, 1);
  testing::internal::CaptureStdout();
  const bool first = Add(w, p, 0);
  const std::string out1 = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(first);
  EXPECT_EQ(out1, "CAVIWriter::AddDataBody error 50 != 100\n");
  EXPECT_TRUE(w.IsOpen());  // the caller decides whether to go on

  testing::internal::CaptureStdout();
  const bool second = Add(w, p, 0);
  const std::string out2 = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(second);
  EXPECT_EQ(out2, "[CAVIWriter] AddData : write failed\n");

  testing::internal::CaptureStdout();
  const int closed = w.CloseClip();
  const std::string out3 = testing::internal::GetCapturedStdout();
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(out3, "[CAVIWriter] CloseClip : write failed\n");
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(w.IsOpen());
}

TEST(CAVIWriter, MissingPadByteIsAShortWrite) {
  MemFile f;
  f.failAfter = 408 + 8 + 5;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("pad.avi"));
  testing::internal::CaptureStdout();
  const bool added = w.AddData("12345", 5, 2);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(added);
  EXPECT_EQ(out, "CAVIWriter::AddDataBody error 5 != 6\n");
  testing::internal::CaptureStdout();
  const int closed = w.CloseClip();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(closed, 0);
}

TEST(CAVIWriter, FailedChunkIsTakenBackAndTheClipStaysWhole) {
  MemFile f;
  // Write calls: 1 the header; 2 and 3 the first chunk; 4 and 5 the second, whose payload is cut.
  f.failCall = 5;
  f.failPartial = 7;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("t.avi"));
  ASSERT_TRUE(Add(w, Payload(40, 1), 0));
  testing::internal::CaptureStdout();
  const bool cut = Add(w, Payload(30, 2), 2);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(cut);
  EXPECT_EQ(out, "CAVIWriter::AddDataBody error 7 != 30\n");
  ASSERT_TRUE(Add(w, Payload(60, 3), 0));
  const int riff = w.CloseClip();
  EXPECT_EQ(riff, 380 + 24 * 2 + 100 + 28);

  ParsedClip c = Parse(f.bytes);
  ASSERT_TRUE(c.ok) << c.error;
  ASSERT_EQ(c.chunks.size(), 2u);
  EXPECT_EQ(c.chunks[0].payload, Payload(40, 1));
  EXPECT_EQ(c.chunks[1].payload, Payload(60, 3));
  EXPECT_EQ(c.chunks[1].offset, 4u + 48);  // where the failed chunk began
  ExpectIndexMatchesChunks(c);
  HeaderModel m;
  m.count[0] = 2;
  m.bytes[0] = 100;
  EXPECT_EQ(f.bytes.substr(0, 408), m.Build());  // the failed sound chunk is not counted
}

TEST(CAVIWriter, ShortChunkHeaderWrite) {
  MemFile f;
  f.failAfter = 408 + 4;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("h.avi"));
  testing::internal::CaptureStdout();
  const bool added = w.AddData("ab", 2, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(added);
  EXPECT_EQ(out, "[CAVIWriter] AddData : write failed\n");
  testing::internal::CaptureStdout();
  const int closed = w.CloseClip();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(closed, 0);
}

TEST(CAVIWriter, TakeBackThatFailsLeavesAClipThatIsNotFinished) {
  MemFile f;
  f.failAfter = 408 + 8 + 3;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("s.avi"));
  f.failSeek = true;
  testing::internal::CaptureStdout();
  const bool added = w.AddData("abcdef", 6, 0);
  const bool next = w.AddData("ab", 2, 0);
  const int closed = w.CloseClip();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(added);
  EXPECT_FALSE(next);
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(out,
            "CAVIWriter::AddDataBody error 3 != 6\n"
            "[CAVIWriter] AddData : failed chunk cannot be taken back\n"
            "[CAVIWriter] AddData : clip cannot be finished\n"
            "[CAVIWriter] CloseClip : write failed\n");
  EXPECT_FALSE(f.IsOpen());
}

TEST(CAVIWriter, OpenFailsWhenTheHeaderCannotBeWritten) {
  MemFile f;
  f.failAfter = 100;
  CAVIWriter w(&f);
  testing::internal::CaptureStdout();
  const bool opened = w.OpenClip("o.avi");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(opened);
  EXPECT_EQ(out, "[CAVIWriter] OpenClip : write failed\n");
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(w.IsOpen());
  EXPECT_EQ(w.CloseClip(), 0);

  TempDir dir;
  CAVIWriter own;
  EXPECT_FALSE(own.OpenClip((dir / "missing/x.avi").c_str()));
  EXPECT_FALSE(own.OpenClip(nullptr));
}

TEST(CAVIWriter, SeekFailureAtCloseIsAFailedClose) {
  MemFile f;
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("k.avi"));
  ASSERT_TRUE(w.AddData("abcd", 4, 0));
  f.failSeek = true;
  testing::internal::CaptureStdout();
  const int closed = w.CloseClip();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(out, "[CAVIWriter] CloseClip : write failed\n");
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(w.IsOpen());
}

TEST(CAVIWriter, IndexWriteFailureAtCloseIsAFailedClose) {
  MemFile f;
  f.failAfter = 408 + 12 + 8 + 8;  // the chunk and the index header, not the entry
  CAVIWriter w(&f);
  ASSERT_TRUE(w.OpenClip("x.avi"));
  ASSERT_TRUE(w.AddData("abcd", 4, 0));
  testing::internal::CaptureStdout();
  const int closed = w.CloseClip();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(out, "[CAVIWriter] CloseClip : write failed\n");
  EXPECT_FALSE(f.IsOpen());
}

TEST(CAVIWriter, SecondOpenWhileOpenIsRefused) {
  TempDir dir;
  CAVIWriter w;
  const std::string a = (dir / "a.avi"), b = (dir / "b.avi");
  ASSERT_TRUE(w.OpenClip(a.c_str()));
  testing::internal::CaptureStdout();
  const bool second = w.OpenClip(b.c_str());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(second);
  EXPECT_EQ(out, "[CAVIWriter] OpenClip : a clip is already open\n");
  EXPECT_FALSE(std::filesystem::exists(b));
  EXPECT_EQ(w.CloseClip(), 408);
  EXPECT_EQ(ReadAll(a).size(), 416u);
}

TEST(CAVIWriter, GivenFileSystemStaysTheCallersAndAnOpenClipIsFinished) {
  MemFile f;
  {
    CAVIWriter w(&f);
    ASSERT_TRUE(w.OpenClip("d.avi"));
    ASSERT_TRUE(w.AddData("abcd", 4, 0));
  }
  EXPECT_FALSE(f.IsOpen());
  ParsedClip c = Parse(f.bytes);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.chunks.size(), 1u);
  // Still the caller's and still usable.
  EXPECT_TRUE(f.Open("again", "wb"));
  f.Close();
}

TEST(CAVIWriter, DefaultsSettersAndLayoutLatchedAtOpen) {
  MemFile f;
  CAVIWriter w(&f);
  w.SetTwoCameras(true);
  w.SetVideoSize(2, 1, 1);  // ignored
  w.SetFrameRate(2, 99);    // ignored
  w.SetFrameRate(-1, 99);   // ignored
  ASSERT_TRUE(w.OpenClip("d.avi"));
  // Changes while the clip is open: the frame rate and the layout stay as opened, the size and
  // the sound rate are taken at close.
  w.SetFrameRate(0, 60);
  w.SetTwoCameras(false);
  w.SetVideoSize(0, 64, 48);
  w.SetAudioRate(16000);
  ASSERT_TRUE(w.AddData("ab", 2, 2));
  ASSERT_EQ(w.CloseClip(), 504 + 24 + 2 + 28);
  HeaderModel m;
  m.twoCameras = true;
  m.width[0] = 64;
  m.height[0] = 48;
  m.audioRate = 16000;
  m.count[2] = 1;
  m.bytes[2] = 2;
  EXPECT_EQ(f.bytes.substr(0, 532), m.Build());  // stream 1 at 720 x 480, 15 fps by default
  ParsedClip c = Parse(f.bytes);
  ASSERT_TRUE(c.ok) << c.error;
  ASSERT_EQ(c.chunks.size(), 1u);
  EXPECT_EQ(c.chunks[0].id, "02wb");

  // The one-camera choice made during the clip applies to the next one.
  ASSERT_TRUE(w.OpenClip("e.avi"));
  ASSERT_TRUE(w.AddData("ab", 2, 2));
  ASSERT_EQ(w.CloseClip(), 380 + 24 + 2 + 28);
  c = Parse(f.bytes);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.chunks[0].id, "01wb");
  EXPECT_EQ(Le32(f.bytes, 88 + 20 + 24), 60000u);  // the rate set during the last clip
}

TEST(CAVIWriter, ProcessWideFunctions) {
  TempDir dir;
  const std::string path = dir / "pw.avi";
  EXPECT_EQ(aviClose(), 0);
  aviSetTwoCameras(true);
  aviSetVideoSize(0, 640, 360);
  aviSetVideoSize(1, 320, 180);
  aviSetVideoSize(5, 1, 1);
  aviSetFrameRate(0, 30);
  aviSetFrameRate(1, 15);
  aviSetAudioRate(8000);
  ASSERT_TRUE(aviOpen(path.c_str()));
  testing::internal::CaptureStdout();
  const bool front = aviAddData("front", 5, 0);
  const bool rear = aviAddData("rear", 4, 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(front);
  EXPECT_TRUE(rear);
  EXPECT_EQ(out, "aviAddData \naviAddData \n");
  EXPECT_EQ(aviClose(), 504 + 48 + 10 + 28);
  EXPECT_EQ(aviClose(), 0);

  testing::internal::CaptureStdout();
  const bool closed = aviAddData("x", 1, 0);
  const std::string out2 = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(closed);
  EXPECT_EQ(out2, "aviAddData \n[CAVIWriter] AddData : File is already closed\n");

  const std::string b = ReadAll(path);
  HeaderModel m;
  m.twoCameras = true;
  m.width[0] = 640;
  m.height[0] = 360;
  m.width[1] = 320;
  m.height[1] = 180;
  m.fps[0] = 30;
  m.fps[1] = 15;
  m.count[0] = 1;
  m.bytes[0] = 6;
  m.count[1] = 1;
  m.bytes[1] = 4;
  EXPECT_EQ(b.substr(0, 532), m.Build());
  ParsedClip c = Parse(b);
  ASSERT_TRUE(c.ok) << c.error;
  ASSERT_EQ(c.chunks.size(), 2u);
  EXPECT_EQ(c.chunks[1].id, "01dc");
  aviSetTwoCameras(false);
}

namespace {

bool HaveTool(const char* name) {
  const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Splits an H.264 stream in start-code form into pictures: a new picture begins at a sequence
// parameter set, or at a slice when the picture so far already has one.
std::vector<std::string> SplitAccessUnits(const std::string& s) {
  std::vector<std::string> units;
  std::size_t begin = std::string::npos;
  bool hasSlice = false;
  for (std::size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    const int type = std::uint8_t(s[i + 3]) & 0x1F;
    const std::size_t start = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
    const bool slice = type == 1 || type == 5;
    if (type == 7 || (slice && hasSlice) || begin == std::string::npos) {
      if (begin != std::string::npos) units.push_back(s.substr(begin, start - begin));
      begin = start;
      hasSlice = false;
    }
    if (slice) hasSlice = true;
    i += 2;
  }
  if (begin != std::string::npos) units.push_back(s.substr(begin));
  return units;
}

std::string RunToString(const std::string& cmd, const std::string& outPath, int* status) {
  *status = std::system((cmd + " >" + outPath + " 2>&1").c_str());
  return ReadAll(outPath);
}

}  // namespace

TEST(CAVIWriter, OutsideReaderDecodesTheClip) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg or ffprobe missing";
  TempDir dir;
  const std::string h264 = (dir / "file.h264");
  int status = 0;
  const std::string made = RunToString(
      "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 -c:v libx264 "
      "-bsf:v h264_mp4toannexb -x264-params repeat-headers=1:keyint=30 -f h264 " +
          h264,
      (dir / "make.txt"), &status);
  ASSERT_EQ(status, 0) << made;
  const std::vector<std::string> pictures = SplitAccessUnits(ReadAll(h264));
  ASSERT_EQ(pictures.size(), 30u);
  for (const std::string& p : pictures) ASSERT_EQ(p.compare(0, 4, std::string("\0\0\0\1", 4)), 0);

  const std::string clip = (dir / "clip.avi");
  CAVIWriter w;
  w.SetVideoSize(0, 320, 240);
  w.SetFrameRate(0, 30);
  w.SetAudioRate(8000);
  ASSERT_TRUE(w.OpenClip(clip.c_str()));
  // 240 ms of 8000 Hz 16-bit mono sound per chunk, kept ahead of the pictures.
  int soundChunks = 0;
  auto sound = [&]() {
    std::string pcm(3840, '\0');
    for (int i = 0; i < 1920; ++i) {
      const int n = soundChunks * 1920 + i;
      const auto v = std::int16_t(8000 * std::sin(2 * 3.14159265358979 * 440 * n / 8000.0));
      pcm[std::size_t(2 * i)] = char(std::uint16_t(v) & 0xFF);
      pcm[std::size_t(2 * i + 1)] = char(std::uint16_t(v) >> 8);
    }
    ++soundChunks;
    return Add(w, pcm, 2);
  };
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    while (soundChunks * 240 <= int(i) * 1000 / 30) ASSERT_TRUE(sound());
    ASSERT_TRUE(Add(w, pictures[i], 0));
    if (i % 10 == 0) {
      const std::string record =
          "$GPRMC,000000.00,A,3733.000,N,12658.000,E,0.0,0.0,010124,,,A*" + std::to_string(i);
      ASSERT_TRUE(Add(w, record, 3));
    }
  }
  ASSERT_NE(w.CloseClip(), 0);

  const std::string probe = RunToString(
      "ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,"
      "channels -of csv=p=0 " +
          clip,
      (dir / "probe.txt"), &status);
  EXPECT_EQ(status, 0) << probe;
  EXPECT_NE(probe.find("h264,320,240,30/1"), std::string::npos) << probe;
  EXPECT_NE(probe.find("pcm_s16le,8000,1"), std::string::npos) << probe;

  // Every stream is read. The text stream is of no codec ffmpeg knows, so the null output takes
  // its packets as they are instead of looking for an encoder for them.
  const std::string decoded =
      RunToString("ffmpeg -nostdin -v error -i " + clip + " -map 0 -c:s copy -f null -",
                  (dir / "decode.txt"), &status);
  EXPECT_EQ(status, 0) << decoded;
  EXPECT_EQ(decoded, "");
}

// A device that takes no bytes at all: every write fails once the file's buffer goes out. The
// clip must not be reported as finished.
TEST(CAVIWriter, AFullDiskIsAFailedCloseEvenWhenWritesAreBuffered) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  CAVIWriter writer;
  testing::internal::CaptureStdout();
  bool opened = writer.OpenClip("/dev/full");
  unsigned char payload[100] = {};
  for (int i = 0; i < 10 && opened; ++i) writer.AddData(payload, sizeof payload, 0);
  int riff = opened ? writer.CloseClip() : 0;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(riff, 0);
  if (opened) {
    EXPECT_NE(out.find("[CAVIWriter] CloseClip : write failed"), std::string::npos) << out;
  }
}
