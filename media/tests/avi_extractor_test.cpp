// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "AviBuilder.h"
#include "media/CAVIExtractor.h"
#include "support/Diag.h"

using avitest::AviBuilder;
using avitest::Bytes;
using avitest::TempDir;

namespace {

constexpr std::uint32_t kTopBit = 0x80000000u;

// A payload whose bytes say which packet it is.
Bytes Payload(std::size_t n, int seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(seed * 31 + int(i) * 7 + 1);
  return b;
}

// A two-camera recording: per front picture a sound block and a text record, and a rear picture
// every second front picture. Rear pictures and text records have odd sizes.
AviBuilder TwoCameraRecording(int frontPictures) {
  AviBuilder b;
  for (int i = 0; i < frontPictures; ++i) {
    b.Add(0, Payload(100 + 2 * i, i));
    if (i % 2 == 0) b.Add(1, Payload(51 + 2 * i, 1000 + i));
    b.Add(2, Payload(320, 2000 + i));
    b.Add(3, Payload(37, 3000 + i));
  }
  return b;
}

// The header offsets of the chunks tagged tag, in file order.
std::vector<std::uint32_t> OffsetsOf(const AviBuilder& b, const std::string& tag) {
  std::vector<std::uint32_t> out;
  auto tags = b.Tags();
  for (std::size_t i = 0; i < tags.size(); ++i)
    if (tags[i] == tag) out.push_back(b.ChunkOffsets()[i]);
  return out;
}

struct Chunk {
  int result = 0;
  std::string tag;
  int size = 0;
  Bytes payload;
};

// One ReadPacket into a buffer of the given capacity, as a consumer calls it.
Chunk ReadOne(CAVIExtractor& p, int capacity = kPacketBufferSize) {
  Bytes buf(std::size_t(std::max(capacity, 0)) + 1);
  char tag[8] = {};
  Chunk c;
  c.size = capacity;
  c.result = p.ReadPacket(tag, buf.data(), &c.size);
  c.tag.assign(tag, strnlen(tag, 8));
  if (c.result >= 0 && c.size >= 0 && c.size <= capacity)
    c.payload.assign(buf.begin(), buf.begin() + c.size);
  return c;
}

// Diagnostic lines are dropped while it lives: the damage tests produce thousands of them.
class QuietDiagnostics {
 public:
  QuietDiagnostics() { DiagSetOutput(nullptr); }
  ~QuietDiagnostics() { DiagSetOutput(stdout); }
};

// A small writer of raw bytes, for files outside the writer's layout.
class Raw {
 public:
  Raw& Id(const char* id) {
    for (int i = 0; i < 4; ++i) b_.push_back(std::uint8_t(id[i]));
    return *this;
  }
  Raw& U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b_.push_back(std::uint8_t(v >> (8 * i)));
    return *this;
  }
  Raw& Append(const Bytes& more) {
    b_.insert(b_.end(), more.begin(), more.end());
    return *this;
  }
  Bytes& bytes() { return b_; }

 private:
  Bytes b_;
};

// A file that is only the RIFF header and a header list with the given contents, followed by a
// movie list holding one "00dc" chunk of 4 bytes.
Bytes WithHeaderList(std::uint32_t headerSize, const Bytes& headerContents) {
  Raw r;
  r.Id("RIFF").U32(0).Id("AVI ").Id("LIST").U32(headerSize).Append(headerContents);
  r.Id("LIST").U32(16).Id("movi").Id("00dc").U32(4).U32(0x01020304);
  return r.bytes();
}

TEST(AviExtractor, OpensTwoCameraRecordingAndDescribesIt) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(6);
  b.sampleRate = 16000;
  std::string path = dir.Write("two.avi", b.Build());

  CAVIExtractor p;
  EXPECT_TRUE(p.Start());
  EXPECT_FALSE(p.SeeksToWholeSeconds());
  EXPECT_EQ(p.Open(path.c_str(), nullptr), int(b.MovieSize()));
  EXPECT_EQ(p.VideoStreamCount(), 2);
  int size[2] = {-1, -1};
  EXPECT_EQ(p.GetVideoSize(size, 0), size);
  EXPECT_EQ(size[0], 1280);
  EXPECT_EQ(size[1], 720);
  p.GetVideoSize(size, 1);
  EXPECT_EQ(size[0], 640);
  EXPECT_EQ(size[1], 480);
  p.GetVideoSize(size, 2);
  EXPECT_EQ(size[0], 0);
  EXPECT_EQ(size[1], 0);
  EXPECT_EQ(p.GetFrameRate(0), 30);
  EXPECT_EQ(p.GetFrameRate(1), 15);
  EXPECT_EQ(p.GetFrameRate(2), 0);
  int bits = 0, rate = 0;
  p.GetAudioFormat(&bits, &rate);
  EXPECT_EQ(bits, 16);
  EXPECT_EQ(rate, 16000);
  // The streaming position is the movie list's first chunk.
  EXPECT_EQ(p.TellRaw(), int(b.MovieType() + 4));
  p.Close();
  p.Stop();
}

TEST(AviExtractor, OneCameraRecordingHasNoRearStream) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b;
  b.twoCameras = false;
  b.width[0] = 1920;
  b.height[0] = 1080;
  b.frameRate[0] = 25;
  for (int i = 0; i < 4; ++i) {
    b.Add(0, Payload(40, i));
    b.Add(2, Payload(16, i));
    b.Add(3, Payload(9, i));
  }
  std::string path = dir.Write("one.avi", b.Build());

  CAVIExtractor p;
  RecordingInfo info;
  EXPECT_EQ(p.Open(path.c_str(), &info), int(b.MovieSize()));
  EXPECT_EQ(p.VideoStreamCount(), 1);
  int size[2] = {-1, -1};
  p.GetVideoSize(size, 0);
  EXPECT_EQ(size[0], 1920);
  EXPECT_EQ(size[1], 1080);
  p.GetVideoSize(size, 1);
  EXPECT_EQ(size[0], 0);
  EXPECT_EQ(size[1], 0);
  EXPECT_EQ(p.GetFrameRate(0), 25);
  EXPECT_EQ(p.GetFrameRate(1), 0);
  EXPECT_EQ(info.frontFrameRate, 25);
  EXPECT_EQ(info.rearFrameRate, 0);
  EXPECT_EQ(info.frontFrameCount, 4);
  EXPECT_EQ(info.rearFrameCount, 0);

  Bytes buf(kPacketBufferSize);
  const MediaPacketType expected[] = {kPacketFront, kPacketAudio, kPacketText};
  for (int i = 0; i < 12; ++i) {
    int n = kPacketBufferSize;
    EXPECT_EQ(p.ReadPacketDirect(buf.data(), &n), expected[i % 3]) << "packet " << i;
  }
}

TEST(AviExtractor, SixtyFramesPerSecondIsReportedAsThirtyButSoughtAtSixty) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b;
  b.frameRate[0] = 60;
  for (int i = 0; i < 130; ++i) {
    b.Add(0, Payload(10, i));
    b.Add(2, Payload(4, i));
  }
  std::string path = dir.Write("sixty.avi", b.Build());
  auto front = OffsetsOf(b, "00dc");

  CAVIExtractor p;
  RecordingInfo info;
  ASSERT_GT(p.Open(path.c_str(), &info), 0);
  EXPECT_EQ(p.GetFrameRate(0), 30);
  EXPECT_EQ(info.frontFrameRate, 30);

  ASSERT_EQ(p.SeekTime(1.0f), 0);
  Chunk c = ReadOne(p);
  EXPECT_EQ(c.result, int(front[60]));  // picture 60, not 30
  EXPECT_EQ(c.tag, "00dc");
  EXPECT_EQ(c.payload, Payload(10, 60));

  ASSERT_EQ(p.SeekTime(2.0f), 0);
  EXPECT_EQ(ReadOne(p).result, int(front[120]));
}

TEST(AviExtractor, RefusesFilesThatAreNotRiffAvi) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(2);
  Bytes good = b.Build();

  Bytes notRiff = good;
  std::memcpy(notRiff.data(), "RIFX", 4);
  Bytes notAvi = good;
  std::memcpy(notAvi.data() + 8, "WAVE", 4);
  const std::pair<const char*, Bytes> cases[] = {
      {"riffx.avi", notRiff},
      {"wave.avi", notAvi},
      {"empty.avi", Bytes()},
      {"short.avi", Bytes(good.begin(), good.begin() + 6)},
  };
  for (const auto& [name, bytes] : cases) {
    std::string path = dir.Write(name, bytes);
    CAVIExtractor p;
    RecordingInfo info;
    EXPECT_EQ(p.Open(path.c_str(), &info), 0) << name;
    EXPECT_FALSE(p.OpenIndexed(path.c_str(), &info)) << name;
    // Nothing stays open after a refused file.
    EXPECT_EQ(p.TellRaw(), 0) << name;
    EXPECT_EQ(ReadOne(p).result, -1) << name;
  }
  CAVIExtractor p;
  EXPECT_EQ(p.Open(dir.Path("missing.avi").c_str(), nullptr), 0);
  EXPECT_EQ(p.Open(nullptr, nullptr), 0);
  EXPECT_FALSE(p.OpenIndexed(nullptr, nullptr));
}

TEST(AviExtractor, RefusesStreamHeadersAndFormatsOfTheWrongSize) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  struct Case {
    const char* name;
    std::uint32_t AviBuilder::*field;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"video strh 57", &AviBuilder::videoStrhSize, 57},
      {"video strh 0", &AviBuilder::videoStrhSize, 0},
      {"video strf 44", &AviBuilder::videoStrfSize, 44},
      {"video strf 0xFFFFFFFF", &AviBuilder::videoStrfSize, 0xFFFFFFFFu},
      {"audio strh 48", &AviBuilder::audioStrhSize, 48},
      {"audio strf 18", &AviBuilder::audioStrfSize, 18},
      {"audio strf 14", &AviBuilder::audioStrfSize, 14},
  };
  for (const Case& c : cases) {
    AviBuilder b = TwoCameraRecording(2);
    b.*(c.field) = c.value;
    std::string path = dir.Write("bad.avi", b.Build());
    CAVIExtractor p;
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 0) << c.name;
    RecordingInfo info;
    EXPECT_FALSE(p.OpenIndexed(path.c_str(), &info)) << c.name;
  }
}

TEST(AviExtractor, RecordingWithoutSoundReportsNoSoundFormat) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder withSound = TwoCameraRecording(1);
  AviBuilder without = TwoCameraRecording(1);
  without.audio = false;
  std::string a = dir.Write("a.avi", withSound.Build());
  std::string b = dir.Write("b.avi", without.Build());
  CAVIExtractor p;
  ASSERT_GT(p.Open(a.c_str(), nullptr), 0);
  ASSERT_GT(p.Open(b.c_str(), nullptr), 0);
  int bits = -1, rate = -1;
  p.GetAudioFormat(&bits, &rate);
  EXPECT_EQ(bits, 0);
  EXPECT_EQ(rate, 0);
  EXPECT_EQ(p.VideoStreamCount(), 2);
}

TEST(AviExtractor, ReadsEveryChunkThenTheIndexThenEnds) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(5);
  Bytes file = b.Build();
  std::string path = dir.Write("all.avi", file);

  CAVIExtractor p;
  ASSERT_GT(p.Open(path.c_str(), nullptr), 0);
  auto tags = b.Tags();
  for (std::size_t i = 0; i < tags.size(); ++i) {
    Chunk c = ReadOne(p);
    ASSERT_EQ(c.result, int(b.ChunkOffsets()[i])) << "chunk " << i;
    EXPECT_EQ(c.tag, tags[i]);
    std::uint32_t at = b.ChunkOffsets()[i];
    std::uint32_t length = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16;
    ASSERT_EQ(c.size, int(length));
    EXPECT_TRUE(std::equal(c.payload.begin(), c.payload.end(), file.begin() + at + 8));
  }
  // The index chunk comes with its own tag, then the reads end.
  Chunk index = ReadOne(p);
  EXPECT_EQ(index.result, int(b.IndexAt()));
  EXPECT_EQ(index.tag, "idx1");
  EXPECT_EQ(index.size, int(16 * tags.size()));

  testing::internal::CaptureStdout();
  int end = ReadOne(p).result;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(end, -1);
  EXPECT_EQ(out, "Read Header Failed\n");
  EXPECT_EQ(ReadOne(p).result, -1);  // and stay ended
}

TEST(AviExtractor, OddChunkReportsItsSizeAndTheNextStartsOnTheEvenBoundary) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b;
  b.Add(3, Payload(3, 1));
  b.Add(3, Payload(5, 2));
  b.Add(0, Payload(8, 3));
  std::string path = dir.Write("odd.avi", b.Build());

  CAVIExtractor p;
  ASSERT_GT(p.Open(path.c_str(), nullptr), 0);
  Bytes buf(16, 0xEE);
  char tag[8] = {};
  int size = int(buf.size());
  int first = p.ReadPacket(tag, buf.data(), &size);
  EXPECT_EQ(first, int(b.ChunkOffsets()[0]));
  EXPECT_STREQ(tag, "03tx");
  EXPECT_EQ(size, 3);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 3, Payload(3, 1).begin()));
  EXPECT_EQ(buf[3], 0);     // the pad byte lands in the buffer
  EXPECT_EQ(buf[4], 0xEE);  // and nothing beyond it

  Chunk second = ReadOne(p);
  EXPECT_EQ(second.result, first + 8 + 4);
  EXPECT_EQ(second.size, 5);
  EXPECT_EQ(second.payload, Payload(5, 2));
  Chunk third = ReadOne(p);
  EXPECT_EQ(third.result, second.result + 8 + 6);
  EXPECT_EQ(third.tag, "00dc");
  EXPECT_EQ(third.payload, Payload(8, 3));
}

TEST(AviExtractor, ChunkLargerThanTheCapacityFailsWithTheUnroundedSize) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b;
  b.Add(0, Payload(101, 1));
  std::string path = dir.Write("big.avi", b.Build());

  for (int capacity : {100, 101}) {
    CAVIExtractor p;
    ASSERT_GT(p.Open(path.c_str(), nullptr), 0);
    Bytes buf(std::size_t(capacity) + 8, 0xEE);
    char tag[8] = {};
    int size = capacity;
    testing::internal::CaptureStdout();
    int r = p.ReadPacket(tag, buf.data(), &size);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, -1);
    // The padded size (102) is what must fit; the message shows the chunk's own size.
    EXPECT_EQ(out, "Wrong Size " + std::to_string(capacity) + " < 101\n");
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](std::uint8_t v) { return v == 0xEE; }));
  }
  CAVIExtractor p;
  ASSERT_GT(p.Open(path.c_str(), nullptr), 0);
  Chunk c = ReadOne(p, 102);
  EXPECT_EQ(c.result, int(b.ChunkOffsets()[0]));
  EXPECT_EQ(c.size, 101);
}

TEST(AviExtractor, DirectReadGivesPacketCodes) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b;
  const char* const tags[] = {"00dc", "01dc", "02wb", "03tx", "07dc", "01wb", "02tx", "JUNK"};
  const MediaPacketType codes[] = {kPacketFront, kPacketRear,  kPacketAudio, kPacketText,
                                   kPacketRear,  kPacketAudio, kPacketText,  kPacketEnd};
  for (int i = 0; i < 8; ++i) b.AddTagged(tags[i], Payload(6 + i, i));
  std::string path = dir.Write("codes.avi", b.Build());

  CAVIExtractor p;
  ASSERT_GT(p.Open(path.c_str(), nullptr), 0);
  Bytes buf(kPacketBufferSize);
  for (int i = 0; i < 8; ++i) {
    int size = kPacketBufferSize;
    testing::internal::CaptureStdout();
    MediaPacketType code = p.ReadPacketDirect(buf.data(), &size);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, codes[i]) << tags[i];
    EXPECT_EQ(size, 6 + i) << tags[i];
    EXPECT_EQ(out, "") << tags[i];  // an unknown tag is not a failed read
  }
  int size = kPacketBufferSize;
  EXPECT_EQ(p.ReadPacketDirect(buf.data(), &size), kPacketEnd);  // the index chunk
  EXPECT_EQ(size, 16 * 8);

  size = kPacketBufferSize;
  testing::internal::CaptureStdout();
  MediaPacketType end = p.ReadPacketDirect(buf.data(), &size);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(end, kPacketEnd);
  EXPECT_EQ(out, "Read Header Failed\nm_aviExtractor.ParseMedia failed\n");

  CAVIExtractor closed;
  size = kPacketBufferSize;
  testing::internal::CaptureStdout();
  end = closed.ReadPacketDirect(buf.data(), &size);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(end, kPacketEnd);
  EXPECT_EQ(out, "m_aviExtractor.ParseMedia failed\n");
}

TEST(AviExtractor, IndexedOpenBuildsTheFrontPictureTable) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(10);
  std::string path = dir.Write("indexed.avi", b.Build());
  auto front = OffsetsOf(b, "00dc");
  ASSERT_EQ(front.size(), 10u);

  CAVIExtractor p;
  RecordingInfo info;
  info.frontFrameCount = 99;
  info.frontFrames.Add(12345);
  ASSERT_TRUE(p.OpenIndexed(path.c_str(), &info));
  EXPECT_EQ(info.frontFrameRate, 30);
  EXPECT_EQ(info.rearFrameRate, 15);
  EXPECT_EQ(info.frontFrameCount, 10);
  EXPECT_EQ(info.rearFrameCount, 5);
  const RecordingInfo& ci = info;
  ASSERT_EQ(ci.frontFrames.GetCount(), 10);
  const CLumArrBase<std::uint32_t>& own = p.FrontFrames();
  ASSERT_EQ(own.GetCount(), 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(ci.frontFrames[i], front[i] | kTopBit) << i;
    EXPECT_EQ(own[i], front[i] | kTopBit) << i;
  }
  // The indexed open leaves the file closed.
  EXPECT_EQ(p.TellRaw(), 0);
  EXPECT_EQ(ReadOne(p).result, -1);
  EXPECT_EQ(p.SeekTime(0.0f), -1);

  // Open with a description builds the table and then streams from the first chunk.
  RecordingInfo again;
  ASSERT_EQ(p.Open(path.c_str(), &again), int(b.MovieSize()));
  EXPECT_EQ(again.frontFrameCount, 10);
  EXPECT_EQ(p.FrontFrames().GetCount(), 10);
  EXPECT_EQ(ReadOne(p).result, int(b.ChunkOffsets()[0]));

  // Open without one forgets the table of the earlier open.
  ASSERT_GT(p.Open(path.c_str(), nullptr), 0);
  EXPECT_EQ(p.FrontFrames().GetCount(), 0);
  EXPECT_EQ(p.SeekTime(0.0f), -1);
}

TEST(AviExtractor, IndexedOpenWorksWithoutADescription) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(3);
  std::string path = dir.Write("x.avi", b.Build());
  CAVIExtractor p;
  ASSERT_TRUE(p.OpenIndexed(path.c_str(), nullptr));
  EXPECT_EQ(p.FrontFrames().GetCount(), 3);
}

TEST(AviExtractor, SeekTimePositionsAtThePictureOrGivesMinusOneWithoutMoving) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(45);
  std::string path = dir.Write("seek.avi", b.Build());
  auto front = OffsetsOf(b, "00dc");

  CAVIExtractor p;
  RecordingInfo info;
  ASSERT_GT(p.Open(path.c_str(), &info), 0);
  for (int i : {0, 1, 17, 30, 44}) {
    ASSERT_EQ(p.SeekTime(float(i) / 30.0f + 0.001f), 0) << i;
    Chunk c = ReadOne(p);
    EXPECT_EQ(c.result, int(front[i])) << i;
    EXPECT_EQ(c.tag, "00dc");
    EXPECT_EQ(c.payload, Payload(100 + 2 * i, i));
  }
  ASSERT_EQ(p.SeekTime(0.5f), 0);
  const int before = p.TellRaw();
  EXPECT_EQ(before, int(front[15]));
  for (float t :
       {1.5f, 2.0f, 1e9f, -0.5f, -1e9f, std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(p.SeekTime(t), -1) << t;
    EXPECT_EQ(p.TellRaw(), before) << t;
  }
  EXPECT_EQ(ReadOne(p).result, int(front[15]));

  p.Close();
  EXPECT_EQ(p.SeekTime(0.0f), -1);
}

TEST(AviExtractor, LargeIndexIsReadInPieces) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b;
  const int pictures = 35000;
  for (int i = 0; i < pictures; ++i) {
    b.Add(0, Bytes{std::uint8_t(i), std::uint8_t(i >> 8)});
    b.Add(2, Bytes{1, 2});
  }
  Bytes file = b.Build();
  ASSERT_GT(16u * 2 * pictures, 1048576u);  // more index than one packet buffer holds
  std::string path = dir.Write("long.avi", file);
  auto front = OffsetsOf(b, "00dc");

  CAVIExtractor p;
  RecordingInfo info;
  ASSERT_TRUE(p.OpenIndexed(path.c_str(), &info));
  EXPECT_EQ(info.frontFrameCount, pictures);
  const CLumArrBase<std::uint32_t>& table = p.FrontFrames();
  ASSERT_EQ(table.GetCount(), pictures);
  for (int i = 0; i < pictures; ++i) ASSERT_EQ(table[i], front[i] | kTopBit) << i;

  ASSERT_GT(p.Open(path.c_str(), &info), 0);
  ASSERT_EQ(p.SeekTime(1000.0f), 0);  // picture 30000
  Chunk c = ReadOne(p);
  EXPECT_EQ(c.result, int(front[30000]));
  EXPECT_EQ(c.payload, (Bytes{std::uint8_t(30000), std::uint8_t(30000 >> 8)}));
}

TEST(AviExtractor, IndexOfBrokenSizeOrTruncatedIsRefused) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(4);
  Bytes good = b.Build();
  const std::uint32_t entries = std::uint32_t(b.Tags().size());

  Bytes notWhole = good;
  avitest::Put32(notWhole, b.IndexAt() + 4, 16 * entries - 8);
  Bytes tooLong = good;
  avitest::Put32(tooLong, b.IndexAt() + 4, 16 * (entries + 1));
  Bytes huge = good;
  avitest::Put32(huge, b.IndexAt() + 4, 0xFFFFFFF0u);
  Bytes cut(good.begin(), good.end() - 24);
  Bytes noIndex(good.begin(), good.begin() + std::ptrdiff_t(b.IndexAt()));

  for (const Bytes* bytes : {&notWhole, &tooLong, &huge, &cut, &noIndex}) {
    std::string path = dir.Write("idx.avi", *bytes);
    CAVIExtractor p;
    RecordingInfo info;
    QuietDiagnostics quiet;
    EXPECT_FALSE(p.OpenIndexed(path.c_str(), &info));
    EXPECT_EQ(p.FrontFrames().GetCount(), 0);
    EXPECT_EQ(p.TellRaw(), 0);
    // The recording still streams; it only cannot be sought.
    ASSERT_GT(p.Open(path.c_str(), &info), 0);
    EXPECT_EQ(info.frontFrames.GetCount(), 0);
    EXPECT_EQ(ReadOne(p).result, int(b.ChunkOffsets()[0]));
    EXPECT_EQ(p.SeekTime(0.0f), -1);
  }
}

TEST(AviExtractor, IndexEntriesOutsideTheMovieListAreSkipped) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b;
  for (int i = 0; i < 6; ++i) b.Add(0, Payload(20, i));
  Bytes file = b.Build();
  const std::size_t entries = b.IndexAt() + 8;
  avitest::Put32(file, entries + 16 * 1 + 8, 0);                  // before the first chunk
  avitest::Put32(file, entries + 16 * 2 + 8, b.MovieSize());      // at the end of the list
  avitest::Put32(file, entries + 16 * 3 + 8, 0xFFFFFFF0u);        // far beyond the file
  avitest::Put32(file, entries + 16 * 4 + 8, b.MovieSize() - 4);  // header runs past the end
  std::string path = dir.Write("skip.avi", file);

  CAVIExtractor p;
  RecordingInfo info;
  ASSERT_TRUE(p.OpenIndexed(path.c_str(), &info));
  const CLumArrBase<std::uint32_t>& table = info.frontFrames;
  ASSERT_EQ(table.GetCount(), 2);
  EXPECT_EQ(table[0], b.ChunkOffsets()[0] | kTopBit);
  EXPECT_EQ(table[1], b.ChunkOffsets()[5] | kTopBit);
  EXPECT_EQ(info.frontFrameCount, 2);
}

TEST(AviExtractor, RawOperationsWorkOnTheOpenFileOnly) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(2);
  Bytes file = b.Build();
  std::string path = dir.Write("raw.avi", file);

  CAVIExtractor p;
  char buf[16] = {};
  EXPECT_EQ(p.ReadRaw(buf, 4), 0);
  EXPECT_EQ(p.SeekRaw(0, 0), 0);
  EXPECT_EQ(p.TellRaw(), 0);

  ASSERT_GT(p.Open(path.c_str(), nullptr), 0);
  const int first = int(b.MovieType() + 4);
  EXPECT_EQ(p.TellRaw(), first);
  EXPECT_EQ(p.ReadRaw(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "00dc");
  EXPECT_EQ(p.TellRaw(), first + 4);
  EXPECT_EQ(p.SeekRaw(0, 0), 0);
  EXPECT_EQ(p.ReadRaw(buf, 12), 12);
  EXPECT_EQ(std::string(buf, 4), "RIFF");
  EXPECT_EQ(std::string(buf + 8, 4), "AVI ");
  EXPECT_EQ(p.SeekRaw(4, 1), 0);
  EXPECT_EQ(p.TellRaw(), 16);
  EXPECT_EQ(p.SeekRaw(int(file.size()) - 3, 0), 0);
  EXPECT_EQ(p.ReadRaw(buf, 16), 3);  // only what is left
  EXPECT_EQ(p.ReadRaw(buf, 0), 0);
  EXPECT_EQ(p.ReadRaw(nullptr, 4), 0);
  // Reading packets goes on from wherever the raw position is.
  EXPECT_EQ(p.SeekRaw(first, 0), 0);
  EXPECT_EQ(ReadOne(p).result, first);

  p.Close();
  EXPECT_EQ(p.ReadRaw(buf, 4), 0);
  EXPECT_EQ(p.SeekRaw(0, 0), 0);
  EXPECT_EQ(p.TellRaw(), 0);
  EXPECT_EQ(ReadOne(p).result, -1);
  p.Close();  // closing twice does nothing
}

TEST(AviExtractor, ChunksAfterTheFirstItemOfAStreamListArePassedOver) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(2);
  Bytes file = b.Build();
  // A name chunk after the front stream's format: 12 more bytes in that list, in the header list
  // and in the RIFF.
  const std::size_t list = 12 + 12 + 64;  // RIFF header, header list header, main header
  ASSERT_EQ(std::string(file.begin() + list, file.begin() + list + 4), "LIST");
  const Bytes name = {'s', 't', 'r', 'n', 4, 0, 0, 0, 'f', 'r', 'o', 'n'};
  file.insert(file.begin() + std::ptrdiff_t(list + 124), name.begin(), name.end());
  avitest::Put32(file, list + 4, 116 + 12);
  avitest::Put32(file, 16, std::uint32_t(file[16] | file[17] << 8) + 12);
  avitest::Put32(file, 4, std::uint32_t(file.size() - 8));
  std::string path = dir.Write("strn.avi", file);

  CAVIExtractor p;
  RecordingInfo info;
  ASSERT_EQ(p.Open(path.c_str(), &info), int(b.MovieSize()));
  EXPECT_EQ(p.VideoStreamCount(), 2);
  EXPECT_EQ(p.GetFrameRate(1), 15);
  int bits = 0, rate = 0;
  p.GetAudioFormat(&bits, &rate);
  EXPECT_EQ(rate, 8000);
  EXPECT_EQ(ReadOne(p).result, int(b.ChunkOffsets()[0] + 12));
  ASSERT_EQ(info.frontFrames.GetCount(), 2);
  const RecordingInfo& ci = info;
  EXPECT_EQ(ci.frontFrames[0], (b.ChunkOffsets()[0] + 12) | kTopBit);
}

TEST(AviExtractor, HeaderWalkIsBounded) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // Lists nested deeper than any recording needs are refused, however consistent their sizes;
  // a few levels are walked.
  auto nested = [](int depth) {
    Raw r;
    for (int i = 0; i < depth; ++i) r.Id("LIST").U32(std::uint32_t(4 + 8 * (depth - 1 - i)));
    r.Id("xxxx");
    return r.bytes();
  };
  for (int depth : {1, 2, 4}) {
    Bytes h = nested(depth);
    std::string path = dir.Write("nested.avi", WithHeaderList(std::uint32_t(h.size()), h));
    CAVIExtractor p;
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 16) << depth;
  }
  for (int depth : {5, 8, 200000}) {
    Bytes h = nested(depth);
    std::string path = dir.Write("deep.avi", WithHeaderList(std::uint32_t(h.size()), h));
    CAVIExtractor p;
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 0) << depth;
  }
  // A list too small to hold its own type is refused.
  {
    Raw r;
    r.Id("LIST").U32(2).Id("strl");
    Bytes h = r.bytes();
    std::string path = dir.Write("tiny.avi", WithHeaderList(std::uint32_t(h.size()), h));
    CAVIExtractor p;
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 0);
  }
  // Many small unknown lists are walked one after the other.
  {
    Raw r;
    for (int i = 0; i < 20000; ++i) r.Id("LIST").U32(4).Id("xxxx");
    Bytes h = r.bytes();
    std::string path = dir.Write("many.avi", WithHeaderList(std::uint32_t(h.size()), h));
    CAVIExtractor p;
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 16);
    EXPECT_EQ(p.VideoStreamCount(), 0);
    Chunk c = ReadOne(p);
    EXPECT_EQ(c.tag, "00dc");
    EXPECT_EQ(c.size, 4);
    // The same with a header size far beyond the file: the walk ends at the end of the file.
    Bytes huge = WithHeaderList(0xFFFFFFFFu, h);
    path = dir.Write("many-huge.avi", huge);
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 0);
  }
  // An unknown chunk at the top passes over the rest of the header list.
  {
    Raw r;
    r.Id("JUNK").U32(0).U32(0).U32(0);
    Bytes h = r.bytes();
    std::string path = dir.Write("junk.avi", WithHeaderList(std::uint32_t(h.size()), h));
    CAVIExtractor p;
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 16);
    // And one that claims more than the file holds is refused.
    path = dir.Write("junk-huge.avi", WithHeaderList(0x7FFFFFF0u, h));
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 0);
  }
}

TEST(AviExtractor, MovieListSizeMustHoldItsTypeAndFitTheResult) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = TwoCameraRecording(2);
  Bytes good = b.Build();
  const std::size_t sizeField = b.MovieType() - 4;
  for (std::uint32_t v : {0u, 3u, 0x80000000u, 0xFFFFFFFFu}) {
    Bytes file = good;
    avitest::Put32(file, sizeField, v);
    std::string path = dir.Write("movi.avi", file);
    CAVIExtractor p;
    EXPECT_EQ(p.Open(path.c_str(), nullptr), 0) << v;
    EXPECT_EQ(p.TellRaw(), 0) << v;
  }
  // The placeholder of an unfinished clip ("0000") still streams.
  Bytes file = good;
  std::memcpy(file.data() + sizeField, "0000", 4);
  std::string path = dir.Write("unfinished.avi", file);
  CAVIExtractor p;
  EXPECT_EQ(p.Open(path.c_str(), nullptr), 0x30303030);
  EXPECT_EQ(ReadOne(p).result, int(b.ChunkOffsets()[0]));
  EXPECT_FALSE(p.OpenIndexed(path.c_str(), nullptr));
}

// --- Damaged files -------------------------------------------------------------------------------

// Runs every reading path over one file and checks what must hold whatever the file holds: opens
// end, reads end with -1 within a bounded number of calls, no packet exceeds the capacity or the
// file, every packet is the file's own bytes, and nothing is written past the caller's buffer.
class DamageHarness {
 public:
  static constexpr std::size_t kGuard = 64;
  static constexpr std::uint8_t kGuardByte = 0xA5;

  explicit DamageHarness(const TempDir& dir) : path_(dir.Path("damaged.avi")) {}

  void Run(const Bytes& file, int capacity) {
    TempWrite(file);
    // Only the guard after the capacity needs to be fresh; every check of a payload compares
    // the bytes the read just claimed.
    buffer_.resize(std::size_t(capacity) + kGuard);
    std::fill(buffer_.end() - kGuard, buffer_.end(), kGuardByte);

    CAVIExtractor p;
    RecordingInfo info;
    if (p.OpenIndexed(path_.c_str(), &info)) {
      CheckTable(info, file);
      EXPECT_EQ(p.TellRaw(), 0);
    }
    const int movie = p.Open(path_.c_str(), &info);
    if (movie == 0) {
      EXPECT_EQ(p.TellRaw(), 0);
      char tag[8] = {};
      int size = capacity;
      EXPECT_EQ(p.ReadPacket(tag, buffer_.data(), &size), -1);
      return;
    }
    EXPECT_GT(movie, 0);
    CheckTable(info, file);
    ReadToEnd(p, file, capacity);

    // Seeks land on a table entry or give -1; reading from there still ends.
    const CLumArrBase<std::uint32_t>& table = info.frontFrames;
    for (float t : {0.0f, 0.05f, 0.5f, 1e6f}) {
      int r = p.SeekTime(t);
      if (r == 0) {
        int at = p.TellRaw();
        bool onEntry = false;
        for (int i = 0; i < table.GetCount(); ++i)
          onEntry = onEntry || int(table[i] & ~kTopBit) == at;
        EXPECT_TRUE(onEntry);
        ReadToEnd(p, file, capacity);
      } else {
        EXPECT_EQ(r, -1);
      }
    }

    // The direct read ends too.
    ASSERT_GT(p.Open(path_.c_str(), nullptr), 0);
    const int bound = int(file.size() / 8) + 2;
    int reads = 0;
    for (; reads < bound; ++reads) {
      int size = capacity;
      MediaPacketType code = p.ReadPacketDirect(buffer_.data(), &size);
      ASSERT_GE(size, 0);
      ASSERT_LE(size, capacity);
      if (code == kPacketEnd && size == 0) break;
    }
    EXPECT_LT(reads, bound);
    CheckGuard();
  }

 private:
  void TempWrite(const Bytes& file) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!file.empty()) std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }

  void CheckTable(const RecordingInfo& info, const Bytes& file) {
    const CLumArrBase<std::uint32_t>& table = info.frontFrames;
    EXPECT_EQ(table.GetCount(), info.frontFrameCount);
    for (int i = 0; i < table.GetCount(); ++i) {
      EXPECT_NE(table[i] & kTopBit, 0u);
      EXPECT_LE(std::size_t(table[i] & ~kTopBit) + 8, file.size());
    }
  }

  void ReadToEnd(CAVIExtractor& p, const Bytes& file, int capacity) {
    // Every delivered chunk takes at least its 8-byte header from the file.
    const int bound = int(file.size() / 8) + 2;
    int reads = 0;
    bool ended = false;
    while (reads < bound) {
      char tag[8] = {};
      int size = capacity;
      int r = p.ReadPacket(tag, buffer_.data(), &size);
      ++reads;
      if (r < 0) {
        ASSERT_EQ(r, -1);
        ended = true;
        break;
      }
      ASSERT_GE(size, 0);
      ASSERT_LE(size, capacity);
      ASSERT_LE(std::size_t(r) + 8 + std::size_t(size), file.size());
      ASSERT_EQ(std::memcmp(tag, file.data() + r, 4), 0);
      ASSERT_TRUE(std::equal(buffer_.begin(), buffer_.begin() + size, file.begin() + r + 8));
    }
    EXPECT_TRUE(ended) << "no end after " << reads << " reads";
    CheckGuard();
  }

  void CheckGuard() {
    ASSERT_TRUE(std::all_of(buffer_.end() - kGuard, buffer_.end(), [](std::uint8_t v) {
      return v == kGuardByte;
    })) << "written past the capacity";
  }

  std::string path_;
  Bytes buffer_;
};

AviBuilder DamageSubject() {
  AviBuilder b;
  for (int i = 0; i < 4; ++i) {
    b.Add(0, Payload(60 + i, i));
    b.Add(1, Payload(33, 10 + i));
    b.Add(2, Payload(48, 20 + i));
    b.Add(3, Payload(17 + 2 * i, 30 + i));
  }
  return b;
}

TEST(AviExtractorDamage, TruncatedAtEveryByte) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = DamageSubject();
  Bytes file = b.Build();
  DamageHarness harness(dir);
  QuietDiagnostics quiet;
  for (std::size_t n = 0; n <= file.size(); ++n) {
    SCOPED_TRACE("truncated to " + std::to_string(n));
    harness.Run(Bytes(file.begin(), file.begin() + std::ptrdiff_t(n)), kPacketBufferSize);
    if (testing::Test::HasFatalFailure()) return;
  }
}

TEST(AviExtractorDamage, TruncatedFileStillReadsUpToTheCut) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = DamageSubject();
  Bytes file = b.Build();
  // Cut in the middle of the ninth chunk's payload.
  const std::size_t cut = b.ChunkOffsets()[8] + 8 + 5;
  std::string path = dir.Write("cut.avi", Bytes(file.begin(), file.begin() + std::ptrdiff_t(cut)));
  CAVIExtractor p;
  RecordingInfo info;
  ASSERT_GT(p.Open(path.c_str(), &info), 0);
  EXPECT_EQ(info.frontFrames.GetCount(), 0);  // no index to seek with
  for (int i = 0; i < 8; ++i) EXPECT_EQ(ReadOne(p).result, int(b.ChunkOffsets()[i]));
  EXPECT_EQ(ReadOne(p).result, -1);  // the cut chunk is not delivered short
}

TEST(AviExtractorDamage, SizeFieldsWithExtremeValues) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = DamageSubject();
  Bytes file = b.Build();
  DamageHarness harness(dir);
  const std::uint32_t values[] = {0,
                                  1,
                                  3,
                                  4,
                                  55,
                                  57,
                                  0x7FFFFFFFu,
                                  0x80000000u,
                                  0xFFFFFFFFu,
                                  0xFFFFFFF0u,
                                  0x00100000u,
                                  0x00100001u,
                                  std::uint32_t(file.size()),
                                  std::uint32_t(file.size() + 1)};
  QuietDiagnostics quiet;
  for (std::size_t at : b.SizeFields()) {
    for (std::uint32_t v : values) {
      SCOPED_TRACE("size field at " + std::to_string(at) + " = " + std::to_string(v));
      Bytes damaged = file;
      avitest::Put32(damaged, at, v);
      harness.Run(damaged, kPacketBufferSize);
      harness.Run(damaged, 64);
      if (testing::Test::HasFatalFailure()) return;
    }
  }
  // The index entries' offset and length fields too.
  for (std::size_t at = b.IndexAt() + 8; at + 16 <= file.size(); at += 16) {
    for (std::uint32_t v : values) {
      Bytes damaged = file;
      avitest::Put32(damaged, at + 8, v);
      avitest::Put32(damaged, at + 12, v);
      harness.Run(damaged, kPacketBufferSize);
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(AviExtractorDamage, RandomBytes) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  AviBuilder b = DamageSubject();
  Bytes file = b.Build();
  DamageHarness harness(dir);
  std::mt19937 random(20240611);
  const std::uint32_t extremes[] = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x00100000u};
  QuietDiagnostics quiet;
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Bytes damaged = file;
    const int changes = 1 + int(random() % 6);
    for (int c = 0; c < changes; ++c) {
      std::size_t at = random() % (damaged.size() - 4);
      switch (random() % 3) {
        case 0:
          damaged[at] = std::uint8_t(random());
          break;
        case 1:
          avitest::Put32(damaged, at, extremes[random() % std::size(extremes)]);
          break;
        default:
          avitest::Put32(damaged, at, std::uint32_t(random()));
          break;
      }
    }
    if (round % 4 == 0) damaged.resize(random() % damaged.size());
    harness.Run(damaged, round % 2 ? kPacketBufferSize : 128);
    if (testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
