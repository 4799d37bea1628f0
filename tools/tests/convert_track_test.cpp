// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-convert --gpx --kml --srt on a card written by roadeye-mkcard, as a user would run it:
// the track files lie beside each AVI file under its base name, and outside readers agree with
// the card. gpsbabel reads the GPX and KML files to the same points and times that it reads from
// the recording's own NMEA sentences (dumped by roadeye-vexdump), xmllint accepts them, and ffprobe
// finds a subtitle cue for every second of the AVI file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/testing/Command.h"
#include "support/testing/TempDir.h"

namespace {

namespace fs = std::filesystem;

using roadeye_test::BinDir;
using roadeye_test::HaveProgram;
using roadeye_test::Quote;
using Ran = roadeye_test::CommandResult;

// Runs a shell command with its standard error in the output.
Ran RunCommand(const std::string& command) { return roadeye_test::RunCommand(command, true); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, ',');) out.push_back(f);
  return out;
}

// A point as gpsbabel prints it in unicsv.
struct Row {
  double lat = 0, lon = 0;
  std::string date, time;
};

// The track points gpsbabel reads from a file, in UTC.
std::vector<Row> ReadWithGpsbabel(const std::string& format, const std::string& path) {
  std::vector<Row> rows;
  const Ran r =
      RunCommand("TZ=UTC gpsbabel -t -i " + format + " -f " + Quote(path) + " -o unicsv -F -");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  const std::vector<std::string> lines = Lines(r.out);
  if (lines.empty()) return rows;
  const std::vector<std::string> header = Fields(lines[0]);
  auto column = [&](const std::string& name) {
    for (std::size_t i = 0; i < header.size(); ++i) {
      if (header[i] == name) return i;
    }
    ADD_FAILURE() << "no " << name << " in " << lines[0];
    return std::size_t(0);
  };
  const std::size_t lat = column("Latitude"), lon = column("Longitude"), date = column("Date"),
                    time = column("Time");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = Fields(lines[i]);
    if (f.size() < header.size()) continue;
    rows.push_back({std::stod(f[lat]), std::stod(f[lon]), f[date], f[time]});
  }
  return rows;
}

class ConvertTrackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new roadeye_test::TempDir("convert-track");
    // Two kinds, one with a rear camera, plus the card tool's recording cut short by a power loss
    // and its short one.
    const Ran r = RunCommand(Quote(BinDir() + "/roadeye-mkcard") + " " + Quote(Card()) +
                             " --seconds 5 --count 1 --kinds REC,MANUAL --front 320x180"
                             " --rear-size 160x96");
    made_ = new Ran(r);
  }
  static void TearDownTestSuite() {
    delete made_;
    delete dir_;
  }
  void SetUp() override { ASSERT_EQ(made_->exitCode, 0) << made_->out; }

  static std::string Card() { return dir_->str() + "/card"; }
  std::string Out(const std::string& sub) const { return dir_->str() + "/" + sub; }
  static Ran Convert(const std::string& options, const std::string& dest) {
    return RunCommand(Quote(BinDir() + "/roadeye-convert") + " " + options + " " + Quote(Card()) +
                      " " + Quote(dest));
  }

  static roadeye_test::TempDir* dir_;
  static Ran* made_;
};

roadeye_test::TempDir* ConvertTrackTest::dir_ = nullptr;
Ran* ConvertTrackTest::made_ = nullptr;

TEST_F(ConvertTrackTest, TrackFilesBesideEveryAviAgreeWithTheCard) {
  if (!HaveProgram("gpsbabel") || !HaveProgram("xmllint") || !HaveProgram("ffprobe")) {
    GTEST_SKIP() << "gpsbabel, xmllint or ffprobe is not installed (packages gpsbabel, "
                    "libxml2-utils, ffmpeg)";
  }
  const std::string out = Out("all");
  const Ran r = Convert("--gpx --kml --srt", out);
  ASSERT_EQ(r.exitCode, 0) << r.out;

  std::set<std::string> avis, others;
  for (const auto& e : fs::directory_iterator(out)) {
    const std::string name = e.path().filename().string();
    (e.path().extension() == ".avi" ? avis : others).insert(name);
  }
  ASSERT_EQ(avis.size(), 4u) << r.out;
  // Three track files per AVI file, named after it, and nothing else (no temporary files).
  std::set<std::string> want;
  for (const std::string& avi : avis) {
    const std::string base = avi.substr(0, avi.size() - 4);
    for (const char* ending : {".gpx", ".kml", ".srt"}) want.insert(base + ending);
  }
  EXPECT_EQ(others, want);

  int cut = 0;
  for (const std::string& avi : avis) {
    const std::string base = out + "/" + avi.substr(0, avi.size() - 4);
    // The recording's own sentences, as the card holds them, read by gpsbabel's NMEA reader.
    const std::string dump = Out("dump-" + avi);
    const Ran d = RunCommand(Quote(BinDir() + "/roadeye-vexdump") + " " + Quote(Card()) + " " +
                             Quote(avi) + " " + Quote(dump));
    ASSERT_EQ(d.exitCode, 0) << d.out;
    {
      std::ifstream text(dump + "/text.txt", std::ios::binary);
      std::ofstream nmea(dump + "/fixes.nmea");
      for (std::string line; std::getline(text, line);) {
        if (line.rfind("G$GPRMC", 0) == 0) nmea << line.substr(1) << "\n";
      }
    }
    const std::vector<Row> want = ReadWithGpsbabel("nmea", dump + "/fixes.nmea");
    ASSERT_GE(want.size(), 2u) << avi;
    for (const char* format : {"gpx", "kml"}) {
      const std::string path = base + "." + format;
      EXPECT_EQ(RunCommand("xmllint --noout " + Quote(path)).exitCode, 0) << path;
      const std::vector<Row> got = ReadWithGpsbabel(format, path);
      ASSERT_EQ(got.size(), want.size()) << path;
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].lat, want[i].lat, 1e-6) << path << " " << i;
        EXPECT_NEAR(got[i].lon, want[i].lon, 1e-6) << path << " " << i;
        EXPECT_EQ(got[i].date, want[i].date) << path << " " << i;
        EXPECT_EQ(got[i].time, want[i].time) << path << " " << i;
      }
    }
    // A cue for every second of the AVI file, the last one cut with it.
    const Ran duration = RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                    Quote(out + "/" + avi));
    ASSERT_EQ(duration.exitCode, 0) << duration.out;
    const double seconds = std::stod(duration.out);
    const Ran cues = RunCommand("ffprobe -v error -show_packets -of csv " + Quote(base + ".srt"));
    ASSERT_EQ(cues.exitCode, 0) << cues.out;
    EXPECT_EQ(Lines(cues.out).size(), std::size_t(std::ceil(seconds - 1e-6))) << avi;
    cut += want.size() < 5;
  }
  EXPECT_EQ(cut, 2);  // the card tool's cut and short recordings
}

TEST_F(ConvertTrackTest, OnlyTheFilesAskedForAndNoneWithoutFlags) {
  const std::string plain = Out("plain");
  const Ran r = Convert("", plain);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  for (const auto& e : fs::directory_iterator(plain)) {
    EXPECT_EQ(e.path().extension(), ".avi") << e.path();
  }
  // One recording named on the command line, subtitles alone.
  std::string stem;
  for (const auto& e : fs::directory_iterator(Card() + "/VEX")) {
    if (e.path().filename().string().rfind("MANUAL_", 0) == 0) stem = e.path().stem().string();
  }
  ASSERT_FALSE(stem.empty());
  const std::string one = Out("one");
  const Ran s = RunCommand(Quote(BinDir() + "/roadeye-convert") + " --srt " + Quote(Card()) + " " +
                           Quote(one) + " " + Quote(stem + ".avi"));
  ASSERT_EQ(s.exitCode, 0) << s.out;
  std::set<std::string> files;
  for (const auto& e : fs::directory_iterator(one)) files.insert(e.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{stem + ".avi", stem + ".srt"})) << s.out;
}

TEST_F(ConvertTrackTest, UsageNamesTheTrackOptions) {
  const Ran help = RunCommand(Quote(BinDir() + "/roadeye-convert") + " --help");
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--gpx", "--kml", "--srt", "--verbose"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  const Ran bad = RunCommand(Quote(BinDir() + "/roadeye-convert") + " --gps " + Quote(Card()) +
                             " " + Quote(Out("bad")));
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.out.find("unknown option --gps"), std::string::npos) << bad.out;
}

// Another camera's card: its recording's track comes from the camera's own format, for every
// format, and gpsbabel reads it in order, on the UTC date (08:15 on the camera's clock at UTC + 9
// is 23:15 of the day before), one point a second as the format gives them.
struct FamilyTrackCase {
  const char* name;
  const char* options;
};

class FamilyTrackTest : public ::testing::TestWithParam<FamilyTrackCase> {};

TEST_P(FamilyTrackTest, GpxOfEveryFormatReadsBackInUtc) {
  if (!HaveProgram("gpsbabel")) GTEST_SKIP() << "gpsbabel is not installed (package gpsbabel)";
  roadeye_test::TempDir dir("convert-family-track");
  const std::string card = dir.str() + "/card", out = dir.str() + "/out";
  const Ran made = RunCommand(Quote(BinDir() + "/roadeye-mkcard") + " " + Quote(card) + " " +
                              GetParam().options +
                              " --seconds 3 --count 1 --kinds REC --rear no --front 160x90"
                              " --no-damaged");
  ASSERT_EQ(made.exitCode, 0) << made.out;
  const Ran convert =
      RunCommand(Quote(BinDir() + "/roadeye-convert") + " --gpx " + Quote(card) + " " + Quote(out));
  ASSERT_EQ(convert.exitCode, 0) << convert.out;
  std::vector<fs::path> gpx;
  for (const auto& e : fs::directory_iterator(out)) {
    if (e.path().extension() == ".gpx") gpx.push_back(e.path());
  }
  ASSERT_EQ(gpx.size(), 1u) << convert.out;
  const std::vector<Row> rows = ReadWithGpsbabel("gpx", gpx.front().string());
  ASSERT_GE(rows.size(), 3u);
  std::set<std::string> seconds;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].date, "2024/06/11") << i;
    EXPECT_EQ(rows[i].time.substr(0, 6), "23:15:") << i;
    if (i > 0) {
      EXPECT_GE(rows[i].time, rows[i - 1].time) << "out of order at " << i;
    }
    EXPECT_NEAR(rows[i].lat, 37.5657, 0.01);
    seconds.insert(rows[i].time.substr(0, 8));
  }
  EXPECT_EQ(seconds, (std::set<std::string>{"23:15:00", "23:15:01", "23:15:02"}));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FamilyTrackTest,
    ::testing::Values(FamilyTrackCase{"freegps", "--family novatek"},
                      FamilyTrackCase{"ts_private", "--family novatek --container ts"},
                      FamilyTrackCase{"freegps_nmea", "--family vantrue"},
                      FamilyTrackCase{"freegps_70mai", "--family 70mai"},
                      FamilyTrackCase{"blackvue", "--family blackvue"},
                      FamilyTrackCase{"blackvue_sidecar",
                                      "--family blackvue --telemetry blackvue-sidecar"},
                      FamilyTrackCase{"thinkware", "--family thinkware"},
                      FamilyTrackCase{"garmin", "--family garmin"},
                      FamilyTrackCase{"gpmf", "--family generic"},
                      FamilyTrackCase{"tesla", "--family tesla"},
                      FamilyTrackCase{"nmea_sidecar", "--family generic --telemetry nmea-sidecar"},
                      FamilyTrackCase{"gpx_sidecar", "--family generic --telemetry gpx-sidecar"}),
    [](const ::testing::TestParamInfo<FamilyTrackCase>& info) { return info.param.name; });

}  // namespace
