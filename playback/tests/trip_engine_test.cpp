// SPDX-License-Identifier: GPL-3.0-or-later
// A trip played through the whole engine as one recording: a card written by roadeye-mkcard
// --continuous, its recordings read in turn by two card parsers with a library handle each, the
// sound through the SDL dummy device. Every picture of every recording comes once and in order
// across the joins, and a seek to any second of the trip lands within a block of it and plays on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EngineEnded.h"
#include "media/CContainerParser.h"
#include "media/CRecordingParser.h"
#include "media/CTripParser.h"
#include "media/CVEXParser.h"
#include "playback/CDecoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/RecordingSurface.h"
#include "support/Diag.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string BinDir() {
  const char* env = std::getenv("ROADEYE_BIN_DIR");
  return env ? env : ROADEYE_BIN_DIR;
}

VexHandle AttachedLibrary(const std::string& root) {
  VexHandle lib = VexStart();
  VexInitialise(lib, root.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  return lib;
}

using enginetest::Ended;
using enginetest::OnEvent;

}  // namespace

// One card for the suite: three two-camera driving recordings of two seconds, back to back.
class TripEngineTest : public testing::Test {
 protected:
  static constexpr int kRecordings = 3;
  static constexpr int kPicturesEach = 60;

  static void SetUpTestSuite() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    char tmpl[] = "/tmp/roadeye-trip-XXXXXX";
    root_ = mkdtemp(tmpl);
    const std::string cmd = BinDir() + "/roadeye-mkcard " + root_ +
                            " --continuous --seconds 2 --count 3 --kinds REC --rear yes"
                            " --no-damaged --front 320x180 --rear-size 160x90 > /dev/null";
    made_ = std::system(cmd.c_str()) == 0;
    for (const auto& e : fs::directory_iterator(fs::path(root_) / "VEX")) {
      names_.push_back("/" + e.path().stem().string() + ".avi");
    }
    std::sort(names_.begin(), names_.end());  // the names' clocks, oldest first
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void SetUp() override {
    ASSERT_TRUE(made_);
    ASSERT_EQ(names_.size(), std::size_t(kRecordings));
    DiagSetOutput(nullptr);
    for (int i = 0; i < 2; ++i) {
      libs_[i] = AttachedLibrary(root_);
      vex_[i].SetLibraryHandle(libs_[i]);
    }
    engine_.SetParser(&trip_);
    engine_.SetDecoder(&decoder_);
    engine_.SetAudio(&audio_);
    engine_.SetEventCallback(&OnEvent, &ended_);
    ASSERT_TRUE(engine_.Run(&front_, &rear_));
    tripName_ = TripRecordingName(names_);
  }
  void TearDown() override {
    engine_.Shutdown();
    for (VexHandle lib : libs_) VexRelease(lib);
    DiagSetOutput(stdout);
  }

  bool WaitForEnd() { return ended_.Wait(30s); }
  static bool WaitForPictures(const CRecordingSurface& s, int n) {
    for (int i = 0; i < 3000 && s.Count() < n; ++i) std::this_thread::sleep_for(10ms);
    return s.Count() >= n;
  }

  // Every recording's pictures of one camera, one after the other, as a fresh decoder makes them.
  std::vector<std::uint64_t> TripReference(int channel, int w, int h) {
    VexHandle lib = AttachedLibrary(root_);
    std::vector<std::uint64_t> out;
    for (const std::string& name : names_) {
      CVEXParser p;
      p.SetLibraryHandle(lib);
      p.Start();
      RecordingInfo info;
      CDecoder d;
      d.Init();
      CRecordingSurface s(w, h);
      std::vector<char> buf(kPacketBufferSize);
      if (p.Open(name.c_str(), &info)) {
        for (;;) {
          char tag[8] = {};
          int size = kPacketBufferSize;
          if (p.ReadPacket(tag, buf.data(), &size) < 0) break;
          const ChunkKind k = ClassifyChunkTag(tag);
          if (k == (channel == 0 ? ChunkKind::kFrontVideo : ChunkKind::kRearVideo))
            d.DecodeAndShow(channel, &s, buf.data(), size, true);
        }
      }
      for (const PresentedPicture& pic : s.Pictures()) out.push_back(pic.digest);
      d.Release();
      p.Stop();
    }
    VexRelease(lib);
    return out;
  }

  static std::vector<std::uint64_t> Digests(const CRecordingSurface& s) {
    std::vector<std::uint64_t> out;
    for (const PresentedPicture& p : s.Pictures()) out.push_back(p.digest);
    return out;
  }

  static std::string root_;
  static std::vector<std::string> names_;
  static bool made_;
  std::string tripName_;
  VexHandle libs_[2] = {};
  CVEXParser vex_[2];
  CContainerParser containers_[2];
  CRecordingParser readers_[2] = {{&vex_[0], &containers_[0]}, {&vex_[1], &containers_[1]}};
  CTripParser trip_{&readers_[0], &readers_[1]};
  CDecoder decoder_;
  CWaveBox audio_;
  CRecordingSurface front_{320, 180};
  CRecordingSurface rear_{160, 90};
  Ended ended_;
  CNOVMediaPlayer engine_;
};

std::string TripEngineTest::root_;
std::vector<std::string> TripEngineTest::names_;
bool TripEngineTest::made_ = false;

TEST_F(TripEngineTest, EveryPictureOfEveryRecordingComesOnceInOrderAcrossTheJoins) {
  engine_.OpenMedia(tripName_.c_str());
  ASSERT_TRUE(WaitForEnd());
  std::this_thread::sleep_for(100ms);  // nothing more may come after the end
  EXPECT_EQ(Digests(front_), TripReference(0, 320, 180));
  EXPECT_EQ(Digests(rear_), TripReference(1, 160, 90));
  EXPECT_EQ(front_.Count(), kRecordings * kPicturesEach);
  EXPECT_EQ(engine_.GetDurationMs(), kRecordings * 2000);
  EXPECT_EQ(engine_.GetChannelCount(), 2);
  const std::vector<TripSegment> segments = trip_.Segments();
  ASSERT_EQ(segments.size(), std::size_t(kRecordings));
  for (int i = 0; i < kRecordings; ++i) {
    EXPECT_EQ(segments[std::size_t(i)].name, names_[std::size_t(i)]);
    EXPECT_EQ(segments[std::size_t(i)].startMs, i * 2000);
  }
  std::lock_guard<std::mutex> hold(ended_.lock);
  EXPECT_EQ(ended_.count, 1);
}

TEST_F(TripEngineTest, ASeekToAnySecondLandsWithinABlockOfItAndPlaysOn) {
  const std::vector<std::uint64_t> reference = TripReference(0, 320, 180);
  ASSERT_EQ(reference.size(), std::size_t(kRecordings * kPicturesEach));
  auto indexOf = [&](std::uint64_t digest) {
    return int(std::find(reference.begin(), reference.end(), digest) - reference.begin());
  };
  engine_.OpenMedia(tripName_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 5));
  // Forwards into the last recording, back into the first, into the middle one, and its end.
  for (int second : {5, 0, 3, 2, 1, 4}) {
    SCOPED_TRACE(second);
    // Paused, nothing else comes: the next picture is where the seek landed.
    engine_.Pause();
    const int before = front_.Count();
    engine_.SeekToMs(second * 1000 + 500);
    ASSERT_TRUE(WaitForPictures(front_, before + 1));
    engine_.Resume();
    ASSERT_TRUE(WaitForPictures(front_, before + 10));
    const std::vector<std::uint64_t> shown = Digests(front_);
    const int landed = indexOf(shown[std::size_t(before)]);
    // The block (a second of pictures) that holds the time, at most.
    EXPECT_GE(landed, second * 30 - 30);
    EXPECT_LE(landed, second * 30 + 15);
    // It plays on from there, picture after picture.
    for (int i = 1; i < 10; ++i) {
      EXPECT_EQ(indexOf(shown[std::size_t(before + i)]), landed + i);
    }
  }
}

TEST_F(TripEngineTest, PictureStepsCrossAJoinBothWaysWithBothCameras) {
  const std::vector<std::uint64_t> fronts = TripReference(0, 320, 180);
  const std::vector<std::uint64_t> rears = TripReference(1, 160, 90);
  ASSERT_EQ(fronts.size(), std::size_t(kRecordings * kPicturesEach));
  ASSERT_EQ(rears.size(), fronts.size());
  engine_.OpenMedia(tripName_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 3));
  engine_.Pause();
  // Up to the second recording's first picture and back; the last two pictures of the trip.
  const int join = kPicturesEach, last = kRecordings * kPicturesEach - 1;
  const std::pair<int, int> steps[] = {{join - 2, 0}, {-1, 1},  {-1, 1},   {-1, 1},
                                       {-1, -1},      {-1, -1}, {last, 0}, {-1, -1}};
  int expected = 0;
  for (const auto& [show, delta] : steps) {
    expected = show >= 0 ? show : expected + delta;
    SCOPED_TRACE(expected);
    const int frontsBefore = front_.Count(), rearsBefore = rear_.Count();
    ASSERT_TRUE(show >= 0 ? engine_.ShowPicture(show) : engine_.StepPictures(delta));
    ASSERT_TRUE(WaitForPictures(front_, frontsBefore + 1));
    ASSERT_TRUE(WaitForPictures(rear_, rearsBefore + 1));
    for (int i = 0; i < 300 && engine_.GetRunState() != CNOVMediaPlayer::kIdle; ++i)
      std::this_thread::sleep_for(10ms);
    EXPECT_EQ(front_.Pictures().back().digest, fronts[std::size_t(expected)]);
    EXPECT_EQ(rear_.Pictures().back().digest, rears[std::size_t(expected)]);
    EXPECT_EQ(engine_.GetShownPicture(), expected);
  }
}
