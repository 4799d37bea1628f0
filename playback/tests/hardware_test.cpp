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
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "playback/HardwareDecoding.h"

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
  for (int fault : {AVERROR(EIO), AVERROR(ENOMEM), AVERROR(ENODEV), AVERROR(ENOSYS),
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

}  // namespace
