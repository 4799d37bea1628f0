// SPDX-License-Identifier: GPL-3.0-or-later
// What the tools' tests share: where the programs were built, running them and the outside readers,
// writing a card with roadeye-mkcard and dumping a recording with roadeye-vexdump, and the
// fixture with a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/testing/Command.h"
#include "support/testing/TempDir.h"
#include "tools/CardWriter.h"

namespace tools_test {

namespace fs = std::filesystem;

using roadeye_test::BinDir;
using roadeye_test::HaveProgram;
using roadeye_test::Quote;
using Outcome = roadeye_test::CommandResult;

inline std::string Mkcard() { return BinDir() + "/roadeye-mkcard"; }
inline std::string Vexdump() { return BinDir() + "/roadeye-vexdump"; }

// A command's exit code and standard output (standard error too when merged, else dropped).
inline Outcome RunCommand(const std::string& command, bool mergeStderr = false) {
  return roadeye_test::RunCommand(command, mergeStderr);
}

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// roadeye-convert's JSON lines for `options` (with --json) on the card: each line parsed, a line
// that is no JSON object failing the test, as does a status other than 0.
inline std::vector<nlohmann::json> ConvertJsonLines(const std::string& options,
                                                    const fs::path& card) {
  const Outcome r = RunCommand(Quote(BinDir() + "/roadeye-convert") + " " + options + " --json " +
                               Quote(card.string()));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  std::vector<nlohmann::json> lines;
  for (const std::string& line : Lines(r.out)) {
    lines.push_back(nlohmann::json::parse(line, nullptr, false));
    EXPECT_FALSE(lines.back().is_discarded()) << line;
  }
  return lines;
}

using roadeye_test::TempDir;

// One line of roadeye-mkcard's report.
struct Written {
  std::string name;
  double seconds = 0;
  long long bytes = 0;
  bool cut = false;
};

inline std::vector<Written> MakeCard(const fs::path& card, const std::string& options) {
  Outcome r = RunCommand(Quote(Mkcard()) + " " + Quote(card.string()) + " " + options);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  std::vector<Written> written;
  std::regex line(R"(^(\S+\.vex)\s+([0-9.]+) s\s+([0-9]+) bytes(.*)$)");
  for (const std::string& l : Lines(r.out)) {
    std::smatch m;
    if (std::regex_match(l, m, line)) {
      written.push_back(
          {m[1], std::stod(m[2]), std::stoll(m[3]), m[4].str().find("cut") != std::string::npos});
    }
  }
  return written;
}

inline std::string Listed(const std::string& vexName) {
  return vexName.substr(0, vexName.size() - 4) + ".avi";
}

// What roadeye-vexdump printed about one recording.
struct Dumped {
  Outcome run;
  int frontWidth = 0, frontHeight = 0, rearWidth = 0, rearHeight = 0;
  std::map<std::string, int> counts;  // cntVideo0, cntVideo1, cntAudio, cntACC, cntGPS
};

inline Dumped Dump(const fs::path& card, const std::string& name, const fs::path& out) {
  Dumped d;
  d.run = RunCommand(Quote(Vexdump()) + " " + Quote(card.string()) + " " + Quote(name) + " " +
                     Quote(out.string()));
  for (const std::string& l : Lines(d.run.out)) {
    std::sscanf(l.c_str(), "  front %dx%d", &d.frontWidth, &d.frontHeight);
    std::sscanf(l.c_str(), "  rear %dx%d", &d.rearWidth, &d.rearHeight);
    if (l.rfind("  counts", 0) == 0) {
      std::regex field(R"((\w+)=(\d+))");
      for (std::sregex_iterator it(l.begin(), l.end(), field), end; it != end; ++it) {
        d.counts[(*it)[1]] = std::stoi((*it)[2]);
      }
    }
  }
  return d;
}

struct Probe {
  int width = 0, height = 0, frames = -1;
};

inline Probe FfprobeVideo(const fs::path& file) {
  Outcome r = RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=width,height,nb_read_frames -of csv=p=0 " +
      Quote(file.string()));
  Probe p;
  std::sscanf(r.out.c_str(), "%d,%d,%d", &p.width, &p.height, &p.frames);
  return p;
}

// What `ffprobe -v warning` says of a file, less what it says of the streams it has no decoder
// for (a gpmd data track, a transport stream's private stream): that it cannot decode them, which
// it says of every camera's file that has them.
inline std::string ProbeWarnings(const fs::path& file) {
  std::vector<std::string> undecoded;
  const Outcome streams = RunCommand(
      "ffprobe -v error -show_entries stream=index,codec_type -of csv=p=0 " + Quote(file.string()));
  for (const std::string& line : Lines(streams.out)) {
    const std::size_t comma = line.find(',');
    const std::string type = comma == std::string::npos ? "" : line.substr(comma + 1);
    if (type == "data" || type == "unknown") undecoded.push_back(line.substr(0, comma));
  }
  std::string kept;
  bool dropped = false;
  for (const std::string& line :
       Lines(RunCommand("ffprobe -v warning " + Quote(file.string()) + " 2>&1").out)) {
    bool about = false;
    for (const std::string& index : undecoded) {
      about = about || line.ends_with("for input stream " + index) ||
              line.find("for stream " + index + " (") != std::string::npos;
    }
    // The advice that follows a stream's missing parameters.
    about = about || (dropped && line.starts_with("Consider increasing"));
    dropped = about;
    if (!about) kept += line + "\n";
  }
  return kept;
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    ASSERT_TRUE(fs::exists(Mkcard())) << Mkcard();
    ASSERT_TRUE(fs::exists(Vexdump())) << Vexdump();
  }
  void NeedFfmpeg() {
    if (!HaveProgram("ffprobe") || !HaveProgram("ffmpeg")) GTEST_SKIP() << "no ffprobe/ffmpeg";
  }
  fs::path card() const { return tmp_.path() / "card"; }
  fs::path out() const { return tmp_.path() / "out"; }

  TempDir tmp_;
};

}  // namespace tools_test
