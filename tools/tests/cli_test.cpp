// SPDX-License-Identifier: GPL-3.0-or-later
// The command-line programs answer --version the GNU way, and roadeye-convert --json gives one
// JSON object per line that an outside reader (Python's json module) parses: names, byte counts
// that match the files written, and results.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/testing/Command.h"
#include "support/testing/TempDir.h"

namespace {

namespace fs = std::filesystem;
using roadeye_test::BinDir;
using roadeye_test::Quote;
using roadeye_test::RunCommand;
using roadeye_test::TempDir;

std::string Program(const char* name) { return Quote(BinDir() + "/" + name); }

// Reads JSON lines from the file in argv[1]; each must hold name, bytes, seconds, result and
// files, with every file's size on disk equal to its bytes and the object's bytes the AVI's size
// (a clip's: all its files'). Prints per line: the name in ASCII, the result and the count of
// files.
constexpr char kCheckLines[] = R"PY(
import json, os, sys
clip = sys.argv[2] == 'clip'
for line in open(sys.argv[1], encoding='utf-8'):
    o = json.loads(line)
    assert set(o) == {'name', 'bytes', 'seconds', 'result', 'files'}, o
    assert isinstance(o['bytes'], int) and isinstance(o['seconds'], (int, float)), o
    assert o['seconds'] >= 0, o
    sizes = [f['bytes'] for f in o['files']]
    for f in o['files']:
        assert os.path.getsize(f['path']) == f['bytes'], f
    if clip:
        assert o['bytes'] == sum(sizes), o
    else:
        avis = [f['bytes'] for f in o['files'] if f['path'].endswith('.avi')]
        assert o['bytes'] == (avis[0] if avis else 0), o
    print(ascii(o['name']), o['result'], len(o['files']))
)PY";

std::string CheckLines(const fs::path& lines, const char* mode) {
  const fs::path script = lines.parent_path() / "check.py";
  std::ofstream(script) << kCheckLines;
  const auto r = RunCommand(
      "python3 " + Quote(script.string()) + " " + Quote(lines.string()) + " " + mode, true);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  return r.out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

TEST(ToolVersions, EachProgramPrintsNamePackageVersionCopyrightAndLicence) {
  for (const char* name : {"roadeye-convert", "roadeye-mkcard", "roadeye-vexdump"}) {
    const auto r = RunCommand(Program(name) + " --version", false);
    EXPECT_EQ(r.exitCode, 0) << name;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(std::string(name) + R"( \(Roadeye\) [0-9]+\.[0-9]+\.[0-9]+)")))
        << lines[0];
    EXPECT_EQ(lines[1].rfind("Copyright (C) ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("License GPLv3+: GNU GPL version 3 or later", 0), 0u) << lines[2];
  }
}

class ConvertJson : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    card_ = new TempDir("json-card");
    made_ = RunCommand(Program("roadeye-mkcard") + " " + Quote(card_->str()) +
                           " --seconds 4 --count 1 --kinds REC,EVENT",
                       true)
                .exitCode == 0;
  }
  static void TearDownTestSuite() {
    delete card_;
    card_ = nullptr;
  }
  void SetUp() override {
    if (!made_) GTEST_SKIP() << "roadeye-mkcard did not make the card";
    if (RunCommand("python3 -c 'import json'", false).exitCode != 0) {
      GTEST_SKIP() << "no python3";
    }
  }
  static TempDir* card_;
  static bool made_;
};
TempDir* ConvertJson::card_ = nullptr;
bool ConvertJson::made_ = false;

TEST_F(ConvertJson, OneParsableLinePerRecordingWithTheBytesWritten) {
  TempDir out("json-out");
  const fs::path lines = out.path() / "lines.jsonl";
  const auto r =
      RunCommand(Program("roadeye-convert") + " --json --gpx " + Quote(card_->str()) + " " +
                     Quote((out.path() / "avi").string()) + " > " + Quote(lines.string()),
                 true);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out, "") << "nothing for people on either stream";
  const std::vector<std::string> checked = Lines(CheckLines(lines, "recordings"));
  // One line per recording of the card, each done with its AVI and GPX files.
  std::size_t recordings = 0;
  for (const auto& entry : fs::directory_iterator(card_->path() / "VEX")) {
    (void)entry;
    ++recordings;
  }
  ASSERT_EQ(checked.size(), recordings);
  std::size_t avis = 0;
  for (const auto& entry : fs::directory_iterator(out.path() / "avi")) {
    avis += entry.path().extension() == ".avi";
  }
  EXPECT_EQ(avis, recordings);
  for (const std::string& line : checked) {
    EXPECT_TRUE(std::regex_match(line, std::regex(R"('(REC|EVENT)_\d{8}_\d{6}(_D)?\.avi' done 2)")))
        << line;
  }
}

TEST_F(ConvertJson, NamesAreEscapedAndFailuresSayWhy) {
  TempDir out("json-bad");
  const fs::path lines = out.path() / "lines.jsonl";
  // A quote, a backslash, a tab, a newline, a control character and a byte that is no UTF-8.
  const std::string name = std::string("bad\"name\\\t\n\x01") + "\xff.avi";
  const auto r = RunCommand(Program("roadeye-convert") + " --json " + Quote(card_->str()) + " " +
                                Quote((out.path() / "avi").string()) + " " + Quote(name) + " > " +
                                Quote(lines.string()),
                            false);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(CheckLines(lines, "recordings"),
            "'bad\"name\\\\\\t\\n\\x01\\ufffd.avi' failed: not a plain recording name 0\n");
}

TEST_F(ConvertJson, AClipIsOneLineWithItsFiles) {
  TempDir out("json-clip");
  std::string name;
  for (const auto& entry : fs::directory_iterator(card_->path() / "VEX")) {
    if (entry.path().filename().string().rfind("REC_", 0) == 0) name = entry.path().filename();
  }
  ASSERT_FALSE(name.empty());
  const fs::path lines = out.path() / "lines.jsonl";
  const auto r = RunCommand(Program("roadeye-convert") + " --json --from 1 --to 2 " +
                                Quote(card_->str()) + " " + Quote((out.path() / "clip").string()) +
                                " " + Quote(name) + " > " + Quote(lines.string()),
                            true);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(CheckLines(lines, "clip"), "'" + name + "' done 4\n");
}

}  // namespace
