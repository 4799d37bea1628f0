// SPDX-License-Identifier: GPL-3.0-or-later
// The drive layer against fixture files: a mountinfo text and a small sysfs block tree laid out
// the way the kernel lays it out (class/block entries are links into the device tree).
#include "platform/Drives.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class DrivesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/roadeye-drives-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    sys_ = dir_ / "sys";
    fs::create_directories(sys_ / "class" / "block");
    // Internal SATA disk, not removable.
    AddDisk("devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block", "sda", "8:0",
            "0", {{"sda1", "8:1"}, {"sda2", "8:2"}});
    // USB stick: its removable flag is 0 but it hangs off a USB controller.
    AddDisk("devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block",
            "sdb", "8:16", "0", {{"sdb1", "8:17"}});
    // SD slot on the board: removable 0, named mmcblk, its card of type SD.
    AddDisk("devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa/block", "mmcblk0", "179:0",
            "0", {{"mmcblk0p1", "179:1"}});
    Write(sys_ / "devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa/type", "SD\n");
    fs::create_directory_symlink("../../../mmc0:aaaa",
                                 sys_ /
                                     "devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa/"
                                     "block/mmcblk0/device");
    // Soldered-in eMMC storage: also mmcblk, but of type MMC.
    AddDisk("devices/platform/emmc/mmc_host/mmc1/mmc1:0001/block", "mmcblk1", "179:8", "0",
            {{"mmcblk1p1", "179:9"}});
    Write(sys_ / "devices/platform/emmc/mmc_host/mmc1/mmc1:0001/type", "MMC\n");
    fs::create_directory_symlink(
        "../../../mmc1:0001",
        sys_ / "devices/platform/emmc/mmc_host/mmc1/mmc1:0001/block/mmcblk1/device");
    // A card reader on an internal bus whose disk says it is removable.
    AddDisk("devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0/block", "sdc", "8:32",
            "1", {{"sdc1", "8:33"}});
    // An optical drive: removable, but never a card.
    AddDisk("devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0/block", "sr0", "11:0",
            "1", {});
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void AddDisk(const std::string& parent, const std::string& disk, const std::string& dev,
               const std::string& removable,
               std::vector<std::pair<std::string, std::string>> parts) {
    fs::path d = sys_ / parent / disk;
    fs::create_directories(d);
    Write(d / "dev", dev + "\n");
    Write(d / "removable", removable + "\n");
    fs::create_directory_symlink(fs::path("../..") / parent / disk, sys_ / "class/block" / disk);
    for (auto& [name, pdev] : parts) {
      fs::path p = d / name;
      fs::create_directories(p);
      Write(p / "dev", pdev + "\n");
      Write(p / "partition", "1\n");
      fs::create_directory_symlink(fs::path("../..") / parent / disk / name,
                                   sys_ / "class/block" / name);
    }
  }

  static void Write(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
  }

  void Mounts(const std::string& text) { Write(dir_ / "mountinfo", text); }

  void Use(platform::CDriveTable& t) {
    t.SetSources((dir_ / "mountinfo").string(), (sys_ / "class/block").string());
  }

  fs::path dir_, sys_;
};

const char kBase[] =
    "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
    "27 1 8:2 / / rw,relatime - ext4 /dev/sda2 rw\n"
    "28 27 8:1 / /boot/efi rw,relatime - vfat /dev/sda1 rw\n"
    "30 27 179:9 / /data rw,relatime - ext4 /dev/mmcblk1p1 rw\n"
    "29 27 0:25 / /tmp rw,nosuid shared:5 - tmpfs tmpfs rw\n";

TEST_F(DrivesTest, InternalDisksEmmcAndPseudoFileSystemsAreNotDrives) {
  Mounts(kBase);
  platform::CDriveTable t;
  Use(t);
  t.Refresh();
  EXPECT_TRUE(t.Drives().empty());
}

TEST_F(DrivesTest, UsbSdRemovableFlagAndMediaFoldersAreDrives) {
  Mounts(std::string(kBase) +
         "40 27 8:17 / /mnt/usb rw,relatime shared:10 - vfat /dev/sdb1 rw\n"
         "41 27 179:1 / /mnt/sd rw,relatime - exfat /dev/mmcblk0p1 rw\n"
         "42 27 8:33 / /srv/reader rw - vfat /dev/sdc1 rw\n"
         "43 27 0:60 / /media/me/MY\\040CARD rw,nosuid shared:7 master:3 - fuseblk /dev/sdz1 rw\n"
         "44 27 0:61 / /run/media/you/DASH\\134CAM/ rw - fuse.x x rw\n"
         "45 27 11:0 / /mnt/cdrom ro - iso9660 /dev/sr0 ro\n");
  platform::CDriveTable t;
  Use(t);
  t.Refresh();
  auto drives = t.Drives();
  ASSERT_EQ(drives.size(), 5u);
  EXPECT_EQ(drives[0].letter, 'D');
  EXPECT_EQ(drives[0].root, "/mnt/usb");
  EXPECT_EQ(drives[1].letter, 'E');
  EXPECT_EQ(drives[1].root, "/mnt/sd");
  EXPECT_EQ(drives[2].letter, 'F');
  EXPECT_EQ(drives[2].root, "/srv/reader");
  EXPECT_EQ(drives[3].letter, 'G');
  EXPECT_EQ(drives[3].root, "/media/me/MY CARD");
  EXPECT_EQ(drives[4].letter, 'H');
  EXPECT_EQ(drives[4].root, "/run/media/you/DASH\\CAM");
  EXPECT_EQ(t.RootOf('E'), "/mnt/sd");
  EXPECT_EQ(t.RootOf('Z'), "");
  EXPECT_EQ(t.RootOf(0), "");
}

TEST_F(DrivesTest, DeviceFoundBySourceWhenSysfsHasNoMatchingDev) {
  // 8:99 is unknown to the fixture; the source names an SD card the fixture has no files for.
  Mounts(std::string(kBase) + "40 27 8:99 / /mnt/x rw - vfat /dev/mmcblk5p2 rw\n");
  platform::CDriveTable t;
  Use(t);
  t.Refresh();
  ASSERT_EQ(t.Drives().size(), 1u);
  EXPECT_EQ(t.Drives()[0].root, "/mnt/x");
}

TEST_F(DrivesTest, BindMountOfTheSameVolumeIsOneDrive) {
  Mounts(std::string(kBase) +
         "40 27 8:17 / /mnt/usb rw - vfat /dev/sdb1 rw\n"
         "41 27 8:17 /DCIM /home/me/dcim rw - vfat /dev/sdb1 rw\n");
  platform::CDriveTable t;
  Use(t);
  t.Refresh();
  ASSERT_EQ(t.Drives().size(), 1u);
  EXPECT_EQ(t.Drives()[0].root, "/mnt/usb");
}

TEST_F(DrivesTest, LettersStayWhilePresentAndNewDrivesTakeTheLowestFree) {
  Mounts(std::string(kBase) +
         "40 27 8:17 / /mnt/usb rw - vfat /dev/sdb1 rw\n"
         "41 27 179:1 / /mnt/sd rw - exfat /dev/mmcblk0p1 rw\n");
  platform::CDriveTable t;
  Use(t);
  t.Refresh();
  ASSERT_EQ(t.RootOf('D'), "/mnt/usb");
  ASSERT_EQ(t.RootOf('E'), "/mnt/sd");

  // The stick goes away: the SD card keeps E.
  Mounts(std::string(kBase) + "41 27 179:1 / /mnt/sd rw - exfat /dev/mmcblk0p1 rw\n");
  t.Refresh();
  ASSERT_EQ(t.Drives().size(), 1u);
  EXPECT_EQ(t.RootOf('E'), "/mnt/sd");
  EXPECT_EQ(t.RootOf('D'), "");

  // Two new volumes: the first takes D, the next F.
  Mounts(std::string(kBase) +
         "41 27 179:1 / /mnt/sd rw - exfat /dev/mmcblk0p1 rw\n"
         "50 27 0:70 / /media/a rw - fuse x rw\n"
         "51 27 0:71 / /media/b rw - fuse x rw\n");
  t.Refresh();
  auto drives = t.Drives();
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].letter, 'D');
  EXPECT_EQ(drives[0].root, "/media/a");
  EXPECT_EQ(drives[1].letter, 'E');
  EXPECT_EQ(drives[1].root, "/mnt/sd");
  EXPECT_EQ(drives[2].letter, 'F');
  EXPECT_EQ(drives[2].root, "/media/b");
}

TEST_F(DrivesTest, ExtraFolderIsADriveWhileItExists) {
  Mounts(std::string(kBase) + "40 27 8:17 / /mnt/usb rw - vfat /dev/sdb1 rw\n");
  fs::path card = dir_ / "card";
  fs::create_directory(card);
  platform::CDriveTable t;
  Use(t);
  t.SetExtraFolder(card.string() + "/");
  t.Refresh();
  ASSERT_EQ(t.Drives().size(), 2u);
  EXPECT_EQ(t.RootOf('D'), card.string());
  EXPECT_EQ(t.RootOf('E'), "/mnt/usb");

  fs::remove(card);
  t.Refresh();
  ASSERT_EQ(t.Drives().size(), 1u);
  EXPECT_EQ(t.RootOf('E'), "/mnt/usb");

  fs::create_directory(card);
  t.Refresh();
  EXPECT_EQ(t.RootOf('D'), card.string());

  t.SetExtraFolder("");
  t.Refresh();
  ASSERT_EQ(t.Drives().size(), 1u);
}

TEST_F(DrivesTest, MissingOrGarbageSourcesGiveNoDrives) {
  platform::CDriveTable t;
  t.SetSources((dir_ / "nothing").string(), (dir_ / "nowhere").string());
  t.Refresh();
  EXPECT_TRUE(t.Drives().empty());

  Mounts("garbage\n\n1 2\n1 2 3:4 / /media/x rw no-separator\n\\\\\\ - - -\n");
  Use(t);
  t.Refresh();
  EXPECT_TRUE(t.Drives().empty());
}

TEST_F(DrivesTest, ProcessTableIsOneInstance) {
  EXPECT_EQ(&platform::ProcessDrives(), &platform::ProcessDrives());
}

TEST_F(DrivesTest, RealSystemTableReadsWithoutTrouble) {
  platform::CDriveTable t;
  t.Refresh();
  for (const platform::Drive& d : t.Drives()) {
    EXPECT_GE(d.letter, 'D');
    EXPECT_LE(d.letter, 'Z');
    EXPECT_FALSE(d.root.empty());
  }
}

}  // namespace
