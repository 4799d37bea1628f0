// SPDX-License-Identifier: GPL-3.0-or-later
// The sound feeder's queue and thread, and the frame pacer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SoundTestSupport.h"
#include "platform/Clock.h"
#include "playback/CMediaSync.h"
#include "playback/CWaveBox.h"
#include "playback/WaveOut.h"
#include "support/Diag.h"

namespace {

using soundtest::Block;
using soundtest::kBlock;
using soundtest::WaitFor;
static_assert(kBlock == CMediaSync::kBlockBytes);

// Sends the diagnostic lines to a file for the life of the object, and reads them back.
class DiagCapture {
 public:
  DiagCapture() : file_(std::tmpfile()) { DiagSetOutput(file_); }
  ~DiagCapture() {
    DiagSetOutput(stdout);
    if (file_ != nullptr) std::fclose(file_);
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    if (file_ == nullptr) return lines;
    std::fflush(file_);
    std::rewind(file_);
    char buf[256];
    while (std::fgets(buf, sizeof buf, file_) != nullptr) lines.emplace_back(buf);
    return lines;
  }

 private:
  std::FILE* file_;
};

// An audio output that keeps what it is asked to play, taking playMs for each block.
class RecordingAudio : public VAudio {
 public:
  explicit RecordingAudio(unsigned playMs = 0) : playMs_(playMs) {}
  bool Open(int, int) override { return true; }
  int Close() override { return 1; }
  int Reopen() override { return 0; }
  int CheckResult(int status) override { return status; }
  void Play(const char* data, int length) override {
    playing_.store(true);
    if (playMs_ > 0) SleepMs(playMs_);
    {
      std::lock_guard<std::mutex> hold(lock_);
      played_.emplace_back(data, static_cast<std::size_t>(length));
    }
    playing_.store(false);
  }
  std::vector<std::string> Played() {
    std::lock_guard<std::mutex> hold(lock_);
    return played_;
  }
  int Count() {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(played_.size());
  }
  bool Playing() const { return playing_.load(); }

 private:
  const unsigned playMs_;
  std::atomic<bool> playing_{false};
  std::mutex lock_;
  std::vector<std::string> played_;
};

}  // namespace

TEST(MediaSync, ABlockOf5000BytesIsQueuedAs3840) {
  CMediaSync sync;
  const std::string data = Block(1, 5000);
  EXPECT_TRUE(sync.PushPcm(data.data(), 5000));
  EXPECT_EQ(sync.PendingBlocks(), 1);
  char out[kBlock];
  int length = -1;
  ASSERT_TRUE(sync.PopPcm(out, &length));
  EXPECT_EQ(length, kBlock);
  EXPECT_EQ(std::string(out, kBlock), data.substr(0, kBlock));
  EXPECT_FALSE(sync.PopPcm(out, &length));
}

TEST(MediaSync, BlocksComeOutInOrderAndClearEmpties) {
  CMediaSync sync;
  const std::string a = Block(1, 100), b = Block(2, kBlock), c = Block(3, 7);
  sync.PushPcm(a.data(), 100);
  sync.PushPcm(b.data(), kBlock);
  sync.PushPcm(c.data(), 7);
  sync.PushPcm(nullptr, 50);
  EXPECT_EQ(sync.PendingBlocks(), 4);
  char out[kBlock];
  int length = 0;
  ASSERT_TRUE(sync.PopPcm(out, &length));
  EXPECT_EQ(std::string(out, static_cast<std::size_t>(length)), a);
  ASSERT_TRUE(sync.PopPcm(out, &length));
  EXPECT_EQ(std::string(out, static_cast<std::size_t>(length)), b);
  sync.ClearPcm();
  EXPECT_EQ(sync.PendingBlocks(), 0);
  EXPECT_FALSE(sync.PopPcm(out, &length));
  sync.PushPcm(c.data(), 7);
  ASSERT_TRUE(sync.PopPcm(out, &length));
  EXPECT_EQ(std::string(out, static_cast<std::size_t>(length)), c);
}

TEST(MediaSync, AFullQueueDropsItsOldestBlock) {
  CMediaSync sync;
  DiagCapture diag;
  const int pushes = CMediaSync::kMaxBlocks + 6;
  for (int i = 0; i < pushes; ++i) {
    const std::string b = Block(i, 16);
    ASSERT_TRUE(sync.PushPcm(b.data(), 16));
  }
  EXPECT_EQ(sync.PendingBlocks(), CMediaSync::kMaxBlocks);
  const auto lines = diag.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "[CMediaSync] sound queue full, oldest block dropped\n");
  char out[kBlock];
  int length = 0;
  ASSERT_TRUE(sync.PopPcm(out, &length));
  EXPECT_EQ(std::string(out, static_cast<std::size_t>(length)), Block(6, 16));
}

TEST(MediaSync, WaitForAudioReturnsAtOnceWithoutAPlayingFeeder) {
  CMediaSync sync;
  const std::string b = Block(1);
  for (int i = 0; i < 5; ++i) sync.PushPcm(b.data(), kBlock);
  sync.WaitForAudio();  // no output: pictures follow the frame rate
  EXPECT_EQ(sync.PendingBlocks(), 5);
  RecordingAudio audio;
  sync.SetAudio(&audio);
  sync.WaitForAudio();  // an output but no feeder
  EXPECT_EQ(sync.PendingBlocks(), 5);
  EXPECT_EQ(audio.Count(), 0);
}

TEST(MediaSync, TheFeederPlaysInOrderAndWaitForAudioLeavesAtMostOneBlock) {
  CMediaSync sync;
  RecordingAudio audio(5);
  sync.SetAudio(&audio);
  std::vector<std::string> blocks;
  for (int i = 0; i < 10; ++i) blocks.push_back(Block(i, 1000 + i));
  for (const auto& b : blocks) sync.PushPcm(b.data(), static_cast<int>(b.size()));
  ASSERT_TRUE(sync.StartFeeder());
  EXPECT_TRUE(sync.IsFeeding());
  sync.WaitForAudio();
  EXPECT_LE(sync.PendingBlocks(), 1);  // only the feeder takes blocks out
  ASSERT_TRUE(WaitFor([&] { return audio.Count() == 10; }));
  sync.StopFeeder();
  EXPECT_FALSE(sync.IsFeeding());
  EXPECT_EQ(audio.Played(), blocks);
}

TEST(MediaSync, StopFeederReturnsAfterTheBlockInPlayHasReturned) {
  CMediaSync sync;
  RecordingAudio audio(50);
  sync.SetAudio(&audio);
  const std::string b = Block(1);
  for (int i = 0; i < 5; ++i) sync.PushPcm(b.data(), kBlock);
  ASSERT_TRUE(sync.StartFeeder());
  ASSERT_TRUE(WaitFor([&] { return audio.Playing(); }));
  sync.StopFeeder();
  EXPECT_FALSE(audio.Playing());
  const int left = sync.PendingBlocks();
  SleepMs(20);
  EXPECT_EQ(sync.PendingBlocks(), left);  // nobody takes blocks any more
  EXPECT_EQ(audio.Count(), 5 - left);
}

TEST(MediaSync, WithoutAnOutputTheFeederDropsTheBlocks) {
  CMediaSync sync;
  ASSERT_TRUE(sync.StartFeeder());
  const std::string b = Block(1);
  for (int i = 0; i < 20; ++i) sync.PushPcm(b.data(), kBlock);
  ASSERT_TRUE(WaitFor([&] { return sync.PendingBlocks() == 0; }));
}

TEST(MediaSync, PushingWhileTheFeederPlays) {
  CMediaSync sync;
  RecordingAudio audio;
  sync.SetAudio(&audio);
  ASSERT_TRUE(sync.StartFeeder());
  std::vector<std::string> blocks;
  for (int i = 0; i < 50; ++i) blocks.push_back(Block(i, 64));
  std::thread worker([&] {
    for (const auto& b : blocks) {
      sync.PushPcm(b.data(), 64);
      if (b[0] % 3 == 0) sync.WaitForAudio();
    }
  });
  worker.join();
  ASSERT_TRUE(WaitFor([&] { return audio.Count() == 50; }));
  EXPECT_EQ(audio.Played(), blocks);
}

TEST(MediaSync, FeedsAWaveBoxAtTheDeviceRate) {
  CWaveOutFake device(CWaveOutFake::Pace::kRealTime);
  CWaveBox box(&device);
  ASSERT_TRUE(box.Open(16, 8000));
  CMediaSync sync;
  sync.SetAudio(&box);
  std::vector<std::string> blocks;
  for (int i = 0; i < 4; ++i) blocks.push_back(Block(i));
  for (const auto& b : blocks) sync.PushPcm(b.data(), kBlock);
  ASSERT_TRUE(sync.StartFeeder());
  sync.WaitForAudio();
  EXPECT_LE(sync.PendingBlocks(), 1);
  ASSERT_TRUE(WaitFor([&] { return device.DoneCount() == 4; }));
  sync.StopFeeder();
  EXPECT_EQ(device.Written(), blocks);
}

TEST(MediaSync, AGivenUpOutputLetsTheQueueDrain) {
  CWaveOutFake device;
  device.SetOpenStatus(kWaveErrNoDriver);
  CWaveBox box(&device);
  ASSERT_FALSE(box.Open(16, 8000));
  CMediaSync sync;
  sync.SetAudio(&box);
  const std::string b = Block(1);
  for (int i = 0; i < 20; ++i) sync.PushPcm(b.data(), kBlock);
  ASSERT_TRUE(sync.StartFeeder());
  sync.WaitForAudio();
  ASSERT_TRUE(WaitFor([&] { return sync.PendingBlocks() == 0; }));
  sync.StopFeeder();
  EXPECT_TRUE(device.Written().empty());
}

// The frame pacer.

namespace {

struct PacerLine {
  int index = -1, gap = 0, mean = 0, wait = 0;
};

PacerLine Parse(const std::string& line) {
  PacerLine p;
  char tail[16] = {};
  if (std::sscanf(line.c_str(), "[%d] dif %d, mean %d : %d %15s", &p.index, &p.gap, &p.mean,
                  &p.wait, tail) != 5 ||
      std::string(tail) != "msec") {
    p.index = -1;
  }
  return p;
}

// Checks every line against the pacer's statistics: the gap within [0, 60], the mean that of
// the last 24 gaps, a wait of at most one period.
void CheckLines(const std::vector<std::string>& lines, const std::vector<int>& periods) {
  ASSERT_EQ(lines.size(), periods.size());
  std::vector<int> gaps;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const PacerLine p = Parse(lines[k]);
    ASSERT_EQ(p.index, 0) << lines[k];
    EXPECT_GE(p.gap, 0) << lines[k];
    EXPECT_LE(p.gap, 60) << lines[k];
    gaps.push_back(p.gap);
    if (gaps.size() > 24) gaps.erase(gaps.begin());
    int sum = 0;
    for (int g : gaps) sum += g;
    EXPECT_EQ(p.mean, sum / static_cast<int>(gaps.size())) << "line " << k << ": " << lines[k];
    EXPECT_LE(p.wait, periods[k]) << "line " << k << ": " << lines[k];
  }
}

double SteadyMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// Without sound the pictures keep the frame rate: each is released one period after the one
// before, however long the work between them took (the work is not added to the period).
TEST(FramePacer, ReleasesPicturesOnePeriodApartWhateverTheWorkBetween) {
  FramePacerReset();
  std::vector<std::string> lines;
  std::vector<double> released;
  {
    DiagCapture diag;
    for (int i = 0; i < 25; ++i) {
      SleepMs(static_cast<unsigned>((i % 3) * 10));  // 0, 10 or 20 ms of decoding and drawing
      FramePacer(nullptr, 30);
      released.push_back(SteadyMs());
    }
    lines = diag.Lines();
  }
  ASSERT_EQ(lines.size(), 25u);
  // The first picture goes at once; its gap counts as the most a gap can be.
  EXPECT_EQ(lines[0], "[00] dif 60, mean 60 :  0 msec\n");
  CheckLines(lines, std::vector<int>(25, 33));
  // 24 periods of 33.3 ms lie between the first release and the last: never fewer.
  EXPECT_GE(released.back() - released.front(), 24 * 1000.0 / 30 - 1.0);
  FramePacerReset();
}

TEST(FramePacer, AfterAPauseAndWithoutAFrameRateTheScheduleStartsAgain) {
  FramePacerReset();
  std::vector<std::string> lines;
  double first = 0, second = 0, third = 0, fourth = 0;
  {
    DiagCapture diag;
    FramePacer(nullptr, 10);
    first = SteadyMs();
    FramePacer(nullptr, 10);  // one period of 100 ms after the first
    second = SteadyMs();
    SleepMs(400);            // a pause: the next picture goes at once, it is not rushed after
    FramePacer(nullptr, 0);  // taken as 30 per second
    third = SteadyMs();
    FramePacer(nullptr, 0);
    fourth = SteadyMs();
    lines = diag.Lines();
  }
  ASSERT_EQ(lines.size(), 4u);
  // Never sooner than a period apart, and the picture after the pause without a wait.
  EXPECT_GE(second - first, 99.0);
  EXPECT_EQ(Parse(lines[2]).wait, 0);
  EXPECT_GE(fourth - third, 1000.0 / 30 - 1.0);
  CheckLines(lines, {100, 100, 33, 33});
  FramePacerReset();
}

TEST(FramePacer, DoesNotWaitForSoundNobodyPlays) {
  FramePacerReset();
  CMediaSync sync;
  const std::string b = Block(1);
  for (int i = 0; i < 5; ++i) sync.PushPcm(b.data(), kBlock);
  DiagCapture diag;
  FramePacer(&sync, 1000);
  EXPECT_EQ(diag.Lines().size(), 1u);
  EXPECT_EQ(sync.PendingBlocks(), 5);
  FramePacerReset();
}

namespace {

// A feeder playing into a hand-paced device: blocks finish only when the test says so.
struct ManualClock {
  CWaveOutFake device;
  CWaveBox box{&device};
  CMediaSync sync;
  ManualClock() {
    box.Open(16, 8000);
    sync.SetAudio(&box);
    sync.SetFormat(16, 8000);
  }
  ~ManualClock() {
    device.FinishAll();
    sync.StopFeeder();
  }
  void Push(int id, int mediaMs) {
    const std::string b = Block(id);
    sync.PushPcm(b.data(), kBlock, mediaMs);
  }
  // Waits until the feeder has put `blocks` blocks on the device in all.
  bool OnDevice(int blocks) {
    return WaitFor([&] { return box.WrittenBytes() == static_cast<long long>(blocks) * kBlock; });
  }
  // Waits until the clock reads ms (the feeder notes a block's time once Play has returned).
  bool ClockAt(int ms) {
    return WaitFor([&] { return sync.MediaClockMs() == ms; });
  }
};

}  // namespace

TEST(MediaClock, ReadsTheRecordingTimeAtTheDevicePosition) {
  ManualClock c;
  EXPECT_EQ(c.sync.MediaClockMs(), -1);  // nothing on the device
  c.Push(0, 1000);
  c.Push(1, -1);  // no time of its own: it follows block 0
  c.Push(2, 5000);
  EXPECT_FALSE(c.sync.ClockStarting());  // the feeder is not running
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.OnDevice(2));  // two device buffers: block 2 waits for a free one
  ASSERT_TRUE(c.ClockAt(1000));
  // On the device, and not begun: pictures still wait for the device to begin it.
  EXPECT_TRUE(c.sync.ClockStarting());
  EXPECT_FALSE(c.sync.SoundBegun());

  c.device.FinishOne();  // block 0 played: block 1 starts where it ended
  EXPECT_EQ(c.sync.MediaClockMs(), 1240);
  EXPECT_FALSE(c.sync.ClockStarting());
  EXPECT_TRUE(c.sync.SoundBegun());
  c.device.FinishOne();
  ASSERT_TRUE(c.OnDevice(3));
  ASSERT_TRUE(c.ClockAt(5000));
  // Everything played: the clock stands at the end of the last block.
  c.device.FinishOne();
  EXPECT_EQ(c.sync.MediaClockMs(), 5240);
  EXPECT_EQ(c.sync.MediaClockMs(), 5240);

  // A new recording: the old times mean nothing.
  c.sync.ClearPcm();
  EXPECT_EQ(c.sync.MediaClockMs(), -1);
}

TEST(MediaClock, StartsOverWhenTheDeviceIsOpenedAgainAndStopsWhenItIsGivenUp) {
  ManualClock c;
  c.Push(0, 7000);
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.ClockAt(7000));
  c.device.FinishOne();
  EXPECT_EQ(c.sync.MediaClockMs(), 7240);

  // Opened again (another sound format): byte counts start over.
  ASSERT_TRUE(c.box.Open(16, 8000));
  EXPECT_EQ(c.sync.MediaClockMs(), -1);
  c.Push(1, 300);
  ASSERT_TRUE(c.ClockAt(300));
  c.device.FinishOne();
  EXPECT_EQ(c.sync.MediaClockMs(), 540);

  // A device that fails is given up: no clock to follow.
  c.device.SetWriteStatus(kWaveErrNoDriver);
  c.Push(2, 540);
  ASSERT_TRUE(WaitFor([&] { return !c.box.IsOk(); }));
  EXPECT_EQ(c.sync.MediaClockMs(), -1);
  EXPECT_FALSE(c.sync.ClockStarting());
}

// Behind a sound server the sound leaving the device is heard later: the clock stands that much
// behind the play position, also before the first block is heard and after a flush, when what
// is still heard is the sound from before.
TEST(MediaClock, TakesTheOutputLatencyOffThePlayPosition) {
  ManualClock c;
  c.device.SetOutputLatencyMicros(100000);  // 100 ms: 1600 bytes at 8000 Hz, 16-bit
  c.Push(0, 1000);
  c.Push(1, 5000);
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.OnDevice(2));
  ASSERT_TRUE(c.ClockAt(900));  // block 0 leaves the device; its start is heard in 100 ms
  c.device.FinishOne();
  EXPECT_EQ(c.sync.MediaClockMs(), 1140);  // 240 ms played, 140 of them heard
  c.device.FinishOne();
  ASSERT_TRUE(c.ClockAt(5140));  // once the feeder has noted block 1's time

  // Without a figure the play position is what is heard.
  c.device.SetOutputLatencyMicros(-1);
  EXPECT_EQ(c.sync.MediaClockMs(), 5240);
  c.device.SetOutputLatencyMicros(100000);

  // A seek: the old sound on the device is dropped, but the last 100 ms of it are still to be
  // heard; the new block's pictures wait for them.
  c.sync.FlushSound();
  c.Push(2, 7000);
  ASSERT_TRUE(c.ClockAt(6900));
  c.device.FinishOne();
  EXPECT_EQ(c.sync.MediaClockMs(), 7140);
}

TEST(MediaClock, AHeldFeederKeepsItsBlocks) {
  ManualClock c;
  c.sync.HoldFeeder(true);
  c.Push(0, 0);
  ASSERT_TRUE(c.sync.StartFeeder());
  SleepMs(50);
  EXPECT_EQ(c.sync.PendingBlocks(), 1);
  EXPECT_EQ(c.box.WrittenBytes(), 0);
  c.sync.HoldFeeder(false);
  EXPECT_TRUE(c.sync.ClockStarting());
  ASSERT_TRUE(c.ClockAt(0));
  c.device.FinishOne();
  EXPECT_FALSE(c.sync.ClockStarting());
}

TEST(FramePacer, HoldsAPictureUntilTheClockReachesIt) {
  FramePacerReset();
  ManualClock c;
  c.Push(0, 0);
  c.Push(1, 240);
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.OnDevice(2));
  ASSERT_TRUE(c.ClockAt(0));
  DiagCapture diag;

  // A late picture (the clock is past it) goes at once, without waiting for the device.
  FramePacer(&c.sync, 30, 0);

  // The picture at 240 ms waits for block 0 to be played.
  std::atomic<bool> released{false};
  std::thread picture([&] {
    FramePacer(&c.sync, 30, 240);
    released = true;
  });
  SleepMs(60);
  EXPECT_FALSE(released.load());
  c.device.FinishOne();
  EXPECT_TRUE(WaitFor([&] { return released.load(); }));
  picture.join();
  EXPECT_EQ(c.sync.MediaClockMs(), 240);
  EXPECT_EQ(diag.Lines().size(), 2u);
  FramePacerReset();
}

// A picture paced by the sound clock counts its gap among the last 24 as one paced by the frame
// period does, and its line gives their mean.
TEST(FramePacer, ThePicturesPacedByTheClockCountInTheMean) {
  FramePacerReset();
  ManualClock c;
  c.Push(0, 0);
  c.Push(1, 240);
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.OnDevice(2));
  ASSERT_TRUE(c.ClockAt(0));
  c.device.FinishOne();
  ASSERT_TRUE(c.ClockAt(240));
  std::vector<std::string> lines;
  {
    DiagCapture diag;
    FramePacer(nullptr, 30);
    FramePacer(nullptr, 30);
    FramePacer(&c.sync, 30, 200);  // late on the clock: goes at once
    FramePacer(nullptr, 30);
    lines = diag.Lines();
  }
  CheckLines(lines, {33, 33, 33, 33});
  FramePacerReset();
}

// The first picture of a recording waits until its sound is heard: the device plays out a buffer
// of silence before the first block, and a sound server holds it a while after.
TEST(FramePacer, TheFirstPictureWaitsUntilTheDeviceHasBegunItsSound) {
  for (const int latencyMicros : {-1, 100000}) {
    FramePacerReset();
    ManualClock c;
    c.device.SetOutputLatencyMicros(latencyMicros);
    c.Push(0, 0);
    c.Push(1, 240);
    ASSERT_TRUE(c.sync.StartFeeder());
    ASSERT_TRUE(c.OnDevice(2));
    int ms = 1;
    ASSERT_TRUE(WaitFor([&] { return c.sync.MediaClock(&ms); }));
    // Still to be heard: the clock stands before the block (MediaClockMs shows 0).
    EXPECT_EQ(ms, latencyMicros > 0 ? -100 : 0);
    EXPECT_EQ(c.sync.MediaClockMs(), 0);
    std::atomic<bool> released{false};
    std::thread picture([&] {
      FramePacer(&c.sync, 30, 0);
      released = true;
    });
    SleepMs(60);
    EXPECT_FALSE(released.load()) << "latency " << latencyMicros;
    c.device.FinishOne();
    EXPECT_TRUE(WaitFor([&] { return released.load(); }));
    picture.join();
    EXPECT_EQ(c.sync.MediaClockMs(), latencyMicros > 0 ? 140 : 240);
  }
  FramePacerReset();
}

TEST(FramePacer, AClockThatStandsStillOrIsFarBehindDoesNotHoldThePictures) {
  FramePacerReset();
  ManualClock c;
  c.Push(0, 0);
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.ClockAt(0));
  // The device never finishes its block: the clock stands at 0. A picture 200 ms on is let go
  // once the clock is seen standing, and one far ahead (sound from before a seek) at once.
  std::atomic<int> released{0};
  std::thread pictures([&] {
    FramePacer(&c.sync, 30, 200);
    ++released;
    FramePacer(&c.sync, 30, 3000);
    ++released;
  });
  EXPECT_TRUE(WaitFor([&] { return released.load() == 2; }));
  pictures.join();
  EXPECT_EQ(c.sync.MediaClockMs(), 0);
  FramePacerReset();
}

TEST(FramePacer, APictureFarBehindTheClockIsPacedByTheFramePeriodNotRushed) {
  FramePacerReset();
  ManualClock c;
  c.Push(0, 20000);  // sound from before a seek back to the start
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.ClockAt(20000));
  DiagCapture diag;
  FramePacer(&c.sync, 30, 0);
  FramePacer(&c.sync, 30, 33);
  // Both went by the frame period: the statistic line carries the period's wait, not the clock's
  // (which would be -20000).
  const auto lines = diag.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].find("-20"), std::string::npos) << lines[1];
  FramePacerReset();
}

TEST(MediaSync, CancelledWaitsReturnAndAllowWaitsRestoresThem) {
  FramePacerReset();
  ManualClock c;
  for (int i = 0; i < 6; ++i) c.Push(i, i * 240);  // two on the device, one in Play, three queued
  ASSERT_TRUE(c.sync.StartFeeder());
  ASSERT_TRUE(c.ClockAt(0));
  // The device plays nothing: WaitForAudio and a picture ahead of the clock would wait.
  std::atomic<int> done{0};
  std::thread waiter([&] {
    c.sync.WaitForAudio();
    ++done;
    FramePacer(&c.sync, 30, 300);
    ++done;
  });
  SleepMs(50);
  EXPECT_EQ(done.load(), 0);
  c.sync.CancelWaits();
  EXPECT_TRUE(WaitFor([&] { return done.load() == 2; }));
  waiter.join();
  c.sync.AllowWaits();
  EXPECT_FALSE(c.sync.WaitsCancelled());
  FramePacerReset();
}
