// SPDX-License-Identifier: GPL-3.0-or-later
// Every family's data as roadeye-mkcard writes it (the same drive on each card), read back by the
// one entry the viewer uses: each format gives the same fixes at the same UTC, ExifTool finds the
// same fixes where it reads the format, and the camera's clock is told from the records.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "metadata/FixClock.h"
#include "metadata/RecordingMetadata.h"
#include "support/testing/Command.h"
#include "support/testing/TempDir.h"

namespace metadata {
namespace {

using roadeye_test::Quote;
using roadeye_test::RunCommand;

constexpr char kSmall[] =
    " --seconds 3 --count 1 --kinds REC --front 160x90 --rear-size 160x90 --rear no";

// Writes a card and returns its recording's front file (`front`, relative to the card).
std::string MakeCard(const roadeye_test::TempDir& dir, const std::string& options,
                     const std::string& front) {
  const std::string card = (dir.path() / "card").string();
  const auto made = RunCommand(Quote(roadeye_test::BinDir() + "/roadeye-mkcard") + " " +
                                   Quote(card) + " " + options + kSmall,
                               true);
  EXPECT_EQ(made.exitCode, 0) << made.out;
  return card + "/" + front;
}

RecordingMetadata Read(const std::string& path) {
  return ReadRecordingMetadata(path, CameraClockMs(path), nullptr);
}

std::vector<Fix> ValidFixes(const CameraMetadata& d) {
  std::vector<Fix> out;
  for (const Fix& f : d.fixes) {
    if (f.valid) out.push_back(f);
  }
  return out;
}

// The drive as Novatek's common blocks carry it, one fix a second: the others are held to it.
const std::vector<Fix>& Reference() {
  static const std::vector<Fix> fixes = [] {
    roadeye_test::TempDir dir("metadata-reference");
    return ValidFixes(
        Read(MakeCard(dir, "--family novatek", "DCIM/Movie/2024_0612_081500_001F.MP4")).data);
  }();
  return fixes;
}

struct Case {
  const char* name;
  const char* options;
  const char* front;
  const char* format;
  bool exiftool;  // ExifTool reads this format
};

class FamilyMetadataTest : public ::testing::TestWithParam<Case> {};

TEST_P(FamilyMetadataTest, GivesTheDrivesFixesAtTheirUtcAsOtherReadersDo) {
  const Case& c = GetParam();
  roadeye_test::TempDir dir("metadata-family");
  const std::string front = MakeCard(dir, c.options, c.front);
  const RecordingMetadata read = Read(front);
  EXPECT_STREQ(FormatName(read.data.format), c.format);
  EXPECT_TRUE(read.clock.offsetKnown);
  EXPECT_EQ(read.clock.offsetMinutes, 540) << read.clock.Describe();

  // One fix a second (Tesla: one a picture), where the drive was at that second.
  const std::vector<Fix> fixes = ValidFixes(read.data);
  const std::vector<Fix>& reference = Reference();
  ASSERT_EQ(reference.size(), 3u);
  ASSERT_GE(fixes.size(), reference.size());
  for (const Fix& ref : reference) {
    const Fix* at = nullptr;
    for (const Fix& f : fixes) {
      if (f.mediaMs == ref.mediaMs) at = &f;
    }
    ASSERT_NE(at, nullptr) << "no fix at " << ref.mediaMs << " ms";
    // Novatek's floats hold a position to about 2e-5 degrees.
    EXPECT_NEAR(at->latitude, ref.latitude, 5e-5);
    EXPECT_NEAR(at->longitude, ref.longitude, 5e-5);
    EXPECT_NEAR(at->speedKmh, ref.speedKmh, 2.0);
    EXPECT_EQ(at->utcMs, ref.utcMs);
  }

  if (!c.exiftool) return;
  // -ee3: ExifTool reads a transport stream's unlisted PIDs only when asked to.
  const auto tool = RunCommand(
      "exiftool -ee3 -n -j -G3 -GPSLatitude -GPSLongitude -GPSDateTime " + Quote(front), false);
  ASSERT_EQ(tool.exitCode, 0) << tool.out;
  std::map<int, std::pair<double, double>> theirs;
  std::map<int, std::string> times;
  const nlohmann::json found = nlohmann::json::parse(tool.out).at(0);
  for (const auto& [key, value] : found.items()) {
    if (key.rfind("Doc", 0) != 0) continue;
    const int doc = std::stoi(key.substr(3));
    const std::string tag = key.substr(key.find(':') + 1);
    if (tag == "GPSLatitude") theirs[doc].first = value.get<double>();
    if (tag == "GPSLongitude") theirs[doc].second = value.get<double>();
    if (tag == "GPSDateTime") times[doc] = value.get<std::string>();
  }
  ASSERT_EQ(theirs.size(), fixes.size()) << tool.out;
  std::size_t i = 0;
  for (const auto& [doc, position] : theirs) {
    EXPECT_NEAR(fixes[i].latitude, position.first, 1e-5) << "fix " << i;
    EXPECT_NEAR(fixes[i].longitude, position.second, 1e-5) << "fix " << i;
    if (times.count(doc) != 0 && c.format != std::string("garmin")) {
      // "2024:06:11 23:15:01Z" or with ms: the second ExifTool gives, against ours.
      const std::string& t = times[doc];
      const std::int64_t ms =
          UtcMs(std::stoi(t.substr(0, 4)), std::stoi(t.substr(5, 2)), std::stoi(t.substr(8, 2)),
                std::stoi(t.substr(11, 2)), std::stoi(t.substr(14, 2)), std::stoi(t.substr(17, 2)));
      EXPECT_LE(std::llabs(fixes[i].utcMs - ms), 1000) << t;
    }
    ++i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FamilyMetadataTest,
    ::testing::Values(
        Case{"freegps", "--family novatek", "DCIM/Movie/2024_0612_081500_001F.MP4", "freegps",
             true},
        Case{"freegps_newer", "--family novatek --telemetry freegps-newer",
             "DCIM/Movie/2024_0612_081500_001F.MP4", "freegps", true},
        Case{"freegps_nmea", "--family vantrue", "DCIM/Movie/20240612_081500_00001_N_A.MP4",
             "freegps-nmea", true},
        Case{"freegps_70mai", "--family 70mai", "Normal/Front/NO20240612-081500-000001F.MP4",
             "freegps-70mai", false},
        Case{"ts_private", "--family novatek --container ts", "DCIM/Movie/2024_0612_081500_001F.TS",
             "ts-private", true},
        Case{"blackvue", "--family blackvue", "Record/20240612_081500_NF.mp4", "blackvue", true},
        Case{"blackvue_sidecar", "--family blackvue --telemetry blackvue-sidecar",
             "Record/20240612_081500_NF.mp4", "blackvue-sidecar", false},
        Case{"thinkware", "--family thinkware", "cont_rec/REC_2024_06_12_08_15_00_F.MP4",
             "nmea-track", false},
        Case{"garmin", "--family garmin", "DCIM/100UNSVD/GRMN0001.MP4", "garmin", true},
        Case{"gpmf", "--family generic", "Videos/VID_20240612_081500.mp4", "gpmf", true},
        Case{"tesla", "--family tesla", "TeslaCam/RecentClips/2024-06-12_08-15-00-front.mp4",
             "tesla", false},
        Case{"nmea_sidecar", "--family generic --telemetry nmea-sidecar",
             "Videos/VID_20240612_081500.mp4", "nmea-sidecar", false},
        Case{"gpx_sidecar", "--family generic --telemetry gpx-sidecar",
             "Videos/VID_20240612_081500.mp4", "gpx-sidecar", false}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The receiver's clock as cameras keep it, on Novatek's blocks.
TEST(FamilyClockTest, LocalRecordsJumpsAtTheFirstFixAndNoClockAllGiveTheSameUtc) {
  const std::vector<Fix>& reference = Reference();
  for (const char* clock : {"local", "jump", "none"}) {
    roadeye_test::TempDir dir("metadata-clock");
    const RecordingMetadata read =
        Read(MakeCard(dir, std::string("--family novatek --gps-lost 1 --gps-clock ") + clock,
                      "DCIM/Movie/2024_0612_081500_001F.MP4"));
    EXPECT_EQ(read.clock.offsetMinutes, 540) << clock << ": " << read.clock.Describe();
    const std::vector<Fix> fixes = ValidFixes(read.data);
    ASSERT_EQ(fixes.size(), reference.size() - 1) << clock;
    for (const Fix& f : fixes) {
      EXPECT_EQ(f.utcMs, reference[std::size_t(f.mediaMs / 1000)].utcMs) << clock;
    }
  }
}

// A camera that lost power leaves blocks and no index: they are found by their marker.
TEST(FamilyClockTest, ACutRecordingKeepsTheFixesWrittenBeforeThePowerWentOff) {
  roadeye_test::TempDir dir("metadata-cut");
  const std::string card = (dir.path() / "card").string();
  ASSERT_EQ(RunCommand(Quote(roadeye_test::BinDir() + "/roadeye-mkcard") + " " + Quote(card) +
                           " --family novatek --seconds 6 --count 1 --kinds REC --front 160x90 "
                           "--rear no",
                       true)
                .exitCode,
            0);
  // The recording after the whole one is the one cut short.
  const RecordingMetadata read = Read(card + "/DCIM/Movie/2024_0612_081506_002F.MP4");
  EXPECT_EQ(read.data.format, Format::kFreeGps);
  EXPECT_GE(ValidFixes(read.data).size(), 1u);
  EXPECT_LT(ValidFixes(read.data).size(), 6u);
}

// A recording whose name and container give no clock (a transport stream keeps no creation
// time, and this name holds no date) is listed at its first fix.
TEST(FamilyClockTest, ARecordingWithoutAClockOfItsOwnStartsAtItsFirstFix) {
  roadeye_test::TempDir dir("metadata-noclock");
  const std::string front =
      MakeCard(dir, "--family novatek --container ts", "DCIM/Movie/2024_0612_081500_001F.TS");
  const std::string bare = (dir.path() / "bare").string();
  std::filesystem::create_directories(bare);
  std::filesystem::copy_file(front, bare + "/clip.ts");
  const cards::CardScan scan = cards::ScanCard(bare);
  ASSERT_EQ(scan.recordings.size(), 1u);
  ASSERT_FALSE(scan.recordings.front().HasClock());

  cards::CardRecording r = scan.recordings.front();
  CFixClock fixes;
  cards::DescribeRecording(bare, &r, nullptr, &fixes);
  EXPECT_EQ(r.clockSource, cards::ClockSource::kFixes);
  // The records carry UTC and nothing tells the camera's offset: the clock is UTC, nine hours
  // behind the camera's (20240612_081500).
  EXPECT_EQ(cards::ClockText(r.start), "2024-06-11T23:15:00");
  EXPECT_EQ(r.startSeconds, cards::ClockSeconds(r.start));

  // Without the fixes the file's own time is all there is.
  cards::CardRecording plain = scan.recordings.front();
  cards::DescribeRecording(bare, &plain);
  EXPECT_EQ(plain.clockSource, cards::ClockSource::kFileTime);
}

}  // namespace
}  // namespace metadata
