// SPDX-License-Identifier: GPL-3.0-or-later
// The video decoder on real H.264 written by roadeye-mkcard: every front picture carries a white
// square in its top-right corner at each whole second (pictures 0, 30, ...) and a dark one
// otherwise, which tells from the presented pixels which picture is on show and which way up.
#include <gtest/gtest.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "media/MediaTypes.h"
#include "playback/CDecoder.h"
#include "playback/CFFMH264_Decoder.h"
#include "playback/RecordingSurface.h"
#include "playback/tests/CardPackets.h"
#include "support/testing/JpegFile.h"

namespace fs = std::filesystem;

namespace {

using playback_test::Packet;
// A three-second, two-camera card's picture packets, as the viewer reads them.
using Card = playback_test::CardPackets;

// Written once for all tests, removed when the program ends.
std::unique_ptr<Card> gCard;

// Mean of one channel-averaged rectangle of a kept picture.
double Mean(const PresentedPicture& p, int x0, int y0, int x1, int y1) {
  double sum = 0;
  long n = 0;
  for (int y = y0; y < y1; ++y) {
    const unsigned char* row = p.pixels.data() + std::size_t(y) * std::size_t(p.width) * 3;
    for (int x = x0 * 3; x < x1 * 3; ++x, ++n) sum += row[x];
  }
  return n ? sum / double(n) : 0;
}

// The corners of the picture, each 5% of its width and height.
double TopRight(const PresentedPicture& p) {
  return Mean(p, p.width - p.width / 20, 0, p.width, p.height / 20);
}
double TopLeft(const PresentedPicture& p) { return Mean(p, 0, 0, p.width / 20, p.height / 20); }
double BottomRight(const PresentedPicture& p) {
  return Mean(p, p.width - p.width / 20, p.height - p.height / 20, p.width, p.height);
}
double BottomLeft(const PresentedPicture& p) {
  return Mean(p, 0, p.height - p.height / 20, p.width / 20, p.height);
}
double Whole(const PresentedPicture& p) { return Mean(p, 0, 0, p.width, p.height); }

bool AllBlack(const PresentedPicture& p) {
  for (unsigned char v : p.pixels)
    if (v != 0) return false;
  return !p.pixels.empty();
}

// FFmpeg reports damaged packets on standard error; quiet while a test feeds it damage on purpose.
class QuietFFmpeg {
 public:
  QuietFFmpeg() : saved_(av_log_get_level()) { av_log_set_level(AV_LOG_QUIET); }
  ~QuietFFmpeg() { av_log_set_level(saved_); }

 private:
  int saved_;
};

class CFFMH264DecoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!gCard) gCard = std::make_unique<Card>();
  }
  void SetUp() override { ASSERT_EQ(gCard->error, "") << "no card to decode"; }
  const std::vector<Packet>& front() const { return gCard->front; }
  const std::vector<Packet>& rear() const { return gCard->rear; }
};

// How the decoder is driven: its threads, and whether each picture's successor is named before
// it (as the engine does). Two threads without the look-ahead drain and replay at every picture;
// a test that jumps about names a successor that does not come.
struct DecodeMode {
  int threads;
  bool ahead;
};

class CDecoderTest : public CFFMH264DecoderTest, public ::testing::WithParamInterface<DecodeMode> {
 protected:
  void SetUp() override {
    CFFMH264DecoderTest::SetUp();
    decoder_.SetThreads(GetParam().threads);
    decoder_.SetFrameThreadsAbove(0);  // the test card's small pictures use the threads too
    ASSERT_TRUE(decoder_.Init());
  }
  void TearDown() override { decoder_.Release(); }

  bool ShowFront(VideoSurface* s, int picture, bool draw = true) {
    return Show(0, front(), s, picture, draw);
  }
  bool ShowRear(VideoSurface* s, int picture, bool draw = true) {
    return Show(1, rear(), s, picture, draw);
  }
  bool Show(int channel, const std::vector<Packet>& stream, VideoSurface* s, int picture,
            bool draw) {
    const std::size_t next = std::size_t(picture) + 1;
    if (GetParam().ahead && next < stream.size()) {
      decoder_.DecodeAhead(channel, stream[next].data(), int(stream[next].size()));
    }
    const Packet& p = stream[std::size_t(picture)];
    return decoder_.DecodeAndShow(channel, s, p.data(), int(p.size()), draw);
  }
  // The picture presented last. The record is emptied, so that long runs do not pile up copies.
  static PresentedPicture Last(CRecordingSurface& s) {
    auto all = s.Pictures();
    s.Clear();
    return all.empty() ? PresentedPicture{} : all.back();
  }

  CDecoder decoder_;
};

// ---- CFFMH264_Decoder ---------------------------------------------------------------------------

TEST_F(CFFMH264DecoderTest, EveryPictureComesOutOfItsOwnPacket) {
  CFFMH264_Decoder d;
  ASSERT_TRUE(d.Init());
  int w = -1, h = -1;
  d.GetPictureSize(&w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  for (std::size_t i = 0; i < front().size(); ++i) {
    ASSERT_TRUE(d.Decode(front()[i].data(), int(front()[i].size()))) << "front picture " << i;
  }
  d.GetPictureSize(&w, &h);
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 720);

  CFFMH264_Decoder r;
  ASSERT_TRUE(r.Init());
  for (std::size_t i = 0; i < rear().size(); ++i) {
    ASSERT_TRUE(r.Decode(rear()[i].data(), int(rear()[i].size()))) << "rear picture " << i;
  }
  r.GetPictureSize(&w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 360);
}

TEST_F(CFFMH264DecoderTest, RefusesUnusableInput) {
  CFFMH264_Decoder d;
  char byte = 0;
  EXPECT_FALSE(d.Decode(front()[0].data(), int(front()[0].size())));  // not opened
  ASSERT_TRUE(d.Init());
  EXPECT_FALSE(d.Decode(nullptr, 100));
  EXPECT_FALSE(d.Decode(&byte, 0));
  EXPECT_FALSE(d.Decode(&byte, -5));
  std::vector<char> huge(CFFMH264_Decoder::kMaxPacketBytes + 1);
  std::memcpy(huge.data(), front()[0].data(), front()[0].size());
  EXPECT_FALSE(d.Decode(huge.data(), int(huge.size())));
  unsigned char out[16 * 16 * 3];
  EXPECT_FALSE(d.Convert(out, 48, 16, 16));  // no picture yet

  ASSERT_TRUE(d.Decode(front()[0].data(), int(front()[0].size())));
  EXPECT_FALSE(d.Convert(nullptr, 48, 16, 16));
  EXPECT_FALSE(d.Convert(out, 47, 16, 16));  // rows overlap
  EXPECT_FALSE(d.Convert(out, 48, 0, 16));
  EXPECT_TRUE(d.Convert(out, 48, 16, 16));
}

// Where the key picture's slice begins: what comes before it is its parameter sets.
std::size_t KeySliceStart(const Packet& key) {
  for (std::size_t i = 0; i + 4 < key.size(); ++i) {
    if (key[i] == 0 && key[i + 1] == 0 && key[i + 2] == 1 && (key[i + 3] & 0x1F) == 5)
      return i > 0 && key[i - 1] == 0 ? i - 1 : i;
  }
  return 0;
}

TEST_F(CFFMH264DecoderTest, RefusedPacketsWithoutPictureDataHoldNothingBack) {
  QuietFFmpeg quiet;
  CFFMH264_Decoder d;
  ASSERT_TRUE(d.Init());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(d.Decode(front()[i].data(), int(front()[i].size())));
  // Stray bytes, and the parameter sets of a key picture on their own.
  const char stray[] = "not a picture at all";
  EXPECT_FALSE(d.Decode(stray, int(sizeof stray)));
  const std::size_t sets = KeySliceStart(front()[0]);
  ASSERT_GT(sets, 0u);
  d.Decode(front()[0].data(), int(sets));
  // The next picture shows as usual.
  EXPECT_TRUE(d.Decode(front()[5].data(), int(front()[5].size())));

  // A picture cut short holds back the pictures predicted from it until the next key picture.
  EXPECT_FALSE(d.Decode(front()[6].data(), int(front()[6].size() / 2)));
  for (int i = 7; i < 30; ++i)
    EXPECT_FALSE(d.Decode(front()[i].data(), int(front()[i].size()))) << "picture " << i;
  EXPECT_TRUE(d.Decode(front()[30].data(), int(front()[30].size())));
  EXPECT_TRUE(d.Decode(front()[31].data(), int(front()[31].size())));
}

TEST_F(CFFMH264DecoderTest, ReleaseAndInitAgain) {
  CFFMH264_Decoder d;
  ASSERT_TRUE(d.Init());
  d.SetBrightness(0.25f);
  d.SetContrast(1.5f);
  ASSERT_TRUE(d.Decode(front()[0].data(), int(front()[0].size())));
  d.Release();
  EXPECT_FALSE(d.IsOpen());
  EXPECT_FALSE(d.HasPicture());
  ASSERT_TRUE(d.Init());
  ASSERT_TRUE(d.Init());  // twice in a row
  EXPECT_FLOAT_EQ(d.Brightness(), 0.25f);
  EXPECT_FLOAT_EQ(d.Contrast(), 1.5f);
  EXPECT_TRUE(d.Decode(front()[0].data(), int(front()[0].size())));
}

// ---- CDecoder: decoding and showing -------------------------------------------------------------

TEST_P(CDecoderTest, FrontPicturesShowTheFlashAtEveryWholeSecond) {
  CRecordingSurface surface(640, 360, true);
  const int count = std::min<int>(int(front().size()), 61);
  for (int i = 0; i < count; ++i) ASSERT_TRUE(ShowFront(&surface, i)) << "picture " << i;
  auto shown = surface.Pictures();
  ASSERT_EQ(int(shown.size()), count);
  for (int i = 0; i < count; ++i) {
    const PresentedPicture& p = shown[std::size_t(i)];
    ASSERT_EQ(p.width, 640);
    ASSERT_EQ(p.height, 360);
    if (i % 30 == 0) {
      EXPECT_GT(TopRight(p), 200) << "picture " << i;
    } else {
      EXPECT_LT(TopRight(p), 60) << "picture " << i;
    }
  }
  int w = 0, h = 0;
  decoder_.GetPictureSize(0, &w, &h);
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 720);
}

TEST_P(CDecoderTest, RearPicturesShowAtTheRearSurfaceSize) {
  CRecordingSurface front(640, 360, false);
  CRecordingSurface rearSurface(320, 180, true);
  for (int i = 0; i < 31; ++i) {
    ASSERT_TRUE(ShowFront(&front, i));
    ASSERT_TRUE(ShowRear(&rearSurface, i)) << "rear picture " << i;
  }
  auto shown = rearSurface.Pictures();
  ASSERT_EQ(shown.size(), 31u);
  for (const auto& p : shown) {
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 180);
    EXPECT_GT(Whole(p), 10);  // a picture, not black
  }
  int w = 0, h = 0;
  decoder_.GetPictureSize(1, &w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 360);
}

TEST_P(CDecoderTest, DecodeWithoutDrawPresentsNothingAndRedrawShowsIt) {
  CRecordingSurface surface(640, 360, true);
  EXPECT_TRUE(ShowFront(&surface, 0, false));
  EXPECT_EQ(surface.Count(), 0);
  ASSERT_TRUE(decoder_.Redraw(0, &surface));
  ASSERT_EQ(surface.Count(), 1);
  EXPECT_GT(TopRight(Last(surface)), 200);
}

// A surface of no size (a hidden pane) shows nothing, but its pictures are still decoded: the
// engine hands each packet over once, and a key picture skipped would leave every picture after
// it undecodable until the next key picture.
TEST_P(CDecoderTest, ASurfaceOfNoSizeShowsNothingButTheStreamIsDecoded) {
  CRecordingSurface hidden(0, 0, true);
  EXPECT_FALSE(ShowFront(&hidden, 0));
  hidden.SetSize(640, 0);
  EXPECT_FALSE(ShowFront(&hidden, 1));
  hidden.SetSize(0, 360);
  EXPECT_FALSE(ShowFront(&hidden, 2));
  EXPECT_FALSE(decoder_.Redraw(0, &hidden));
  EXPECT_EQ(hidden.Count(), 0);
  int w = -1, h = -1;
  decoder_.GetPictureSize(0, &w, &h);
  EXPECT_EQ(w, 1280) << "the key picture was decoded";
  EXPECT_EQ(h, 720);

  // Shown again, the pane gets picture 3 as a decoder that saw every picture makes it.
  hidden.SetSize(640, 360);
  ASSERT_TRUE(ShowFront(&hidden, 3));
  CDecoder reference;
  reference.Init();
  CRecordingSurface all(640, 360);
  for (int i = 0; i <= 3; ++i) {
    const Packet& p = front()[std::size_t(i)];
    ASSERT_TRUE(reference.DecodeAndShow(0, &all, p.data(), int(p.size()), true));
  }
  ASSERT_EQ(hidden.Pictures().size(), 1u);
  EXPECT_EQ(hidden.Pictures()[0].digest, all.Pictures().back().digest);
}

TEST_P(CDecoderTest, NullSurfaceAndChannelsOutOfRangeAreRefused) {
  const Packet& p = front()[0];
  EXPECT_FALSE(decoder_.DecodeAndShow(0, nullptr, p.data(), int(p.size()), true));
  EXPECT_FALSE(decoder_.Redraw(0, nullptr));
  CRecordingSurface surface(64, 36, true);
  EXPECT_FALSE(decoder_.DecodeAndShow(2, &surface, p.data(), int(p.size()), true));
  EXPECT_FALSE(decoder_.DecodeAndShow(-1, &surface, p.data(), int(p.size()), true));
  EXPECT_FALSE(decoder_.Redraw(2, &surface));
  EXPECT_FALSE(decoder_.Redraw(-1, &surface));
  EXPECT_EQ(surface.Count(), 0);
  int w = -1, h = -1;
  decoder_.GetPictureSize(0, &w, &h);
  EXPECT_EQ(w, 0);
}

TEST_P(CDecoderTest, BlackBeforeTheFirstPicture) {
  CRecordingSurface surface(160, 90, true);
  ASSERT_TRUE(decoder_.Redraw(0, &surface));
  ASSERT_TRUE(decoder_.Redraw(1, &surface));
  // A picture that does not decode on its own (no key picture before it) shows nothing either.
  {
    QuietFFmpeg quiet;
    ASSERT_TRUE(ShowFront(&surface, 5));
  }
  auto shown = surface.Pictures();
  ASSERT_EQ(shown.size(), 3u);
  for (const auto& p : shown) {
    EXPECT_EQ(p.width, 160);
    EXPECT_EQ(p.height, 90);
    EXPECT_TRUE(AllBlack(p));
  }
}

TEST_P(CDecoderTest, JpegPayloadIsDrawnButNotDecoded) {
  const char jpeg[] = {char(0xFF), char(0xD8), char(0xFF), char(0xE0), 0, 16, 'J', 'F', 'I', 'F'};
  CRecordingSurface surface(320, 180, true);
  ASSERT_TRUE(decoder_.DecodeAndShow(0, &surface, jpeg, int(sizeof jpeg), true));
  ASSERT_EQ(surface.Count(), 1);
  EXPECT_TRUE(AllBlack(Last(surface)));
  int w = -1, h = -1;
  decoder_.GetPictureSize(0, &w, &h);
  EXPECT_EQ(w, 0);

  // After a picture the JPEG payload leaves it on show.
  ASSERT_TRUE(ShowFront(&surface, 0));
  const std::uint64_t before = Last(surface).digest;
  ASSERT_TRUE(decoder_.DecodeAndShow(0, &surface, jpeg, int(sizeof jpeg), true));
  const PresentedPicture after = Last(surface);
  EXPECT_EQ(after.digest, before);
  EXPECT_GT(TopRight(after), 200);
}

TEST_P(CDecoderTest, DamagedPacketsLeaveTheLastGoodPicture) {
  QuietFFmpeg quiet;
  CRecordingSurface surface(640, 360, true);
  for (int i = 0; i <= 30; ++i) ASSERT_TRUE(ShowFront(&surface, i));
  const PresentedPicture good = Last(surface);
  ASSERT_GT(TopRight(good), 200);

  std::mt19937 random(7);
  std::vector<Packet> damaged;
  // Random bytes, with and without a start code in front.
  for (int n : {1, 5, 100, 4000, 60000}) {
    Packet p(static_cast<std::size_t>(n));
    for (char& c : p) c = char(random());
    damaged.push_back(p);
    if (n >= 5) {
      p[0] = p[1] = p[2] = 0;
      p[3] = 1;
      p[4] = 0x41;
      damaged.push_back(p);
      p[4] = 0x65;
      damaged.push_back(p);
    }
  }
  // The next picture cut short at several points, and with its slice bytes scrambled.
  const Packet& next = front()[31];
  for (std::size_t cut :
       {std::size_t(5), std::size_t(12), next.size() / 4, next.size() / 2, next.size() - 1}) {
    damaged.emplace_back(next.begin(), next.begin() + long(cut));
  }
  Packet scrambled = next;
  for (std::size_t i = 16; i < scrambled.size(); i += 7) scrambled[i] = char(random());
  damaged.push_back(scrambled);
  // The key picture with its parameter sets but the slice cut off.
  const Packet& key = front()[30];
  damaged.emplace_back(key.begin(), key.begin() + long(std::min<std::size_t>(key.size(), 40)));

  for (std::size_t i = 0; i < damaged.size(); ++i) {
    ASSERT_TRUE(
        decoder_.DecodeAndShow(0, &surface, damaged[i].data(), int(damaged[i].size()), true))
        << "damaged packet " << i;
    EXPECT_EQ(Last(surface).digest, good.digest) << "damaged packet " << i;
  }
  // Lengths that lie.
  EXPECT_TRUE(decoder_.DecodeAndShow(0, &surface, next.data(), -1, true));
  EXPECT_EQ(Last(surface).digest, good.digest);
  EXPECT_TRUE(decoder_.DecodeAndShow(0, &surface, nullptr, 1000, true));
  EXPECT_EQ(Last(surface).digest, good.digest);
  EXPECT_TRUE(decoder_.DecodeAndShow(0, &surface, next.data(), 0x7FFFFFFF, true));
  EXPECT_EQ(Last(surface).digest, good.digest);

  // The pictures that follow are predicted from damage: the last good picture stays until the
  // next key picture, from which the stream decodes again.
  for (int i = 31; i < 60; ++i) {
    ASSERT_TRUE(ShowFront(&surface, i));
    EXPECT_EQ(Last(surface).digest, good.digest) << "picture " << i;
  }
  ASSERT_TRUE(ShowFront(&surface, 60));
  EXPECT_GT(TopRight(Last(surface)), 200);
  ASSERT_TRUE(ShowFront(&surface, 61));
  EXPECT_LT(TopRight(Last(surface)), 60);
}

TEST_P(CDecoderTest, RedrawPresentsAtTheSurfacesNewSize) {
  CRecordingSurface surface(640, 360, true);
  ASSERT_TRUE(ShowFront(&surface, 0));
  surface.SetSize(320, 240);
  ASSERT_TRUE(decoder_.Redraw(0, &surface));
  surface.SetSize(1280, 720);
  ASSERT_TRUE(decoder_.Redraw(0, &surface));
  auto shown = surface.Pictures();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[1].width, 320);
  EXPECT_EQ(shown[1].height, 240);
  EXPECT_GT(TopRight(shown[1]), 200);
  EXPECT_EQ(shown[2].width, 1280);
  EXPECT_EQ(shown[2].height, 720);
  EXPECT_GT(TopRight(shown[2]), 200);
  // The same size again gives the same pixels.
  surface.SetSize(640, 360);
  ASSERT_TRUE(decoder_.Redraw(0, &surface));
  EXPECT_EQ(Last(surface).digest, shown[0].digest);
  // Odd sizes, and sizes larger than the picture.
  for (auto [w, h] :
       {std::pair{333, 187}, std::pair{1, 1}, std::pair{641, 361}, std::pair{1919, 1081}}) {
    surface.SetSize(w, h);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    const PresentedPicture p = Last(surface);
    EXPECT_EQ(p.width, w);
    EXPECT_EQ(p.height, h);
    if (w > 100) {
      EXPECT_GT(TopRight(p), 200) << w << "x" << h;
      EXPECT_LT(TopLeft(p), 200) << w << "x" << h;
    }
  }
}

TEST_P(CDecoderTest, ResetPicturesShowsBlackUntilTheNextKeyPicture) {
  CRecordingSurface surface(320, 180, true);
  ASSERT_TRUE(ShowFront(&surface, 0));
  ASSERT_TRUE(ShowFront(&surface, 1));
  decoder_.ResetPictures();
  ASSERT_TRUE(decoder_.Redraw(0, &surface));
  EXPECT_TRUE(AllBlack(Last(surface)));
  int w = -1, h = -1;
  decoder_.GetPictureSize(0, &w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_FALSE(decoder_.SavePicture(0, "/tmp/never-written.jpg"));
  ASSERT_TRUE(ShowFront(&surface, 30));
  EXPECT_GT(TopRight(Last(surface)), 200);
}

// ---- CDecoder: settings -------------------------------------------------------------------------

TEST_P(CDecoderTest, ContrastAndBrightnessValues) {
  EXPECT_FLOAT_EQ(decoder_.Contrast(0), 1.0f);
  EXPECT_FLOAT_EQ(decoder_.Brightness(0), 0.0f);
  decoder_.SetContrast(0, -10);
  EXPECT_FLOAT_EQ(decoder_.Contrast(0), 0.01f);
  decoder_.SetContrast(0, 20);
  EXPECT_FLOAT_EQ(decoder_.Contrast(0), 2.0f);
  decoder_.SetContrast(0, 5);
  EXPECT_FLOAT_EQ(decoder_.Contrast(0), 1.5f);
  decoder_.SetContrast(0, -5);
  EXPECT_FLOAT_EQ(decoder_.Contrast(0), 0.5f);
  decoder_.SetBrightness(0, 5);
  EXPECT_FLOAT_EQ(decoder_.Brightness(0), 0.5f);
  decoder_.SetBrightness(0, -3);
  EXPECT_FLOAT_EQ(decoder_.Brightness(0), -0.3f);
  decoder_.SetBrightness(0, 1000000);  // no limit on the value
  EXPECT_FLOAT_EQ(decoder_.Brightness(0), 100000.0f);
}

TEST_P(CDecoderTest, ChannelArgumentsOfSettingsAreClamped) {
  decoder_.SetBrightness(2, 5);
  EXPECT_FLOAT_EQ(decoder_.Brightness(1), 0.5f);
  EXPECT_FLOAT_EQ(decoder_.Brightness(0), 0.0f);
  decoder_.SetBrightness(-7, 3);
  EXPECT_FLOAT_EQ(decoder_.Brightness(0), 0.3f);
  EXPECT_FLOAT_EQ(decoder_.Brightness(1), 0.5f);
  decoder_.SetContrast(99, 20);
  EXPECT_FLOAT_EQ(decoder_.Contrast(1), 2.0f);
  EXPECT_FLOAT_EQ(decoder_.Contrast(0), 1.0f);
  decoder_.SetFlipMode(5, 3);
  EXPECT_EQ(decoder_.FlipModeOf(1), 3);
  EXPECT_EQ(decoder_.FlipModeOf(0), 0);
  decoder_.SetFlipMode(-1, 1);
  EXPECT_EQ(decoder_.FlipModeOf(0), 1);
}

TEST_P(CDecoderTest, BrightnessAndContrastChangeThePixels) {
  // A scaled draw and one at the picture's own size (the conversion takes another way there).
  for (auto [w, h] : {std::pair{320, 180}, std::pair{1280, 720}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    ASSERT_TRUE(decoder_.Init());
    decoder_.SetBrightness(0, 0);
    decoder_.SetContrast(0, 0);
    decoder_.SetBrightness(1, 0);
    CRecordingSurface surface(w, h, true);
    ASSERT_TRUE(ShowFront(&surface, 0));
    ASSERT_TRUE(ShowFront(&surface, 1));
    const double plain = Whole(Last(surface));
    decoder_.SetBrightness(0, 1);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    const double brighter = Whole(Last(surface));
    EXPECT_GT(brighter, plain + 10);
    decoder_.SetBrightness(0, -1);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    EXPECT_LT(Whole(Last(surface)), plain - 10);

    decoder_.SetBrightness(0, 0);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    const PresentedPicture back = Last(surface);
    EXPECT_NEAR(Whole(back), plain, 0.5);
    const std::uint64_t plainDigest = back.digest;
    decoder_.SetContrast(0, -5);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    EXPECT_LT(Whole(Last(surface)), plain - 10);
    decoder_.SetContrast(0, 10);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    EXPECT_GT(Whole(Last(surface)), plain + 10);
    // The other channel's settings are its own.
    decoder_.SetContrast(0, 0);
    decoder_.SetBrightness(1, 5);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    EXPECT_EQ(Last(surface).digest, plainDigest);
  }
}

TEST_P(CDecoderTest, SettingsSurviveAReMadeDecoder) {
  CRecordingSurface surface(320, 180, true);
  decoder_.SetBrightness(0, 2);
  decoder_.SetContrast(0, 3);
  ASSERT_TRUE(ShowFront(&surface, 0));
  const std::uint64_t adjusted = Last(surface).digest;
  decoder_.Release();
  ASSERT_TRUE(decoder_.Init());
  EXPECT_FLOAT_EQ(decoder_.Brightness(0), 0.2f);
  EXPECT_FLOAT_EQ(decoder_.Contrast(0), 1.3f);
  ASSERT_TRUE(ShowFront(&surface, 0));
  EXPECT_EQ(Last(surface).digest, adjusted);
}

TEST_P(CDecoderTest, FlipModesMoveTheFlashCorner) {
  struct Case {
    int mode;
    double (*bright)(const PresentedPicture&);
  };
  const Case cases[] = {{CDecoder::kFlipNone, TopRight},
                        {CDecoder::kFlipUpsideDown, BottomRight},
                        {CDecoder::kFlipBoth, BottomLeft},
                        {CDecoder::kFlipMirror, TopLeft}};
  CRecordingSurface surface(640, 360, true);
  for (const Case& c : cases) {
    decoder_.SetFlipMode(0, c.mode);
    ASSERT_TRUE(ShowFront(&surface, 0)) << "mode " << c.mode;
    const PresentedPicture p = Last(surface);
    EXPECT_GT(c.bright(p), 200) << "mode " << c.mode;
    for (auto corner : {TopRight, TopLeft, BottomRight, BottomLeft}) {
      if (corner != c.bright) {
        EXPECT_LT(corner(p), 200) << "mode " << c.mode;
      }
    }
    // Redraw flips the same way.
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    EXPECT_EQ(Last(surface).digest, p.digest) << "mode " << c.mode;
  }
}

// On a surface whose width leaves padding at the end of each row of the decoder's image, every
// flip mode shows exactly the plain picture's pixels moved to their flipped places.
TEST_P(CDecoderTest, FlipsMovePixelsOnAnOddSizedSurface) {
  constexpr int kWidth = 333, kHeight = 187;
  CRecordingSurface surface(kWidth, kHeight, true);
  ASSERT_TRUE(ShowFront(&surface, 0));
  const PresentedPicture plain = Last(surface);
  ASSERT_EQ(plain.pixels.size(), std::size_t(kWidth) * kHeight * 3);
  struct Case {
    int mode;
    bool upsideDown, mirrored;
  };
  const Case cases[] = {{CDecoder::kFlipUpsideDown, true, false},
                        {CDecoder::kFlipMirror, false, true},
                        {CDecoder::kFlipBoth, true, true}};
  for (const Case& c : cases) {
    decoder_.SetFlipMode(0, c.mode);
    ASSERT_TRUE(decoder_.Redraw(0, &surface));
    const PresentedPicture p = Last(surface);
    ASSERT_EQ(p.pixels.size(), plain.pixels.size());
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y) {
      const int fromY = c.upsideDown ? kHeight - 1 - y : y;
      for (int x = 0; x < kWidth; ++x) {
        const int fromX = c.mirrored ? kWidth - 1 - x : x;
        wrong += std::memcmp(&p.pixels[(std::size_t(y) * kWidth + x) * 3],
                             &plain.pixels[(std::size_t(fromY) * kWidth + fromX) * 3], 3) != 0;
      }
    }
    EXPECT_EQ(wrong, 0) << "mode " << c.mode;
  }
}

// ---- CDecoder: saving ---------------------------------------------------------------------------

TEST_P(CDecoderTest, SavePictureAtItsOwnSize) {
  const fs::path dir = fs::temp_directory_path() / ("roadeye-save-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string frontPath = (dir / "front.jpg").string();
  const std::string rearPath = (dir / "rear.jpg").string();
  EXPECT_FALSE(decoder_.SavePicture(0, frontPath.c_str()));
  EXPECT_FALSE(decoder_.SavePicture(1, rearPath.c_str()));
  EXPECT_FALSE(fs::exists(frontPath));

  CRecordingSurface surface(640, 360, true);
  ASSERT_TRUE(ShowFront(&surface, 0));
  const std::uint64_t drawn = Last(surface).digest;
  ASSERT_TRUE(ShowRear(&surface, 0));
  ASSERT_TRUE(decoder_.SavePicture(0, frontPath.c_str()));
  ASSERT_TRUE(decoder_.SavePicture(5, rearPath.c_str()));  // channel 5 acts as 1
  EXPECT_FALSE(decoder_.SavePicture(0, (dir / "no-such-folder" / "x.jpg").c_str()));
  // JPEG bytes go only into a JPEG name; the case of the ending does not matter.
  for (const char* name : {"x.png", "x.bmp", "x", "x.jpg.txt", "jpg", "x.jpg/"}) {
    errno = 0;
    EXPECT_FALSE(decoder_.SavePicture(0, (dir / name).c_str())) << name;
    EXPECT_EQ(errno, EINVAL) << name;
    EXPECT_FALSE(fs::exists(dir / name)) << name;
  }
  EXPECT_TRUE(decoder_.SavePicture(0, (dir / "X.JPEG").c_str()));

  const roadeye_test::JpegPicture f = roadeye_test::DecodeJpegFile(frontPath);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.width, 1280);
  EXPECT_EQ(f.height, 720);
  EXPECT_EQ(f.channels, 3);
  // The flash square of the saved picture, top-right, and the sky beside it at top-left.
  EXPECT_GT(f.Mean(1280 - 64, 0, 64, 36), 200);
  EXPECT_LT(f.Mean(0, 0, 64, 36), 200);
  const roadeye_test::JpegPicture r = roadeye_test::DecodeJpegFile(rearPath);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.width, 640);
  EXPECT_EQ(r.height, 360);

  // Drawing after a save converts at the surface's size again.
  ASSERT_TRUE(decoder_.Redraw(0, &surface));
  const PresentedPicture again = Last(surface);
  EXPECT_EQ(again.width, 640);
  EXPECT_EQ(again.digest, drawn);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// ---- CDecoder: copying a part of the picture ----------------------------------------------------

// A region copied at its own size holds the same pixels as the whole picture converted at its own
// size, cropped there; regions reaching outside are moved inside, odd corners to even ones; a
// region scaled up is the same picture, brighter when the brightness is raised; nothing is written
// before a picture or for unusable requests.
TEST_P(CDecoderTest, CopyRegionIsTheCropOfTheWholePicture) {
  constexpr int kW = 1280, kH = 720;
  std::vector<unsigned char> region(std::size_t(kW) * kH * 3, 7);
  EXPECT_FALSE(decoder_.CopyRegion(0, 0, 0, 64, 64, region.data(), 64 * 3, 64, 64));
  EXPECT_EQ(region[0], 7) << "written without a picture";
  int w = -1, h = -1;
  EXPECT_FALSE(decoder_.PictureSize(0, &w, &h));

  CRecordingSurface surface(kW, kH, true);
  ASSERT_TRUE(ShowFront(&surface, 0));
  const PresentedPicture whole = Last(surface);
  ASSERT_EQ(whole.pixels.size(), std::size_t(kW) * kH * 3);
  ASSERT_TRUE(decoder_.PictureSize(0, &w, &h));
  EXPECT_EQ(w, kW);
  EXPECT_EQ(h, kH);

  // Differences counted per byte beyond a rounding step between two converters.
  auto differing = [&](const std::vector<unsigned char>& got, int x0, int y0, int rw, int rh) {
    int bad = 0;
    for (int y = 0; y < rh; ++y)
      for (int x = 0; x < rw * 3; ++x) {
        const int a = got[std::size_t(y) * rw * 3 + x];
        const int b = whole.pixels[(std::size_t(y0 + y) * kW + x0) * 3 + x];
        bad += std::abs(a - b) > 2;
      }
    return bad;
  };
  struct Case {
    int x, y;      // asked for
    int atX, atY;  // where the copy comes from
  };
  const Case cases[] = {{kW - 160, 0, kW - 160, 0},             // the flash corner
                        {101, 333, 100, 332},                   // odd corner, moved to even
                        {kW - 50, kH - 20, kW - 160, kH - 90},  // reaching out, moved in
                        {-40, -9, 0, 0}};
  constexpr int kRw = 160, kRh = 90;
  for (const Case& c : cases) {
    std::vector<unsigned char> out(std::size_t(kRw) * kRh * 3, 0);
    ASSERT_TRUE(decoder_.CopyRegion(0, c.x, c.y, kRw, kRh, out.data(), kRw * 3, kRw, kRh));
    EXPECT_EQ(differing(out, c.atX, c.atY, kRw, kRh), 0) << "region at " << c.x << "," << c.y;
  }

  // The flash corner scaled up three times: bright as in the picture, brighter when raised.
  auto meanOf = [](const std::vector<unsigned char>& v) {
    double sum = 0;
    for (unsigned char b : v) sum += b;
    return sum / double(v.size());
  };
  std::vector<unsigned char> big(std::size_t(480) * 270 * 3);
  ASSERT_TRUE(decoder_.CopyRegion(0, 0, 300, kRw, kRh, big.data(), 480 * 3, 480, 270));
  const double before = meanOf(big);
  decoder_.SetBrightness(0, 4);
  ASSERT_TRUE(decoder_.CopyRegion(0, 0, 300, kRw, kRh, big.data(), 480 * 3, 480, 270));
  EXPECT_GT(meanOf(big), before + 10);

  // Unusable requests write nothing.
  std::fill(region.begin(), region.end(), 7);
  EXPECT_FALSE(decoder_.CopyRegion(0, 0, 0, 0, 90, region.data(), kRw * 3, kRw, kRh));
  EXPECT_FALSE(decoder_.CopyRegion(0, 0, 0, kRw, kRh, region.data(), kRw * 3 - 1, kRw, kRh));
  EXPECT_FALSE(decoder_.CopyRegion(0, 0, 0, kRw, kRh, nullptr, kRw * 3, kRw, kRh));
  EXPECT_FALSE(decoder_.CopyRegion(2, 0, 0, kRw, kRh, region.data(), kRw * 3, kRw, kRh));
  EXPECT_FALSE(decoder_.CopyRegion(0, 0, 0, kRw, kRh, region.data(), 1 << 30, 1 << 28, kRh));
  EXPECT_TRUE(std::all_of(region.begin(), region.end(), [](unsigned char b) { return b == 7; }));
}

// ---- Frame threads
// --------------------------------------------------------------------------------

// A digest of the decoder's last picture converted at its own size; 0 when there is none.
std::uint64_t PictureDigest(CFFMH264_Decoder& d) {
  int w = 0, h = 0;
  d.GetPictureSize(&w, &h);
  if (w <= 0 || h <= 0) return 0;
  std::vector<unsigned char> rgb(std::size_t(w) * h * 3);
  if (!d.Convert(rgb.data(), w * 3, w, h)) return 0;
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char b : rgb) hash = (hash ^ b) * 0x100000001B3ull;
  return hash;
}

// When the successor is named before a picture: every `period` pictures but the multiples of
// `skip` (0: none left out); with `wrong`, every eleventh picture names a packet that does not
// come next (the next key picture), as a seek does.
struct AheadPattern {
  const char* name;
  int period;
  int skip;
  bool wrong;
};

class FrameThreadsTest : public CFFMH264DecoderTest,
                         public ::testing::WithParamInterface<AheadPattern> {
 protected:
  // Decodes the stream from picture `from` on with two threads, naming successors as the
  // pattern says, and checks each picture against the one-thread decode.
  void Walk(CFFMH264_Decoder& two, const std::vector<Packet>& stream,
            const std::vector<std::uint64_t>& expected, std::size_t from) {
    const AheadPattern& p = GetParam();
    for (std::size_t i = from; i < stream.size(); ++i) {
      const bool name = p.period > 0 && i % std::size_t(p.period) == 0 &&
                        (p.skip == 0 || i % std::size_t(p.skip) != 0);
      if (p.wrong && i % 11 == 0) {
        const std::size_t key = (i / 30 + 1) * 30;
        if (key < stream.size() && key != i + 1) {
          two.SendAhead(stream[key].data(), int(stream[key].size()));
        }
      } else if (name && i + 1 < stream.size()) {
        two.SendAhead(stream[i + 1].data(), int(stream[i + 1].size()));
      }
      ASSERT_TRUE(two.Decode(stream[i].data(), int(stream[i].size()))) << "picture " << i;
      ASSERT_EQ(PictureDigest(two), expected[i]) << "picture " << i;
    }
  }
};

TEST_P(FrameThreadsTest, EveryPictureComesOutAsWithOneThread) {
  for (const std::vector<Packet>* stream : {&front(), &rear()}) {
    CFFMH264_Decoder one;
    ASSERT_TRUE(one.Init(1));
    std::vector<std::uint64_t> expected;
    for (const Packet& p : *stream) {
      ASSERT_TRUE(one.Decode(p.data(), int(p.size())));
      expected.push_back(PictureDigest(one));
    }
    CFFMH264_Decoder two;
    ASSERT_TRUE(two.Init(2));
    EXPECT_EQ(two.Threads(), 2);
    Walk(two, *stream, expected, 0);
    // Back to a block's key picture, as a seek goes, and on from there.
    Walk(two, *stream, expected, 30);
    // Forgetting the picture starts the context afresh; the next key picture shows again.
    two.ForgetPicture();
    Walk(two, *stream, expected, 60);
  }
}

// With a size rule the context's threads follow the stream's picture size, changed at key
// pictures either way, and every picture is still the one a single thread gives.
TEST_P(FrameThreadsTest, TheThreadCountFollowsThePictureSize) {
  ASSERT_TRUE(IsKeyPicture(rear()[0].data(), int(rear()[0].size())));
  ASSERT_TRUE(IsKeyPicture(front()[60].data(), int(front()[60].size())));
  std::vector<Packet> stream(front().begin(), front().begin() + 60);
  stream.insert(stream.end(), rear().begin(), rear().begin() + 60);
  stream.insert(stream.end(), front().begin() + 60, front().begin() + 90);
  CFFMH264_Decoder one;
  ASSERT_TRUE(one.Init(1));
  std::vector<std::uint64_t> expected;
  std::vector<long> area;
  for (const Packet& p : stream) {
    ASSERT_TRUE(one.Decode(p.data(), int(p.size())));
    expected.push_back(PictureDigest(one));
    int w = 0, h = 0;
    one.GetPictureSize(&w, &h);
    area.push_back(long(w) * h);
  }
  ASSERT_GT(area[0], area[60]) << "the rear pictures are the smaller";
  const int above = int((area[0] + area[60]) / 2);

  CFFMH264_Decoder two;
  two.SetFrameThreadsAbove(above);
  ASSERT_TRUE(two.Init(2));
  EXPECT_EQ(two.Threads(), 1) << "no picture yet";
  Walk(two, stream, expected, 0);

  // Where it changes, with every successor named as the engine names them.
  CFFMH264_Decoder named;
  named.SetFrameThreadsAbove(above);
  ASSERT_TRUE(named.Init(2));
  std::vector<int> threads;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (i + 1 < stream.size()) named.SendAhead(stream[i + 1].data(), int(stream[i + 1].size()));
    ASSERT_TRUE(named.Decode(stream[i].data(), int(stream[i].size()))) << "picture " << i;
    ASSERT_EQ(PictureDigest(named), expected[i]) << "picture " << i;
    threads.push_back(named.Threads());
  }
  EXPECT_EQ(threads[0], 2);
  EXPECT_EQ(threads[59], 2);
  EXPECT_EQ(threads[60], 1);
  EXPECT_EQ(threads[119], 1);
  EXPECT_EQ(threads[120], 2);
  EXPECT_EQ(threads.back(), 2);
}

INSTANTIATE_TEST_SUITE_P(Patterns, FrameThreadsTest,
                         ::testing::Values(AheadPattern{"Always", 1, 0, false},
                                           AheadPattern{"Never", 0, 0, false},
                                           AheadPattern{"AllButEverySeventh", 1, 7, false},
                                           AheadPattern{"EveryOther", 2, 0, false},
                                           AheadPattern{"WrongAtSeeks", 1, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- CDecoder: threads --------------------------------------------------------------------------

TEST_P(CDecoderTest, SettingsFromAnotherThreadWhileDecoding) {
  CRecordingSurface surface(160, 90, false);
  std::atomic<bool> done{false};
  std::thread window([&] {
    int v = 0;
    while (!done.load()) {
      decoder_.SetBrightness(0, v % 5);
      decoder_.SetContrast(0, v % 7 - 3);
      decoder_.SetFlipMode(0, v % 4);
      decoder_.Redraw(0, &surface);
      ++v;
    }
  });
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(ShowFront(&surface, i));
  done = true;
  window.join();
  EXPECT_GE(surface.Count(), 60);
}

INSTANTIATE_TEST_SUITE_P(Modes, CDecoderTest,
                         ::testing::Values(DecodeMode{1, false}, DecodeMode{2, true},
                                           DecodeMode{2, false}),
                         [](const auto& info) {
                           return std::to_string(info.param.threads) + "Threads" +
                                  (info.param.ahead ? "LookingAhead" : "");
                         });

}  // namespace
