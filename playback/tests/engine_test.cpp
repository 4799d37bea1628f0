// SPDX-License-Identifier: GPL-3.0-or-later
// The engine end to end: cards written by roadeye-mkcard, read by the card parser, decoded onto
// recording surfaces, sound through the SDL dummy device (real time, no sound card).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FlashCorner.h"
#include "SoundTestSupport.h"
#include "media/CVEXParser.h"
#include "media/testing/ForwardingParser.h"
#include "playback/CDecoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/RecordingSurface.h"
#include "playback/WaveOut.h"
#include "support/Diag.h"
#include "support/testing/JpegFile.h"
#include "vexlib/VexReader.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using roadeye_test::CornerMean;

namespace {

std::string BinDir() {
  const char* env = std::getenv("ROADEYE_BIN_DIR");
  return env ? env : ROADEYE_BIN_DIR;
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// A parser that passes everything through and counts the front pictures it handed out.
class CountingParser final : public roadeye_test::ForwardingParser {
 public:
  using ForwardingParser::ForwardingParser;
  std::atomic<int> fronts{0};
  // Set: the front camera's stream stops after its first picture (a damaged front camera).
  std::atomic<bool> frontStops{false};
  int Open(const char* n, RecordingInfo* i) override {
    fronts = 0;
    return inner_->Open(n, i);
  }
  int ReadPacket(char tag[8], void* b, int* s) override {
    int r = inner_->ReadPacket(tag, b, s);
    if (r > 0 && ClassifyChunkTag(tag) == ChunkKind::kFrontVideo) {
      if (frontStops && fronts > 0) return 0;
      ++fronts;
    }
    return r;
  }
};

// A recording surface that also notes how many front pictures had been read at its first picture.
class FirstPictureSurface final : public VideoSurface {
 public:
  FirstPictureSurface(CRecordingSurface* inner, CountingParser* parser)
      : inner_(inner), parser_(parser) {}
  std::atomic<int> frontsReadAtFirst{-1};
  void GetSize(int* w, int* h) const override { inner_->GetSize(w, h); }
  void Present(const unsigned char* p, int w, int h, int s) override {
    int expected = -1;
    frontsReadAtFirst.compare_exchange_strong(expected, parser_->fronts.load());
    inner_->Present(p, w, h, s);
  }

 private:
  CRecordingSurface* inner_;
  CountingParser* parser_;
};

struct Events {
  std::mutex lock;
  std::condition_variable changed;
  int ended = 0;
  double endedAtMs = 0;
  std::vector<std::string> texts;
  std::vector<int> textTimes;
};

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void OnEvent(void* user, int code, int, int) {
  auto* e = static_cast<Events*>(user);
  std::lock_guard<std::mutex> hold(e->lock);
  if (code == CNOVMediaPlayer::kEventEnded) {
    ++e->ended;
    e->endedAtMs = NowMs();
  }
  e->changed.notify_all();
}

void OnText(void* user, const char* bytes, int length, int timeMs) {
  auto* e = static_cast<Events*>(user);
  std::lock_guard<std::mutex> hold(e->lock);
  e->texts.emplace_back(bytes, std::size_t(length > 0 ? length - 1 : 0));
  e->textTimes.push_back(timeMs);
  EXPECT_EQ(bytes[length - 1], '\0');
}

}  // namespace

// One card per test program: a two-camera and a one-camera recording of three seconds.
class EngineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    char tmpl[] = "/tmp/roadeye-engine-XXXXXX";
    root_ = mkdtemp(tmpl);
    std::string cmd = BinDir() + "/roadeye-mkcard " + root_ +
                      " --seconds 3 --count 2 --kinds REC --rear mixed --no-damaged > /dev/null";
    made_ = std::system(cmd.c_str()) == 0;
    for (const auto& e : fs::directory_iterator(fs::path(root_) / "VEX")) {
      std::string stem = e.path().stem().string();
      (stem.size() > 2 && stem.substr(stem.size() - 2) == "_D" ? two_ : one_) = "/" + stem + ".avi";
    }
    // A recording named as a two-camera one whose rear camera recorded nothing.
    std::error_code ec;
    fs::copy_file(fs::path(root_) / "VEX" / (one_.substr(1, one_.size() - 5) + ".vex"),
                  fs::path(root_) / "VEX" / "REC_20240612_235959_D.vex", ec);
    noRear_ = "/REC_20240612_235959_D.avi";
    made_ = made_ && !ec;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void SetUp() override {
    ASSERT_TRUE(made_);
    ASSERT_FALSE(two_.empty());
    ASSERT_FALSE(one_.empty());
    // A thread made and joined first: ThreadSanitizer starts a helper thread of its own with the
    // process's first thread, which is then counted before the engine's.
    std::thread([] {}).join();
    threadsBefore_ = ThreadCount();
    DiagSetOutput(nullptr);  // the pacer's line per picture
    lib_ = VexStart();
    VexInitialise(lib_, root_.c_str());
    char drive = 0;
    VexCardPoll(lib_, &drive);
    ASSERT_NE(drive, 0);
    VexCardAttach(lib_);
    vex_.SetLibraryHandle(lib_);
    engine_.SetParser(&parser_);
    engine_.SetDecoder(&decoder_);
    engine_.SetAudio(&audio_);
    engine_.SetEventCallback(&OnEvent, &events_);
    engine_.SetTextCallback(&OnText, &events_);
    ASSERT_TRUE(engine_.Run(&firstFront_, &rear_));
  }
  void TearDown() override {
    engine_.Shutdown();
    VexRelease(lib_);
    DiagSetOutput(stdout);
  }

  bool WaitForEnd(std::chrono::seconds limit = 30s) {
    std::unique_lock<std::mutex> hold(events_.lock);
    return events_.changed.wait_for(hold, limit, [&] { return events_.ended > 0; });
  }
  // Waits (up to a guard limit) until the surface holds at least n pictures.
  static bool WaitForPictures(const CRecordingSurface& s, int n) {
    for (int i = 0; i < 3000 && s.Count() < n; ++i) std::this_thread::sleep_for(10ms);
    return s.Count() >= n;
  }
  // Waits until the engine has gone idle on its own.
  bool WaitForIdle() {
    for (int i = 0; i < 3000 && engine_.GetRunState() != CNOVMediaPlayer::kIdle; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return engine_.GetRunState() == CNOVMediaPlayer::kIdle;
  }

  // The pictures of a camera as a fresh decoder makes them on a surface of the same size: what the
  // engine must present, in this order.
  std::vector<std::uint64_t> ReferenceDigests(const std::string& name, int channel, int w, int h) {
    // A library handle of its own: the engine's may still be streaming.
    VexHandle lib = VexStart();
    VexInitialise(lib, root_.c_str());
    char drive = 0;
    VexCardPoll(lib, &drive);
    VexCardAttach(lib);
    CVEXParser p;
    p.SetLibraryHandle(lib);
    p.Start();
    RecordingInfo info;
    std::vector<std::uint64_t> out;
    if (!p.Open(name.c_str(), &info)) return out;
    CDecoder d;
    d.Init();
    CRecordingSurface s(w, h);
    std::vector<char> buf(kPacketBufferSize);
    for (;;) {
      char tag[8] = {};
      int size = kPacketBufferSize;
      if (p.ReadPacket(tag, buf.data(), &size) < 0) break;
      ChunkKind k = ClassifyChunkTag(tag);
      if ((k == ChunkKind::kFrontVideo && channel == 0) ||
          (k == ChunkKind::kRearVideo && channel == 1)) {
        d.DecodeAndShow(channel, &s, buf.data(), size, true);
      }
    }
    for (const auto& pic : s.Pictures()) out.push_back(pic.digest);
    d.Release();
    p.Stop();
    VexRelease(lib);
    return out;
  }

  static std::string root_, two_, one_, noRear_;
  static bool made_;
  int threadsBefore_ = 0;
  VexHandle lib_ = nullptr;
  CVEXParser vex_;
  CountingParser parser_{&vex_};
  CDecoder decoder_;
  CWaveBox audio_;
  CRecordingSurface front_{320, 180, true};
  FirstPictureSurface firstFront_{&front_, &parser_};
  CRecordingSurface rear_{160, 90};
  Events events_;
  CNOVMediaPlayer engine_;
};

std::string EngineTest::root_, EngineTest::two_, EngineTest::one_, EngineTest::noRear_;
bool EngineTest::made_ = false;

TEST_F(EngineTest, TwoCameraRecordingPlaysEveryPictureOnceInOrderThenEndsOnce) {
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForEnd());
  std::this_thread::sleep_for(100ms);  // nothing more may come after the end

  auto fronts = front_.Pictures();
  auto rears = rear_.Pictures();
  std::vector<std::uint64_t> got;
  for (const auto& p : fronts) got.push_back(p.digest);
  EXPECT_EQ(got, ReferenceDigests(two_, 0, 320, 180));
  got.clear();
  for (const auto& p : rears) got.push_back(p.digest);
  EXPECT_EQ(got, ReferenceDigests(two_, 1, 160, 90));
  EXPECT_EQ(fronts.size(), 90u);
  EXPECT_EQ(rears.size(), 90u);

  // 700 ms of pictures at 30 per second were gathered before the first was shown.
  EXPECT_EQ(firstFront_.frontsReadAtFirst.load(), 21);

  // The flash the card tool draws at each whole second, and only there.
  for (std::size_t i = 0; i < fronts.size(); ++i) {
    if (i % 30 == 0) {
      EXPECT_GT(CornerMean(fronts[i]), 200) << "picture " << i;
    } else {
      EXPECT_LT(CornerMean(fronts[i]), 60) << "picture " << i;
    }
  }

  std::lock_guard<std::mutex> hold(events_.lock);
  EXPECT_EQ(events_.ended, 1);
  EXPECT_GE(events_.endedAtMs, fronts.back().timeMs);
  EXPECT_GE(events_.endedAtMs, rears.back().timeMs);
  // Text records in order: a GPS fix each second, G-sensor samples between, times never going back.
  int gps = 0, gsensor = 0;
  for (std::size_t i = 0; i < events_.texts.size(); ++i) {
    gps += events_.texts[i].rfind("G$GPRMC", 0) == 0;
    gsensor += events_.texts[i][0] == 'M';
    if (i > 0) {
      EXPECT_GE(events_.textTimes[i], events_.textTimes[i - 1]);
    }
    EXPECT_LE(events_.textTimes[i], 3000);
  }
  EXPECT_EQ(gps, 3);
  EXPECT_EQ(gsensor, 30);
  EXPECT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  EXPECT_EQ(engine_.GetDurationMs(), 3000);
  EXPECT_EQ(engine_.GetChannelCount(), 2);
}

TEST_F(EngineTest, ARecordingThatCannotBeOpenedEndsAtOnce) {
  engine_.OpenMedia("/REC_20990101_000000.avi");
  ASSERT_TRUE(WaitForEnd(10s));
  EXPECT_EQ(front_.Count(), 0);
  EXPECT_EQ(rear_.Count(), 0);
  EXPECT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowStopped);
}

// A card going bad while a recording plays: its reads come short, or fail (EIO) from some point
// on as when it is pulled out, or the file shrinks. The recording ends on its own, once, with the
// pictures read before; short reads lose nothing; the engine plays again once the card is good.
TEST_F(EngineTest, ACardFailingWhilePlayingEndsTheRecordingAndTheEngineGoesOn) {
  const std::vector<std::uint64_t> reference = ReferenceDigests(two_, 0, 320, 180);
  ASSERT_EQ(reference.size(), 90u);
  auto playOnce = [&](const std::string& name) {
    front_.Clear();
    {
      std::lock_guard<std::mutex> hold(events_.lock);
      events_.ended = 0;
    }
    engine_.OpenMedia(name.c_str());
    return WaitForEnd(20s);
  };
  auto digests = [&] {
    std::vector<std::uint64_t> got;
    for (const auto& p : front_.Pictures()) got.push_back(p.digest);
    return got;
  };

  vex::SetReadFaults({.maxChunk = 3});
  ASSERT_TRUE(playOnce(two_)) << "short reads: no end";
  vex::ClearReadFaults();
  EXPECT_EQ(digests(), reference);

  const auto bytes =
      fs::file_size(fs::path(root_) / "VEX" / (two_.substr(1, two_.size() - 5) + ".vex"));
  vex::SetReadFaults({.failAfterBytes = static_cast<long long>(bytes / 2)});
  ASSERT_TRUE(playOnce(two_)) << "failing reads: no end";
  vex::ClearReadFaults();
  std::vector<std::uint64_t> got = digests();
  EXPECT_LT(got.size(), reference.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), reference.begin())) << "pictures out of order";

  // The file shrinks to half while it plays: reads past that find its end.
  vex::SetReadFaults({.endAfterBytes = static_cast<long long>(bytes / 2)});
  ASSERT_TRUE(playOnce(two_)) << "shrunk file: no end";
  vex::ClearReadFaults();
  got = digests();
  EXPECT_LT(got.size(), reference.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), reference.begin())) << "pictures out of order";

  // The card is good again: the next recording plays whole.
  ASSERT_TRUE(playOnce(two_));
  EXPECT_EQ(digests(), reference);
  std::lock_guard<std::mutex> hold(events_.lock);
  EXPECT_EQ(events_.ended, 1);
}

TEST_F(EngineTest, SeekWhileIdleShowsOnePictureOfEachCameraAndStaysIdle) {
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 3));
  engine_.Pause();
  std::this_thread::sleep_for(100ms);
  int fronts = front_.Count(), rears = rear_.Count();
  engine_.SeekToMs(2000);
  ASSERT_TRUE(WaitForIdle());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(front_.Count(), fronts + 1);
  EXPECT_EQ(rear_.Count(), rears + 1);
  EXPECT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowTwoShown);
  // The picture shown is the key picture at two seconds.
  EXPECT_EQ(front_.Pictures().back().digest, ReferenceDigests(two_, 0, 320, 180)[60]);
  EXPECT_GT(CornerMean(front_.Pictures().back()), 200);

  // One camera: one picture.
  engine_.OpenMedia(one_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, fronts + 4));
  engine_.Pause();
  std::this_thread::sleep_for(100ms);
  fronts = front_.Count();
  rears = rear_.Count();
  engine_.SeekToMs(1000);
  ASSERT_TRUE(WaitForIdle());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(front_.Count(), fronts + 1);
  EXPECT_EQ(rear_.Count(), rears);
  EXPECT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  EXPECT_EQ(engine_.GetChannelCount(), 1);
}

TEST_F(EngineTest, ASecondSeekWhileTheFirstPictureIsStillComingIsNotLost) {
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 3));
  engine_.Pause();
  std::this_thread::sleep_for(100ms);
  // Two seeks in a row while paused: the second comes before the first one's picture is shown.
  engine_.SeekToMs(2000);
  engine_.SeekToMs(1000);
  ASSERT_TRUE(WaitForIdle());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(front_.Pictures().back().digest, ReferenceDigests(two_, 0, 320, 180)[30]);
  EXPECT_EQ(engine_.GetPositionMs() / 1000, 1);
}

TEST_F(EngineTest, SeekWhilePlayingLandsOnTheNextKeyPicture) {
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 2));
  engine_.SeekToMs(2000);
  ASSERT_TRUE(WaitForEnd());
  auto reference = ReferenceDigests(two_, 0, 320, 180);
  auto fronts = front_.Pictures();
  // Somewhere after the first pictures, the sequence jumps to picture 60 and plays on from there.
  auto at = std::find_if(fronts.begin() + 1, fronts.end(),
                         [&](const PresentedPicture& p) { return p.digest == reference[60]; });
  ASSERT_NE(at, fronts.end());
  std::size_t from = std::size_t(at - fronts.begin());
  EXPECT_EQ(fronts.size() - from, 30u);
  for (std::size_t i = from; i < fronts.size(); ++i) {
    EXPECT_EQ(fronts[i].digest, reference[60 + (i - from)]) << i;
  }
  EXPECT_EQ(engine_.GetPositionMs(), 3000);
}

// Steps land on the picture asked for, decoded from its block's key picture, with the rear camera
// at the same time; across block starts both ways, clamped at the ends; playing on afterwards
// continues from the next picture.
TEST_F(EngineTest, PictureStepsShowThePictureAskedForAndTheRearOfTheSameTime) {
  const auto fronts = ReferenceDigests(two_, 0, 320, 180);
  const auto rears = ReferenceDigests(two_, 1, 160, 90);
  ASSERT_GE(fronts.size(), 90u);
  ASSERT_EQ(rears.size(), fronts.size());
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 3));
  EXPECT_FALSE(engine_.StepPictures(1));  // only while paused
  engine_.Pause();
  const int last = int(fronts.size()) - 1;
  struct Step {
    int show;   // ShowPicture's index, or -1 for a step
    int delta;  // the step
    int expected;
  };
  const Step steps[] = {
      {61, 0, 61}, {-1, -1, 60},    {-1, -1, 59},  {-1, -1, 58},       {-1, 1, 59}, {-1, 1, 60},
      {30, 0, 30}, {-1, -1, 29},    {-1, -1, 28},  {-1, 2, 30},        {0, 0, 0},   {-1, -1, 0},
      {-1, 1, 1},  {last, 0, last}, {-1, 1, last}, {-1, -1, last - 1},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message()
                 << "show " << step.show << " step " << step.delta << " to " << step.expected);
    const int frontsBefore = front_.Count(), rearsBefore = rear_.Count();
    ASSERT_TRUE(step.show >= 0 ? engine_.ShowPicture(step.show) : engine_.StepPictures(step.delta));
    EXPECT_EQ(engine_.GetShownPicture(), step.expected);
    ASSERT_TRUE(WaitForPictures(front_, frontsBefore + 1));
    ASSERT_TRUE(WaitForPictures(rear_, rearsBefore + 1));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(front_.Count(), frontsBefore + 1);
    EXPECT_EQ(rear_.Count(), rearsBefore + 1);
    EXPECT_EQ(front_.Pictures().back().digest, fronts[std::size_t(step.expected)]);
    EXPECT_EQ(rear_.Pictures().back().digest, rears[std::size_t(step.expected)]);
    EXPECT_EQ(engine_.GetShownPicture(), step.expected);
    EXPECT_EQ(engine_.GetShownPictureMs(), step.expected * 1000 / 30);
  }
  // Playing on from a step shows the pictures after it, in order, to the end.
  ASSERT_TRUE(engine_.ShowPicture(44));
  ASSERT_TRUE(WaitForIdle());
  const std::size_t from = std::size_t(front_.Count());
  engine_.Resume();
  ASSERT_TRUE(WaitForEnd());
  const auto shown = front_.Pictures();
  ASSERT_EQ(shown.size() - from, fronts.size() - 45);
  for (std::size_t i = from; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i].digest, fronts[45 + (i - from)]) << i;
  }
}

TEST_F(EngineTest, PauseHoldsResumeContinuesStopEnds) {
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 5));
  engine_.Pause();
  std::this_thread::sleep_for(150ms);
  int held = front_.Count();
  int position = engine_.GetPositionMs();
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(front_.Count(), held);
  EXPECT_EQ(engine_.GetPositionMs(), position);
  EXPECT_GT(position, 0);

  engine_.Resume();
  ASSERT_TRUE(WaitForPictures(front_, held + 5));

  std::string jpeg = root_ + "/snap.jpg";
  ASSERT_TRUE(engine_.SavePicture(0, jpeg.c_str()));
  const roadeye_test::JpegPicture saved = roadeye_test::DecodeJpegFile(jpeg);
  EXPECT_TRUE(saved.ok());
  EXPECT_EQ(saved.width, 1280);
  EXPECT_EQ(saved.height, 720);

  engine_.StopMedia();
  EXPECT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  int stopped = front_.Count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(front_.Count(), stopped);
  EXPECT_FALSE(engine_.SavePicture(0, (root_ + "/refused.jpg").c_str()));
  EXPECT_FALSE(fs::exists(root_ + "/refused.jpg"));
  std::lock_guard<std::mutex> hold(events_.lock);
  EXPECT_EQ(events_.ended, 0);  // a stop is not an end
}

TEST_F(EngineTest, ShutdownJoinsEveryThread) {
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForPictures(front_, 3));
  EXPECT_GT(ThreadCount(), threadsBefore_);
  engine_.Shutdown();
  audio_.Close();
  EXPECT_EQ(ThreadCount(), threadsBefore_);
}

// Without any sound output the pictures follow the frame rate and the recording still ends.
TEST_F(EngineTest, WithoutSoundPicturesFollowTheFrameRate) {
  engine_.Shutdown();
  CNOVMediaPlayer silent;
  Events events;
  silent.SetParser(&parser_);
  silent.SetDecoder(&decoder_);
  silent.SetAudio(nullptr);
  silent.SetEventCallback(&OnEvent, &events);
  ASSERT_TRUE(silent.Run(&front_, &rear_));
  std::FILE* pacerLines = std::tmpfile();
  ASSERT_NE(pacerLines, nullptr);
  DiagSetOutput(pacerLines);
  silent.OpenMedia(two_.c_str());
  {
    std::unique_lock<std::mutex> hold(events.lock);
    ASSERT_TRUE(events.changed.wait_for(hold, 30s, [&] { return events.ended > 0; }));
  }
  silent.Shutdown();
  DiagSetOutput(nullptr);
  EXPECT_EQ(front_.Count(), 90);
  // At the frame rate, not faster: 88 periods of 33.3 ms from the second picture to the last
  // (the first one's decoding may take a while longer), give or take a period.
  const auto shown = front_.Pictures();
  EXPECT_GE(shown.back().timeMs - shown[1].timeMs, 87 * 1000.0 / 30);
  // Every front picture went through the pacer.
  std::rewind(pacerLines);
  char line[256];
  int paced = 0;
  while (std::fgets(line, sizeof line, pacerLines)) {
    int index = 0, gap = 0, mean = 0, wait = 0;
    paced += std::sscanf(line, "[%d] dif %d, mean %d : %d msec", &index, &gap, &mean, &wait) == 4;
  }
  std::fclose(pacerLines);
  EXPECT_EQ(paced, 90);
}

namespace {

// A parser whose card answers only when the test lets it: Open and ReadPacket wait at the gate.
class GatedParser final : public roadeye_test::ForwardingParser {
 public:
  using ForwardingParser::ForwardingParser;
  void Open() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      open_ = true;
    }
    changed_.notify_all();
  }
  int Open(const char* n, RecordingInfo* i) override {
    Wait();
    return inner_->Open(n, i);
  }
  int ReadPacket(char tag[8], void* b, int* s) override {
    Wait();
    return inner_->ReadPacket(tag, b, s);
  }
  int SeekTime(float s) override {
    Wait();
    return inner_->SeekTime(s);
  }

 private:
  void Wait() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return open_; });
  }
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
};

// How many of the process's threads have a name beginning with prefix.
int ThreadsNamed(const std::string& prefix) {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      n += name.rfind(prefix, 0) == 0;
    }
    closedir(d);
  }
  return n;
}

// Voluntary context switches so far of the process's threads with this name: how often they
// went to sleep and were woken.
long WakeUps(const std::string& thread) {
  long n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string task = std::string("/proc/self/task/") + e->d_name;
      std::FILE* comm = std::fopen((task + "/comm").c_str(), "r");
      char name[64] = {};
      if (comm == nullptr) continue;
      const bool named = std::fgets(name, sizeof name, comm) != nullptr;
      std::fclose(comm);
      if (!named || std::string(name) != thread + "\n") continue;
      std::FILE* status = std::fopen((task + "/status").c_str(), "r");
      if (status == nullptr) continue;
      char line[256];
      while (std::fgets(line, sizeof line, status) != nullptr) {
        long v = 0;
        if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &v) == 1) n += v;
      }
      std::fclose(status);
    }
    closedir(d);
  }
  return n;
}

}  // namespace

// The owner's calls return while the card does not answer at all: opening, describing, seeking
// and reading belong to the engine's own threads.
TEST_F(EngineTest, NoCallOfTheOwnerWaitsForTheCard) {
  engine_.Shutdown();
  GatedParser gated(&vex_);
  CNOVMediaPlayer engine;
  Events events;
  engine.SetParser(&gated);
  engine.SetDecoder(&decoder_);
  engine.SetAudio(&audio_);
  engine.SetEventCallback(&OnEvent, &events);
  ASSERT_TRUE(engine.Run(&front_, &rear_));

  std::atomic<bool> done{false};
  std::thread owner([&] {
    engine.OpenMedia(two_.c_str());
    engine.Pause();
    engine.SeekToMs(1000);
    engine.Resume();
    engine.StopMedia();
    engine.OpenMedia(two_.c_str());
    engine.SeekToMs(2000);
    engine.RefreshPictures();
    engine.GetPositionMs();
    engine.GetChannelCount();
    engine.SavePicture(0, (root_ + "/gated.jpg").c_str());
    done = true;
  });
  // The limit only keeps a broken engine from hanging the test; the calls take no time at all.
  for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(done.load()) << "an owner's call waited for the card";
  gated.Open();
  owner.join();
  // Once the card answers, the last request is carried out: the recording plays from 2 s.
  ASSERT_TRUE(WaitForPictures(front_, 5));
  EXPECT_GE(engine.GetPositionMs(), 2000);
  engine.Shutdown();
}

// A two-camera recording whose rear pictures cannot come (the rear camera recorded nothing, or
// its pane has no size): a seek while paused shows the front picture and ends there, instead of
// playing on unseen to the next recording.
TEST_F(EngineTest, ASinglePictureShowEndsWhenNoRearPictureCanCome) {
  struct Case {
    std::string name;
    int rearWidth;
  };
  for (const Case& c : {Case{noRear_, 160}, Case{two_, 0}}) {
    SCOPED_TRACE(c.name + " rear width " + std::to_string(c.rearWidth));
    rear_.SetSize(c.rearWidth, c.rearWidth * 9 / 16);
    engine_.OpenMedia(c.name.c_str());
    ASSERT_TRUE(WaitForPictures(front_, front_.Count() + 3));
    engine_.Pause();
    const int fronts = front_.Count();
    engine_.SeekToMs(2000);
    ASSERT_TRUE(WaitForIdle());
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(engine_.GetRunState(), CNOVMediaPlayer::kIdle);
    EXPECT_EQ(front_.Count(), fronts + 1);
    EXPECT_EQ(engine_.GetPositionMs() / 1000, 2);
    EXPECT_EQ(engine_.GetShowStatus(), CNOVMediaPlayer::kShowTwoShown);
    std::lock_guard<std::mutex> hold(events_.lock);
    EXPECT_EQ(events_.ended, 0);
  }
  rear_.SetSize(160, 90);
}

// Opening the next recording forgets the pictures of the one before: from the open on, while the
// new one gathers its first pictures and for a camera it never shows, nothing of the one before
// is saved, copied or drawn again.
TEST_F(EngineTest, TheNextRecordingShowsNothingOfTheOneBefore) {
  const std::string jpeg = root_ + "/rear-snapshot.jpg";
  int w = 0, h = 0;
  engine_.OpenMedia(two_.c_str());
  ASSERT_TRUE(WaitForPictures(rear_, 10));
  ASSERT_TRUE(engine_.GetPictureSize(1, &w, &h));

  // From the open on (the front camera may show this recording's first picture at once).
  engine_.OpenMedia(noRear_.c_str());
  EXPECT_FALSE(engine_.GetPictureSize(1, &w, &h));
  errno = 0;
  EXPECT_FALSE(engine_.SavePicture(1, jpeg.c_str()));
  EXPECT_EQ(errno, ENODATA);

  const int fronts = front_.Count();
  ASSERT_TRUE(WaitForPictures(front_, fronts + 10));
  EXPECT_TRUE(engine_.GetPictureSize(0, &w, &h));
  EXPECT_FALSE(engine_.GetPictureSize(1, &w, &h)) << "the rear camera of the one before";
  errno = 0;
  EXPECT_FALSE(engine_.SavePicture(1, jpeg.c_str()));
  EXPECT_EQ(errno, ENODATA);
  EXPECT_FALSE(fs::exists(jpeg));
  unsigned char none[4 * 4 * 3] = {};
  EXPECT_FALSE(engine_.CopyPictureRegion(1, 0, 0, 4, 4, none, 12, 4, 4));

  // Paused and drawn again, the rear surface shows black.
  engine_.Pause();
  const int rears = rear_.Count();
  engine_.RefreshPictures();
  ASSERT_EQ(rear_.Count(), rears + 1);
  CRecordingSurface black(160, 90);
  const std::vector<unsigned char> zeros(160 * 90 * 3, 0);
  black.Present(zeros.data(), 160, 90, 160 * 3);
  EXPECT_EQ(rear_.Pictures().back().digest, black.Pictures().back().digest);
}

// The sound device given up after a stall comes back with the next seek (or recording).
TEST_F(EngineTest, AStalledSoundDeviceIsTriedAgainAtTheNextSeek) {
  engine_.Shutdown();
  CWaveOutFake device;  // plays nothing until told: a stalled device
  CWaveBox box(&device);
  CNOVMediaPlayer engine;
  engine.SetParser(&parser_);
  engine.SetDecoder(&decoder_);
  engine.SetAudio(&box);
  ASSERT_TRUE(engine.Run(&front_, &rear_));
  engine.OpenMedia(two_.c_str());
  ASSERT_TRUE(soundtest::WaitFor([&] { return device.OpenCount() == 1; }));
  // Two blocks fill the device; the third waits half a second and the output gives up.
  ASSERT_TRUE(soundtest::WaitFor([&] { return !box.IsOk(); }));
  const std::size_t before = device.Written().size();
  EXPECT_EQ(before, 2u);
  device.FinishAll();  // the device plays again
  engine.SeekToMs(1000);
  EXPECT_TRUE(soundtest::WaitFor([&] { return device.OpenCount() == 2; }));
  EXPECT_TRUE(soundtest::WaitFor([&] { return device.Written().size() > before; }));
  EXPECT_TRUE(box.IsOk());
  engine.Shutdown();
}

namespace {

// A ten-second two-camera event recording (more than the reader's queue holds), made once per
// test program; a death test's child takes its parent's.
const std::string& LongCard() {
  static const std::string card = [] {
    if (const char* given = std::getenv("ROADEYE_TEST_LONG_CARD")) return std::string(given);
    char tmpl[] = "/tmp/roadeye-engine-long-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (dir == nullptr) return std::string();
    const std::string made = dir;
    const std::string cmd = BinDir() + "/roadeye-mkcard " + made +
                            " --seconds 10 --count 1 --kinds EVENT --rear yes --no-damaged "
                            "--bitrate 4000 > /dev/null";
    // Removed when the program ends (a death test's child leaves without cleaning up).
    static struct Remover {
      std::string dir;
      ~Remover() {
        std::error_code ec;
        fs::remove_all(dir, ec);
      }
    } remover{made};
    if (std::system(cmd.c_str()) != 0) return std::string();
    setenv("ROADEYE_TEST_LONG_CARD", made.c_str(), 1);
    return made;
  }();
  return card;
}

std::string LongName() {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(LongCard()) / "VEX", ec)) {
    return "/" + e.path().stem().string() + ".avi";
  }
  return std::string();
}

}  // namespace

// The fixture's card with the long recording on it too.
class EngineLongTest : public EngineTest {
 protected:
  static void SetUpTestSuite() {
    EngineTest::SetUpTestSuite();
    made_ = made_ && !LongName().empty();
    std::error_code ec;
    const std::string name = LongName().substr(1, LongName().size() - 5) + ".vex";
    fs::copy_file(fs::path(LongCard()) / "VEX" / name, fs::path(root_) / "VEX" / name, ec);
  }
};

namespace {

// The recording's sound packets in file order.
std::vector<std::string> SoundBlocks(const std::string& card, const std::string& name) {
  VexHandle lib = VexStart();
  VexInitialise(lib, card.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  CVEXParser p;
  p.SetLibraryHandle(lib);
  p.Start();
  RecordingInfo info;
  std::vector<std::string> blocks;
  if (p.Open(name.c_str(), &info)) {
    std::vector<char> buf(kPacketBufferSize);
    for (;;) {
      char tag[8] = {};
      int size = kPacketBufferSize;
      if (p.ReadPacket(tag, buf.data(), &size) < 0) break;
      if (ClassifyChunkTag(tag) == ChunkKind::kAudio) blocks.emplace_back(buf.data(), size);
    }
  }
  p.Stop();
  VexRelease(lib);
  return blocks;
}

// A whole engine on a card of its own, with real SDL sound, for a child process: started on
// construction, shut down with the object.
struct StandaloneEngine {
  StandaloneEngine(const std::string& card) : lib(VexStart()) {
    DiagSetOutput(nullptr);
    VexInitialise(lib, card.c_str());
    char drive = 0;
    VexCardPoll(lib, &drive);
    VexCardAttach(lib);
    parser.SetLibraryHandle(lib);
    engine.SetParser(&parser);
    engine.SetDecoder(&decoder);
    engine.SetAudio(&audio);
    engine.Run(&front, &rear);
  }
  ~StandaloneEngine() {
    engine.Shutdown();
    VexRelease(lib);
  }
  VexHandle lib;
  CVEXParser parser;
  CDecoder decoder;
  CWaveBox audio;
  CRecordingSurface front{160, 90}, rear{160, 90};
  CNOVMediaPlayer engine;
};

// Plays the recording into SDL's disk driver and seeks, while it plays, from 2.6 s to 7 s; then
// plays on to 8.5 s. Runs in a child process (the sound driver is chosen per process).
[[noreturn]] void SeekWhilePlayingToDisk(const std::string& card, const std::string& name,
                                         const std::string& path) {
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
  bool before = false, after = false;
  {
    StandaloneEngine player(card);
    CNOVMediaPlayer& engine = player.engine;
    engine.OpenMedia(name.c_str());
    auto reach = [&](int ms) {
      for (int i = 0; i < 4000 && engine.GetPositionMs() < ms; ++i) SleepMs(5);
      return engine.GetPositionMs() >= ms;
    };
    before = reach(2600);
    engine.SeekToMs(7000);
    after = reach(8500);
  }
  std::_Exit(before && after ? 0 : 1);
}

}  // namespace

// The sound of the old position is never heard after a seek: what was queued for it (on the
// device too) is dropped, and the sound goes on from the new position.
TEST(EngineSound, SoundQueuedBeforeASeekIsNotHeardAfterIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string card = LongCard(), name = LongName();
  ASSERT_FALSE(name.empty());
  const char* const kPathVariable = "ROADEYE_TEST_DISK_AUDIO_FILE";
  const char* given = std::getenv(kPathVariable);
  const std::string path = given != nullptr ? given : card + "/played.raw";
  setenv(kPathVariable, path.c_str(), 1);
  std::remove(path.c_str());
  EXPECT_EXIT(SeekWhilePlayingToDisk(card, name, path), testing::ExitedWithCode(0), "");

  std::ifstream in(path, std::ios::binary);
  const std::string played((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(played.size(), 16000u * 3) << "the disk driver's file";
  const std::vector<std::string> blocks = SoundBlocks(card, name);
  ASSERT_GT(blocks.size(), 40u);  // 240 ms each
  // Which whole blocks were heard, in the order they were heard.
  std::vector<std::pair<std::size_t, int>> heard;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const std::size_t at = played.find(blocks[i]);
    if (at != std::string::npos) heard.emplace_back(at, int(i));
  }
  std::sort(heard.begin(), heard.end());
  std::vector<int> order;
  for (const auto& h : heard) order.push_back(h.second);
  // Up to 2.6 s: blocks 0 to 10; block 11 may be under way when the seek is made. From 7 s on:
  // block 29 (6.96 s) and after. The blocks between belong to nobody's pictures.
  for (int b : order) {
    EXPECT_TRUE(b <= 11 || b >= 29) << "block " << b << " (" << b * 240 << " ms) was heard";
  }
  // The device opens before the first recording's first block, which is heard first.
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.front(), 0);
  EXPECT_NE(std::find(order.begin(), order.end(), 5), order.end());
  EXPECT_NE(std::find(order.begin(), order.end(), 31), order.end());
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

// Paused, stopped or after the end, the engine's threads sleep until they are asked for
// something: no polling.
TEST_F(EngineLongTest, AnIdleEngineSleeps) {
  engine_.OpenMedia(LongName().c_str());
  ASSERT_TRUE(WaitForPictures(front_, 10));
  engine_.Pause();
  auto sleeps = [&](const char* state) {
    std::this_thread::sleep_for(200ms);  // what is in flight settles
    const long worker = WakeUps("MediaPlayer"), reader = WakeUps("VEXParser"),
               feeder = WakeUps("MediaSync");
    std::this_thread::sleep_for(1000ms);
    EXPECT_LE(WakeUps("MediaPlayer") - worker, 2) << state;
    EXPECT_LE(WakeUps("VEXParser") - reader, 2) << state;
    EXPECT_LE(WakeUps("MediaSync") - feeder, 2) << state;
  };
  sleeps("paused with the reader's queue full");
  engine_.StopMedia();
  sleeps("stopped");
  // Nothing plays: the sound device is closed, and its thread gone.
  EXPECT_EQ(ThreadsNamed("SDLAudio"), 0) << "the sound device still runs";
  engine_.OpenMedia(one_.c_str());
  ASSERT_TRUE(WaitForEnd());
  sleeps("ended");
}

// A front stream that stops after its first picture: the rear pictures read while the front ones
// are gathered stay within their bound, the newest kept from a rear key picture on, and those are
// shown as they decode.
TEST_F(EngineLongTest, RearPicturesGatheredBesideAStoppedFrontStreamStayBounded) {
  parser_.frontStops = true;
  engine_.OpenMedia(LongName().c_str());
  ASSERT_TRUE(WaitForEnd());
  parser_.frontStops = false;
  const std::vector<std::uint64_t> reference = ReferenceDigests(LongName(), 1, 160, 90);
  ASSERT_EQ(reference.size(), 300u);
  std::vector<std::uint64_t> got;
  for (const auto& p : rear_.Pictures()) got.push_back(p.digest);
  EXPECT_LE(int(got.size()), CNOVMediaPlayer::kMaxGatheredRearPictures);
  // Kept from the last rear key picture (one a second) on.
  EXPECT_EQ(got, std::vector<std::uint64_t>(reference.end() - 30, reference.end()));
  EXPECT_EQ(front_.Count(), 1);
}

// While a recording plays, the sound feeder sleeps until the device has room for its next block
// (four 240 ms blocks a second) or a block comes: it never wakes on a timer.
TEST_F(EngineLongTest, WhilePlayingTheFeederWakesOnlyForTheDevicesBlocks) {
  engine_.OpenMedia(LongName().c_str());
  ASSERT_TRUE(WaitForPictures(front_, 30));
  const long wakes = WakeUps("MediaSync");
  const long long written = audio_.WrittenBytes();
  std::this_thread::sleep_for(2000ms);
  const long blocks = long((audio_.WrittenBytes() - written) / CWaveBox::kBlockBytes);
  EXPECT_GE(blocks, 6) << "the sound did not play";
  EXPECT_LE(WakeUps("MediaSync") - wakes, 3 * blocks + 4);
}

namespace {

// Starts an engine with no sound system to be had and plays a recording, then makes one appear
// and opens the recording again.
// Exits 0 when the sound came back; 2 when the missing device was not noticed; 3 when the device
// stayed away. Runs in a child process (the sound driver is chosen per process).
[[noreturn]] void SoundDeviceAppearsLater(const std::string& card, const std::string& name) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  bool missed = false, back = false;
  {
    StandaloneEngine player(card);
    player.engine.OpenMedia(name.c_str());
    missed = soundtest::WaitFor([&] { return !player.audio.IsOk(); }, 5000);
    // The sound server comes; the user opens the recording again.
    CWaveOutSdl::ChooseDriver("dummy");
    player.engine.OpenMedia(name.c_str());
    back = soundtest::WaitFor([&] { return player.audio.WrittenBytes() > 0; }, 10000);
  }
  std::_Exit(!missed ? 2 : back ? 0 : 3);
}

}  // namespace

// No sound device when the viewer started: the next recording opened plays with sound once one
// is there, without a restart.
TEST(EngineSound, ADeviceMissingAtStartIsTriedAgainWithTheNextRecording) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string card = LongCard(), name = LongName();
  ASSERT_FALSE(name.empty());
  EXPECT_EXIT(SoundDeviceAppearsLater(card, name), testing::ExitedWithCode(0), "");
}
