// SPDX-License-Identifier: GPL-3.0-or-later
// What roadeye-mkcard's pictures and sound show, read back through roadeye-vexdump with ffprobe
// and ffmpeg: the whole-second flash and beep, the number plate of the car ahead (sharp where its
// rectangle says, blurred when scaled down) and the --realistic scene's encoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/CardWriter.h"
#include "tools/tests/ToolsTestSupport.h"

namespace tools_test {

// A grey region of a picture, one byte a pixel. A pixel of at most 64 counts as black, one of at
// least 192 as white.
struct GreyRegion {
  std::string pixels;
  int width = 0, height = 0;

  int At(int x, int y) const {
    return static_cast<unsigned char>(pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)]);
  }
  // Share of the black (or white) pixels among those whose distance from the region's edge is in
  // [from, to).
  double Share(bool white, int from = 0, int to = 1 << 20) const {
    int in = 0, hit = 0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        int edge = std::min({x, y, width - 1 - x, height - 1 - y});
        if (edge < from || edge >= to) continue;
        ++in;
        hit += white ? At(x, y) >= 192 : At(x, y) <= 64;
      }
    }
    return in > 0 ? double(hit) / in : 0;
  }
  // Strong changes along the rows: from black to white or back, the greys between passed over.
  // Their sum over the rows, and (in *most) the count of the busiest row.
  int Transitions(int* most = nullptr) const {
    int total = 0;
    for (int y = 0; y < height; ++y) {
      int last = 0, n = 0;  // -1 black, 1 white, 0 neither yet
      for (int x = 0; x < width; ++x) {
        int now = At(x, y) <= 64 ? -1 : At(x, y) >= 192 ? 1 : 0;
        if (now == 0) continue;
        if (last != 0 && now != last) ++n;
        last = now;
      }
      total += n;
      if (most) *most = std::max(*most, n);
    }
    return total;
  }
};

// The region `r` of every picture of an H.264 stream, after ffmpeg's `filters` (e.g. a scale).
// The picture is made grey before the cut: cut in 4:2:0, the corner would be rounded to even
// pixels.
std::vector<GreyRegion> RegionOfEveryPicture(const fs::path& h264, const std::string& filters,
                                             const tools::PixelRect& r) {
  std::string chain = filters.empty() ? "" : filters + ",";
  chain += "format=gray,crop=" + std::to_string(r.width) + ":" + std::to_string(r.height) + ":" +
           std::to_string(r.x) + ":" + std::to_string(r.y);
  Outcome o = RunCommand("ffmpeg -nostdin -v error -i " + Quote(h264.string()) + " -vf " +
                         Quote(chain) + " -f rawvideo -pix_fmt gray -");
  EXPECT_EQ(o.exitCode, 0);
  const std::size_t bytes = std::size_t(r.width) * std::size_t(r.height);
  std::vector<GreyRegion> regions;
  if (bytes == 0) return regions;
  EXPECT_EQ(o.out.size() % bytes, 0u);
  for (std::size_t at = 0; at + bytes <= o.out.size(); at += bytes) {
    regions.push_back({o.out.substr(at, bytes), r.width, r.height});
  }
  return regions;
}

// The text of the number plate: inside its border and margin, three font pixels in from its edge.
tools::PixelRect PlateTextRect(int width, int height) {
  const tools::PixelRect plate = tools::PlateRect(width, height);
  const int inset = 3 * tools::PlateCell(height);
  return {plate.x + inset, plate.y + inset, plate.width - 2 * inset, plate.height - 2 * inset};
}

TEST_F(ToolsTest, FlashAndBeepMarkEveryWholeSecond) {
  NeedFfmpeg();
  std::vector<Written> w =
      MakeCard(card(), "--seconds 3 --count 1 --kinds MANUAL --rear no --no-damaged");
  ASSERT_EQ(w.size(), 1u);
  Dumped d = Dump(card(), Listed(w[0].name), out());
  ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
  EXPECT_FALSE(fs::exists(out() / "rear.h264"));

  Outcome gray =
      RunCommand("ffmpeg -nostdin -v error -i " + Quote((out() / "front.h264").string()) +
                 " -vf \"crop=96:96:iw-96:0\" -f rawvideo -pix_fmt gray -");
  ASSERT_EQ(gray.exitCode, 0);
  const std::size_t side = 96 * 96;
  ASSERT_EQ(gray.out.size() % side, 0u);
  const int frames = int(gray.out.size() / side);
  ASSERT_EQ(frames, 90);
  for (int f = 0; f < frames; ++f) {
    double sum = 0;
    for (std::size_t i = 0; i < side; ++i)
      sum += static_cast<unsigned char>(gray.out[f * side + i]);
    double mean = sum / side;
    if (f % 30 == 0) {
      EXPECT_GE(mean, 200) << "picture " << f;
    } else {
      EXPECT_LE(mean, 40) << "picture " << f;
    }
  }

  // 50 ms of loud 1 kHz from each whole second on, the quiet hum in between.
  std::string pcm = ReadFile(out() / "audio.s16le");
  auto sample = [&](std::size_t i) {
    return static_cast<std::int16_t>(static_cast<unsigned char>(pcm[2 * i]) |
                                     static_cast<unsigned char>(pcm[2 * i + 1]) << 8);
  };
  auto rms = [&](std::size_t from, std::size_t to) {
    double s = 0;
    for (std::size_t i = from; i < to; ++i) s += double(sample(i)) * sample(i);
    return std::sqrt(s / double(to - from));
  };
  ASSERT_GE(pcm.size(), 2u * 24000u);
  for (std::size_t s = 0; s < 3; ++s) {
    std::size_t start = s * 8000;
    EXPECT_GT(rms(start, start + 400), 6000) << "second " << s;
    EXPECT_LT(rms(start + 440, start + 8000), 1500) << "second " << s;
    if (s > 0) {
      EXPECT_LT(rms(start - 400, start), 1500) << "second " << s;
    }
  }
}

struct PlateCase {
  int width, height;
};

void PrintTo(const PlateCase& c, std::ostream* os) { *os << c.width << "x" << c.height; }

class NumberPlateTest : public ToolsTest {
 protected:
  // Writes the card and dumps its front pictures; the path of their H.264 stream.
  fs::path FrontPictures(int width, int height) {
    std::vector<Written> w =
        MakeCard(card(), "--front " + std::to_string(width) + "x" + std::to_string(height) +
                             " --seconds 1 --count 1 --kinds REC --rear no --no-damaged");
    EXPECT_EQ(w.size(), 1u);
    if (w.size() != 1) return {};
    Dumped d = Dump(card(), Listed(w[0].name), out());
    EXPECT_EQ(d.run.exitCode, 0) << d.run.out;
    EXPECT_EQ(d.frontWidth, width);
    EXPECT_EQ(d.frontHeight, height);
    return out() / "front.h264";
  }
};

class NumberPlateSizeTest : public NumberPlateTest,
                            public ::testing::WithParamInterface<PlateCase> {};

// In every picture the plate is where PlateRect says: a black border one font pixel wide round a
// white margin of two, and inside it black text on white whose strokes are resolved (many changes
// from black to white along each row of the text).
TEST_P(NumberPlateSizeTest, IsSharpInEveryPictureWherePlateRectSays) {
  NeedFfmpeg();
  const auto [width, height] = GetParam();
  const tools::PixelRect plate = tools::PlateRect(width, height);
  const tools::PixelRect car = tools::AheadCarRect(width, height);
  const int cell = tools::PlateCell(height);
  ASSERT_GE(plate.width, 30 * cell);
  ASSERT_GE(plate.height, 10 * cell);
  // On the car, clear of the flash square (top right) and of the text at the bottom.
  EXPECT_GE(plate.x, car.x);
  EXPECT_LE(plate.x + plate.width, car.x + car.width);
  EXPECT_GE(plate.y, car.y);
  EXPECT_LE(plate.y + plate.height, car.y + car.height);
  EXPECT_LT(plate.x + plate.width, width - std::min({96, width / 4, height / 4}));
  EXPECT_LT(plate.y + plate.height, height - 16 * std::max(1, height / 180));

  const fs::path front = FrontPictures(width, height);
  ASSERT_FALSE(front.empty());
  std::vector<GreyRegion> plates = RegionOfEveryPicture(front, "", plate);
  std::vector<GreyRegion> texts = RegionOfEveryPicture(front, "", PlateTextRect(width, height));
  ASSERT_EQ(plates.size(), 30u);
  ASSERT_EQ(texts.size(), 30u);
  for (std::size_t f = 0; f < plates.size(); ++f) {
    EXPECT_GE(plates[f].Share(false, 0, cell), 0.95) << "border, picture " << f;
    EXPECT_GE(plates[f].Share(true, cell, 3 * cell), 0.95) << "margin, picture " << f;
    const GreyRegion& text = texts[f];
    EXPECT_GE(text.Share(false), 0.25) << "picture " << f;
    EXPECT_GE(text.Share(true), 0.25) << "picture " << f;
    EXPECT_GE(text.Share(false) + text.Share(true), 0.95) << "picture " << f;
    int most = 0;
    const int total = text.Transitions(&most);
    EXPECT_GE(total, 12 * text.height) << "picture " << f;
    EXPECT_GE(most, 16) << "picture " << f;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, NumberPlateSizeTest,
                         ::testing::Values(PlateCase{1920, 1080}, PlateCase{1280, 720},
                                           PlateCase{640, 360}),
                         [](const ::testing::TestParamInfo<PlateCase>& info) {
                           return std::to_string(info.param.width) + "x" +
                                  std::to_string(info.param.height);
                         });

// Strokes two pixels wide in a 1080-line picture are lost when the picture is scaled to a third,
// as a pane a third of its size shows it: the text of the plate turns to greys with far fewer
// changes from black to white than the same text has at full size. Picking every third pixel
// instead keeps the pixels black and white, so the loss is the scaling's averaging.
TEST_F(NumberPlateTest, IsBlurredInAPictureScaledToAThird) {
  NeedFfmpeg();
  const tools::PixelRect text = PlateTextRect(1920, 1080);
  // The pixels of the picture at a third that lie wholly inside the text.
  const tools::PixelRect third{(text.x + 2) / 3, (text.y + 2) / 3,
                               (text.x + text.width) / 3 - (text.x + 2) / 3,
                               (text.y + text.height) / 3 - (text.y + 2) / 3};
  ASSERT_GE(third.width, 12);
  ASSERT_GE(third.height, 2);
  const fs::path front = FrontPictures(1920, 1080);
  ASSERT_FALSE(front.empty());
  std::vector<GreyRegion> sharp = RegionOfEveryPicture(front, "", text);
  ASSERT_EQ(sharp.size(), 30u);

  for (const char* scaler : {"area", "bicubic", "lanczos"}) {
    std::vector<GreyRegion> small =
        RegionOfEveryPicture(front, std::string("scale=640:360:flags=") + scaler, third);
    ASSERT_EQ(small.size(), sharp.size()) << scaler;
    for (std::size_t f = 0; f < small.size(); ++f) {
      const int full = sharp[f].Transitions();
      ASSERT_GE(full, 12 * sharp[f].height) << "picture " << f;
      EXPECT_LE(small[f].Transitions() * 5, full) << scaler << ", picture " << f;
      EXPECT_LE(small[f].Share(false) + small[f].Share(true), 0.6) << scaler << ", picture " << f;
    }
  }
  std::vector<GreyRegion> picked =
      RegionOfEveryPicture(front, "scale=640:360:flags=neighbor", third);
  ASSERT_EQ(picked.size(), sharp.size());
  for (std::size_t f = 0; f < picked.size(); ++f) {
    EXPECT_GE(picked[f].Share(false) + picked[f].Share(true), 0.95) << "picture " << f;
  }
}

// A --realistic recording is encoded as a camera's: High profile, no B pictures, a key picture
// every 30th picture, the asked bit rate kept; and its pictures compress far worse than the
// plain scene's.
TEST_F(ToolsTest, RealisticRecordingIsEncodedLikeACamerasAndCompressesLikeARoad) {
  NeedFfmpeg();
  const std::string common =
      "--seconds 3 --count 1 --kinds REC --rear yes --no-damaged --front 640x360 "
      "--rear-size 320x180";
  std::vector<Written> w = MakeCard(card(), common + " --realistic --bitrate 2000");
  ASSERT_EQ(w.size(), 1u);
  Dumped d = Dump(card(), Listed(w[0].name), out());
  ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
  const fs::path front = out() / "front.h264";
  EXPECT_EQ(FfprobeVideo(front).frames, 90);

  Outcome stream = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries stream=profile,has_b_frames -of "
      "csv=p=0 " +
      Quote(front.string()));
  EXPECT_EQ(stream.out, "High,0\n");

  Outcome frames = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_frames -show_entries frame=key_frame,pict_type "
      "-of csv=p=0 " +
      Quote(front.string()));
  std::vector<std::string> lines = Lines(frames.out);
  ASSERT_EQ(lines.size(), 90u) << frames.out;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const bool key = n % 30 == 0;
    EXPECT_EQ(lines[n], key ? "1,I" : "0,P") << "picture " << n;
  }

  // The bit rate over the recording: the stream's size over its 3 seconds.
  const double kbps = double(fs::file_size(front)) * 8 / 3 / 1000;
  EXPECT_NEAR(kbps, 2000, 200);

  // At constant quality the realistic road takes several times the bytes of the plain scene (6.1
  // times at this size).
  const fs::path plainCard = tmp_.path() / "plain", realCard = tmp_.path() / "real";
  std::vector<Written> plain = MakeCard(plainCard, common);
  std::vector<Written> real = MakeCard(realCard, common + " --realistic");
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(real.size(), 1u);
  ASSERT_EQ(Dump(plainCard, Listed(plain[0].name), tmp_.path() / "plainOut").run.exitCode, 0);
  ASSERT_EQ(Dump(realCard, Listed(real[0].name), tmp_.path() / "realOut").run.exitCode, 0);
  const auto plainBytes = fs::file_size(tmp_.path() / "plainOut" / "front.h264");
  const auto realBytes = fs::file_size(tmp_.path() / "realOut" / "front.h264");
  EXPECT_GE(double(realBytes), 4.0 * double(plainBytes)) << realBytes << " vs " << plainBytes;
  Outcome decode =
      RunCommand("ffmpeg -nostdin -v error -i " +
                     Quote((tmp_.path() / "realOut" / "front.h264").string()) + " -f null -",
                 true);
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.out, "");
}

}  // namespace tools_test
