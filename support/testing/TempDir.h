// SPDX-License-Identifier: GPL-3.0-or-later
// A fresh folder for a test under the temporary folder ($TMPDIR, else /tmp), removed with all it
// holds when the object goes. Shared by the tests of every folder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace roadeye_test {

class TempDir {
 public:
  // The folder is named roadeye-<tag>-XXXXXX; path() is empty when it could not be made.
  explicit TempDir(const std::string& tag = "test") {
    const char* tmp = std::getenv("TMPDIR");
    const std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/roadeye-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // The path of `name` inside the folder.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace roadeye_test
