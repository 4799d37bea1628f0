// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "TestCard.h"
#include "media/MediaTypes.h"
#include "media/VFileSystem.h"

TEST(ChunkTag, ClassifiesBothStreamLayouts) {
  EXPECT_EQ(ClassifyChunkTag("00dc"), ChunkKind::kFrontVideo);
  EXPECT_EQ(ClassifyChunkTag("01dc"), ChunkKind::kRearVideo);
  EXPECT_EQ(ClassifyChunkTag("07dc"), ChunkKind::kRearVideo);  // any non-zero stream is the rear
  EXPECT_EQ(ClassifyChunkTag("02wb"), ChunkKind::kAudio);
  EXPECT_EQ(ClassifyChunkTag("01wb"), ChunkKind::kAudio);
  EXPECT_EQ(ClassifyChunkTag("03tx"), ChunkKind::kText);
  EXPECT_EQ(ClassifyChunkTag("02tx"), ChunkKind::kText);
  EXPECT_EQ(ClassifyChunkTag(""), ChunkKind::kNone);  // "nothing yet" from a reader
  EXPECT_EQ(ClassifyChunkTag("00"), ChunkKind::kNone);
  EXPECT_EQ(ClassifyChunkTag(nullptr), ChunkKind::kNone);
  EXPECT_EQ(ClassifyChunkTag("idx1"), ChunkKind::kNone);
}

TEST(PicturePayload, KeyAndJpegRules) {
  auto key = testcard::PicturePayload(0, 0, true);
  auto other = testcard::PicturePayload(0, 1, false);
  EXPECT_TRUE(IsKeyPicture(key.data(), int(key.size())));
  EXPECT_FALSE(IsKeyPicture(other.data(), int(other.size())));
  const unsigned char idr[] = {0, 0, 0, 1, 0x65, 0x88};
  EXPECT_TRUE(IsKeyPicture(idr, sizeof idr));
  const unsigned char shortPayload[] = {0, 0, 0, 1};
  EXPECT_FALSE(IsKeyPicture(shortPayload, sizeof shortPayload));  // never reads past the payload
  // Other cameras put a delimiter or SEI first, and mark ordinary pictures as references or not.
  const unsigned char delimitedP[] = {0,    0, 0,    1, 0x09, 0xF0, 0,    0,   1,
                                      0x06, 5, 0x80, 0, 0,    1,    0x21, 0x9A};
  EXPECT_FALSE(IsKeyPicture(delimitedP, sizeof delimitedP));
  const unsigned char delimitedIdr[] = {0, 0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x67, 0x42};
  EXPECT_TRUE(IsKeyPicture(delimitedIdr, sizeof delimitedIdr));
  // H.265: parameter sets then an IDR slice; a trailing picture; a delimiter then a CRA picture.
  const unsigned char hevcKey[] = {0, 0, 0, 1,    0x40, 0x01, 0x0C, 0, 0, 1,    0x42, 0x01, 0x01,
                                   0, 0, 1, 0x44, 0x01, 0xC0, 0,    0, 1, 0x26, 0x01, 0xAF};
  const unsigned char hevcTrail[] = {0, 0, 0, 1, 0x02, 0x01, 0xD0, 0x09};
  const unsigned char hevcCra[] = {0, 0, 0, 1, 0x46, 0x01, 0x50, 0, 0, 1, 0x2A, 0x01, 0xAD};
  EXPECT_TRUE(IsKeyPicture(hevcKey, sizeof hevcKey, VideoCodec::kH265));
  EXPECT_FALSE(IsKeyPicture(hevcTrail, sizeof hevcTrail, VideoCodec::kH265));
  EXPECT_TRUE(IsKeyPicture(hevcCra, sizeof hevcCra, VideoCodec::kH265));
  EXPECT_FALSE(IsKeyPicture(hevcKey, 4, VideoCodec::kH265));

  const unsigned char jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
  EXPECT_TRUE(IsJpegPicture(jpeg, sizeof jpeg));
  EXPECT_FALSE(IsJpegPicture(jpeg, 2));
  EXPECT_FALSE(IsJpegPicture(key.data(), int(key.size())));
}

namespace {
std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

TEST(CFSNormal, WritesSeeksAndRefusesASecondOpen) {
  testcard::CardDir dir;
  std::string path = dir.root() + "/out.bin";
  std::string other = dir.root() + "/other.bin";
  CFSNormal file;
  EXPECT_FALSE(file.IsOpen());
  ASSERT_TRUE(file.Open(path.c_str(), "wb"));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Write("abcdef", 6), 6);

  testing::internal::CaptureStdout();
  EXPECT_FALSE(file.Open(other.c_str(), "wb"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[CFSNormal] FP is Already Opened\n");
  EXPECT_FALSE(std::ifstream(other).good());  // the second name was never created

  // The first file is untouched and still writable.
  EXPECT_EQ(file.Seek(2, SEEK_SET), 0);
  EXPECT_EQ(file.Write("XY", 2), 2);
  EXPECT_EQ(file.Seek(0, SEEK_END), 0);
  EXPECT_EQ(file.Write("!", 1), 1);
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  file.Close();  // closing a closed file does nothing
  EXPECT_EQ(ReadAll(path), "abXYef!");

  EXPECT_EQ(file.Write("z", 1), 0);
  EXPECT_NE(file.Seek(0, SEEK_SET), 0);
  EXPECT_FALSE(file.Open((dir.root() + "/missing/x.bin").c_str(), "wb"));
  EXPECT_FALSE(file.IsOpen());
}
