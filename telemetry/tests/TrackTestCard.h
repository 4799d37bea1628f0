// SPDX-License-Identifier: GPL-3.0-or-later
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

#include "support/testing/Command.h"
#include "vexlib/vexlib.h"

namespace tracktest {

using roadeye_test::BinDir;
using roadeye_test::HaveProgram;
using roadeye_test::Quote;
using Run = roadeye_test::CommandResult;

// Runs a shell command; standard error joins the output when merge is set.
inline Run RunCommand(const std::string& command, bool merge = false) {
  return roadeye_test::RunCommand(command, merge);
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
