// SPDX-License-Identifier: GPL-3.0-or-later
// The camera's settings on a write-protected card: a card mounted read-only (a tmpfs remounted
// read-only, as a card with its lock switch set is mounted). Saving says the card is
// write-protected and leaves the file as it was; no default file is made on it. Mounting needs
// root (or a mount namespace); where it is refused the tests are skipped and say why.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "settings/CameraSettings.h"
#include "support/Diag.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

const std::string kSettings =
    "[capacity]\r\nconst=50\r\nevent=20\r\nmanual=10\r\npark=20\r\n"
    "[blackbox]\r\nosd_speed=1\r\nmic_in=1\r\n"
    "[time]\r\nset=0\r\n";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ReadOnlyCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DiagSetOutput(nullptr);
    char tmpl[] = "/tmp/roadeye-readonly-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    card_ = tmpl;
    if (::mount("none", card_.c_str(), "tmpfs", 0, "size=1m") != 0) {
      refused_ = std::string("mounting a tmpfs is refused here (") + std::strerror(errno) +
                 "); run as root or in a mount namespace to test a write-protected card";
      return;
    }
    mounted_ = true;
    fs::create_directories(card_ + "/VEX");
    fs::create_directories(card_ + "/SETTING");
    std::ofstream(card_ + "/SETTING/blackbox.cfg", std::ios::binary) << kSettings;
  }
  void TearDown() override {
    if (mounted_) ::umount2(card_.c_str(), MNT_DETACH);
    std::error_code ec;
    fs::remove_all(card_, ec);
    DiagSetOutput(stdout);
  }
  // The card's file system made read-only, as the lock switch makes it.
  void WriteProtect() {
    ASSERT_EQ(::mount(nullptr, card_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=1m"), 0)
        << std::strerror(errno);
  }
  std::string Path() const { return card_ + "/SETTING/blackbox.cfg"; }

  std::string card_, refused_;
  bool mounted_ = false;
};

TEST_F(ReadOnlyCardTest, SavingSaysTheCardIsWriteProtectedAndChangesNothing) {
  if (!refused_.empty()) GTEST_SKIP() << refused_;
  CameraSettings s;
  ASSERT_TRUE(LoadCameraSettings(Path(), &s));
  ASSERT_EQ(SaveCameraSettings(Path(), s), SaveResult::kSaved);  // writable until protected
  const std::string before = ReadAll(Path());
  s.micIn = false;
  s.speedUnit = SpeedUnit::kMph;
  WriteProtect();
  int error = 0;
  EXPECT_EQ(SaveCameraSettings(Path(), s, &error), SaveResult::kWriteProtected);
  EXPECT_EQ(error, EROFS);
  EXPECT_FALSE(IsMissingSelection(SaveResult::kWriteProtected));
  EXPECT_EQ(ReadAll(Path()), before);
  EXPECT_EQ(ReadSpeedUnitSetting(Path()), 1);
  // Another reason stays a plain failure with its reason.
  EXPECT_EQ(SaveCameraSettings(card_ + "/gone/blackbox.cfg", s, &error), SaveResult::kWriteFailed);
  EXPECT_NE(error, EROFS);
}

TEST_F(ReadOnlyCardTest, NoDefaultFileIsMadeAndTheCardStaysReadable) {
  if (!refused_.empty()) GTEST_SKIP() << refused_;
  fs::remove(Path());
  WriteProtect();
  VexHandle library = VexStart();
  ASSERT_EQ(VexInitialise(library, card_.c_str()), 1);
  EXPECT_FALSE(CreateDefaultSettingsFile(library, Path()));
  EXPECT_FALSE(fs::exists(Path()));
  // Without the file the card's unit is the default one.
  EXPECT_EQ(ReadSpeedUnitSetting(Path()), 1);
  char drive = 0;
  EXPECT_EQ(VexCardPoll(library, &drive), 1);
  EXPECT_NE(drive, 0);
  VexRelease(library);
}

}  // namespace
