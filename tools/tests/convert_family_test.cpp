// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-convert on cards of other camera families, written by roadeye-mkcard: the whole card is
// copied as the camera wrote it (sha256sum compares every file with the card's), a span becomes
// one MP4 clip that ffprobe reads without a word and whose checksum list
// `sha256sum -c` accepts, and what cannot be done says so in its exit status.
#include "tools/tests/ToolsTestSupport.h"

namespace tools_test {
namespace {

std::string Convert() { return Quote(BinDir() + "/roadeye-convert"); }

std::string Sha256(const fs::path& file) {
  const Outcome r = RunCommand("sha256sum " + Quote(file.string()));
  return r.exitCode == 0 ? r.out.substr(0, 64) : "(none: " + file.string() + ")";
}

// The card's video files: name to path.
std::map<std::string, fs::path> VideoFiles(const fs::path& card) {
  std::map<std::string, fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(card)) {
    const std::string ext = e.path().extension().string();
    if (e.is_regular_file() && (ext == ".MP4" || ext == ".mp4" || ext == ".TS")) {
      files[e.path().filename().string()] = e.path();
    }
  }
  return files;
}

class ConvertFamilyTest : public ToolsTest {
 protected:
  void SetUp() override {
    ToolsTest::SetUp();
    NeedFfmpeg();
    if (!HaveProgram("sha256sum")) GTEST_SKIP() << "no sha256sum";
  }
  void Make(const std::string& options) {
    MakeCard(card(), options +
                         " --seconds 4 --count 1 --no-damaged --front 320x180"
                         " --rear-size 160x96");
  }
};

TEST_F(ConvertFamilyTest, WholeCardIsCopiedAsTheCameraWroteIt) {
  Make("--family novatek --container ts --rear yes");
  const Outcome r =
      RunCommand(Convert() + " --json " + Quote(card().string()) + " " + Quote(out().string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::map<std::string, fs::path> files = VideoFiles(card());
  ASSERT_FALSE(files.empty());
  for (const auto& [name, path] : files) EXPECT_EQ(Sha256(out() / name), Sha256(path)) << name;
  // One line a recording, each done, naming its files; nothing else in the folder.
  std::size_t named = 0;
  for (const std::string& line : Lines(r.out)) {
    EXPECT_NE(line.find("\"result\": \"done\""), std::string::npos) << line;
    for (const auto& [name, path] : files) {
      if (line.find("/" + name + "\"") != std::string::npos) ++named;
    }
  }
  EXPECT_EQ(named, files.size());
  EXPECT_EQ(std::distance(fs::directory_iterator(out()), fs::directory_iterator()),
            std::ptrdiff_t(files.size()));
}

TEST_F(ConvertFamilyTest, SpanOfATeslaRecordingIsAClipWithItsChecksums) {
  Make("--family tesla");
  const std::map<std::string, fs::path> files = VideoFiles(card());
  std::string front;
  for (const auto& [name, path] : files) {
    if (front.empty() && name.find("-front.") != std::string::npos) front = name;
  }
  ASSERT_FALSE(front.empty());
  const Outcome r = RunCommand(Convert() + " --from 1.2 --to 3 " + Quote(card().string()) + " " +
                               Quote(out().string()) + " " + Quote(front));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  fs::path mp4, list;
  for (const auto& e : fs::directory_iterator(out())) {
    if (e.path().extension() == ".mp4") mp4 = e.path();
    if (e.path().extension() == ".sha256") list = e.path();
  }
  ASSERT_FALSE(mp4.empty()) << r.out;
  const Outcome probe = RunCommand("ffprobe -v warning " + Quote(mp4.string()), true);
  EXPECT_EQ(probe.exitCode, 0);
  EXPECT_EQ(probe.out, "");
  const Outcome check = RunCommand(
      "cd " + Quote(out().string()) + " && sha256sum -c " + Quote(list.filename().string()), true);
  EXPECT_EQ(check.exitCode, 0) << check.out;
}

TEST_F(ConvertFamilyTest, WhatCannotBeDoneSaysSoInTheExitStatus) {
  Make("--family novatek --kinds REC");
  const std::string dirs = " " + Quote(card().string()) + " " + Quote(out().string());
  EXPECT_EQ(RunCommand(Convert() + dirs + " NO_SUCH_FILE.MP4").exitCode, 1);
  const std::string front = VideoFiles(card()).begin()->first;
  EXPECT_EQ(RunCommand(Convert() + " --gpx --from 0 --to 1" + dirs + " " + Quote(front)).exitCode, 2);
  EXPECT_EQ(RunCommand(Convert() + " --from 60" + dirs + " " + Quote(front)).exitCode, 2);
  EXPECT_TRUE(fs::is_empty(out()));
}

}  // namespace
}  // namespace tools_test
