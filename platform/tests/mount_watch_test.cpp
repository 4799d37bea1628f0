// SPDX-License-Identifier: GPL-3.0-or-later
// The mount watch against the real mount table: a tmpfs mounted and unmounted in a scratch
// folder must each bring a call. Mounting needs root (or a user namespace); where the system
// refuses it, those tests are skipped and say why.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/MountWatch.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Only a limit on how long a test waits for a call that should come at once; the time it took is
// printed, never asserted.
constexpr auto kWaitLimit = std::chrono::seconds(10);

// The threads of this process.
std::size_t ThreadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Counts the calls, and lets the test wait for the next one.
class Calls {
 public:
  void Note() {
    std::lock_guard<std::mutex> g(lock_);
    ++count_;
    changed_.notify_all();
  }
  // Waits until more than `seen` calls came; false when the limit passed first.
  bool WaitBeyond(int seen) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, kWaitLimit, [&] { return count_ > seen; });
  }
  int Count() {
    std::lock_guard<std::mutex> g(lock_);
    return count_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

class MountWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A thread made and joined before any count: ThreadSanitizer starts a helper thread of its
    // own with the process's first thread, which would otherwise be counted as the watch's.
    std::thread([] {}).join();
    char tmpl[] = "/tmp/roadeye-mountwatch-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Mounts a small tmpfs on the scratch folder; the reason when the system refuses.
  std::string Mount() {
    if (::mount("none", dir_.c_str(), "tmpfs", 0, "size=1m") != 0) {
      return std::string("mounting a tmpfs is refused here (") + std::strerror(errno) +
             "); run as root or in a mount namespace to test the watch against a real mount";
    }
    mounted_ = true;
    return {};
  }

  fs::path dir_;
  bool mounted_ = false;
};

TEST_F(MountWatchTest, AMountAndAnUnmountEachBringACall) {
  const std::size_t threadsBefore = ThreadCount();
  Calls calls;
  {
    platform::CMountWatch watch;
    ASSERT_TRUE(watch.Start([&] { calls.Note(); }));
    EXPECT_TRUE(watch.IsRunning());

    const int before = calls.Count();
    const auto mountedAt = Clock::now();
    const std::string refused = Mount();
    if (!refused.empty()) GTEST_SKIP() << refused;
    ASSERT_TRUE(calls.WaitBeyond(before)) << "no call within the wait limit after a mount";
    std::printf("mount seen after %.3f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - mountedAt).count());

    const int afterMount = calls.Count();
    const auto unmountedAt = Clock::now();
    ASSERT_EQ(::umount2(dir_.c_str(), 0), 0) << std::strerror(errno);
    mounted_ = false;
    ASSERT_TRUE(calls.WaitBeyond(afterMount)) << "no call within the wait limit after an unmount";
    std::printf("unmount seen after %.3f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - unmountedAt).count());

    const auto stopAt = Clock::now();
    watch.Stop();
    std::printf("Stop returned after %.3f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - stopAt).count());
    EXPECT_FALSE(watch.IsRunning());
    // No call after Stop: a further mount goes unnoticed.
    const int afterStop = calls.Count();
    ASSERT_TRUE(Mount().empty());
    ASSERT_EQ(::umount2(dir_.c_str(), 0), 0);
    mounted_ = false;
    EXPECT_EQ(calls.Count(), afterStop);
  }
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST_F(MountWatchTest, StopWakesAWatchThatSawNothing) {
  const std::size_t threadsBefore = ThreadCount();
  platform::CMountWatch watch;
  ASSERT_TRUE(watch.Start([] {}));
  EXPECT_EQ(ThreadCount(), threadsBefore + 1);
  const auto stopAt = Clock::now();
  watch.Stop();
  std::printf("Stop returned after %.3f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - stopAt).count());
  EXPECT_EQ(ThreadCount(), threadsBefore);
  // Started again, it runs again; the destructor stops it.
  EXPECT_TRUE(watch.Start([] {}));
  EXPECT_FALSE(watch.Start([] {})) << "a running watch does not start twice";
}

TEST_F(MountWatchTest, AMissingTableLeavesTheWatchOff) {
  const std::size_t threadsBefore = ThreadCount();
  platform::CMountWatch watch((dir_ / "no-such-mountinfo").string());
  EXPECT_FALSE(watch.Start([] {}));
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(ThreadCount(), threadsBefore);
  watch.Stop();  // harmless
}

}  // namespace
