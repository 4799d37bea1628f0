// SPDX-License-Identifier: GPL-3.0-or-later
// Lip-sync on a real sound server: a private PulseAudio server with a null sink (started by the
// test), SDL's pulseaudio driver, and a recording of what the sink played from its monitor. The
// media clock must tell the recording time of the sound heard, past the server's buffers; the
// engine's flashes must meet their beeps; and when the server goes away in the middle of playback
// the pictures go on, and the sound comes back with the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/CVEXParser.h"
#include "playback/CDecoder.h"
#include "playback/CMediaSync.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/RecordingSurface.h"
#include "support/Diag.h"
#include "support/testing/Command.h"
#include "support/testing/PulseMonitor.h"
#include "support/testing/PulseServer.h"
#include "support/testing/TempDir.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using roadeye_test::PulseMonitor;
using roadeye_test::PulseServer;

namespace {

// A beep's first sample is louder than this; the hum between beeps stays under it.
constexpr int kBeepLevel = 6000;
// Beeps are a second apart: a burst after this much quiet is a new one, in ms.
constexpr double kBeepQuietMs = 500;
// How far the sound heard may lie from the clock (or a flash from its beep), in ms.
constexpr double kToleranceMs = 20;

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Starts the server for this process, or says why the test cannot run.
#define START_SERVER_OR_SKIP(server)                                               \
  do {                                                                             \
    if (!(server).Start()) {                                                       \
      GTEST_SKIP() << "no PulseAudio server could be started: " << (server).why(); \
    }                                                                              \
    (server).UseInThisProcess();                                                   \
  } while (0)

// 240 ms of 8000 Hz 16-bit sound starting at recording time ms: quiet, with a 50 ms 1 kHz beep
// from each whole second.
std::vector<short> BeepBlock(int ms) {
  std::vector<short> block(CMediaSync::kBlockBytes / 2);
  for (std::size_t i = 0; i < block.size(); ++i) {
    const double t = ms + double(i) / 8.0;  // recording ms of the sample
    const double inSecond = std::fmod(t, 1000.0);
    if (inSecond < 50) block[i] = short(12000 * std::sin(2 * M_PI * 1000 * inSecond / 1000.0));
  }
  return block;
}

// The clock as read over time: (steady ms, clock ms) pairs.
class ClockSampler {
 public:
  explicit ClockSampler(const CMediaSync& sync)
      : thread_([this, &sync] {
          while (running_) {
            const int clock = sync.MediaClockMs();
            {
              std::lock_guard<std::mutex> hold(lock_);
              samples_.emplace_back(NowMs(), clock);
            }
            std::this_thread::sleep_for(1ms);
          }
        }) {}
  ~ClockSampler() { Stop(); }
  void Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  // The clock at steady time t, between the readings around it; -1 without readings on both
  // sides or with an unknown clock among them.
  double At(double t) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i = 1; i < samples_.size(); ++i) {
      if (samples_[i].first < t) continue;
      const auto& a = samples_[i - 1];
      const auto& b = samples_[i];
      if (a.first > t || a.second < 0 || b.second < 0 || b.first - a.first > 10) return -1;
      return a.second + (b.second - a.second) * (t - a.first) / std::max(1e-6, b.first - a.first);
    }
    return -1;
  }

 private:
  std::atomic<bool> running_{true};
  mutable std::mutex lock_;
  std::vector<std::pair<double, int>> samples_;
  std::thread thread_;
};

// Plays `seconds` of beeps through the media clock and an SDL device on the server, records the
// monitor, and returns, for each beep heard, the clock at that moment less the beep's own
// recording time (positive: the clock is ahead of the sound heard).
std::vector<double> ClockErrorsAtBeeps(const PulseServer& server, int seconds) {
  PulseMonitor monitor;
  EXPECT_TRUE(monitor.Start(server.Monitor()));
  CWaveBox box;
  CMediaSync sync;
  sync.SetAudio(&box);
  sync.SetFormat(16, 8000);
  sync.RequestDevice(16, 8000);
  EXPECT_TRUE(sync.StartFeeder());
  ClockSampler sampler(sync);
  const int blocks = seconds * 1000 / 240;
  for (int i = 0; i < blocks; ++i) {
    const std::vector<short> block = BeepBlock(i * 240);
    sync.PushPcm(reinterpret_cast<const char*>(block.data()), CMediaSync::kBlockBytes, i * 240);
    // The engine keeps some 700 ms queued; so does this.
    while (sync.PendingBlocks() > 3) std::this_thread::sleep_for(5ms);
  }
  while (sync.PendingBlocks() > 0) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(800ms);  // the last sound is heard
  sampler.Stop();
  sync.StopFeeder();
  monitor.Stop();
  std::vector<double> errors;
  for (double heard : monitor.OnsetsMs(kBeepLevel, kBeepQuietMs)) {
    const double clock = sampler.At(heard);
    if (clock < 0) continue;
    const double second = std::round(clock / 1000.0) * 1000.0;
    errors.push_back(clock - second);
  }
  return errors;
}

std::string Describe(const std::vector<double>& v) {
  std::string s;
  for (double x : v) s += " " + std::to_string(int(std::lround(x)));
  return s;
}

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / double(v.size());
}

// The card tool's flash: a square of 96 pixels in the top-right corner of the largest front
// picture (3840x2160), as a part of its width and height.
constexpr double kFlashX = 96.0 / 3840, kFlashY = 96.0 / 2160;

// How bright the flash's corner of a presented picture is (three quarters of the square, clear of
// the edge the scaler blurs), 0..255.
double CornerBrightness(const PresentedPicture& p) {
  const int cw = std::max(1, int(p.width * kFlashX * 0.75));
  const int ch = std::max(1, int(p.height * kFlashY * 0.75));
  double sum = 0;
  for (int y = 0; y < ch; ++y) {
    for (int x = p.width - cw; x < p.width; ++x) {
      const unsigned char* px = p.pixels.data() + (std::size_t(y) * p.width + x) * 3;
      sum += (px[0] + px[1] + px[2]) / 3.0;
    }
  }
  return sum / (cw * ch);
}

// Threads of this process with this name, and how often they went to sleep and were woken
// (voluntary context switches) so far.
struct NamedThreads {
  int count = 0;
  long wakeUps = 0;
};
NamedThreads ThreadsNamed(const std::string& name) {
  NamedThreads t;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (!std::getline(comm, line) || line != name) continue;
    ++t.count;
    std::ifstream status(task.path() / "status");
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) t.wakeUps += std::atol(line.c_str() + 24);
    }
  }
  return t;
}

// A whole engine on a card written by roadeye-mkcard: one two-camera recording of `seconds`, its
// front pictures kept for the flashes.
class CardEngine {
 public:
  explicit CardEngine(int seconds) : dir_("pulse-card") {
    const std::string cmd = roadeye_test::Quote(roadeye_test::BinDir() + "/roadeye-mkcard") + " " +
                            roadeye_test::Quote(dir_.str()) + " --seconds " +
                            std::to_string(seconds) +
                            " --count 1 --kinds REC --rear yes --no-damaged --front 640x360"
                            " --rear-size 320x180 > /dev/null";
    made_ = std::system(cmd.c_str()) == 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(dir_.str()) / "VEX", ec)) {
      name_ = "/" + e.path().stem().string() + ".avi";
    }
  }
  ~CardEngine() {
    if (!started_) return;
    engine.Shutdown();
    VexRelease(lib_);
  }
  bool Made() const { return made_ && !name_.empty(); }
  void Play() {
    lib_ = VexStart();
    VexInitialise(lib_, dir_.str().c_str());
    char drive = 0;
    VexCardPoll(lib_, &drive);
    VexCardAttach(lib_);
    parser_.SetLibraryHandle(lib_);
    engine.SetParser(&parser_);
    engine.SetDecoder(&decoder_);
    engine.SetAudio(&audio);
    engine.Run(&front, &rear);
    started_ = true;
    engine.OpenMedia(name_.c_str());
  }
  // Waits until the position reaches ms (at most limitMs).
  bool Reach(int ms, int limitMs = 30000) {
    for (int waited = 0; waited < limitMs && engine.GetPositionMs() < ms; waited += 5) {
      std::this_thread::sleep_for(5ms);
    }
    return engine.GetPositionMs() >= ms;
  }
  // When each flash was presented, in ms on the steady clock.
  std::vector<double> FlashTimes() const {
    std::vector<double> times;
    for (const PresentedPicture& p : front.Pictures()) {
      if (!p.pixels.empty() && CornerBrightness(p) > 200) times.push_back(p.timeMs);
    }
    return times;
  }

  CWaveBox audio;
  CRecordingSurface front{160, 90, true}, rear{160, 90};
  CNOVMediaPlayer engine;

 private:
  roadeye_test::TempDir dir_;
  bool made_ = false;
  std::string name_;
  bool started_ = false;
  VexHandle lib_{};
  CVEXParser parser_;
  CDecoder decoder_;
};

}  // namespace

// The clock reads the recording time of what is heard from the sink, within 20 ms at every beep,
// from the first on.
TEST(PulseLipSync, TheClockTellsTheSoundHeard) {
  PulseServer server;
  START_SERVER_OR_SKIP(server);
  DiagSetOutput(nullptr);
  std::vector<double> errors = ClockErrorsAtBeeps(server, 8);
  ASSERT_GE(errors.size(), 6u) << "beeps heard and timed:" << Describe(errors);
  std::printf("clock ahead of the sound heard, corrected:%s ms\n", Describe(errors).c_str());
  for (double e : errors) EXPECT_LE(std::fabs(e), kToleranceMs) << Describe(errors);
  EXPECT_LE(std::fabs(Mean(errors)), 10.0) << Describe(errors);
}

// Without the server's latency the clock runs ahead of the sound heard by that latency: the
// correction is what brings it within the tolerance.
TEST(PulseLipSync, WithoutTheCorrectionTheClockRunsAhead) {
  PulseServer server;
  START_SERVER_OR_SKIP(server);
  DiagSetOutput(nullptr);
  ::setenv("ROADEYE_LATENCY_CORRECTION", "0", 1);
  std::vector<double> errors = ClockErrorsAtBeeps(server, 6);
  ::unsetenv("ROADEYE_LATENCY_CORRECTION");
  ASSERT_GE(errors.size(), 4u) << "beeps heard and timed:" << Describe(errors);
  std::printf("clock ahead of the sound heard, uncorrected:%s ms\n", Describe(errors).c_str());
  EXPECT_GT(Mean(errors), kToleranceMs) << Describe(errors);
}

// Through the whole engine: each flash is presented within 20 ms of its beep heard from the sink.
TEST(PulseLipSync, FlashesMeetTheirBeeps) {
  PulseServer server;
  START_SERVER_OR_SKIP(server);
  DiagSetOutput(nullptr);
  CardEngine player(8);
  ASSERT_TRUE(player.Made());
  PulseMonitor monitor;
  ASSERT_TRUE(monitor.Start(server.Monitor()));
  player.Play();
  ASSERT_TRUE(player.Reach(7600));
  std::this_thread::sleep_for(300ms);
  monitor.Stop();
  const std::vector<double> beeps = monitor.OnsetsMs(kBeepLevel, kBeepQuietMs);
  const std::vector<double> flashes = player.FlashTimes();
  std::vector<double> offsets;  // picture minus sound
  for (double flash : flashes) {
    double best = 1e9;
    for (double beep : beeps) {
      if (std::fabs(flash - beep) < std::fabs(best)) best = flash - beep;
    }
    if (std::fabs(best) < 500) offsets.push_back(best);
  }
  ASSERT_GE(offsets.size(), 6u) << beeps.size() << " beeps, " << flashes.size() << " flashes";
  std::printf("picture minus sound at each flash:%s ms\n", Describe(offsets).c_str());
  for (double o : offsets) EXPECT_LE(std::fabs(o), kToleranceMs) << Describe(offsets);
  EXPECT_LE(std::fabs(Mean(offsets)), 10.0) << Describe(offsets);
}

// The server goes away in the middle of playback: the pictures go on at the frame period; when it
// is back, the device is opened again and the sound is heard again.
TEST(PulseLipSync, PicturesGoOnWithoutTheServerAndSoundComesBack) {
  PulseServer server;
  START_SERVER_OR_SKIP(server);
  DiagSetOutput(nullptr);
  CardEngine player(14);
  ASSERT_TRUE(player.Made());
  player.Play();
  ASSERT_TRUE(player.Reach(2000));
  server.Stop();
  const int before = player.front.Count();
  const double stopped = NowMs();
  std::this_thread::sleep_for(3s);
  const int during = player.front.Count() - before;
  const double seconds = (NowMs() - stopped) / 1000.0;
  // 30 pictures a second. When the device goes, the pictures the clock held are released by the
  // frame period from then on: none is lost, and none rushes.
  std::printf("front pictures in %.2f s without the server: %d\n", seconds, during);
  EXPECT_GE(during, int(30 * seconds * 0.9)) << "front pictures in " << seconds << " s";
  EXPECT_LE(during, int(30 * seconds * 1.1) + 3) << "front pictures in " << seconds << " s";
  EXPECT_FALSE(player.audio.IsOk()) << "the device outlived its server";

  ASSERT_TRUE(server.Start()) << server.why();
  PulseMonitor monitor;
  ASSERT_TRUE(monitor.Start(server.Monitor()));
  // The feeder tries the device again every two seconds while sound comes.
  bool heard = false;
  for (int i = 0; i < 60 && !heard; ++i) {
    std::this_thread::sleep_for(100ms);
    heard = !monitor.OnsetsMs(kBeepLevel, kBeepQuietMs).empty();
  }
  EXPECT_TRUE(heard) << "no beep heard after the server came back";
  EXPECT_TRUE(player.audio.IsOk());
}

// The latency query runs while sound plays, about once a second; paused, its thread sleeps and the
// figure stays; stopped, the thread is gone.
TEST(PulseLipSync, TheLatencyQuerySleepsWhilePausedAndEndsWithPlayback) {
  PulseServer server;
  START_SERVER_OR_SKIP(server);
  DiagSetOutput(nullptr);
  CardEngine player(10);
  ASSERT_TRUE(player.Made());
  PulseMonitor monitor;  // keeps the null sink awake, as a desktop's sink would be
  ASSERT_TRUE(monitor.Start(server.Monitor()));
  player.Play();
  ASSERT_TRUE(player.Reach(2500));
  ASSERT_EQ(ThreadsNamed("PulseLatency").count, 1);
  const int figure = player.audio.OutputLatencyMicros();
  EXPECT_GT(figure, 0);

  const long playing = ThreadsNamed("PulseLatency").wakeUps;
  std::this_thread::sleep_for(2s);
  EXPECT_GE(ThreadsNamed("PulseLatency").wakeUps - playing, 2) << "no query while playing";

  player.engine.Pause();
  std::this_thread::sleep_for(300ms);  // a query under way ends
  const long paused = ThreadsNamed("PulseLatency").wakeUps;
  std::this_thread::sleep_for(2s);
  EXPECT_LE(ThreadsNamed("PulseLatency").wakeUps - paused, 1) << "queries while paused";
  EXPECT_GT(player.audio.OutputLatencyMicros(), 0) << "the figure was lost in the pause";

  player.engine.Resume();
  const long resumed = ThreadsNamed("PulseLatency").wakeUps;
  std::this_thread::sleep_for(1s);
  EXPECT_GE(ThreadsNamed("PulseLatency").wakeUps - resumed, 2) << "no query after the pause";

  player.engine.StopMedia();
  std::this_thread::sleep_for(500ms);  // the feeder closes the device
  EXPECT_EQ(ThreadsNamed("PulseLatency").count, 0);
  EXPECT_EQ(player.audio.OutputLatencyMicros(), -1);
}
