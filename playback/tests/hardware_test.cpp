// SPDX-License-Identifier: GPL-3.0-or-later
// Hardware decoding: the choice of decoder, the probing of the computer's devices, and what the
// decoder does with a hardware path. This machine may have no graphics device, so the path is
// played by a stand-in that really decodes (libavcodec's software H.264 decoder, handing out NV12
// as VA-API does) and breaks where a test says.
#include <gtest/gtest.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "playback/CDecoder.h"
#include "playback/CFFMH264_Decoder.h"
#include "playback/HardwareDecoding.h"
#include "playback/RecordingSurface.h"
#include "playback/testing/StandInPath.h"
#include "playback/tests/CardPackets.h"

namespace {

// ---- The choice ---------------------------------------------------------------------------------

struct ChoiceCase {
  const char* text;
  bool accepted;
  DecoderChoice choice;  // when accepted
};

class DecoderChoiceParse : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(DecoderChoiceParse, TakesOnlyTheTwoNames) {
  const ChoiceCase& c = GetParam();
  // Start from the other value, so that an accepted name is seen to set it.
  const DecoderChoice before =
      c.choice == DecoderChoice::kAuto ? DecoderChoice::kSoftware : DecoderChoice::kAuto;
  DecoderChoice choice = before;
  EXPECT_EQ(ParseDecoderChoice(c.text, &choice), c.accepted) << c.text;
  EXPECT_EQ(choice, c.accepted ? c.choice : before) << c.text;
  if (c.accepted) {
    EXPECT_STREQ(DecoderChoiceName(choice), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(Names, DecoderChoiceParse,
                         ::testing::Values(ChoiceCase{"software", true, DecoderChoice::kSoftware},
                                           ChoiceCase{"auto", true, DecoderChoice::kAuto},
                                           ChoiceCase{"", false, DecoderChoice::kAuto},
                                           ChoiceCase{"Auto", false, DecoderChoice::kAuto},
                                           ChoiceCase{"SOFTWARE", false, DecoderChoice::kSoftware},
                                           ChoiceCase{"software ", false, DecoderChoice::kSoftware},
                                           ChoiceCase{"hardware", false, DecoderChoice::kAuto},
                                           ChoiceCase{"vaapi", false, DecoderChoice::kAuto}));

TEST(HardwareDecoding, OnlyInvalidDataIsTheStreamsOwnDamage) {
  EXPECT_TRUE(IsStreamDamage(AVERROR_INVALIDDATA));
  for (int fault :
       {AVERROR(EIO), AVERROR(ENOMEM), AVERROR(ENODEV), AVERROR(ENOTSUP), AVERROR(ENOSYS),
        AVERROR(EINVAL), AVERROR_EXTERNAL, AVERROR_BUG, AVERROR_PATCHWELCOME}) {
    EXPECT_FALSE(IsStreamDamage(fault)) << fault;
  }
}

// ---- The computer's devices ---------------------------------------------------------------------

bool MachineHasRenderNode() {
  for (int i = 128; i < 192; ++i) {
    if (access(("/dev/dri/renderD" + std::to_string(i)).c_str(), F_OK) == 0) return true;
  }
  return false;
}
bool MachineHasNvidiaDriver() { return access("/proc/driver/nvidia/version", F_OK) == 0; }

// libva and FFmpeg report the devices that do not open on standard error.
class QuietFFmpeg {
 public:
  QuietFFmpeg() : saved_(av_log_get_level()) { av_log_set_level(AV_LOG_QUIET); }
  ~QuietFFmpeg() { av_log_set_level(saved_); }

 private:
  int saved_;
};

TEST(HardwareDecoding, WithoutDevicesNothingOpensAndTheReasonNamesEachTried) {
  if (MachineHasRenderNode() || MachineHasNvidiaDriver()) {
    GTEST_SKIP() << "this computer has a graphics device";
  }
  std::string reason;
  EXPECT_EQ(OpenHardwarePath(&reason), nullptr);
  EXPECT_EQ(reason, "VA-API: no render node in /dev/dri; CUDA: no NVIDIA driver loaded");
  // The devices are tried once per process; the answer stays the same.
  std::string again;
  EXPECT_EQ(OpenHardwarePath(&again), nullptr);
  EXPECT_EQ(again, reason);
  EXPECT_EQ(OpenHardwarePath(nullptr), nullptr);
}

TEST(HardwareDecoding, OpeningANamedDeviceThatIsNotThereFailsWithTheReason) {
  QuietFFmpeg quiet;
  std::string reason;
  // FFmpeg's own VA-API device opening, on a render node that does not exist.
  EXPECT_EQ(OpenHardwarePathOn("vaapi", "/nonexistent/renderD128", &reason), nullptr);
  EXPECT_EQ(reason.rfind("VA-API: the device did not open (", 0), 0u) << reason;
  EXPECT_EQ(OpenHardwarePathOn("teleporter", nullptr, &reason), nullptr);
  EXPECT_EQ(reason, "no such kind of device: teleporter");
  EXPECT_EQ(OpenHardwarePathOn(nullptr, nullptr, &reason), nullptr);
  EXPECT_EQ(reason, "no such kind of device: (none)");
  if (!MachineHasNvidiaDriver()) {
    EXPECT_EQ(OpenHardwarePathOn("cuda", nullptr, &reason), nullptr);
    EXPECT_EQ(reason.rfind("CUDA: the device did not open (", 0), 0u) << reason;
  }
}

// ---- The decoder with a hardware path
// ------------------------------------------------------------

using playback_test::CardPackets;
using playback_test::Packet;
using playback_testing::Breakage;
using playback_testing::StandIn;

HardwarePathFactory NoDevice() {
  return [](std::string* reason) -> std::unique_ptr<HardwarePath> {
    if (reason != nullptr) *reason = "stand-in: no device";
    return nullptr;
  };
}

// What one Decode call gave: whether it showed a new picture, and a digest of the picture on show
// afterwards (converted at its own size; 0 with none).
struct Step {
  bool shown = false;
  std::uint64_t digest = 0;
  bool operator==(const Step& o) const { return shown == o.shown && digest == o.digest; }
};

std::uint64_t Digest(CFFMH264_Decoder& d) {
  int w = 0, h = 0;
  d.GetPictureSize(&w, &h);
  if (w <= 0 || h <= 0) return 0;
  std::vector<unsigned char> rgb(std::size_t(w) * std::size_t(h) * 3);
  if (!d.Convert(rgb.data(), w * 3, w, h)) return 0;
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : rgb) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// Decodes the packets as the engine does: each packet named ahead before its predecessor is
// decoded.
std::vector<Step> DecodeAll(CFFMH264_Decoder& d, const std::vector<Packet>& packets) {
  std::vector<Step> steps;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (i + 1 < packets.size()) {
      d.SendAhead(packets[i + 1].data(), int(packets[i + 1].size()));
    }
    Step s;
    s.shown = d.Decode(packets[i].data(), int(packets[i].size()));
    s.digest = Digest(d);
    steps.push_back(s);
  }
  return steps;
}

// The first index where two runs differ, or -1.
int FirstDifference(const std::vector<Step>& a, const std::vector<Step>& b) {
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    if (i >= a.size() || i >= b.size() || !(a[i] == b[i])) return int(i);
  }
  return -1;
}

std::unique_ptr<CardPackets> gPackets;

// The card's packets, and the plain software decoder's run over them at one and two threads.
class HardwareDecoderTest : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    if (!gPackets) gPackets = std::make_unique<CardPackets>();
  }
  void SetUp() override { ASSERT_EQ(gPackets->error, "") << "no card to decode"; }
  int threads() const { return GetParam(); }
  const std::vector<Packet>& front() const { return gPackets->front; }
  const std::vector<Packet>& rear() const { return gPackets->rear; }

  std::vector<Step> Software(const std::vector<Packet>& packets) {
    CFFMH264_Decoder d;
    d.SetChoice(DecoderChoice::kSoftware);
    EXPECT_TRUE(d.Init(threads()));
    EXPECT_FALSE(d.UsingHardware());
    return DecodeAll(d, packets);
  }
};

TEST_P(HardwareDecoderTest, AutoWithoutADeviceDecodesInSoftwareAlike) {
  if (MachineHasRenderNode() || MachineHasNvidiaDriver()) {
    GTEST_SKIP() << "this computer has a graphics device";
  }
  CFFMH264_Decoder d;
  d.SetChoice(DecoderChoice::kAuto);
  ASSERT_TRUE(d.Init(threads()));
  EXPECT_TRUE(d.IsOpen());
  EXPECT_FALSE(d.UsingHardware());
  EXPECT_STREQ(d.DecoderName(), "software");
  EXPECT_EQ(d.HardwareReason(),
            "VA-API: no render node in /dev/dri; CUDA: no NVIDIA driver loaded");
  const std::vector<Step> got = DecodeAll(d, front());
  EXPECT_EQ(FirstDifference(got, Software(front())), -1);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Step& s) { return s.shown; }),
            long(front().size()));
}

TEST_P(HardwareDecoderTest, APathThatDoesNotOpenLeavesSoftware) {
  CFFMH264_Decoder d;
  d.SetChoice(DecoderChoice::kAuto, NoDevice());
  ASSERT_TRUE(d.Init(threads()));
  EXPECT_FALSE(d.UsingHardware());
  EXPECT_EQ(d.HardwareReason(), "stand-in: no device");
  EXPECT_EQ(FirstDifference(DecodeAll(d, rear()), Software(rear())), -1);
}

TEST_P(HardwareDecoderTest, SoftwareChosenNeverAsksForAPath) {
  bool asked = false;
  CFFMH264_Decoder d;
  d.SetChoice(DecoderChoice::kSoftware, [&asked](std::string*) -> std::unique_ptr<HardwarePath> {
    asked = true;
    return nullptr;
  });
  ASSERT_TRUE(d.Init(threads()));
  EXPECT_FALSE(asked);
  EXPECT_FALSE(d.UsingHardware());
  EXPECT_EQ(d.HardwareReason(), "");
}

TEST_P(HardwareDecoderTest, AWorkingPathGivesTheSoftwarePictures) {
  CFFMH264_Decoder d;
  d.SetChoice(DecoderChoice::kAuto, StandIn());
  ASSERT_TRUE(d.Init(threads()));
  EXPECT_TRUE(d.UsingHardware());
  EXPECT_STREQ(d.DecoderName(), "stand-in");
  // The pictures come out as NV12, which the converter takes to the same pixels.
  EXPECT_EQ(FirstDifference(DecodeAll(d, front()), Software(front())), -1);
  EXPECT_TRUE(d.UsingHardware());
  // Opened again, it asks for a path again.
  ASSERT_TRUE(d.Init(threads()));
  EXPECT_TRUE(d.UsingHardware());
  EXPECT_EQ(FirstDifference(DecodeAll(d, rear()), Software(rear())), -1);
}

INSTANTIATE_TEST_SUITE_P(Threads, HardwareDecoderTest, ::testing::Values(1, 2));

// A path breaking at one packet or picture: every picture is still shown once, in order, the same
// as software's, and the decoder goes on in software.
struct FaultCase {
  const char* name;
  Breakage breakage;
  int threads;
};

class HardwareFaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  static void SetUpTestSuite() {
    if (!gPackets) gPackets = std::make_unique<CardPackets>();
  }
  void SetUp() override { ASSERT_EQ(gPackets->error, "") << "no card to decode"; }
};

TEST_P(HardwareFaultTest, EveryPictureShownOnceAsInSoftware) {
  const FaultCase& c = GetParam();
  const std::vector<Packet>& packets = gPackets->front;
  CFFMH264_Decoder reference;
  reference.SetChoice(DecoderChoice::kSoftware);
  ASSERT_TRUE(reference.Init(c.threads));
  const std::vector<Step> expected = DecodeAll(reference, packets);

  CFFMH264_Decoder d;
  d.SetChoice(DecoderChoice::kAuto, StandIn(c.breakage));
  ASSERT_TRUE(d.Init(c.threads));
  ASSERT_TRUE(d.UsingHardware());
  const std::vector<Step> got = DecodeAll(d, packets);
  EXPECT_EQ(FirstDifference(got, expected), -1);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Step& s) { return s.shown; }),
            long(packets.size()));
  // Each shown picture is a new one: no picture twice in a row (the scene moves).
  for (std::size_t i = 1; i < got.size(); ++i) EXPECT_NE(got[i].digest, got[i - 1].digest) << i;
  EXPECT_FALSE(d.UsingHardware());
  EXPECT_STREQ(d.DecoderName(), "software");
  EXPECT_NE(d.HardwareReason().find("stand-in"), std::string::npos) << d.HardwareReason();
}

INSTANTIATE_TEST_SUITE_P(Breakages, HardwareFaultTest,
                         ::testing::Values(FaultCase{"FirstSend", {0, -1, -1}, 2},
                                           FaultCase{"FirstPicture", {-1, 0, -1}, 1},
                                           FaultCase{"SendMidBlock", {45, -1, -1}, 2},
                                           FaultCase{"PictureMidBlock", {-1, 45, -1}, 2},
                                           FaultCase{"PictureMidBlockOneThread", {-1, 45, -1}, 1},
                                           FaultCase{"SendOfAKeyPicture", {30, -1, -1}, 2},
                                           FaultCase{"LastPictureOfABlock", {-1, 59, -1}, 2},
                                           FaultCase{"LastPacket", {89, -1, -1}, 2}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.name);
                         });

// The stream's own damage seen on the device is handled as software handles it: the last good
// picture stays up to the next key picture, and the device goes on.
TEST(HardwareDamageTest, DamageOnThePathKeepsThePathAndTheLastGoodPicture) {
  if (!gPackets) gPackets = std::make_unique<CardPackets>();
  ASSERT_EQ(gPackets->error, "");
  const std::vector<Packet>& packets = gPackets->front;
  CFFMH264_Decoder reference;
  reference.SetChoice(DecoderChoice::kSoftware);
  ASSERT_TRUE(reference.Init(1));
  const std::vector<Step> expected = DecodeAll(reference, packets);

  CFFMH264_Decoder d;
  d.SetChoice(DecoderChoice::kAuto, StandIn({-1, -1, 40}));
  ASSERT_TRUE(d.Init(2));
  const std::vector<Step> got = DecodeAll(d, packets);
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (i < 40 || i >= 60) {
      EXPECT_TRUE(got[i] == expected[i]) << i;
    } else {
      EXPECT_FALSE(got[i].shown) << i;
      EXPECT_EQ(got[i].digest, expected[39].digest) << i;
    }
  }
  EXPECT_TRUE(d.UsingHardware());
}

// After ForgetPicture the device's references go too: black until the next key picture, as in
// software.
TEST(HardwareDamageTest, ForgetPictureFlushesThePath) {
  if (!gPackets) gPackets = std::make_unique<CardPackets>();
  ASSERT_EQ(gPackets->error, "");
  const std::vector<Packet>& packets = gPackets->rear;
  auto run = [&](CFFMH264_Decoder& d) {
    std::vector<Packet> head(packets.begin(), packets.begin() + 40);
    std::vector<Packet> tail(packets.begin() + 40, packets.end());
    std::vector<Step> a = DecodeAll(d, head);
    d.ForgetPicture();
    std::vector<Step> b = DecodeAll(d, tail);
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  CFFMH264_Decoder reference;
  reference.SetChoice(DecoderChoice::kSoftware);
  ASSERT_TRUE(reference.Init(1));
  CFFMH264_Decoder d;
  d.SetChoice(DecoderChoice::kAuto, StandIn());
  ASSERT_TRUE(d.Init(1));
  const std::vector<Step> expected = run(reference), got = run(d);
  EXPECT_EQ(FirstDifference(got, expected), -1);
  ASSERT_GT(got.size(), 60u);
  EXPECT_EQ(got[45].digest, 0u);  // nothing on show between the forgetting and the key picture
  EXPECT_TRUE(got[60].shown);
  EXPECT_TRUE(d.UsingHardware());
}

// A part of an NV12 picture converts to the same pixels as the same part of the software picture,
// at its own size (where the converter goes through planar 4:2:0) and scaled.
TEST(HardwareDamageTest, RegionsOfDevicePictures) {
  if (!gPackets) gPackets = std::make_unique<CardPackets>();
  ASSERT_EQ(gPackets->error, "");
  const std::vector<Packet> packets(gPackets->front.begin(), gPackets->front.begin() + 31);
  CFFMH264_Decoder reference, d;
  reference.SetChoice(DecoderChoice::kSoftware);
  d.SetChoice(DecoderChoice::kAuto, StandIn());
  ASSERT_TRUE(reference.Init(1));
  ASSERT_TRUE(d.Init(1));
  DecodeAll(reference, packets);
  DecodeAll(d, packets);
  struct Region {
    int x, y, w, h, width, height;
  };
  for (const Region r : {Region{100, 50, 320, 180, 320, 180}, Region{0, 0, 200, 100, 640, 320},
                         Region{1001, 501, 279, 219, 93, 73}}) {
    std::vector<unsigned char> a(std::size_t(r.width) * std::size_t(r.height) * 3, 7), b(a);
    ASSERT_TRUE(
        reference.ConvertRegion(a.data(), r.width * 3, r.width, r.height, r.x, r.y, r.w, r.h));
    ASSERT_TRUE(d.ConvertRegion(b.data(), r.width * 3, r.width, r.height, r.x, r.y, r.w, r.h));
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    EXPECT_EQ(worst, 0) << r.x << "," << r.y << " " << r.w << "x" << r.h;
  }
}

// Through the two cameras' decoder: the choice is kept over Init, and the name says what runs.
TEST(HardwareDamageTest, TheCamerasDecoderNamesItsDecoder) {
  CDecoder decoder;
  decoder.SetDecoderChoice(DecoderChoice::kSoftware);
  decoder.Init();
  EXPECT_EQ(decoder.DecoderName(), "software");
  decoder.SetDecoderChoice(DecoderChoice::kAuto);
  decoder.Init();
  if (!MachineHasRenderNode() && !MachineHasNvidiaDriver()) {
    EXPECT_EQ(decoder.DecoderName(),
              "software (VA-API: no render node in /dev/dri; CUDA: no NVIDIA driver loaded)");
  }
  decoder.Release();
}

// The two cameras played as the engine plays them (each packet's successor named ahead, every
// picture drawn on a surface): a path failing in the middle of the second block of each camera
// presents the same pictures, one for each packet, as the software decoder.
TEST(HardwareDamageTest, BothCamerasPresentEveryPictureAcrossAHandOver) {
  if (!gPackets) gPackets = std::make_unique<CardPackets>();
  ASSERT_EQ(gPackets->error, "");
  auto play = [](CDecoder& decoder) {
    CRecordingSurface front(320, 180), rear(160, 90);
    for (int channel = 0; channel < 2; ++channel) {
      const std::vector<Packet>& p = channel == 0 ? gPackets->front : gPackets->rear;
      for (std::size_t i = 0; i < p.size(); ++i) {
        if (i + 1 < p.size()) decoder.DecodeAhead(channel, p[i + 1].data(), int(p[i + 1].size()));
        decoder.DecodeAndShow(channel, channel == 0 ? &front : &rear, p[i].data(), int(p[i].size()),
                              true);
      }
    }
    std::vector<std::uint64_t> digests;
    for (const auto* s : {&front, &rear}) {
      for (const PresentedPicture& picture : s->Pictures()) digests.push_back(picture.digest);
    }
    return digests;
  };
  CDecoder software, device;
  software.SetDecoderChoice(DecoderChoice::kSoftware);
  software.Init();
  device.SetDecoderChoice(DecoderChoice::kAuto, StandIn({-1, 45, -1}));
  device.Init();
  EXPECT_EQ(device.DecoderName(), "stand-in");
  const std::vector<std::uint64_t> expected = play(software), got = play(device);
  EXPECT_EQ(got.size(), gPackets->front.size() + gPackets->rear.size());
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(device.DecoderName(), "software (stand-in failed: Input/output error)");
}

}  // namespace
