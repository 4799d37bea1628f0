// SPDX-License-Identifier: GPL-3.0-or-later
// Playback speeds end to end: cards written by roadeye-mkcard, read by the card parser, decoded
// onto surfaces that note when each picture came and which recording time it stands for, sound
// through the SDL dummy device (which plays in real time).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/CVEXParser.h"
#include "playback/CDecoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "support/Diag.h"
#include "support/testing/Command.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Notes, for each picture presented, when it came and the engine's position (the picture's
// recording time plus one frame).
class TimedSurface final : public VideoSurface {
 public:
  struct Shown {
    double wallMs;
    int positionMs;
  };
  TimedSurface(int width, int height) : width_(width), height_(height) {}
  void Watch(const CNOVMediaPlayer* engine) { engine_ = engine; }
  void GetSize(int* width, int* height) const override {
    *width = width_;
    *height = height_;
  }
  void Present(const unsigned char*, int, int, int) override {
    std::lock_guard<std::mutex> hold(lock_);
    shown_.push_back({NowMs(), engine_ ? engine_->GetPositionMs() : 0});
  }
  std::vector<Shown> Pictures() const {
    std::lock_guard<std::mutex> hold(lock_);
    return shown_;
  }

 private:
  int width_, height_;
  const CNOVMediaPlayer* engine_ = nullptr;
  mutable std::mutex lock_;
  std::vector<Shown> shown_;
};

// The sound output, counting the bytes that reach it and those that are not silence.
class CountingAudio final : public VAudio {
 public:
  bool Open(int bits, int rate) override { return inner_.Open(bits, rate); }
  int Close() override { return inner_.Close(); }
  int Reopen() override { return inner_.Reopen(); }
  void Play(const char* data, int length) override {
    bytes += length;
    for (int i = 0; i + 1 < length; i += 2) {
      if (data[i] != 0 || data[i + 1] != 0) {
        ++loud;
        break;
      }
    }
    inner_.Play(data, length);
  }
  int CheckResult(int status) override { return inner_.CheckResult(status); }
  long long WrittenBytes() const override { return inner_.WrittenBytes(); }
  long long PlayedBytes() const override { return inner_.PlayedBytes(); }
  void Flush() override { inner_.Flush(); }
  void SetPaused(bool paused) override { inner_.SetPaused(paused); }
  bool IsOk() const override { return inner_.IsOk(); }
  bool WaitForPlayed(long long above, std::uint32_t maxMs) override {
    return inner_.WaitForPlayed(above, maxMs);
  }
  void WakeWaiters() override { inner_.WakeWaiters(); }

  std::atomic<long long> bytes{0};
  std::atomic<int> loud{0};  // blocks with a sample that is not zero

 private:
  CWaveBox inner_;
};

// How far the pictures' pace may stray from the speed's: 2 %, or 10 % under ThreadSanitizer, whose
// slowdown makes the threads late by more than the pace can catch up within the window.
#if defined(__SANITIZE_THREAD__)
constexpr double kPaceTolerance = 0.10;
#else
constexpr double kPaceTolerance = 0.02;
#endif

// Media ms per wall ms over the pictures: the slope of a least-squares line.
double Rate(const std::vector<TimedSurface::Shown>& shown) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& s : shown) {
    n += 1;
    sx += s.wallMs;
    sy += s.positionMs;
    sxx += s.wallMs * s.wallMs;
    sxy += s.wallMs * s.positionMs;
  }
  const double d = n * sxx - sx * sx;
  return d > 0 ? (n * sxy - sx * sy) / d : 0;
}

}  // namespace

class SpeedTest : public testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    char tmpl[] = "/tmp/roadeye-speed-XXXXXX";
    root_ = mkdtemp(tmpl);
    const std::string tool = roadeye_test::BinDir() + "/roadeye-mkcard ";
    // A 720p + 360p card for the pace at every speed, and a 1080p + 720p one for the fastest.
    made_ = roadeye_test::RunCommand(tool + root_ + "/small --seconds 20 --count 1 --kinds REC " +
                                         "--rear yes --no-damaged",
                                     false)
                    .exitCode == 0 &&
            roadeye_test::RunCommand(tool + root_ + "/large --seconds 24 --count 1 --kinds REC " +
                                         "--rear yes --front 1920x1080 --rear-size 1280x720 " +
                                         "--no-damaged",
                                     false)
                    .exitCode == 0;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void Start(const std::string& card) {
    ASSERT_TRUE(made_);
    DiagSetOutput(nullptr);
    lib_ = VexStart();
    VexInitialise(lib_, (root_ + "/" + card).c_str());
    char drive = 0;
    VexCardPoll(lib_, &drive);
    ASSERT_NE(drive, 0);
    VexCardAttach(lib_);
    vex_.SetLibraryHandle(lib_);
    engine_.SetParser(&vex_);
    engine_.SetDecoder(&decoder_);
    engine_.SetAudio(&audio_);
    front_.Watch(&engine_);
    ASSERT_TRUE(engine_.Run(&front_, &rear_));
    for (const auto& e : fs::directory_iterator(fs::path(root_) / card / "VEX")) {
      name_ = "/" + e.path().stem().string() + ".avi";
    }
  }
  void TearDown() override {
    engine_.Shutdown();
    if (lib_) VexRelease(lib_);
    DiagSetOutput(stdout);
  }
  // Plays from the start at the speed for about wallMs after the first picture and returns the
  // pictures of that time, less the first 300 ms.
  std::vector<TimedSurface::Shown> Play(int speed, double wallMs) {
    EXPECT_TRUE(engine_.SetSpeed(speed));
    engine_.OpenMedia(name_.c_str());
    double first = 0;
    for (int i = 0; i < 1000 && first == 0; ++i) {
      auto shown = front_.Pictures();
      if (!shown.empty()) first = shown.front().wallMs;
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(first, 0);
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(first + 300 - NowMs()));
    const double from = NowMs();
    const long long played = audio_.PlayedBytes();
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(first + 300 + wallMs - NowMs()));
    // 8000 Hz 16-bit mono: 16 bytes a ms.
    deviceRate_ = double(audio_.PlayedBytes() - played) / 16.0 / (NowMs() - from);
    engine_.Pause();
    std::vector<TimedSurface::Shown> window;
    for (const auto& s : front_.Pictures()) {
      if (s.wallMs >= first + 300) window.push_back(s);
    }
    return window;
  }

  static std::string root_;
  static bool made_;
  VexHandle lib_ = nullptr;
  CVEXParser vex_;
  CDecoder decoder_;
  CountingAudio audio_;
  // How fast the sound device played during Play's window, against the steady clock: SDL's
  // dummy device falls a few percent behind on a busy machine, and the pictures follow it.
  double deviceRate_ = 1.0;
  TimedSurface front_{320, 180};
  TimedSurface rear_{160, 90};
  CNOVMediaPlayer engine_;
  std::string name_;
};

std::string SpeedTest::root_;
bool SpeedTest::made_ = false;

// At each speed the pictures' recording times advance at that pace, against the sound device's
// clock where sound plays and the steady clock elsewhere; sound is heard from half to twice the
// pace and is silent beyond.
TEST_P(SpeedTest, PicturesFollowTheSpeedAndSoundPlaysOnlyWhereItCan) {
  const int speed = GetParam();
  Start("small");
  // Long enough to see the pace, short enough to stay inside the 20 s recording.
  const double wallMs = std::min(3000.0, 15000.0 * CNOVMediaPlayer::kNormalSpeed / speed);
  const auto shown = Play(speed, wallMs);
  ASSERT_GE(shown.size(), 8u);
  // Where sound plays its clock paces the pictures; elsewhere the steady clock does.
  const double expected = double(speed) / CNOVMediaPlayer::kNormalSpeed *
                          (CNOVMediaPlayer::SoundAtSpeed(speed) ? deviceRate_ : 1.0);
  EXPECT_NEAR(Rate(shown), expected, expected * kPaceTolerance);
  if (CNOVMediaPlayer::SoundAtSpeed(speed)) {
    EXPECT_GT(deviceRate_, 0.9) << "the sound device hardly played";
    // The device plays in real time: at least half the window's worth of sound reached it.
    EXPECT_GT(audio_.bytes.load(), static_cast<long long>(wallMs * 16 / 2));
    EXPECT_GT(audio_.loud.load(), 0);
  } else {
    EXPECT_EQ(audio_.bytes.load(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(EverySpeed, SpeedTest, testing::ValuesIn(CNOVMediaPlayer::kSpeeds),
                         [](const testing::TestParamInfo<int>& info) {
                           return "Quarters" + std::to_string(info.param);
                         });

// Sixteen times on a 1080p + 720p recording: key pictures only, at least 15 a second on screen,
// the position keeping the pace, no sound.
TEST_F(SpeedTest, SixteenTimesOnA1080pRecordingShowsKeyPicturesAtLeast15ASecondInSilence) {
  Start("large");
  const auto shown = Play(64, 1200);
  ASSERT_GE(shown.size(), 2u);
  const double seconds = (shown.back().wallMs - shown.front().wallMs) / 1000;
  EXPECT_GE((shown.size() - 1) / seconds, 15.0);
  EXPECT_NEAR(Rate(shown), 16.0, 16.0 * kPaceTolerance);
  // Key pictures only: one a second of the recording, 30 pictures apart.
  for (std::size_t i = 1; i < shown.size(); ++i) {
    EXPECT_EQ((shown[i].positionMs - shown[i - 1].positionMs + 500) / 1000, 1) << i;
  }
  EXPECT_EQ(audio_.bytes.load(), 0);
}

// A speed change while playing takes effect from the picture on screen: no jump back to its
// block's start, and the pace changes.
TEST_F(SpeedTest, ChangingSpeedWhilePlayingGoesOnFromThePictureOnScreen) {
  Start("small");
  engine_.OpenMedia(name_.c_str());
  for (int i = 0; i < 1000 && engine_.GetShownPicture() < 45; ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(engine_.SetSpeed(16));
  const double changed = NowMs();
  std::this_thread::sleep_for(1500ms);
  engine_.Pause();
  std::vector<TimedSurface::Shown> after;
  int lowest = 1 << 30;
  for (const auto& s : front_.Pictures()) {
    if (s.wallMs > changed) lowest = std::min(lowest, s.positionMs);
    if (s.wallMs > changed + 300) after.push_back(s);
  }
  // 45 pictures were on screen at the change: what follows starts no earlier than that.
  EXPECT_GE(lowest, 45 * 1000 / 30);
  ASSERT_GE(after.size(), 8u);
  EXPECT_NEAR(Rate(after), 4.0, 4.0 * 0.02);
  EXPECT_FALSE(engine_.SetSpeed(3));
  EXPECT_EQ(engine_.GetSpeed(), 16);

  // Changed while paused: playing on goes from the next picture at the new pace.
  for (int i = 0; i < 100 && engine_.GetRunState() != CNOVMediaPlayer::kIdle; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  const int paused = engine_.GetShownPicture();
  ASSERT_GE(paused, 0);
  ASSERT_TRUE(engine_.SetSpeed(2));
  const double resumed = NowMs();
  engine_.Resume();
  std::this_thread::sleep_for(2500ms);
  engine_.Pause();
  std::vector<TimedSurface::Shown> slow;
  int first = -1;
  for (const auto& s : front_.Pictures()) {
    if (s.wallMs > resumed && first < 0) first = s.positionMs;
    if (s.wallMs > resumed + 300) slow.push_back(s);
  }
  // The position after a picture is its time plus one frame: the next picture's is two frames on.
  EXPECT_EQ(first, (paused + 2) * 1000 / 30);
  ASSERT_GE(slow.size(), 8u);
  EXPECT_NEAR(Rate(slow), 0.5, 0.5 * 0.02);
}
