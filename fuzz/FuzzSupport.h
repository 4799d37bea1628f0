// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets share: a scratch folder of the process (in memory where /dev/shm exists,
// so that writing each input costs no disk), and writing an input into a file there.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

// A folder of this process's own, made on first use and left for the system to clear.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string d = std::string(base) + "/roadeye-fuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

// Replaces the file at path with the bytes; false when it could not be written.
inline bool WriteInput(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && written;
}

}  // namespace fuzz
