// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Drives.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

namespace {

// One line of mountinfo, the fields we use.
struct Mount {
  std::string device;      // "major:minor"
  std::string root;        // the part of the file system mounted here
  std::string mountPoint;  // unescaped
  std::string source;      // unescaped, e.g. /dev/sdb1
};

// mountinfo writes space, tab, newline and backslash in paths as a backslash and three octal
// digits.
std::string Unescape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += char(((a - '0') << 6) | ((b - '0') << 3) | (c - '0'));
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue": the fields
// before " - " are fixed up to the optional ones; the file system type and source follow it.
bool ParseMountLine(const std::string& line, Mount* m) {
  std::istringstream in(line);
  std::string id, parent, device, root, mountPoint, options;
  if (!(in >> id >> parent >> device >> root >> mountPoint >> options)) return false;
  std::string word;
  bool separator = false;
  while (in >> word) {
    if (word == "-") {
      separator = true;
      break;
    }
  }
  std::string fsType, source;
  if (!separator || !(in >> fsType)) return false;
  in >> source;
  m->device = device;
  m->root = Unescape(root);
  m->mountPoint = Unescape(mountPoint);
  m->source = Unescape(source);
  return !m->mountPoint.empty() && m->mountPoint[0] == '/';
}

// The first line of a small sysfs file, without its line end; empty when unreadable.
std::string ReadFirstLine(const fs::path& p) {
  std::ifstream in(p);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool UnderRemovableMediaFolder(const std::string& mountPoint) {
  return StartsWith(mountPoint, "/media/") || StartsWith(mountPoint, "/run/media/");
}

// Block device name by "major:minor", from each device's "dev" file.
std::map<std::string, std::string> DeviceNames(const fs::path& sysBlock) {
  std::map<std::string, std::string> names;
  std::error_code ec;
  fs::directory_iterator it(sysBlock, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    std::string dev = ReadFirstLine(it->path() / "dev");
    if (!dev.empty()) names.emplace(dev, name);
  }
  return names;
}

// The whole disk a partition belongs to, by its name: sdb1 -> sdb, mmcblk0p1 -> mmcblk0.
std::string DiskNameOf(const std::string& name) {
  std::string disk = name;
  while (!disk.empty() && disk.back() >= '0' && disk.back() <= '9') disk.pop_back();
  if (disk.size() >= 2 && disk.back() == 'p' && disk[disk.size() - 2] >= '0' &&
      disk[disk.size() - 2] <= '9') {
    return disk.substr(0, disk.size() - 1);
  }
  return disk;
}

// An mmcblk device is an SD card unless its card says it is soldered-in eMMC storage ("MMC").
bool SdCard(const fs::path& sysBlock, const std::string& name) {
  const std::string disk = DiskNameOf(name);
  return ReadFirstLine(sysBlock / disk / "device" / "type") != "MMC";
}

// Whether a block device is what a file manager shows as removable: an SD card, anything on USB,
// or a disk that says it is removable. Optical drives are not drives for a card.
bool RemovableDevice(const fs::path& sysBlock, const std::string& name) {
  if (name.empty() || StartsWith(name, "sr")) return false;
  if (StartsWith(name, "mmcblk")) return SdCard(sysBlock, name);
  std::error_code ec;
  fs::path entry = sysBlock / name;
  fs::path real = fs::canonical(entry, ec);
  if (!ec && real.string().find("/usb") != std::string::npos) return true;
  if (ReadFirstLine(entry / "removable") == "1") return true;
  // A partition: the whole disk is its parent in the device tree.
  if (!ec && fs::exists(entry / "partition", ec)) {
    if (ReadFirstLine(real.parent_path() / "removable") == "1") return true;
  }
  std::string disk = DiskNameOf(name);
  if (disk != name && !disk.empty()) {
    if (ReadFirstLine(sysBlock / disk / "removable") == "1") return true;
  }
  return false;
}

std::string WithoutTrailingSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

CDriveTable::CDriveTable() = default;

std::string CDriveTable::ExtraFolder() const {
  std::lock_guard<std::mutex> g(lock_);
  return extra_;
}

void CDriveTable::SetExtraFolder(const std::string& dir) {
  std::string root;
  if (!dir.empty()) {
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(dir), ec);
    root = WithoutTrailingSlash((ec ? fs::path(dir) : p).lexically_normal().string());
  }
  std::lock_guard<std::mutex> g(lock_);
  extra_ = root;
}

void CDriveTable::SetSources(const std::string& mountinfoPath, const std::string& sysBlockRoot) {
  std::lock_guard<std::mutex> g(lock_);
  mountinfo_ = mountinfoPath;
  sysBlock_ = sysBlockRoot;
}

void CDriveTable::Refresh() {
  std::string extra, mountinfo, sysBlock;
  {
    std::lock_guard<std::mutex> g(lock_);
    extra = extra_;
    mountinfo = mountinfo_;
    sysBlock = sysBlock_;
  }

  // Roots present now, in the order they are found: the extra folder first, then the mounts.
  std::vector<std::string> found;
  auto add = [&found](const std::string& root) {
    if (std::find(found.begin(), found.end(), root) == found.end()) found.push_back(root);
  };
  std::error_code ec;
  if (!extra.empty() && fs::is_directory(extra, ec)) add(extra);

  std::ifstream in(mountinfo);
  std::map<std::string, std::string> names;
  bool namesRead = false;
  std::vector<std::string> devicesSeen;
  std::string line;
  while (in && std::getline(in, line)) {
    Mount m;
    if (!ParseMountLine(line, &m) || m.mountPoint == "/") continue;
    bool removable = UnderRemovableMediaFolder(m.mountPoint);
    bool blockDevice = !StartsWith(m.device, "0:");
    if (!removable && blockDevice) {
      if (!namesRead) {
        names = DeviceNames(sysBlock);
        namesRead = true;
      }
      auto it = names.find(m.device);
      std::string name = it != names.end()               ? it->second
                         : StartsWith(m.source, "/dev/") ? fs::path(m.source).filename().string()
                                                         : std::string();
      removable = RemovableDevice(sysBlock, name);
    }
    if (!removable) continue;
    // A volume mounted at several places (bind mounts) is one drive, at its first mount point.
    if (blockDevice) {
      if (std::find(devicesSeen.begin(), devicesSeen.end(), m.device) != devicesSeen.end())
        continue;
      devicesSeen.push_back(m.device);
    }
    add(WithoutTrailingSlash(m.mountPoint));
  }

  std::lock_guard<std::mutex> g(lock_);
  std::vector<Drive> next;
  std::vector<std::string> fresh;
  for (const std::string& root : found) {
    auto old = std::find_if(drives_.begin(), drives_.end(),
                            [&root](const Drive& d) { return d.root == root; });
    if (old != drives_.end()) {
      next.push_back(*old);
    } else {
      fresh.push_back(root);
    }
  }
  for (const std::string& root : fresh) {
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
      bool used = std::any_of(next.begin(), next.end(),
                              [letter](const Drive& d) { return d.letter == letter; });
      if (!used) {
        next.push_back(Drive{letter, root});
        break;
      }
    }
  }
  std::sort(next.begin(), next.end(),
            [](const Drive& a, const Drive& b) { return a.letter < b.letter; });
  drives_ = std::move(next);
}

std::vector<Drive> CDriveTable::Drives() const {
  std::lock_guard<std::mutex> g(lock_);
  return drives_;
}

std::string CDriveTable::RootOf(char letter) const {
  std::lock_guard<std::mutex> g(lock_);
  for (const Drive& d : drives_) {
    if (d.letter == letter) return d.root;
  }
  return {};
}

CDriveTable& ProcessDrives() {
  static CDriveTable table;
  return table;
}

}  // namespace platform
