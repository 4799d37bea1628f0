// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/CardCache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace tools {

namespace {

// FNV-1a, 64 bits: a name for the options, not a guard against anyone.
std::uint64_t Fnv(std::uint64_t h, const std::string& text) {
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
  return (h ^ 0xFF) * 0x100000001b3ULL;  // the end of one option
}

bool EmptyOrMissing(const std::string& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) return true;
  return fs::is_directory(dir, ec) && fs::is_empty(dir, ec);
}

}  // namespace

CardCache::CardCache(std::string folder, std::string cardDir, const std::vector<std::string>& args)
    : folder_(std::move(folder)), cardDir_(std::move(cardDir)) {
  if (folder_.empty() || cardDir_.empty()) return;
  struct stat self {};
  if (::stat("/proc/self/exe", &self) != 0) return;
  std::uint64_t h = 0xcbf29ce484222325ULL;
  bool cardSeen = false;
  for (const std::string& a : args) {
    if (!cardSeen && a == cardDir_) {
      cardSeen = true;  // the card's folder is where it goes, not what it is
      continue;
    }
    h = Fnv(h, a);
  }
  h = Fnv(h, std::to_string(self.st_size) + ":" + std::to_string(self.st_mtim.tv_sec) + "." +
                 std::to_string(self.st_mtim.tv_nsec));
  char name[32];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(h));
  entry_ = folder_ + "/" + name;
  cardDirWasEmpty_ = EmptyOrMissing(cardDir_);
}

bool CardCache::Fetch(std::string* printed) const {
  if (!Enabled() || !cardDirWasEmpty_) return false;
  std::error_code ec;
  if (!fs::is_directory(entry_ + "/card", ec)) return false;
  std::ifstream in(entry_ + "/printed.txt", std::ios::binary);
  if (!in) return false;
  printed->assign(std::istreambuf_iterator<char>(in), {});
  fs::create_directories(cardDir_, ec);
  fs::copy(entry_ + "/card", cardDir_, fs::copy_options::recursive, ec);
  if (ec) {
    // Half a copy is no card: the folder is emptied again and the card written as usual.
    for (const auto& e : fs::directory_iterator(cardDir_, ec)) fs::remove_all(e.path(), ec);
    return false;
  }
  return true;
}

void CardCache::Store(const std::string& printed) const {
  if (!Enabled() || !cardDirWasEmpty_) return;
  std::error_code ec;
  if (fs::is_directory(entry_, ec)) return;
  fs::create_directories(folder_, ec);
  const std::string temporary = entry_ + ".tmp" + std::to_string(::getpid());
  fs::remove_all(temporary, ec);
  fs::create_directories(temporary, ec);
  fs::copy(cardDir_, temporary + "/card", fs::copy_options::recursive, ec);
  bool ok = !ec;
  if (ok) {
    std::ofstream out(temporary + "/printed.txt", std::ios::binary);
    out << printed;
    ok = bool(out.flush());
  }
  // Another writer of the same card may have been first: its entry stays.
  if (!ok || std::rename(temporary.c_str(), entry_.c_str()) != 0) fs::remove_all(temporary, ec);
}

}  // namespace tools
