// SPDX-License-Identifier: GPL-3.0-or-later
// What the card-reading benchmarks share: the card library started on a card folder as the viewer
// starts it, and a file dropped from the page cache so that the next pass reads it from the disk.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "vexlib/vexlib.h"

namespace bench {

// Takes "--card DIR" out of the command line: the card folder (empty without one), and in *rest
// the program's name and the other arguments, for the benchmark library.
inline std::string TakeCardOption(int argc, char** argv, std::vector<char*>* rest) {
  std::string card;
  rest->assign(argv, argv + 1);
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--card" && i + 1 < argc) {
      card = argv[++i];
    } else {
      rest->push_back(argv[i]);
    }
  }
  return card;
}

// Writes a card into `dir` with roadeye-mkcard (found beside the running program, argv0) and the
// given options, unless a whole one is there from an earlier run: the tool writes into a sibling
// folder that is renamed to `dir` only when it succeeded. Options are passed as they are, so they
// must be the benchmark's own words, never a name read from elsewhere.
inline bool WriteCardOnce(const char* argv0, const std::filesystem::path& dir,
                          const std::string& options) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::is_directory(dir / "VEX", ec)) return true;
  const fs::path part = dir.string() + ".part";
  fs::remove_all(part, ec);
  const fs::path tool = fs::path(argv0).parent_path() / "roadeye-mkcard";
  const std::string cmd =
      "'" + tool.string() + "' '" + part.string() + "' " + options + " > /dev/null";
  if (std::system(cmd.c_str()) != 0) return false;
  fs::remove_all(dir, ec);
  fs::rename(part, dir, ec);
  return !ec;
}

// The card library on the card at `root`, attached; VexRelease it when done.
inline VexHandle StartCardLibrary(const std::string& root) {
  VexHandle lib = VexStart();
  VexInitialise(lib, root.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  return lib;
}

// The card library's kind of a recording from its name (stem of the file), as the camera names
// its recordings.
inline int KindOfName(const std::string& stem) {
  return stem.rfind("EVENT", 0) == 0     ? kVexEvent
         : stem.rfind("PARKING", 0) == 0 ? kVexParking
         : stem.rfind("MANUAL", 0) == 0  ? kVexManual
                                         : kVexContinuous;
}

// Drops `file` from the page cache (written back first), as a card just put in would be read.
// False where the system does not allow it.
inline bool DropFromPageCache(const std::string& file) {
  const int fd = open(file.c_str(), O_RDONLY);
  if (fd < 0) return false;
  fdatasync(fd);
  const bool ok = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(fd);
  return ok;
}

// With state.range(0) set, drops `file` before the pass, outside its timing: the pass reads from
// the disk; 0 reads from the page cache.
inline void DropWhenAsked(benchmark::State& state, const std::string& file) {
  if (!state.range(0)) return;
  state.PauseTiming();
  DropFromPageCache(file);
  state.ResumeTiming();
}

}  // namespace bench
