// Cards for the track tests, written by roadeye-mkcard, and the outside programs the tests run
// (gpsbabel, xmllint, ffprobe) with their output.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vexlib/vexlib.h"

namespace tracktest {

inline std::string BinDir() {
  const char* env = std::getenv("ROADEYE_BIN_DIR");
  return env && *env ? env : ROADEYE_BIN_DIR;
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Run {
  int exitCode = -1;
  std::string out;
};

// Runs a shell command; standard error joins the output when merge is set.
inline Run RunCommand(const std::string& command, bool merge = false) {
  Run r;
  std::FILE* p = popen((command + (merge ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline bool HaveProgram(const char* name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

// Writes a card with roadeye-mkcard (small pictures: the tests look at the text stream); empty
// on success, else what went wrong.
inline std::string MakeCard(const std::string& root, const std::string& options) {
  const std::string command = Quote(BinDir() + "/roadeye-mkcard") + " " + Quote(root) +
                              " --front 320x180 --rear-size 160x96 " + options;
  const Run r = RunCommand(command, true);
  return r.exitCode == 0 ? std::string() : command + ": " + r.out;
}

// The card library opened on a card folder.
class Card {
 public:
  explicit Card(const std::string& root) : h_(VexStart()) {
    VexInitialise(h_, root.c_str());
    VexCardPoll(h_, &drive_);
    VexCardAttach(h_);
  }
  ~Card() { VexRelease(h_); }
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  VexHandle handle() const { return h_; }
  bool present() const { return drive_ != 0; }

  // Every recording listed, all kinds.
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (int kind : {kVexContinuous, kVexEvent, kVexParking, kVexManual}) {
      const int n = VexKindCount(h_, drive_, kind);
      if (n <= 0) continue;
      std::vector<char> names(std::size_t(n) * kVexNameBytes, 0);
      const int got = VexKindList(h_, drive_, kind, n, names.data(), nullptr, nullptr);
      for (int i = 0; i < got; ++i) {
        const char* name = names.data() + std::size_t(i) * kVexNameBytes;
        out.emplace_back(name, strnlen(name, kVexNameBytes - 1));
      }
    }
    return out;
  }

 private:
  VexHandle h_;
  char drive_ = 0;
};

}  // namespace tracktest
