// SPDX-License-Identifier: GPL-3.0-or-later
// The image buffer: shape and stride, pixels shared between copies until a writer detaches them,
// flips, and JPEG writing checked with outside readers (ImageMagick, TurboJPEG's decoder).
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/LumImg.h"
#include "support/testing/JpegFile.h"
#include "support/testing/TempDir.h"

namespace fs = std::filesystem;

namespace {

using Image = CLumImgTempl<unsigned char, 8>;

using roadeye_test::DecodeJpeg;
using roadeye_test::DecodeJpegFile;
using roadeye_test::JpegPicture;
using roadeye_test::TempDir;

void Fill(Image& img) {
  for (int y = 0; y < img.Height(); ++y) {
    unsigned char* row = img.Row(y);
    for (int x = 0; x < img.Width() * img.Channels(); ++x) {
      row[x] = static_cast<unsigned char>(x * 3 + y);
    }
  }
}

bool SamePixels(const Image& a, const Image& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.Channels() != b.Channels()) {
    return false;
  }
  for (int y = 0; y < a.Height(); ++y) {
    for (int x = 0; x < a.Width() * a.Channels(); ++x) {
      if (a.Row(y)[x] != b.Row(y)[x]) return false;
    }
  }
  return true;
}

bool AllZero(const Image& img) {
  for (int y = 0; y < img.Height(); ++y) {
    for (int x = 0; x < img.Width() * img.Channels(); ++x) {
      if (img.Row(y)[x] != 0) return false;
    }
  }
  return true;
}

// A camera-like colour picture: smooth gradients, a bright block with sharp edges and mild grain.
void Scene(Image& img) {
  const int w = img.Width(), h = img.Height(), n = img.Channels();
  std::uint32_t seed = 7;
  for (int y = 0; y < h; ++y) {
    unsigned char* row = img.Row(y);
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int grain = int(seed >> 29) - 4;  // -4..3
      const bool block = x > w / 3 && x < w / 2 && y > h / 4 && y < h / 2;
      const int b = block ? 230 : 40 + x * 150 / w + grain;
      const int g = block ? 220 : 60 + y * 120 / h + grain;
      const int r = block ? 60 : 100 + (x + y) * 100 / (w + h) + grain;
      unsigned char* p = row + x * n;
      if (n == 1) {
        p[0] = static_cast<unsigned char>((b + g + r) / 3);
        continue;
      }
      p[0] = static_cast<unsigned char>(b);
      p[1] = static_cast<unsigned char>(g);
      p[2] = static_cast<unsigned char>(r);
      if (n == 4) p[3] = static_cast<unsigned char>(x * 11 + y);  // not part of the picture
    }
  }
}

// Mean absolute difference between the image's first three channels (or its one) and a decoded
// picture of the same size holding BGR or grey samples packed.
double MeanError(const Image& img, const std::vector<unsigned char>& decoded, int channels) {
  double sum = 0;
  for (int y = 0; y < img.Height(); ++y) {
    for (int x = 0; x < img.Width(); ++x) {
      for (int c = 0; c < channels; ++c) {
        const int a = img.Row(y)[x * img.Channels() + c];
        const int b = decoded[(std::size_t(y) * img.Width() + x) * channels + c];
        sum += std::abs(a - b);
      }
    }
  }
  return sum / (double(img.Width()) * img.Height() * channels);
}

// The standard output of a shell command, "" when it fails.
std::string Output(const std::string& command) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  return ::pclose(pipe) == 0 ? out : "";
}

// ImageMagick's reading of a file: "width height colourspace".
std::string Identify(const std::string& path) {
  return Output("identify -format '%w %h %[colorspace]' '" + path + "' 2>/dev/null");
}

// ImageMagick's decoding of a file as raw samples: "bgr" or "gray".
std::vector<unsigned char> MagickSamples(const std::string& path, const char* layout) {
  const std::string out =
      Output("convert 'JPEG:" + path + "' -depth 8 " + layout + ":- 2>/dev/null");
  return std::vector<unsigned char>(out.begin(), out.end());
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return bool(out);
}

std::vector<std::string> FolderNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Runs fn in a child process and gives its exit code (fn's result, 0..255). With unprivileged, a
// child of a root test run first becomes the user nobody, whom folder permissions bind (root's
// writes ignore them); 255 when that fails.
int InChild(const std::function<int()>& fn, bool unprivileged) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(255);
    }
    ::_exit(fn() & 0xff);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// What a child reports of a save: 0 when it was written, else errno (254 when errno was not set).
int SaveResult(const Image& img, const std::string& path) {
  errno = 0;
  if (img.SaveImage(path.c_str())) return 0;
  return errno != 0 ? errno : 254;
}

// ---- shape ------------------------------------------------------------------------------------

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
  EXPECT_TRUE(AllZero(img));  // new pixels are zero

  EXPECT_FALSE(img.Allocate(20, 16385, 3, true, nullptr, nullptr));
  EXPECT_TRUE(img.Empty());  // a refused size leaves no stale picture behind
  EXPECT_EQ(img.Width(), 0);
  EXPECT_EQ(img.Channels(), 0);
}

TEST(LumImg, SizedConstructor) {
  CLumImgBase img(8, 6, 1, kIplU8);
  EXPECT_EQ(img.Width(), 8);
  EXPECT_EQ(img.Height(), 6);
  EXPECT_EQ(img.Channels(), 1);
  CLumImgBase bad(0, 6, 3, kIplU8);
  EXPECT_TRUE(bad.Empty());
}

TEST(LumImg, RowsKeepAnAlignedStride) {
  for (const int width : {1, 5, 11, 32, 641}) {
    Image img(width, 3, 3);
    const IplView v = img.Ipl();
    EXPECT_GE(v.widthStep, width * 3) << width;
    EXPECT_EQ(v.widthStep % CLumImgBase::kRowAlign, 0) << width;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.imageData) % CLumImgBase::kRowAlign, 0u) << width;
    for (int y = 0; y < 3; ++y) EXPECT_EQ(img.Row(y), v.imageData + y * v.widthStep) << width;
  }
  Image odd(5, 2, 3);
  EXPECT_GT(odd.Ipl().widthStep, 5 * 3);  // this one has padding after each row
}

TEST(LumImg, AllocateKeepsPixelsOfTheSameShape) {
  Image img(9, 4, 3);
  Fill(img);
  const unsigned char* before = img.Ipl().imageData;
  ASSERT_TRUE(img.Allocate(9, 4, 3));
  EXPECT_EQ(img.Ipl().imageData, before);
  EXPECT_EQ(img.Row(1)[2], 2 * 3 + 1);
  ASSERT_TRUE(img.Allocate(9, 4, 1));  // another shape: new zeroed pixels
  EXPECT_EQ(img.Channels(), 1);
  EXPECT_TRUE(AllZero(img));
}

// ---- sharing ----------------------------------------------------------------------------------

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
  EXPECT_EQ(a.Ipl().widthStep, b.Ipl().widthStep);
  b.Row(0)[0] = 255;
  EXPECT_NE(a.Row(0)[0], 255);

  const unsigned char* own = b.Ipl().imageData;
  b._CopyBeforeWrite();  // nothing to detach
  EXPECT_EQ(b.Ipl().imageData, own);
}

TEST(LumImg, AllocateNeverWritesIntoSharedPixels) {
  Image a(16, 8, 3);
  Fill(a);
  Image reference;
  reference.AssignCopy(a);
  Image b = a;
  ASSERT_TRUE(b.Allocate(16, 8, 3, true, nullptr, nullptr));
  EXPECT_NE(a.Ipl().imageData, b.Ipl().imageData);
  EXPECT_FALSE(a.IsShared());
  EXPECT_TRUE(SamePixels(a, reference));
  EXPECT_TRUE(AllZero(b));
}

TEST(LumImg, AssignCopyIsDeep) {
  Image a(12, 4, 3);
  Fill(a);
  Image c = a;  // even when it shared a's pixels before
  c.AssignCopy(a);
  EXPECT_NE(c.Ipl().imageData, a.Ipl().imageData);
  EXPECT_FALSE(a.IsShared());
  EXPECT_TRUE(SamePixels(a, c));
  c.Row(2)[5] = 7;
  EXPECT_FALSE(SamePixels(a, c));

  Image empty;
  c.AssignCopy(empty);
  EXPECT_TRUE(c.Empty());
  EXPECT_EQ(c.Width(), 0);
}

TEST(LumImg, WritersLeaveTheOtherCopiesAlone) {
  Image a(7, 5, 3);
  Fill(a);
  Image reference;
  reference.AssignCopy(a);

  Image cleared = a;
  ASSERT_TRUE(cleared.Clear());
  EXPECT_TRUE(AllZero(cleared));
  EXPECT_TRUE(SamePixels(a, reference));
  EXPECT_FALSE(a.IsShared());

  Image mirrored = a;
  Image flippedAlso = a;
  ASSERT_TRUE(mirrored.Flip(1));
  EXPECT_TRUE(SamePixels(a, reference));
  EXPECT_TRUE(SamePixels(flippedAlso, reference));
  EXPECT_EQ(mirrored.Row(0)[0], reference.Row(0)[6 * 3]);  // the last pixel came first
  EXPECT_TRUE(a.IsShared());                               // with flippedAlso, still
  EXPECT_FALSE(mirrored.IsShared());
}

TEST(LumImg, CopiesOutliveTheOriginalAndMovesEmptyIt) {
  Image kept;
  {
    Image original(6, 6, 1);
    Fill(original);
    kept = original;
    EXPECT_TRUE(kept.IsShared());
  }
  EXPECT_FALSE(kept.IsShared());
  EXPECT_EQ(kept.Row(5)[4], 4 * 3 + 5);

  Image moved = std::move(kept);
  EXPECT_TRUE(kept.Empty());  // NOLINT(bugprone-use-after-move): moving empties it
  EXPECT_EQ(kept.Width(), 0);
  EXPECT_EQ(moved.Width(), 6);
  EXPECT_EQ(moved.Row(5)[4], 4 * 3 + 5);
  Image target(3, 3, 3);
  target = std::move(moved);
  EXPECT_EQ(target.Channels(), 1);
  EXPECT_TRUE(moved.Empty());  // NOLINT(bugprone-use-after-move)
}

TEST(LumImg, ClearBlackensThePicture) {
  Image img(13, 7, 4);
  Fill(img);
  ASSERT_FALSE(AllZero(img));
  const unsigned char* own = img.Ipl().imageData;
  ASSERT_TRUE(img.Clear());
  EXPECT_TRUE(AllZero(img));
  EXPECT_EQ(img.Ipl().imageData, own);  // in place when the pixels are its own
  Image empty;
  EXPECT_FALSE(empty.Clear());
  EXPECT_FALSE(empty.Flip(0));
}

// ---- flips ------------------------------------------------------------------------------------

// A different value for every sample of pictures up to 8 x 8 pixels of 4 channels.
unsigned char Sample(int x, int y, int c) {
  return static_cast<unsigned char>((x + 8 * y) * 4 + c);
}

TEST(LumImg, FlipsMoveEveryPixelAndLeaveTheRowPadding) {
  struct Size {
    int w, h;
  };
  const Size sizes[] = {{1, 1}, {2, 2}, {5, 3}, {4, 4}, {7, 1}, {1, 6}, {6, 5}, {8, 8}};
  for (const int channels : {1, 2, 3, 4}) {
    for (const Size s : sizes) {
      for (const int code : {0, 1, -1, 2, -3}) {
        Image img(s.w, s.h, channels);
        const int stride = img.Ipl().widthStep;
        for (int y = 0; y < s.h; ++y) {
          unsigned char* row = img.Row(y);
          for (int x = 0; x < s.w; ++x) {
            for (int c = 0; c < channels; ++c) row[x * channels + c] = Sample(x, y, c);
          }
          for (int i = s.w * channels; i < stride; ++i) row[i] = 0xA5;
        }
        ASSERT_TRUE(img.Flip(code));
        const std::string where = std::to_string(s.w) + "x" + std::to_string(s.h) + "x" +
                                  std::to_string(channels) + " code " + std::to_string(code);
        int wrong = 0;
        for (int y = 0; y < s.h; ++y) {
          const unsigned char* row = img.Row(y);
          const int fromY = code <= 0 ? s.h - 1 - y : y;
          for (int x = 0; x < s.w; ++x) {
            const int fromX = code != 0 ? s.w - 1 - x : x;
            for (int c = 0; c < channels; ++c) {
              wrong += row[x * channels + c] != Sample(fromX, fromY, c);
            }
          }
          for (int i = s.w * channels; i < stride; ++i) wrong += row[i] != 0xA5;
        }
        EXPECT_EQ(wrong, 0) << where;
      }
    }
  }
}

TEST(LumImg, FlippingTwiceGivesThePictureBack) {
  Image img(641, 361, 3);  // an odd size with padded rows, as a resized pane gives
  Scene(img);
  Image reference;
  reference.AssignCopy(img);
  for (const int code : {0, 1, -1}) {
    ASSERT_TRUE(img.Flip(code));
    EXPECT_FALSE(SamePixels(img, reference)) << code;
    ASSERT_TRUE(img.Flip(code));
    EXPECT_TRUE(SamePixels(img, reference)) << code;
  }
  // Upside down and then mirrored is the half turn.
  Image both;
  both.AssignCopy(img);
  ASSERT_TRUE(both.Flip(-1));
  ASSERT_TRUE(img.Flip(0));
  ASSERT_TRUE(img.Flip(1));
  EXPECT_TRUE(SamePixels(img, both));
}

// ---- JPEG -------------------------------------------------------------------------------------

TEST(LumImg, EncodedJpegDecodesCloseToTheSource) {
  for (const int channels : {3, 4, 1}) {
    Image img(101, 67, channels);  // not a whole number of 16 x 16 blocks, padded rows
    Scene(img);
    std::vector<unsigned char> jpeg;
    ASSERT_TRUE(img.EncodeJpeg(&jpeg)) << channels;
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg[0], 0xFF);  // start of image
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);  // end of image
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

    const JpegPicture back = DecodeJpeg(jpeg);
    ASSERT_TRUE(back.ok()) << channels;
    EXPECT_EQ(back.width, 101);
    EXPECT_EQ(back.height, 67);
    EXPECT_EQ(back.channels, channels == 1 ? 1 : 3);
    const double error = MeanError(img, back.pixels, back.channels);
    EXPECT_GT(error, 0.0) << channels;  // lossy, so not the same bytes
    EXPECT_LT(error, 3.0) << channels;
  }
}

TEST(LumImg, QualityTradesSizeForFidelity) {
  Image img(160, 120, 3);
  Scene(img);
  std::vector<unsigned char> low, high;
  ASSERT_TRUE(img.EncodeJpeg(&low, 30));
  ASSERT_TRUE(img.EncodeJpeg(&high, 95));
  EXPECT_LT(low.size(), high.size());
  const JpegPicture lowBack = DecodeJpeg(low);
  const JpegPicture highBack = DecodeJpeg(high);
  ASSERT_TRUE(lowBack.ok());
  ASSERT_TRUE(highBack.ok());
  EXPECT_LT(MeanError(img, highBack.pixels, 3), MeanError(img, lowBack.pixels, 3));
}

TEST(LumImg, EncodeJpegRefusesWhatItCannotWrite) {
  std::vector<unsigned char> out = {1, 2, 3};
  Image img(8, 8, 3);
  errno = 0;
  EXPECT_FALSE(img.EncodeJpeg(nullptr));
  EXPECT_EQ(errno, EINVAL);
  for (const int quality : {0, 101, -5}) {
    errno = 0;
    EXPECT_FALSE(img.EncodeJpeg(&out, quality)) << quality;
    EXPECT_EQ(errno, EINVAL);
  }
  Image twoChannels(8, 8, 2);
  errno = 0;
  EXPECT_FALSE(twoChannels.EncodeJpeg(&out));
  EXPECT_EQ(errno, EINVAL);
  Image empty;
  errno = 0;
  EXPECT_FALSE(empty.EncodeJpeg(&out));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(out, (std::vector<unsigned char>{1, 2, 3}));  // a refused call leaves out alone
  EXPECT_TRUE(img.EncodeJpeg(&out, 1));
  EXPECT_TRUE(img.EncodeJpeg(&out, 100));
}

TEST(LumImg, SavedJpegReadsBackInImageMagick) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image colour(203, 97, 3);
  Scene(colour);
  const std::string path = dir / "front.jpg";
  ASSERT_TRUE(colour.SaveImage(path.c_str()));
  EXPECT_EQ(Identify(path), "203 97 sRGB");
  const std::vector<unsigned char> bgr = MagickSamples(path, "bgr");
  ASSERT_EQ(bgr.size(), std::size_t(203) * 97 * 3);
  const double error = MeanError(colour, bgr, 3);
  EXPECT_GT(error, 0.0);
  EXPECT_LT(error, 3.0);
  // The bright block is where it was, in its colours (blue 230, green 220, red 60).
  const JpegPicture back = DecodeJpegFile(path);
  ASSERT_TRUE(back.ok());
  const unsigned char* inBlock = back.At(203 * 5 / 12, 97 * 3 / 8);
  EXPECT_NEAR(inBlock[0], 230, 12);
  EXPECT_NEAR(inBlock[1], 220, 12);
  EXPECT_NEAR(inBlock[2], 60, 12);

  Image grey(30, 20, 1);
  Scene(grey);
  const std::string greyPath = dir / "REAR.JPEG";
  ASSERT_TRUE(grey.SaveImage(greyPath.c_str()));
  EXPECT_EQ(Identify(greyPath), "30 20 Gray");
  const std::vector<unsigned char> samples = MagickSamples(greyPath, "gray");
  ASSERT_EQ(samples.size(), std::size_t(30) * 20);
  EXPECT_LT(MeanError(grey, samples, 1), 3.0);

  // Nothing but the two pictures is left in the folder.
  std::vector<std::string> names = FolderNames(dir.str());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"REAR.JPEG", "front.jpg"}));
}

TEST(LumImg, SaveImageTakesOnlyJpegNames) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image img(16, 16, 3);
  Scene(img);
  for (const char* name : {"a.JPG", "b.Jpeg", "c.jpeg", "d.jPg"}) {
    EXPECT_TRUE(img.SaveImage((dir / name).c_str())) << name;
    EXPECT_EQ(Identify(dir / name), "16 16 sRGB") << name;
  }
  for (const char* name : {"e.png", "f.bmp", "g.jpg.txt", "h.jpgx", "noformat", "jpg", "i.jpe"}) {
    errno = 0;
    EXPECT_FALSE(img.SaveImage((dir / name).c_str())) << name;
    EXPECT_EQ(errno, EINVAL) << name;
    EXPECT_FALSE(fs::exists(dir / name)) << name;
  }
  EXPECT_EQ(FolderNames(dir.str()).size(), 4u);
}

TEST(LumImg, SaveImageReportsFailuresWithTheReason) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image empty;
  errno = 0;
  EXPECT_FALSE(empty.SaveImage((dir / "empty.jpg").c_str()));
  EXPECT_EQ(errno, EINVAL);
  Image img(8, 8, 3);
  errno = 0;
  EXPECT_FALSE(img.SaveImage(nullptr));
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_FALSE(img.SaveImage(""));
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_FALSE(img.SaveImage((dir / "missing/sub/x.jpg").c_str()));
  EXPECT_EQ(errno, ENOENT);
  fs::create_directory(dir / "taken.jpg");
  errno = 0;
  EXPECT_FALSE(img.SaveImage((dir / "taken.jpg").c_str()));  // a folder is in the way
  EXPECT_EQ(errno, EISDIR);
  EXPECT_TRUE(fs::is_directory(dir / "taken.jpg"));
  std::vector<std::string> names = FolderNames(dir.str());
  EXPECT_EQ(names, (std::vector<std::string>{"taken.jpg"}));
}

TEST(LumImg, SaveImageReplacesAFileWhole) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir / "snap.jpg";
  ASSERT_TRUE(WriteText(path, "the old picture"));
  Image img(64, 48, 3);
  Scene(img);
  ASSERT_TRUE(img.SaveImage(path.c_str()));
  EXPECT_EQ(Identify(path), "64 48 sRGB");
  EXPECT_EQ(FolderNames(dir.str()), (std::vector<std::string>{"snap.jpg"}));

  // The new file gets the permissions of any file the user creates (not the temporary file's).
  const std::string plain = dir / "plain.txt";
  ASSERT_TRUE(WriteText(plain, "x"));
  struct stat saved {
  }, created{};
  ASSERT_EQ(::stat(path.c_str(), &saved), 0);
  ASSERT_EQ(::stat(plain.c_str(), &created), 0);
  EXPECT_EQ(saved.st_mode & 07777, created.st_mode & 07777);
}

// A folder the user may not write into: nothing is written, nothing is left behind, and the
// reason is EACCES.
TEST(LumImg, SaveImageIntoAnUnwritableFolder) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(::chmod(dir.str().c_str(), 0755), 0);  // the unprivileged child may look inside
  const std::string locked = dir / "locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
  Image img(32, 32, 3);
  Scene(img);
  const std::string path = locked + "/snap.jpg";
  const int result = InChild(
      [&] {
        if (::access(locked.c_str(), R_OK | X_OK) != 0) return 253;  // the folder is out of reach
        return SaveResult(img, path);
      },
      true);
  EXPECT_EQ(result, EACCES);
  EXPECT_TRUE(FolderNames(locked).empty());
}

// A file that may be written in a folder that may not: writing the picture into the file itself
// would work, but the picture only ever replaces it whole, so the save fails and the old content
// stays.
TEST(LumImg, AFailedSaveKeepsTheOldFile) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(::chmod(dir.str().c_str(), 0755), 0);
  const std::string folder = dir / "pictures";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::string path = folder + "/snap.jpg";
  ASSERT_TRUE(WriteText(path, "the old picture"));
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  Image img(32, 32, 3);
  Scene(img);
  const int result = InChild(
      [&] {
        if (::access(path.c_str(), R_OK | W_OK) != 0) return 253;  // the file must be writable
        return SaveResult(img, path);
      },
      true);
  EXPECT_EQ(result, EACCES);
  EXPECT_TRUE(ReadText(path) == "the old picture");  // (no dump of a whole JPEG when not)
  EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{"snap.jpg"}));
}

// A write cut short half-way (here by a file size limit, as a full card would): the target holds
// the old file, or nothing when there was none, never part of the picture, and the reason is
// reported.
TEST(LumImg, AWriteCutShortLeavesNoHalfFile) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image img(256, 256, 3);
  Scene(img);
  for (int y = 0; y < img.Height(); ++y) {  // noise, so that the picture is far over the limit
    for (int x = 0; x < img.Width() * 3; ++x) img.Row(y)[x] ^= static_cast<unsigned char>(x * y);
  }
  constexpr rlim_t kLimit = 8192;
  std::vector<unsigned char> jpeg;
  ASSERT_TRUE(img.EncodeJpeg(&jpeg));
  ASSERT_GT(jpeg.size(), 2 * kLimit);

  const std::string existing = dir / "old.jpg";
  ASSERT_TRUE(WriteText(existing, "the old picture"));
  const std::string fresh = dir / "new.jpg";
  for (const std::string& path : {existing, fresh}) {
    const int result = InChild(
        [&] {
          std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
          const rlimit limit{kLimit, kLimit};
          if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 253;
          return SaveResult(img, path);
        },
        false);
    EXPECT_EQ(result, EFBIG) << path;
  }
  EXPECT_TRUE(ReadText(existing) == "the old picture");
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_EQ(FolderNames(dir.str()), (std::vector<std::string>{"old.jpg"}));
  // Without the limit the same picture is written.
  ASSERT_TRUE(img.SaveImage(fresh.c_str()));
  EXPECT_TRUE(roadeye_test::ReadFileBytes(fresh) == jpeg);
}

}  // namespace
