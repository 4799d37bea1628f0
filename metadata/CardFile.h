// SPDX-License-Identifier: GPL-3.0-or-later
// Bounded reads of one recording file for the metadata readers: the file opened read-only, its
// size taken once, every read checked against it. A reader asks for a range and gets at most what
// it asked for, never past the file's end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace metadata {

class CardFile {
 public:
  // Opens `path`; Open() tells whether it did.
  explicit CardFile(const std::string& path);
  bool Open() const { return file_ != nullptr; }
  std::uint64_t Size() const { return size_; }
  // Reads `length` bytes at `offset` into *out (resized); false, leaving *out empty, when the
  // range passes the end or the read fails.
  bool Read(std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>* out);
  // Reads up to `length` bytes at `offset`, fewer at the end; false when none could be read.
  bool ReadSome(std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>* out);

 private:
  struct Close {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Close> file_;
  std::uint64_t size_ = 0;
};

// A whole small file (a sidecar), at most `limit` bytes; false when it is absent, unreadable or
// larger.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* out);

inline std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
         std::uint32_t(p[3]);
}
inline std::uint64_t Be64(const std::uint8_t* p) {
  return std::uint64_t(Be32(p)) << 32 | Be32(p + 4);
}

}  // namespace metadata
