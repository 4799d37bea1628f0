// SPDX-License-Identifier: GPL-3.0-or-later
// The engine playing other cameras' recordings end to end: cards written by roadeye-mkcard (an
// H.265 MPEG-TS card with sound, a Tesla card without), read by the container parser, decoded
// onto recording surfaces, sound through the SDL dummy device.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EngineEnded.h"
#include "FlashCorner.h"
#include "cards/CardListing.h"
#include "media/CContainerParser.h"
#include "media/CRecordingParser.h"
#include "media/CTripParser.h"
#include "media/CVEXParser.h"
#include "playback/CDecoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/RecordingSurface.h"
#include "support/Diag.h"
#include "support/testing/Command.h"
#include "support/testing/TempDir.h"

using namespace std::chrono_literals;
using roadeye_test::CornerMean;
using roadeye_test::Quote;

namespace {

using enginetest::Ended;
using enginetest::OnEvent;

// The recording's engine name: its first file and, when it has one, its second.
std::string RecordingName(const std::string& root, int second = 1) {
  cards::CardScan scan = cards::ScanCard(root);
  if (scan.recordings.empty()) return {};
  const auto& files = scan.recordings[0].files;
  std::vector<std::string> paths{root + "/" + files[0].path};
  if (int(files.size()) > second) paths.push_back(root + "/" + files[std::size_t(second)].path);
  return ContainerRecordingName(paths);
}

}  // namespace

class FamilyEngineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    const std::string mkcard = Quote(roadeye_test::BinDir() + "/roadeye-mkcard");
    hevc_ = new roadeye_test::TempDir("family-engine-hevc");
    tesla_ = new roadeye_test::TempDir("family-engine-tesla");
    made_ = roadeye_test::RunCommand(mkcard + " " + Quote(hevc_->str()) +
                                         " --family novatek --container ts --codec h265 "
                                         "--kinds REC --count 1 --seconds 3 --front 320x180 "
                                         "--rear-size 160x90 --rear yes --no-damaged",
                                     true)
                    .exitCode == 0 &&
            roadeye_test::RunCommand(mkcard + " " + Quote(tesla_->str()) +
                                         " --family tesla --kinds REC --count 1 --seconds 2 "
                                         "--front 320x240 --rear-size 320x240 --no-damaged",
                                     true)
                    .exitCode == 0;
  }
  static void TearDownTestSuite() {
    delete hevc_;
    delete tesla_;
  }

  void SetUp() override {
    ASSERT_TRUE(made_);
    DiagSetOutput(nullptr);
    engine_.SetParser(&parser_);
    engine_.SetDecoder(&decoder_);
    engine_.SetAudio(&audio_);
    engine_.SetEventCallback(&OnEvent, &ended_);
    ASSERT_TRUE(engine_.Run(&front_, &rear_));
  }
  void TearDown() override {
    engine_.Shutdown();
    DiagSetOutput(stdout);
  }

  bool WaitForEnd() { return ended_.Wait(60s); }
  bool WaitForIdleShow() {
    for (int i = 0; i < 3000; ++i) {
      if (engine_.GetRunState() == CNOVMediaPlayer::kIdle && !engine_.CommandsPending() &&
          engine_.GetDurationMs() > 0) {
        return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  static roadeye_test::TempDir* hevc_;
  static roadeye_test::TempDir* tesla_;
  static bool made_;
  CVEXParser vex_;
  CContainerParser container_;
  CRecordingParser parser_{&vex_, &container_};
  CDecoder decoder_;
  CWaveBox audio_;
  CRecordingSurface front_{320, 180, true};
  CRecordingSurface rear_{160, 90};
  Ended ended_;
  CNOVMediaPlayer engine_;
};

roadeye_test::TempDir* FamilyEngineTest::hevc_ = nullptr;
roadeye_test::TempDir* FamilyEngineTest::tesla_ = nullptr;
bool FamilyEngineTest::made_ = false;

TEST_F(FamilyEngineTest, AnH265RecordingPlaysEveryPictureOfBothCamerasWithItsSound) {
  const std::string name = RecordingName(hevc_->str());
  ASSERT_FALSE(name.empty());
  engine_.OpenMedia(name.c_str());
  EXPECT_EQ(engine_.GetChannelCount(), 2);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(engine_.GetDurationMs(), 3000);
  EXPECT_EQ(front_.Count(), 90);
  EXPECT_EQ(rear_.Count(), 90);
  // Decoded right: the whole-second flash is in the pictures of whole seconds only.
  const std::vector<PresentedPicture> pictures = front_.Pictures();
  ASSERT_EQ(pictures.size(), 90u);
  for (int second = 0; second < 3; ++second) {
    EXPECT_GT(CornerMean(pictures[std::size_t(second * 30)]), 150) << second;
    EXPECT_LT(CornerMean(pictures[std::size_t(second * 30 + 15)]), 100) << second;
  }
}

TEST_F(FamilyEngineTest, ARecordingWithoutSoundPlaysToItsEnd) {
  const std::string name = RecordingName(tesla_->str());
  ASSERT_FALSE(name.empty());
  front_.SetSize(320, 240);
  rear_.SetSize(320, 240);
  engine_.OpenMedia(name.c_str());
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(front_.Count(), 60);
  EXPECT_EQ(rear_.Count(), 60);
}

TEST_F(FamilyEngineTest, AShownPictureIsThePictureAskedForInBothCameras) {
  const std::string name = RecordingName(hevc_->str());
  engine_.OpenMedia(name.c_str());
  engine_.Pause();
  // A picture in the middle of the second second, and the flash of the third.
  ASSERT_TRUE(WaitForIdleShow());
  ASSERT_TRUE(engine_.ShowPicture(45));
  ASSERT_TRUE(WaitForIdleShow());
  EXPECT_EQ(engine_.GetShownPicture(), 45);
  EXPECT_LT(CornerMean(front_.Pictures().back()), 100);
  ASSERT_TRUE(engine_.ShowPicture(60));
  ASSERT_TRUE(WaitForIdleShow());
  EXPECT_EQ(engine_.GetShownPicture(), 60);
  EXPECT_GT(CornerMean(front_.Pictures().back()), 150);
  EXPECT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowTwoShown);
  // One step on: no longer the flash.
  ASSERT_TRUE(engine_.StepPictures(1));
  ASSERT_TRUE(WaitForIdleShow());
  EXPECT_EQ(engine_.GetShownPicture(), 61);
  EXPECT_LT(CornerMean(front_.Pictures().back()), 150);
}

// Another family's trip: three H.265 MPEG-TS recordings of two cameras, back to back, each its
// files read by a container reader in turn.
TEST(FamilyTripEngine, EveryPictureOfBothCamerasComesAcrossTheJoins) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  roadeye_test::TempDir card("family-trip");
  ASSERT_EQ(roadeye_test::RunCommand(Quote(roadeye_test::BinDir() + "/roadeye-mkcard") + " " +
                                         Quote(card.str()) +
                                         " --family novatek --container ts --codec h265"
                                         " --continuous --kinds REC --count 3 --seconds 2"
                                         " --front 320x180 --rear-size 160x90 --rear yes"
                                         " --no-damaged",
                                     true)
                .exitCode,
            0);
  std::vector<std::string> names;
  for (const cards::CardRecording& r : cards::ScanCard(card.str()).recordings) {
    ASSERT_EQ(r.files.size(), 2u);
    names.push_back(ContainerRecordingName(
        {card.str() + "/" + r.files[0].path, card.str() + "/" + r.files[1].path}));
  }
  ASSERT_EQ(names.size(), 3u);
  DiagSetOutput(nullptr);
  CVEXParser vex[2];
  CContainerParser containers[2];
  CRecordingParser readers[2] = {{&vex[0], &containers[0]}, {&vex[1], &containers[1]}};
  CTripParser trip(&readers[0], &readers[1]);
  CDecoder decoder;
  CWaveBox audio;
  CRecordingSurface front(320, 180, true), rear(160, 90);
  Ended ended;
  CNOVMediaPlayer engine;
  engine.SetParser(&trip);
  engine.SetDecoder(&decoder);
  engine.SetAudio(&audio);
  engine.SetEventCallback(&OnEvent, &ended);
  ASSERT_TRUE(engine.Run(&front, &rear));
  engine.OpenMedia(TripRecordingName(names).c_str());
  ASSERT_TRUE(ended.Wait(60s));
  EXPECT_EQ(engine.GetDurationMs(), 6000);
  EXPECT_EQ(engine.GetChannelCount(), 2);
  engine.Shutdown();
  DiagSetOutput(stdout);
  EXPECT_EQ(rear.Count(), 180);
  // Each recording's whole-second flash, and only there: no picture lost or repeated at a join.
  const std::vector<PresentedPicture> pictures = front.Pictures();
  ASSERT_EQ(pictures.size(), 180u);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (i % 30 == 0) {
      EXPECT_GT(CornerMean(pictures[i]), 150) << i;
    } else {
      EXPECT_LT(CornerMean(pictures[i]), 100) << i;
    }
  }
}
