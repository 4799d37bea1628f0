// What the card-reading benchmarks share: the card library started on a card folder as the viewer
// starts it, and a file dropped from the page cache so that the next pass reads it from the disk.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
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

// The card library on the card at `root`, attached; VexRelease it when done.
inline VexHandle StartCardLibrary(const std::string& root) {
  VexHandle lib = VexStart();
  VexInitialise(lib, root.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  return lib;
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
