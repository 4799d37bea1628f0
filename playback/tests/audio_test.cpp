// SPDX-License-Identifier: GPL-3.0-or-later
// The audio output over the wave-output test double, and over SDL's dummy and disk drivers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SoundTestSupport.h"
#include "platform/Clock.h"
#include "playback/CWaveBox.h"
#include "playback/WaveOut.h"

namespace {

using soundtest::Block;
using soundtest::kBlock;
using soundtest::WaitFor;
static_assert(kBlock == CWaveBox::kBlockBytes);

// SDL plays without a sound card unless the caller chose a driver.
void UseDummyAudioWhenUnset() { setenv("SDL_AUDIODRIVER", "dummy", 0); }

// The volume is process-wide: every test leaves it at full.
class WaveBoxTest : public testing::Test {
 protected:
  void TearDown() override { CWaveBox(&fake_).SetVolume(0xFFFF); }
  CWaveOutFake fake_;
};

}  // namespace

TEST_F(WaveBoxTest, OpenComputesThePcmFormat) {
  CWaveBox box(&fake_);
  ASSERT_TRUE(box.Open(16, 8000));
  EXPECT_TRUE(box.IsOk());
  const WaveBoxFormat& f = box.Format();
  EXPECT_EQ(f.formatTag, 1);
  EXPECT_EQ(f.channels, 1);
  EXPECT_EQ(f.samplesPerSecond, 8000);
  EXPECT_EQ(f.bitsPerSample, 16);
  EXPECT_EQ(f.blockAlign, 2);
  EXPECT_EQ(f.avgBytesPerSecond, 16000);
  EXPECT_EQ(f.extraBytes, 0);
  EXPECT_EQ(fake_.Format().rate, 8000);
  EXPECT_EQ(fake_.Format().bits, 16);
  EXPECT_EQ(fake_.Format().channels, 1);

  ASSERT_TRUE(box.Open(8, 11025));
  EXPECT_EQ(box.Format().blockAlign, 1);
  EXPECT_EQ(box.Format().avgBytesPerSecond, 11025);
  EXPECT_EQ(fake_.OpenCount(), 2);
}

TEST_F(WaveBoxTest, ABlockLongerThan3840PlaysOnlyItsFirst3840Bytes) {
  CWaveBox box(&fake_);
  ASSERT_TRUE(box.Open(16, 8000));
  const std::string data = Block(1, 5000);
  box.Play(data.data(), 5000);
  const auto written = fake_.Written();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0], data.substr(0, kBlock));
  EXPECT_EQ(box.FreeCount(), 1);
}

TEST_F(WaveBoxTest, BlocksPlayInOrderAndBlockDoneRaisesTheFreeCount) {
  CWaveBox box(&fake_);
  ASSERT_TRUE(box.Open(16, 8000));
  EXPECT_EQ(box.FreeCount(), 2);
  const std::string a = Block(1), b = Block(2), c = Block(3, 1000);
  box.Play(a.data(), kBlock);
  EXPECT_EQ(box.FreeCount(), 1);
  box.Play(b.data(), kBlock);
  EXPECT_EQ(box.FreeCount(), 0);
  ASSERT_TRUE(fake_.FinishOne());
  EXPECT_EQ(box.FreeCount(), 1);
  box.Play(c.data(), 1000);
  EXPECT_EQ(box.FreeCount(), 0);
  EXPECT_EQ(fake_.FinishAll(), 2);
  EXPECT_EQ(box.FreeCount(), 2);
  const auto written = fake_.Written();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0], a);
  EXPECT_EQ(written[1], b);
  EXPECT_EQ(written[2], c);
}

// With both buffers on the device, Play sleeps until the device reports one done (or closes).
TEST_F(WaveBoxTest, AFullDeviceHoldsPlayUntilABlockIsDoneOrItCloses) {
  CWaveBox box(&fake_);
  ASSERT_TRUE(box.Open(16, 8000));
  const std::string a = Block(1), b = Block(2);
  box.Play(a.data(), kBlock);
  box.Play(a.data(), kBlock);
  std::atomic<bool> returned{false};
  std::thread feeder([&] {
    box.Play(b.data(), kBlock);
    returned = true;
  });
  ASSERT_TRUE(WaitFor([&] { return fake_.Pending() == 2; }));
  EXPECT_FALSE(returned.load());
  ASSERT_TRUE(fake_.FinishOne());
  feeder.join();
  EXPECT_TRUE(box.IsOk());
  ASSERT_EQ(fake_.Written().size(), 3u);
  EXPECT_EQ(fake_.Written()[2], b);

  std::thread closing([&] { box.Play(b.data(), kBlock); });
  SleepMs(20);
  box.Close();
  closing.join();  // woken by the close, long before the device would count as stalled
  EXPECT_EQ(fake_.Written().size(), 3u);
}

TEST_F(WaveBoxTest, AStalledDeviceIsGivenUp) {
  CWaveBox box(&fake_);
  ASSERT_TRUE(box.Open(16, 8000));
  const std::string a = Block(1);
  box.Play(a.data(), kBlock);
  box.Play(a.data(), kBlock);
  ASSERT_EQ(box.FreeCount(), 0);
  box.Play(a.data(), kBlock);  // nothing ever finishes
  EXPECT_FALSE(box.IsOk());
  // From now on Play returns at once without touching the device.
  box.Play(a.data(), kBlock);
  EXPECT_EQ(fake_.Written().size(), 2u);

  // The next Open brings the output back; the blocks the old device held are reported done.
  ASSERT_TRUE(box.Open(16, 8000));
  EXPECT_EQ(box.FreeCount(), 2);
  box.Play(a.data(), kBlock);
  EXPECT_EQ(fake_.Written().size(), 3u);
}

TEST_F(WaveBoxTest, Status34DisablesOutputUntilTheNextOpen) {
  CWaveBox box(&fake_);
  ASSERT_TRUE(box.Open(16, 8000));
  EXPECT_EQ(box.CheckResult(0), 0);
  EXPECT_EQ(box.CheckResult(33), 33);
  EXPECT_TRUE(box.IsOk());
  EXPECT_EQ(box.CheckResult(34), 34);
  EXPECT_FALSE(box.IsOk());
  const std::string a = Block(1);
  box.Play(a.data(), kBlock);
  EXPECT_TRUE(fake_.Written().empty());
  ASSERT_TRUE(box.Open(16, 8000));
  box.Play(a.data(), kBlock);
  EXPECT_EQ(fake_.Written().size(), 1u);

  for (int status : {5, 6, 7}) {
    ASSERT_TRUE(box.Open(16, 8000));
    EXPECT_EQ(box.CheckResult(status), status);
    EXPECT_FALSE(box.IsOk()) << status;
  }
}

TEST_F(WaveBoxTest, AnEmptyBlockQueuesNothing) {
  CWaveBox box(&fake_);
  ASSERT_TRUE(box.Open(16, 8000));
  const std::string a = Block(1);
  box.Play(a.data(), 0);  // device idle: returns at once
  box.Play(a.data(), kBlock);
  box.Play(a.data(), 0);  // a buffer still playing: a short pause
  box.Play(nullptr, 100);
  EXPECT_EQ(fake_.Written().size(), 1u);
  EXPECT_TRUE(box.IsOk());
}

TEST_F(WaveBoxTest, RefusedOpenAndWriteStopOutput) {
  CWaveBox box(&fake_);
  fake_.SetOpenStatus(kWaveErrNoDriver);
  EXPECT_FALSE(box.Open(16, 8000));
  EXPECT_FALSE(box.IsOk());
  const std::string a = Block(1);
  box.Play(a.data(), kBlock);
  EXPECT_TRUE(fake_.Written().empty());

  fake_.SetOpenStatus(kWaveOk);
  ASSERT_TRUE(box.Open(16, 8000));
  fake_.SetWriteStatus(kWaveErrNoMem);
  box.Play(a.data(), kBlock);
  EXPECT_FALSE(box.IsOk());
  EXPECT_EQ(box.FreeCount(), 2);  // a refused block holds no buffer
}

TEST_F(WaveBoxTest, CloseAndReopen) {
  CWaveBox box(&fake_);
  EXPECT_FALSE(box.IsOk());    // never opened: the feeder opens it before the first block
  EXPECT_EQ(box.Close(), -1);  // never opened
  ASSERT_TRUE(box.Open(16, 8000));
  const std::string a = Block(1);
  box.Play(a.data(), kBlock);
  EXPECT_EQ(box.Close(), 1);
  EXPECT_FALSE(box.IsOk());
  EXPECT_FALSE(fake_.IsOpen());
  EXPECT_EQ(box.FreeCount(), 2);  // the dropped block came back
  EXPECT_EQ(box.Close(), -1);
  box.Play(a.data(), kBlock);
  EXPECT_EQ(fake_.Written().size(), 1u);

  EXPECT_EQ(box.Reopen(), 0);
  EXPECT_TRUE(box.IsOk());
  EXPECT_EQ(fake_.Format().bits, 16);
  EXPECT_EQ(fake_.Format().rate, 8000);
  box.Play(a.data(), kBlock);
  EXPECT_EQ(fake_.Written().size(), 2u);

  fake_.SetOpenStatus(kWaveErrNoDriver);
  EXPECT_EQ(box.Reopen(), kWaveErrNoDriver);
  EXPECT_FALSE(box.IsOk());
}

TEST_F(WaveBoxTest, VolumeIsTheProcessOutputGain) {
  CWaveBox box(&fake_);
  box.SetVolume(0x8000);
  EXPECT_EQ(CWaveBox::Volume(), 0x8000);
  EXPECT_NEAR(fake_.Volume(), 0.5f, 0.001f);
  // Kept across opens, and for outputs opened later by any box.
  fake_.SetVolume(1.0f);
  ASSERT_TRUE(box.Open(16, 8000));
  EXPECT_NEAR(fake_.Volume(), 0.5f, 0.001f);
  CWaveOutFake other;
  CWaveBox second(&other);
  ASSERT_TRUE(second.Open(16, 8000));
  EXPECT_NEAR(other.Volume(), 0.5f, 0.001f);

  box.SetVolume(-5);
  EXPECT_EQ(CWaveBox::Volume(), 0);
  EXPECT_EQ(fake_.Volume(), 0.0f);
  box.SetVolume(0x20000);
  EXPECT_EQ(CWaveBox::Volume(), 0xFFFF);
  EXPECT_EQ(fake_.Volume(), 1.0f);
}

TEST(WaveBoxRealTime, TheFeederIsHeldToTheDeviceRate) {
  CWaveOutFake fake(CWaveOutFake::Pace::kRealTime);
  CWaveBox box(&fake);
  ASSERT_TRUE(box.Open(16, 8000));
  std::vector<std::string> blocks;
  for (int i = 0; i < 4; ++i) blocks.push_back(Block(i));
  for (const auto& b : blocks) box.Play(b.data(), kBlock);
  // Four blocks through two buffers: the third and fourth had to wait for the first two.
  EXPECT_GE(fake.DoneCount(), 2);
  ASSERT_TRUE(WaitFor([&] { return fake.DoneCount() == 4; }));
  EXPECT_EQ(box.FreeCount(), 2);
  EXPECT_EQ(fake.Written(), blocks);
  EXPECT_TRUE(box.IsOk());
}

// SDL's dummy driver: a device without a sound card that plays at the real rate.

namespace {
struct DoneLog {
  std::mutex lock;
  std::vector<const char*> done;
  int Count() {
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<int>(done.size());
  }
};
void LogDone(void* user, const char* data, int length) {
  (void)length;
  auto* log = static_cast<DoneLog*>(user);
  std::lock_guard<std::mutex> hold(log->lock);
  log->done.push_back(data);
}
}  // namespace

TEST(WaveOutSdl, ReportsEveryBufferDoneInOrder) {
  UseDummyAudioWhenUnset();
  DoneLog log;
  CWaveOutSdl out;
  ASSERT_EQ(out.Open(WaveFormat{8000, 16, 1}, &LogDone, &log), kWaveOk);
  std::vector<std::string> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(Block(i, 1000 + i));
  for (const auto& b : blocks) ASSERT_EQ(out.Write(b.data(), static_cast<int>(b.size())), kWaveOk);
  ASSERT_TRUE(WaitFor([&] { return log.Count() == 3; }));
  EXPECT_EQ(log.done[0], blocks[0].data());
  EXPECT_EQ(log.done[1], blocks[1].data());
  EXPECT_EQ(log.done[2], blocks[2].data());
  EXPECT_EQ(out.Close(), kWaveOk);
  EXPECT_EQ(out.Close(), kWaveErrInvalidHandle);
  EXPECT_EQ(out.Write(blocks[0].data(), 10), kWaveErrInvalidHandle);
  EXPECT_EQ(log.Count(), 3);
}

TEST(WaveOutSdl, ThePlayPositionMovesThroughTheWrittenBuffersOnly) {
  UseDummyAudioWhenUnset();
  DoneLog log;
  CWaveOutSdl out;
  ASSERT_EQ(out.Open(WaveFormat{8000, 16, 1}, &LogDone, &log), kWaveOk);
  // Silence played before anything is written does not count.
  SleepMs(80);
  EXPECT_EQ(out.PlayedBytes(), 0);
  const std::string a = Block(1), b = Block(2, 1000);
  ASSERT_EQ(out.Write(a.data(), kBlock), kWaveOk);
  ASSERT_EQ(out.Write(b.data(), 1000), kWaveOk);
  long long last = 0;
  bool backwards = false, odd = false, beyond = false;
  ASSERT_TRUE(WaitFor([&] {
    const long long now = out.PlayedBytes();
    backwards |= now < last;
    odd |= now % 2 != 0;  // always whole 16-bit samples
    beyond |= now > kBlock + 1000;
    last = now;
    return log.Count() == 2 && now == kBlock + 1000;
  }));
  EXPECT_FALSE(backwards);
  EXPECT_FALSE(odd);
  EXPECT_FALSE(beyond);
  // The device runs dry: the position stays at the end of what it was given.
  SleepMs(80);
  EXPECT_EQ(out.PlayedBytes(), kBlock + 1000);
  // Opened again, it counts from 0.
  ASSERT_EQ(out.Open(WaveFormat{8000, 16, 1}, &LogDone, &log), kWaveOk);
  EXPECT_EQ(out.PlayedBytes(), 0);
  EXPECT_EQ(out.Close(), kWaveOk);
}

TEST(WaveOutSdl, CloseReportsTheBuffersStillQueued) {
  UseDummyAudioWhenUnset();
  DoneLog log;
  CWaveOutSdl out;
  ASSERT_EQ(out.Open(WaveFormat{8000, 16, 1}, &LogDone, &log), kWaveOk);
  const std::string b = Block(1);
  for (int i = 0; i < CWaveOutSdl::kMaxQueued; ++i) ASSERT_EQ(out.Write(b.data(), kBlock), kWaveOk);
  EXPECT_EQ(out.Write(b.data(), kBlock), kWaveErrNoMem);
  EXPECT_EQ(out.Close(), kWaveOk);
  EXPECT_EQ(log.Count(), CWaveOutSdl::kMaxQueued);
  EXPECT_EQ(out.Open(WaveFormat{8000, 12, 1}, &LogDone, &log), kWaveErrBadFormat);
}

TEST(WaveBoxSdl, PlaysBlocksAtTheDeviceRateAndReopens) {
  UseDummyAudioWhenUnset();
  CWaveBox box;
  ASSERT_TRUE(box.Open(16, 8000));
  const std::string b = Block(1);
  constexpr int kBlocks = 4;  // about 960 ms of device time
  for (int i = 0; i < kBlocks; ++i) box.Play(b.data(), kBlock);
  EXPECT_TRUE(box.IsOk());
  ASSERT_TRUE(WaitFor([&] { return box.FreeCount() == 2; }));

  EXPECT_EQ(box.Close(), 1);
  EXPECT_EQ(box.Close(), -1);
  EXPECT_EQ(box.Reopen(), 0);
  EXPECT_TRUE(box.IsOk());
  box.Play(b.data(), kBlock);
  EXPECT_EQ(box.FreeCount(), 1);
  ASSERT_TRUE(WaitFor([&] { return box.FreeCount() == 2; }));
  ASSERT_TRUE(box.Open(8, 8000));
  box.Play(b.data(), 800);
  ASSERT_TRUE(WaitFor([&] { return box.FreeCount() == 2; }));
  EXPECT_TRUE(box.IsOk());
}

// Without any sound device. The driver is chosen when SDL's audio starts, so these run in a
// child process with its own environment.

namespace {

[[noreturn]] void PlayWithoutADevice() {
  setenv("SDL_AUDIODRIVER", "roadeye-no-such-driver", 1);
  CWaveBox box;
  const bool opened = box.Open(16, 8000);
  const std::string b = Block(1);
  box.Play(b.data(), kBlock);
  const int reopened = box.Reopen();
  const int closed = box.Close();
  std::fprintf(stderr, "opened %d ok %d reopen %d close %d\n", opened, box.IsOk(), reopened,
               closed);
  std::_Exit(!opened && !box.IsOk() && reopened == kWaveErrNoDriver && closed == -1 ? 0 : 1);
}

constexpr int kDiskBlocks = 3;
constexpr int kDiskVolume = 0x8000;

// Sample i of the sound played to the disk driver: a ramp that is never 0, so that the played
// part stands out from the silence around it.
std::int16_t DiskSample(int i) { return static_cast<std::int16_t>(1000 + (i * 37) % 20000); }

[[noreturn]] void PlayToDisk(const std::string& path) {
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
  std::vector<std::int16_t> samples(kDiskBlocks * kBlock / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = DiskSample(static_cast<int>(i));
  const char* bytes = reinterpret_cast<const char*>(samples.data());
  CWaveBox box;
  box.SetVolume(kDiskVolume);
  const bool opened = box.Open(16, 8000);
  for (int i = 0; i < kDiskBlocks; ++i) box.Play(bytes + i * kBlock, kBlock);
  bool drained = false;
  for (int i = 0; i < 2000 && !drained; ++i) {
    drained = box.FreeCount() == 2;
    SleepMs(1);
  }
  SleepMs(100);  // some silence after the sound
  const bool ok = box.IsOk();
  const int closed = box.Close();
  std::fprintf(stderr, "opened %d drained %d ok %d close %d\n", opened, drained, ok, closed);
  std::_Exit(opened && drained && ok && closed == 1 ? 0 : 1);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(WaveBoxNoDevice, OpenFailsAndPlayReturns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(PlayWithoutADevice(), testing::ExitedWithCode(0), "");
}

TEST(WaveBoxDisk, TheDiskDriverGetsExactlyThePlayedSamplesWithTheGain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child runs this body again: it takes the parent's file name from the environment.
  const char* const kPathVariable = "ROADEYE_TEST_DISK_AUDIO_FILE";
  const char* given = std::getenv(kPathVariable);
  const std::string path = given != nullptr
                               ? given
                               : testing::TempDir() + "roadeye_disk_audio_" +
                                     std::to_string(static_cast<long>(getpid())) + ".raw";
  setenv(kPathVariable, path.c_str(), 1);
  std::remove(path.c_str());
  EXPECT_EXIT(PlayToDisk(path), testing::ExitedWithCode(0), "");

  const std::string raw = ReadAll(path);
  std::remove(path.c_str());
  ASSERT_EQ(raw.size() % 2, 0u);
  std::vector<std::int16_t> got(raw.size() / 2);
  std::memcpy(got.data(), raw.data(), raw.size());
  const int played = kDiskBlocks * kBlock / 2;
  std::size_t first = 0;
  while (first < got.size() && got[first] == 0) ++first;
  ASSERT_GE(got.size() - first, static_cast<std::size_t>(played)) << "file " << got.size();
  const double gain = static_cast<double>(kDiskVolume) / 0xFFFF;
  int mismatches = 0;
  for (int i = 0; i < played; ++i) {
    const double want = DiskSample(i) * gain;
    const int have = got[first + static_cast<std::size_t>(i)];
    if (have < static_cast<int>(want) - 1 || have > static_cast<int>(want) + 1) {
      if (++mismatches < 5) ADD_FAILURE() << "sample " << i << ": " << have << " for " << want;
    }
  }
  EXPECT_EQ(mismatches, 0);
  for (std::size_t i = first + static_cast<std::size_t>(played); i < got.size(); ++i) {
    ASSERT_EQ(got[i], 0) << "after the sound, at " << i;
  }
}
