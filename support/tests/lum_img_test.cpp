#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "support/LumImg.h"
#include "support/testing/TempDir.h"

namespace {

using Image = CLumImgTempl<unsigned char, 8>;

using roadeye_test::TempDir;

void Fill(CLumImgBase& img) {
  cv::Mat& m = img.Mat();
  for (int y = 0; y < m.rows; ++y) {
    unsigned char* row = m.ptr<unsigned char>(y);
    for (int x = 0; x < m.cols * m.channels(); ++x) row[x] = static_cast<unsigned char>(x * 3 + y);
  }
}

bool SamePixels(const CLumImgBase& a, const CLumImgBase& b) {
  return a.Mat().size() == b.Mat().size() && a.Mat().type() == b.Mat().type() &&
         cv::norm(a.Mat(), b.Mat(), cv::NORM_INF) == 0;
}

TEST(LumImg, AllocateRefusesBadSizes) {
  Image img;
  EXPECT_EQ(img.Type(), kIplU8);
  EXPECT_EQ(img.Ipl().imageData, nullptr);
  EXPECT_FALSE(img.Allocate(0, 10, 3, true, nullptr, nullptr));
  EXPECT_FALSE(img.Allocate(10, -1, 3, true, nullptr, nullptr));
  EXPECT_FALSE(img.Allocate(16385, 10, 1, true, nullptr, nullptr));
  EXPECT_FALSE(img.Allocate(10, 10, 0, true, nullptr, nullptr));
  EXPECT_FALSE(img.Allocate(10, 10, 5, true, nullptr, nullptr));
  EXPECT_TRUE(img.Empty());

  ASSERT_TRUE(img.Allocate(17, 5, 3, true, nullptr, nullptr));
  const IplView v = img.Ipl();
  EXPECT_EQ(v.width, 17);
  EXPECT_EQ(v.height, 5);
  EXPECT_EQ(v.nChannels, 3);
  EXPECT_GE(v.widthStep, 17 * 3);
  ASSERT_NE(v.imageData, nullptr);
  EXPECT_EQ(cv::countNonZero(img.Mat().reshape(1)), 0);  // new pixels are zero

  EXPECT_FALSE(img.Allocate(20, 16385, 3, true, nullptr, nullptr));
  EXPECT_TRUE(img.Empty());  // a refused size leaves no stale picture behind
}

TEST(LumImg, SizedConstructor) {
  CLumImgBase img(8, 6, 1, kIplU8);
  EXPECT_EQ(img.Width(), 8);
  EXPECT_EQ(img.Height(), 6);
  EXPECT_EQ(img.Channels(), 1);
  CLumImgBase bad(0, 6, 3, kIplU8);
  EXPECT_TRUE(bad.Empty());
}

TEST(LumImg, CopiesSharePixelsUntilCopyBeforeWrite) {
  Image a(16, 8, 3);
  Fill(a);
  Image b = a;
  EXPECT_TRUE(a.IsShared());
  EXPECT_EQ(a.Ipl().imageData, b.Ipl().imageData);

  b._CopyBeforeWrite();
  EXPECT_FALSE(a.IsShared());
  EXPECT_FALSE(b.IsShared());
  EXPECT_NE(a.Ipl().imageData, b.Ipl().imageData);
  EXPECT_TRUE(SamePixels(a, b));
  b.Row(0)[0] = 255;
  EXPECT_NE(a.Row(0)[0], 255);

  const unsigned char* own = b.Ipl().imageData;
  b._CopyBeforeWrite();  // nothing to detach
  EXPECT_EQ(b.Ipl().imageData, own);
}

TEST(LumImg, AllocateNeverWritesIntoSharedPixels) {
  Image a(16, 8, 3);
  Fill(a);
  Image b = a;
  ASSERT_TRUE(b.Allocate(16, 8, 3, true, nullptr, nullptr));
  EXPECT_NE(a.Ipl().imageData, b.Ipl().imageData);
  EXPECT_FALSE(a.IsShared());
}

TEST(LumImg, AssignCopyIsDeep) {
  Image a(12, 4, 3);
  Fill(a);
  Image c = a;  // even when it shared a's pixels before
  c.AssignCopy(a);
  EXPECT_NE(c.Ipl().imageData, a.Ipl().imageData);
  EXPECT_TRUE(SamePixels(a, c));
  c.Mat().setTo(cv::Scalar::all(7));
  EXPECT_FALSE(SamePixels(a, c));

  Image empty;
  c.AssignCopy(empty);
  EXPECT_TRUE(c.Empty());
}

TEST(LumImg, SaveImageWritesADecodableJpeg) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image colour(64, 48, 3);
  Fill(colour);
  const std::string path = (dir / "front.jpg");
  ASSERT_TRUE(colour.SaveImage(path.c_str()));

  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  unsigned char magic[3] = {};
  EXPECT_EQ(std::fread(magic, 1, 3, f), 3u);
  std::fclose(f);
  EXPECT_EQ(magic[0], 0xFF);  // JPEG start-of-image marker
  EXPECT_EQ(magic[1], 0xD8);
  EXPECT_EQ(magic[2], 0xFF);

  const cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(back.empty());
  EXPECT_EQ(back.cols, 64);
  EXPECT_EQ(back.rows, 48);
  EXPECT_EQ(back.channels(), 3);

  Image grey(30, 20, 1);
  const std::string greyPath = (dir / "REAR.JPEG");
  ASSERT_TRUE(grey.SaveImage(greyPath.c_str()));
  const cv::Mat greyBack = cv::imread(greyPath, cv::IMREAD_UNCHANGED);
  EXPECT_EQ(greyBack.cols, 30);
  EXPECT_EQ(greyBack.rows, 20);
  EXPECT_EQ(greyBack.channels(), 1);
}

TEST(LumImg, SaveImageReportsFailures) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image empty;
  EXPECT_FALSE(empty.SaveImage((dir / "empty.jpg").c_str()));
  Image img(8, 8, 3);
  EXPECT_FALSE(img.SaveImage(nullptr));
  EXPECT_FALSE(img.SaveImage((dir / "missing/sub/x.jpg").c_str()));
  EXPECT_FALSE(img.SaveImage((dir / "noformat").c_str()));
  EXPECT_NE(access((dir / "empty.jpg").c_str(), F_OK), 0);
}

}  // namespace
