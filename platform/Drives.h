// SPDX-License-Identifier: GPL-3.0-or-later
// The drive layer: the computer's removable volumes, each given a drive letter, the way the
// camera's card shows up on the desktop. A drive keeps its letter while it stays present; a new
// drive takes the lowest free letter from D. A folder named on the command line (--card DIR or
// ROADEYE_CARD) counts as one more removable drive, present while the folder exists.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace platform {

struct Drive {
  char letter = 0;
  std::string root;  // the mount point or folder, without a trailing slash
};

class CDriveTable {
 public:
  CDriveTable();

  // A folder that counts as a removable drive while it exists; empty to drop it.
  void SetExtraFolder(const std::string& dir);
  // That folder as a drive's root (absolute, no trailing slash); empty when none.
  std::string ExtraFolder() const;
  // Where mounts and block devices are read from (tests point these at fixtures).
  void SetSources(const std::string& mountinfoPath, const std::string& sysBlockRoot);
  // Re-reads the removable volumes. Letters of drives still present do not change.
  void Refresh();
  // The removable drives, in letter order, as of the last Refresh.
  std::vector<Drive> Drives() const;
  // The root of a drive, empty when no drive has that letter.
  std::string RootOf(char letter) const;

 private:
  mutable std::mutex lock_;
  std::string extra_;
  std::string mountinfo_ = "/proc/self/mountinfo";
  std::string sysBlock_ = "/sys/class/block";
  std::vector<Drive> drives_;
};

// The process-wide table, as the operating system's drive letters are process-wide.
CDriveTable& ProcessDrives();

}  // namespace platform
