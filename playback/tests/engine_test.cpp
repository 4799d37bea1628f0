// The engine end to end: cards written by roadeye-mkcard, read by the card parser, decoded onto
// recording surfaces, sound through the SDL dummy device (real time, no sound card).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>
#include <vector>

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

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// A parser that passes everything through and counts the front pictures it handed out.
class CountingParser final : public VMediaParser {
 public:
  explicit CountingParser(VMediaParser* inner) : inner_(inner) {}
  std::atomic<int> fronts{0};
  bool Start() override { return inner_->Start(); }
  void Stop() override { inner_->Stop(); }
  int Open(const char* n, RecordingInfo* i) override {
    fronts = 0;
    return inner_->Open(n, i);
  }
  void Close() override { inner_->Close(); }
  MediaPacketType ReadPacketDirect(void* b, int* s) override {
    return inner_->ReadPacketDirect(b, s);
  }
  int ReadPacket(char tag[8], void* b, int* s) override {
    int r = inner_->ReadPacket(tag, b, s);
    if (r > 0 && ClassifyChunkTag(tag) == ChunkKind::kFrontVideo) ++fronts;
    return r;
  }
  bool OpenIndexed(const char* n, RecordingInfo* i) override { return inner_->OpenIndexed(n, i); }
  void Reserved(int v) override { inner_->Reserved(v); }
  int* GetVideoSize(int out[2], int s) override { return inner_->GetVideoSize(out, s); }
  int GetFrameRate(int s) override { return inner_->GetFrameRate(s); }
  void GetAudioFormat(int* b, int* r) override { inner_->GetAudioFormat(b, r); }
  int ReadRaw(void* b, int c) override { return inner_->ReadRaw(b, c); }
  int SeekRaw(int o, int w) override { return inner_->SeekRaw(o, w); }
  int TellRaw() override { return inner_->TellRaw(); }
  int SeekTime(float s) override { return inner_->SeekTime(s); }
  bool SeeksToWholeSeconds() override { return inner_->SeeksToWholeSeconds(); }
  int LastPacketTimeMs() override { return inner_->LastPacketTimeMs(); }

 private:
  VMediaParser* inner_;
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

// Mean brightness of the top-right corner of a kept picture (where the card tool's flash is).
double CornerMean(const PresentedPicture& p) {
  int w = p.width / 16, h = p.height / 10;  // inside the flash square
  double sum = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = p.width - w; x < p.width; ++x) {
      const unsigned char* px = p.pixels.data() + (std::size_t(y) * p.width + x) * 3;
      sum += (px[0] + px[1] + px[2]) / 3.0;
    }
  }
  return sum / (w * h);
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
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void SetUp() override {
    ASSERT_TRUE(made_);
    ASSERT_FALSE(two_.empty());
    ASSERT_FALSE(one_.empty());
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

  static std::string root_, two_, one_;
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

std::string EngineTest::root_, EngineTest::two_, EngineTest::one_;
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
  cv::Mat saved = cv::imread(jpeg);
  EXPECT_EQ(saved.cols, 1280);
  EXPECT_EQ(saved.rows, 720);

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
  // Every front picture went through the pacer, which (with nothing to wait for in the sound
  // queue) computed a sleep of the frame period less the work time.
  std::rewind(pacerLines);
  char line[256];
  int paced = 0, sleeping = 0;
  while (std::fgets(line, sizeof line, pacerLines)) {
    int index = 0, gap = 0, mean = 0, wait = 0;
    if (std::sscanf(line, "[%d] dif %d, mean %d : %d msec", &index, &gap, &mean, &wait) == 4) {
      ++paced;
      sleeping += wait > 0;
    }
  }
  std::fclose(pacerLines);
  EXPECT_EQ(paced, 90);
  EXPECT_GT(sleeping, 45);
}
