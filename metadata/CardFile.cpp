// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/CardFile.h"

#include <sys/stat.h>

namespace metadata {

CardFile::CardFile(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {
  struct stat st {};
  if (file_ && fstat(fileno(file_.get()), &st) == 0 && S_ISREG(st.st_mode)) {
    size_ = std::uint64_t(st.st_size);
  } else {
    file_.reset();
  }
}

bool CardFile::Read(std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>* out) {
  out->clear();
  if (!file_ || offset > size_ || length > size_ - offset) return false;
  if (!ReadSome(offset, length, out) || out->size() != length) {
    out->clear();
    return false;
  }
  return true;
}

bool CardFile::ReadSome(std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>* out) {
  out->clear();
  if (!file_ || offset >= size_) return false;
  if (length > size_ - offset) length = std::size_t(size_ - offset);
  if (fseeko(file_.get(), off_t(offset), SEEK_SET) != 0) return false;
  out->resize(length);
  const std::size_t got = std::fread(out->data(), 1, length, file_.get());
  out->resize(got);
  return got > 0;
}

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* out) {
  out->clear();
  CardFile file(path);
  if (!file.Open() || file.Size() > limit) return false;
  std::vector<std::uint8_t> bytes;
  if (file.Size() > 0 && !file.Read(0, std::size_t(file.Size()), &bytes)) return false;
  out->assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace metadata
