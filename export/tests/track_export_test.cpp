// SPDX-License-Identifier: GPL-3.0-or-later
// Tracks written as GPX, KML and SubRip, read back by outside programs: gpsbabel must find every
// point at its position (to the 1e-6 degree it prints) and UTC time, xmllint must accept both XML
// files and find the names, segments and speeds where they belong, and ffprobe/ffmpeg must read
// one subtitle cue per second with the fix of that second.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "export/TrackExport.h"
#include "support/testing/TempDir.h"
#include "telemetry/TrackReader.h"
#include "telemetry/tests/TrackTestCard.h"

namespace {

namespace fs = std::filesystem;
using tracktest::HaveProgram;
using tracktest::Quote;
using tracktest::RunCommand;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::string piece;
  std::istringstream in(text);
  while (std::getline(in, piece, separator)) {
    if (!piece.empty() && piece.back() == '\r') piece.pop_back();  // gpsbabel ends lines CR LF
    out.push_back(piece);
  }
  return out;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The UTC date and time gpsbabel's unicsv prints for seconds since 1970 (from the C library).
std::pair<std::string, std::string> UnicsvTime(std::int64_t utc) {
  const std::time_t t = std::time_t(utc);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char date[32], clock[32];
  std::strftime(date, sizeof date, "%Y/%m/%d", &tm);
  std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
  return {date, clock};
}

std::vector<TrackPoint> Points(const std::vector<Track>& tracks) {
  std::vector<TrackPoint> out;
  for (const Track& t : tracks) {
    for (const auto& s : t.segments) out.insert(out.end(), s.begin(), s.end());
  }
  return out;
}

// Every track point gpsbabel reads from `path` in `format`, compared with the tracks' points.
void ExpectGpsbabelReadsEveryPoint(const std::string& format, const std::string& path,
                                   const std::vector<Track>& tracks) {
  const tracktest::Run r = RunCommand(
      "TZ=UTC gpsbabel -t -i " + format + " -f " + Quote(path) + " -o unicsv -F -", true);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  std::vector<std::string> lines = Split(r.out, '\n');
  ASSERT_FALSE(lines.empty());
  const std::vector<std::string> header = Split(lines[0], ',');
  auto column = [&](const char* name) {
    for (std::size_t i = 0; i < header.size(); ++i) {
      if (header[i] == name) return int(i);
    }
    return -1;
  };
  const int lat = column("Latitude"), lon = column("Longitude"), date = column("Date"),
            time = column("Time");
  ASSERT_TRUE(lat >= 0 && lon >= 0 && date >= 0 && time >= 0) << lines[0];
  const std::vector<TrackPoint> want = Points(tracks);
  ASSERT_EQ(lines.size() - 1, want.size()) << r.out;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const std::vector<std::string> f = Split(lines[i + 1], ',');
    ASSERT_GT(f.size(), std::size_t(std::max(std::max(lat, lon), std::max(date, time))));
    EXPECT_NEAR(std::stod(f[std::size_t(lat)]), want[i].latitude, 1e-6) << format << " " << i;
    EXPECT_NEAR(std::stod(f[std::size_t(lon)]), want[i].longitude, 1e-6) << format << " " << i;
    const auto [d, t] = UnicsvTime(want[i].utcTime);
    EXPECT_EQ(f[std::size_t(date)], d) << format << " " << i;
    EXPECT_EQ(f[std::size_t(time)], t) << format << " " << i;
  }
}

// xmllint's answer to an XPath expression over a file, without its line end.
std::string XPath(const std::string& path, const std::string& expression) {
  std::string out = RunCommand("xmllint --xpath " + Quote(expression) + " " + Quote(path)).out;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TrackPoint Point(int ms, double lat, double lon, double kmh, double course, std::int64_t utc) {
  TrackPoint p;
  p.timeMs = ms;
  p.latitude = lat;
  p.longitude = lon;
  p.speedKmh = kmh;
  p.course = course;
  p.utcTime = utc;
  return p;
}

// Two recordings: one in two segments crossing into the southern and western hemispheres and over
// a year's end (1999-12-31 23:59:59 UTC), a name that XML must escape; one without a fix.
std::vector<Track> SampleTracks() {
  Track a;
  a.name = "REC_19991231_235958_D.avi";
  a.segments = {{Point(0, 37.5660001, 126.9780002, 36, 90.04, 946684798),
                 Point(1000, 37.5662345, 126.9781234, 72.5, 359.97, 946684799),
                 Point(2000, 37.5664689, 126.9782466, 0, 0, 946684800)},
                {Point(9000, -33.8688197, -151.2092955, 123.4, 181, 946684807),
                 Point(10000, -0.0000001, -0.0000002, 10, 270, 946684808)}};
  Track b;
  b.name = "EVENT & <odd> \"name\"\x01.avi";
  return {a, b};
}

class TrackExportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  roadeye_test::TempDir dir_{"export"};
};

TEST_F(TrackExportTest, GpxReadsBackThroughGpsbabelAndXmllint) {
  const std::vector<Track> tracks = SampleTracks();
  const std::string path = dir_ / "out.gpx";
  std::string error;
  ASSERT_TRUE(WriteGpx(tracks, path, &error)) << error;
  if (!HaveProgram("gpsbabel") || !HaveProgram("xmllint")) {
    GTEST_SKIP() << "gpsbabel or xmllint is not installed (packages gpsbabel, libxml2-utils)";
  }
  EXPECT_EQ(RunCommand("xmllint --noout " + Quote(path), true).exitCode, 0);
  ExpectGpsbabelReadsEveryPoint("gpx", path, tracks);

  const std::string gpx = "/*[local-name()='gpx']";
  const std::string trk = gpx + "/*[local-name()='trk']";
  EXPECT_EQ(XPath(path, "string(" + gpx + "/@version)"), "1.1");
  EXPECT_EQ(XPath(path, "string(" + gpx + "/@creator)"), "Roadeye");
  EXPECT_EQ(XPath(path, "namespace-uri(" + gpx + ")"), "http://www.topografix.com/GPX/1/1");
  EXPECT_EQ(XPath(path, "count(" + trk + ")"), "2");
  EXPECT_EQ(XPath(path, "string(" + trk + "[1]/*[local-name()='name'])"), tracks[0].name);
  // The control character cannot be in XML; the rest of the name survives escaping.
  EXPECT_EQ(XPath(path, "string(" + trk + "[2]/*[local-name()='name'])"),
            "EVENT & <odd> \"name\"?.avi");
  EXPECT_EQ(XPath(path, "count(" + trk + "[1]/*[local-name()='trkseg'])"), "2");
  // The name and what the times are, alone.
  EXPECT_EQ(XPath(path, "count(" + trk + "[2]/*)"), "2");
  EXPECT_EQ(XPath(path, "string(" + trk + "[1]/*[local-name()='desc'])"),
            "Times in UTC; camera clock UTC+9");
  EXPECT_EQ(XPath(path, "count(//*[local-name()='ele'])"), "0");
  // Speeds in m/s and courses in [0, 360) in Garmin's namespace, inside each point's extensions.
  const std::string ext =
      "//*[local-name()='trkpt']/*[local-name()='extensions']/*[local-name()="
      "'TrackPointExtension' and namespace-uri()='http://www.garmin.com/"
      "xmlschemas/TrackPointExtension/v2']";
  const std::vector<TrackPoint> points = Points(tracks);
  ASSERT_EQ(XPath(path, "count(" + ext + "/*[local-name()='speed'])"),
            std::to_string(points.size()));
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::string speed =
        XPath(path, "string((" + ext + "/*[local-name()='speed'])[" + std::to_string(i + 1) + "])");
    EXPECT_NEAR(std::stod(speed), points[i].speedKmh / 3.6, 0.0005) << i;
  }
  EXPECT_EQ(XPath(path, "string((" + ext + "/*[local-name()='course'])[2])"), "0.0");
  EXPECT_EQ(XPath(path, "string((" + ext + "/*[local-name()='course'])[4])"), "181.0");
  // The GPX schema, when the machine has a copy (nothing is fetched).
  if (const char* xsd = std::getenv("ROADEYE_GPX_XSD"); xsd && *xsd) {
    EXPECT_EQ(RunCommand("xmllint --noout --nonet --schema " + Quote(xsd) + " " + Quote(path), true)
                  .exitCode,
              0);
  }
}

TEST_F(TrackExportTest, KmlReadsBackThroughGpsbabelAndXmllint) {
  const std::vector<Track> tracks = SampleTracks();
  const std::string path = dir_ / "out.kml";
  std::string error;
  ASSERT_TRUE(WriteKml(tracks, path, &error)) << error;
  if (!HaveProgram("gpsbabel") || !HaveProgram("xmllint")) {
    GTEST_SKIP() << "gpsbabel or xmllint is not installed (packages gpsbabel, libxml2-utils)";
  }
  EXPECT_EQ(RunCommand("xmllint --noout " + Quote(path), true).exitCode, 0);
  ExpectGpsbabelReadsEveryPoint("kml", path, tracks);

  const std::string placemark =
      "/*[local-name()='kml']/*[local-name()='Document']/"
      "*[local-name()='Placemark']";
  EXPECT_EQ(XPath(path, "namespace-uri(/*)"), "http://www.opengis.net/kml/2.2");
  EXPECT_EQ(XPath(path, "count(" + placemark + ")"), "2");
  EXPECT_EQ(XPath(path, "string(" + placemark + "[1]/*[local-name()='name'])"), tracks[0].name);
  EXPECT_EQ(XPath(path, "count(" + placemark + "[1]//*[local-name()='Track'])"), "2");
  EXPECT_EQ(XPath(path, "count(" + placemark + "[2]//*[local-name()='Track'])"), "0");
  // Positions are "longitude latitude altitude".
  EXPECT_EQ(XPath(path, "string((//*[local-name()='coord'])[4])"), "-151.2092955 -33.8688197 0");
  EXPECT_EQ(XPath(path, "string((//*[local-name()='when'])[3])"), "2000-01-01T00:00:00Z");
  EXPECT_EQ(XPath(path, "string((//*[local-name()='SimpleArrayData']/*[local-name()='value'])[2])"),
            "20.139");
}

TEST_F(TrackExportTest, SubtitlesHoldOneCuePerSecondWithThatSecondsFix) {
  const Track track = SampleTracks()[0];
  const std::string path = dir_ / "out.srt";
  std::string error;
  ASSERT_TRUE(WriteSrt(track, 11500, path, &error)) << error;
  if (!HaveProgram("ffprobe") || !HaveProgram("ffmpeg")) {
    GTEST_SKIP() << "ffprobe or ffmpeg is not installed (package ffmpeg)";
  }
  // pts_time and duration_time of every cue.
  const tracktest::Run probe = RunCommand(
      "ffprobe -v error -show_entries packet=pts_time,duration_time -of csv=p=0 " + Quote(path));
  ASSERT_EQ(probe.exitCode, 0);
  const std::vector<std::string> cues = Split(probe.out, '\n');
  ASSERT_EQ(cues.size(), 12u) << probe.out;
  for (std::size_t k = 0; k < cues.size(); ++k) {
    const std::vector<std::string> f = Split(cues[k], ',');
    ASSERT_EQ(f.size(), 2u) << cues[k];
    EXPECT_DOUBLE_EQ(std::stod(f[0]), double(k)) << k;
    EXPECT_DOUBLE_EQ(std::stod(f[1]), k == 11 ? 0.5 : 1.0) << k;
  }
  // The texts, as ffmpeg hands them on to another subtitle format.
  const tracktest::Run vtt = RunCommand("ffmpeg -v error -i " + Quote(path) + " -f webvtt -");
  ASSERT_EQ(vtt.exitCode, 0);
  std::vector<std::string> texts;
  std::string current;
  bool inCue = false;
  for (const std::string& line : Split(vtt.out, '\n')) {
    if (line.find("-->") != std::string::npos) {
      inCue = true;
      current.clear();
    } else if (line.empty()) {
      if (inCue) texts.push_back(current);
      inCue = false;
    } else if (inCue) {
      current += (current.empty() ? "" : "|") + line;
    }
  }
  if (inCue) texts.push_back(current);
  ASSERT_EQ(texts.size(), 12u) << vtt.out;
  // The camera's clock is UTC + 9: 1999-12-31 23:59:58 UTC is 2000-01-01 08:59:58.
  EXPECT_EQ(texts[0], "2000-01-01 08:59:58  36 km/h|37.5660001, 126.9780002");
  EXPECT_EQ(texts[1], "2000-01-01 08:59:59  73 km/h|37.5662345, 126.9781234");
  EXPECT_EQ(texts[2], "2000-01-01 09:00:00  0 km/h|37.5664689, 126.9782466");
  for (int k = 3; k < 9; ++k) EXPECT_EQ(texts[std::size_t(k)], "no GPS") << k;
  EXPECT_EQ(texts[9], "2000-01-01 09:00:07  123 km/h|-33.8688197, -151.2092955");
  EXPECT_EQ(texts[10], "2000-01-01 09:00:08  10 km/h|-0.0000001, -0.0000002");
  EXPECT_EQ(texts[11], "no GPS");
}

// A fix recorded late in its second still belongs to it, and only the first of a second counts.
TEST_F(TrackExportTest, SubtitleSecondsTakeTheFirstFixRecordedInThem) {
  Track t;
  t.segments = {
      {Point(999, 1, 2, 10, 0, 0), Point(1001, 3, 4, 20, 0, 1), Point(1500, 5, 6, 30, 0, 2)}};
  const std::string path = dir_ / "late.srt";
  ASSERT_TRUE(WriteSrt(t, 3000, path, nullptr));
  const std::string text = Slurp(path);
  EXPECT_EQ(text,
            "1\n00:00:00,000 --> 00:00:01,000\n1970-01-01 09:00:00  10 km/h\n1.0000000, "
            "2.0000000\n\n"
            "2\n00:00:01,000 --> 00:00:02,000\n1970-01-01 09:00:01  20 km/h\n3.0000000, "
            "4.0000000\n\n"
            "3\n00:00:02,000 --> 00:00:03,000\nno GPS\n\n");
}

TEST_F(TrackExportTest, TrackOfARealRecordingExportsEveryFix) {
  const std::string root = dir_ / "card";
  const std::string made =
      tracktest::MakeCard(root, "--seconds 4 --count 1 --kinds REC --no-damaged");
  ASSERT_TRUE(made.empty()) << made;
  tracktest::Card card(root);
  const std::string name = card.Names().at(0);
  Track track;
  ASSERT_EQ(ReadRecordingTrack(card.handle(), name.c_str(), &track, nullptr), TrackReadResult::kOk);
  ASSERT_EQ(track.PointCount(), 4);
  ASSERT_TRUE(WriteGpx({track}, dir_ / "real.gpx", nullptr));
  ASSERT_TRUE(WriteKml({track}, dir_ / "real.kml", nullptr));
  if (!HaveProgram("gpsbabel")) GTEST_SKIP() << "gpsbabel is not installed (package gpsbabel)";
  ExpectGpsbabelReadsEveryPoint("gpx", dir_ / "real.gpx", {track});
  ExpectGpsbabelReadsEveryPoint("kml", dir_ / "real.kml", {track});
}

TEST_F(TrackExportTest, NumbersIgnoreTheLocale) {
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_ALL, "fr_FR.UTF-8") == nullptr) {
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  const std::string path = dir_ / "comma.gpx";
  const bool written = WriteGpx(SampleTracks(), path, nullptr);
  std::setlocale(LC_ALL, "C");
  ASSERT_TRUE(written);
  EXPECT_NE(Slurp(path).find("lat=\"37.5660001\" lon=\"126.9780002\""), std::string::npos);
}

TEST_F(TrackExportTest, FailureLeavesNoFileAndSaysWhy) {
  const std::string missing = dir_ / "no-such-folder/out.gpx";
  std::string error;
  EXPECT_FALSE(WriteGpx(SampleTracks(), missing, &error));
  EXPECT_NE(error.find(missing), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_FALSE(WriteKml(SampleTracks(), missing, nullptr));
  EXPECT_FALSE(WriteSrt(SampleTracks()[0], 1000, missing, &error));
  EXPECT_FALSE(fs::exists(missing));

  // Replacing a file: the new one takes its place whole, and nothing else is left beside it.
  const std::string path = dir_ / "again.gpx";
  ASSERT_TRUE(WriteGpx({}, path, nullptr));
  const std::string before = Slurp(path);
  ASSERT_TRUE(WriteGpx(SampleTracks(), path, nullptr));
  EXPECT_NE(Slurp(path), before);
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir_.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 1);
}

}  // namespace
