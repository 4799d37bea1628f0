// SPDX-License-Identifier: GPL-3.0-or-later
// The card noticed the moment it is mounted: with the 500 ms card poll off, a card mounted on the
// card folder fills the recording list through the mount watch alone, and unmounting it empties
// the list. A card on a read-only mount is listed and plays. Mounting needs root (or a mount
// namespace); where it is refused the tests are skipped and say why.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "AppTestSupport.h"
#include "app/CPicturePane.h"

using apptest::DoubleClickRow;
using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Only how long a test waits for what should come within about a second; the time it took is
// printed, never asserted.
constexpr int kWaitLimitMs = 10000;

// A card written by roadeye-mkcard into a tmpfs of its own, and mounts of it made by a test; every
// mount is undone when the test ends, passed or not.
class MountedCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stage_ = base_.str() + "/stage";
    card_ = base_.str() + "/card";
    fs::create_directories(stage_);
    fs::create_directories(card_);
    if (::mount("none", stage_.c_str(), "tmpfs", 0, "size=64m") != 0) {
      refused_ = std::string("mounting a tmpfs is refused here (") + std::strerror(errno) +
                 "); run as root or in a mount namespace to test the mount watch";
      return;
    }
    mounts_.push_back(stage_);
    made_ = apptest::MakeCard(stage_,
                              "--seconds 6 --count 1 --kinds REC,EVENT --no-damaged "
                              "--bitrate 2000");
  }
  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }
  // The staged card mounted on the card folder, read-only when asked; false with the reason.
  bool MountCard(bool readOnly) {
    if (::mount(stage_.c_str(), card_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      ADD_FAILURE() << "bind mount: " << std::strerror(errno);
      return false;
    }
    mounts_.push_back(card_);
    if (readOnly &&
        ::mount(nullptr, card_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      ADD_FAILURE() << "read-only remount: " << std::strerror(errno);
      return false;
    }
    return true;
  }
  bool UnmountCard() {
    if (::umount2(card_.c_str(), 0) != 0) return false;
    mounts_.pop_back();
    return true;
  }
  std::string Config() const { return config_.str() + "/config.cfg"; }

  TempDir base_{"mountwatch"};
  TempDir config_{"config"};
  std::string stage_, card_, refused_;
  std::vector<std::string> mounts_;
  bool made_ = false;
};

TEST_F(MountedCardTest, AMountedCardFillsTheListWithTheCardPollOff) {
  if (!refused_.empty()) GTEST_SKIP() << refused_;
  ASSERT_TRUE(made_) << "roadeye-mkcard failed";
  Window w(card_, Config(), /*poll=*/false);
  apptest::KeepMapOffline(w.get());
  apptest::Pump(200);
  // The empty card folder holds no card, and nothing polls: the list stays empty.
  ASSERT_EQ(w->CardDrive(), 0);
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 0);

  const auto mountedAt = Clock::now();
  ASSERT_TRUE(MountCard(false));
  const bool filled =
      PumpUntil([&] { return w->RecordingList()->GetItemCount() > 0; }, kWaitLimitMs);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - mountedAt).count();
  std::printf("mount to list filled: %.1f ms\n", ms);
  ASSERT_TRUE(filled) << "the list did not fill within the wait limit after the mount";
  EXPECT_NE(w->CardDrive(), 0);
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 1);  // the continuous recording
  EXPECT_EQ(apptest::Cell(w.get(), 0, 0), "REC");

  // Unmounted: the card went away, the list empties and the user is told, again with no poll.
  const auto unmountedAt = Clock::now();
  ASSERT_TRUE(UnmountCard());
  const bool emptied =
      PumpUntil([&] { return w->CardDrive() == 0 && !w.messages.texts.empty(); }, kWaitLimitMs);
  std::printf("unmount to list emptied: %.1f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - unmountedAt).count());
  ASSERT_TRUE(emptied) << "the card's removal was not seen within the wait limit";
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 0);
}

TEST_F(MountedCardTest, ACardOnAReadOnlyMountIsListedAndPlays) {
  if (!refused_.empty()) GTEST_SKIP() << refused_;
  ASSERT_TRUE(made_) << "roadeye-mkcard failed";
  // A card without its settings file: the default one cannot be made on it, which must not stop
  // the card from being used.
  fs::remove(stage_ + "/SETTING/blackbox.cfg");
  ASSERT_TRUE(MountCard(true));
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(card_.c_str(), &vfs), 0);
  ASSERT_TRUE(vfs.f_flag & ST_RDONLY);

  Window w(card_, Config(), /*poll=*/false);
  apptest::KeepMapOffline(w.get());
  w->PollCard();
  ASSERT_NE(w->CardDrive(), 0);
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  EXPECT_FALSE(fs::exists(card_ + "/SETTING/blackbox.cfg"));
  EXPECT_EQ(w->SpeedUnitLabel(), "Km/h");

  DoubleClickRow(w.get(), 0);
  EXPECT_EQ(w->CurrentRow(), 0);
  const int before = w->FrontPane()->PresentedCount();
  EXPECT_TRUE(
      PumpUntil([&] { return w->FrontPane()->PresentedCount() > before + 10; }, kWaitLimitMs))
      << "the recording on the read-only card did not play";
  EXPECT_TRUE(w.messages.texts.empty());
}

}  // namespace
