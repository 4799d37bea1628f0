// SPDX-License-Identifier: GPL-3.0-or-later
// The engine playing other cameras' recordings end to end: cards written by roadeye-mkcard (an
// H.265 MPEG-TS card with sound, a Tesla card without), read by the container parser, decoded
// onto recording surfaces, sound through the SDL dummy device.
#include <gtest/gtest.h>

#include <atomic>
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

// Waits until the engine, paused or stopped, has done what it was asked to show.
bool WaitForShown(CNOVMediaPlayer& engine) {
  for (int i = 0; i < 3000; ++i) {
    if (engine.GetRunState() == CNOVMediaPlayer::kIdle && !engine.CommandsPending() &&
        engine.GetDurationMs() > 0) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
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
  bool WaitForIdleShow() { return WaitForShown(engine_); }

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

// A surface that keeps the computer from keeping up for a while: from its 40th picture on, ten
// take 100 ms each to present (three picture periods) when it is slow.
class SlowSurface final : public VideoSurface {
 public:
  SlowSurface(int width, int height, bool slow) : width_(width), height_(height), slow_(slow) {}
  void GetSize(int* width, int* height) const override {
    *width = width_;
    *height = height_;
  }
  void Present(const unsigned char*, int, int, int) override {
    const int n = presented_.fetch_add(1) + 1;
    if (slow_ && n >= 40 && n < 50) std::this_thread::sleep_for(100ms);
  }
  int Presented() const { return presented_.load(); }

 private:
  const int width_, height_;
  const bool slow_;
  std::atomic<int> presented_{0};
};

TEST_F(FamilyEngineTest, PicturesLateForTheirSoundAreDecodedUnseenAndCounted) {
  engine_.Shutdown();  // one engine at a time: the pacer is the process's
  const std::string name = RecordingName(hevc_->str());
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "late pictures dropped" : "every picture shown");
    SlowSurface front(320, 180, true), rear(160, 90, false);
    Ended ended;
    CNOVMediaPlayer engine;
    engine.SetParser(&parser_);
    engine.SetDecoder(&decoder_);
    engine.SetAudio(&audio_);
    engine.SetEventCallback(&OnEvent, &ended);
    engine.SetDropLatePictures(drop);
    ASSERT_TRUE(engine.Run(&front, &rear));
    engine.OpenMedia(name.c_str());
    ASSERT_TRUE(ended.Wait(60s));
    // Every picture is either shown or counted; the rear camera gives way while the front one is
    // behind, and once the slow presents are over the pictures are shown again.
    EXPECT_EQ(front.Presented() + engine.GetDroppedPictures(0), 90);
    EXPECT_EQ(rear.Presented() + engine.GetDroppedPictures(1), 90);
    if (drop) {
      EXPECT_GE(engine.GetDroppedPictures(0), 10);
      EXPECT_GE(engine.GetDroppedPictures(1), 5);
      EXPECT_GT(front.Presented(), 50);
    } else {
      EXPECT_EQ(engine.GetDroppedPictures(0), 0);
      EXPECT_EQ(engine.GetDroppedPictures(1), 0);
    }
    engine.Shutdown();
  }
}

// Another family's trip: three H.265 MPEG-TS recordings of two cameras, back to back, each its
// files read by a container reader in turn. The rear camera starts each recording 400 ms after
// the front one, as some do.
class FamilyTripEngine : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    card_ = new roadeye_test::TempDir("family-trip");
    if (roadeye_test::RunCommand(Quote(roadeye_test::BinDir() + "/roadeye-mkcard") + " " +
                                     Quote(card_->str()) +
                                     " --family novatek --container ts --codec h265"
                                     " --continuous --kinds REC --count 3 --seconds 2"
                                     " --front 320x180 --rear-size 160x90 --rear yes"
                                     " --rear-late 400 --no-damaged",
                                 true)
            .exitCode != 0) {
      return;
    }
    for (const cards::CardRecording& r : cards::ScanCard(card_->str()).recordings) {
      if (r.files.size() != 2) return;
      names_.push_back(ContainerRecordingName(
          {card_->str() + "/" + r.files[0].path, card_->str() + "/" + r.files[1].path}));
    }
  }
  static void TearDownTestSuite() {
    delete card_;
    names_.clear();
  }

  void SetUp() override {
    ASSERT_EQ(names_.size(), 3u);
    DiagSetOutput(nullptr);
    engine_.SetParser(&trip_);
    engine_.SetDecoder(&decoder_);
    engine_.SetAudio(&audio_);
    engine_.SetEventCallback(&OnEvent, &ended_);
    ASSERT_TRUE(engine_.Run(&front_, &rear_));
    engine_.OpenMedia(TripRecordingName(names_).c_str());
  }
  void TearDown() override {
    engine_.Shutdown();
    DiagSetOutput(stdout);
  }

  static roadeye_test::TempDir* card_;
  static std::vector<std::string> names_;
  CVEXParser vex_[2];
  CContainerParser containers_[2];
  CRecordingParser readers_[2] = {{&vex_[0], &containers_[0]}, {&vex_[1], &containers_[1]}};
  CTripParser trip_{&readers_[0], &readers_[1]};
  CDecoder decoder_;
  CWaveBox audio_;
  CRecordingSurface front_{320, 180, true}, rear_{160, 90, true};
  Ended ended_;
  CNOVMediaPlayer engine_;
};

roadeye_test::TempDir* FamilyTripEngine::card_ = nullptr;
std::vector<std::string> FamilyTripEngine::names_;

TEST_F(FamilyTripEngine, EveryPictureOfBothCamerasComesAcrossTheJoins) {
  ASSERT_TRUE(ended_.Wait(60s));
  EXPECT_EQ(engine_.GetDurationMs(), 6000);
  EXPECT_EQ(engine_.GetChannelCount(), 2);
  engine_.Shutdown();
  // Each recording's whole-second flash, and only there: no picture lost or repeated at a join.
  auto flashesEverySecond = [](const std::vector<PresentedPicture>& pictures, int first) {
    ASSERT_EQ(pictures.size(), 180u);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      if (int(i % 30) == first) {
        EXPECT_GT(CornerMean(pictures[i]), 150) << i;
      } else {
        EXPECT_LT(CornerMean(pictures[i]), 100) << i;
      }
    }
  };
  flashesEverySecond(front_.Pictures(), 0);
  // The rear camera's picture 18 of each second is the one taken at the front's whole second.
  flashesEverySecond(rear_.Pictures(), 18);
}

TEST_F(FamilyTripEngine, TheLateRearCamerasLastPicturesComeAmongTheNextRecordingsFirst) {
  CVEXParser vex[2];
  CContainerParser containers[2];
  CRecordingParser readers[2] = {{&vex[0], &containers[0]}, {&vex[1], &containers[1]}};
  CTripParser trip(&readers[0], &readers[1]);
  ASSERT_TRUE(trip.Start());
  RecordingInfo info;
  ASSERT_EQ(trip.Open(TripRecordingName(names_).c_str(), &info), 1);
  std::vector<char> buffer(4 << 20);
  int front = 0, rear = 0, lastMs = -1;
  for (int n = 0; n < 10000; ++n) {
    char tag[8] = {};
    int size = int(buffer.size());
    const int r = trip.ReadPacket(tag, buffer.data(), &size);
    if (r < 0) break;
    const ChunkKind kind = ClassifyChunkTag(tag);
    if (r == 0 || (kind != ChunkKind::kFrontVideo && kind != ChunkKind::kRearVideo)) continue;
    (kind == ChunkKind::kFrontVideo ? front : rear)++;
    // Both cameras' pictures in time order over the whole trip, the rear ones 400 ms on.
    const int ms = trip.LastPacketTimeMs();
    EXPECT_GE(ms, lastMs) << n;
    lastMs = std::max(lastMs, ms);
  }
  trip.Stop();
  EXPECT_EQ(front, 180);
  EXPECT_EQ(rear, 180);
  EXPECT_GE(lastMs, 6000 + 400 - 34);
}

TEST_F(FamilyTripEngine, ALateRearCameraStaysLateAcrossTheJoins) {
  engine_.Pause();
  // The rear picture shown beside each front one is the one taken at its time: at each whole
  // second of the trip, and just before and after the joins (at 2 s and 4 s), both show the
  // flash. (A picture shown alone in a recording's first 400 ms has the rear camera's first
  // picture of that recording beside it, its last one before being in the recording before.)
  ASSERT_TRUE(WaitForShown(engine_));
  for (int picture : {30, 45, 59, 61, 90, 119, 150}) {
    ASSERT_TRUE(engine_.ShowPicture(picture));
    ASSERT_TRUE(WaitForShown(engine_));
    ASSERT_EQ(engine_.GetShownPicture(), picture);
    ASSERT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowTwoShown) << picture;
    const bool second = picture % 30 == 0;
    EXPECT_EQ(CornerMean(front_.Pictures().back()) > 150, second) << picture;
    EXPECT_EQ(CornerMean(rear_.Pictures().back()) > 150, second) << picture;
  }
}
