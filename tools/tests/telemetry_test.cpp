// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-mkcard writes the drive's GPS fixes into each family's own format: ExifTool, reading
// them as an outside reader, finds in each the same route as the VEX card of the same drive
// carries (read back with roadeye-vexdump), one fix a second at its UTC time, in files that
// ffprobe reads without complaint. --gps-clock and --gps-lost change what the records say;
// a container that cannot carry a format is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tools/tests/ToolsTestSupport.h"

namespace tools_test {

// The three G-sensor bytes of a VEX recording's "M" line (ToolsTest.cpp).
std::vector<int> GsensorBytes(const std::string& line);

namespace {

// Three one-second fixes of one recording, and a collision's jolt at its second second.
constexpr char kCommon[] =
    "--seconds 3 --count 1 --kinds REC --no-damaged --rear no --front 320x180 --fps 10 "
    "--jolts 1 ";

struct RouteFix {
  double latitude = 0, longitude = 0;
  std::int64_t utc = 0;   // seconds since 1970
  std::vector<double> g;  // the G-sensor sample the record gives, in g, when it gives one
};

std::int64_t Epoch(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return std::int64_t(timegm(&tm));
}

double Degrees(const std::string& dm, const std::string& hemisphere) {
  const double v = std::stod(dm);
  const double d = std::floor(v / 100) + std::fmod(v, 100) / 60;
  return hemisphere == "S" || hemisphere == "W" ? -d : d;
}

// The VEX card of the same drive: its fixes, as its GPS records give them, and the strongest of
// its G-sensor samples in g (the jolt's first).
struct Reference {
  std::vector<RouteFix> fixes;
  std::vector<double> jolt;
};

const Reference& Route() {
  static const TempDir dir;
  static const Reference route = [] {
    Reference reference;
    std::vector<RouteFix>& fixes = reference.fixes;
    const std::vector<Written> written = MakeCard(dir.path() / "card", kCommon);
    if (written.size() != 1) return reference;
    Dump(dir.path() / "card", written[0].name, dir.path() / "out");
    double strongest = -1;
    for (const std::string& line : Lines(ReadFile(dir.path() / "out" / "text.txt"))) {
      if (line.rfind("M", 0) == 0 && GsensorBytes(line).size() == 3) {
        std::vector<double> g;
        double norm = 0;
        for (int b : GsensorBytes(line)) {
          g.push_back((128 - b) / 40.0);
          norm += g.back() * g.back();
        }
        if (norm > strongest) {
          strongest = norm;
          reference.jolt = g;
        }
      }
      if (line.rfind("G$GPRMC,", 0) != 0) continue;
      std::vector<std::string> f;
      std::stringstream in(line.substr(1, line.find('*') - 1));
      for (std::string field; std::getline(in, field, ',');) f.push_back(field);
      if (f.size() < 10) continue;
      const int t = std::stoi(f[1].substr(0, 6)), d = std::stoi(f[9]);
      fixes.push_back(
          {Degrees(f[3], f[4]),
           Degrees(f[5], f[6]),
           Epoch(2000 + d % 100, d / 100 % 100, d / 10000, t / 10000, t / 100 % 100, t % 100),
           {}});
    }
    return reference;
  }();
  return route;
}

// What ExifTool finds in the file's embedded documents, in their order: a fix for every document
// with a position, and its time (0 when the document has none).
struct Found {
  std::vector<RouteFix> fixes;
  bool ran = false;
};

Found ExiftoolFixes(const fs::path& file) {
  Found found;
  const Outcome r =
      RunCommand("exiftool -ee3 -n -j -G3 -GPSLatitude -GPSLongitude -GPSDateTime -Accelerometer " +
                 Quote(file.string()));
  const nlohmann::json json = nlohmann::json::parse(r.out, nullptr, false);
  if (!json.is_array() || json.empty()) return found;
  found.ran = true;
  const nlohmann::json& tags = json[0];
  struct Doc {
    bool located = false;
    RouteFix fix;
  };
  std::map<int, Doc> docs;
  for (const auto& [key, value] : tags.items()) {
    int doc = 0;
    char tag[32] = {};
    if (std::sscanf(key.c_str(), "Doc%d:%31s", &doc, tag) != 2) continue;
    const std::string name = tag;
    RouteFix& fix = docs[doc].fix;
    if (name == "GPSLatitude") {
      fix.latitude = value.get<double>();
      docs[doc].located = true;
    }
    if (name == "GPSLongitude") fix.longitude = value.get<double>();
    if (name == "Accelerometer" && value.is_array()) fix.g = value.get<std::vector<double>>();
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (name == "GPSDateTime" && value.is_string() &&
        std::sscanf(value.get<std::string>().c_str(), "%d:%d:%d %d:%d:%d", &y, &mo, &d, &h, &mi,
                    &s) == 6) {
      fix.utc = Epoch(y, mo, d, h, mi, s);
    }
  }
  for (const auto& [number, doc] : docs) {
    if (doc.located) found.fixes.push_back(doc.fix);
  }
  return found;
}

struct FormatCase {
  const char* name;
  const char* options;
  const char* file;      // the front file
  bool clock = true;     // whether the records carry a time (Garmin's have none)
  bool gsensor = false;  // whether ExifTool reads a G-sensor sample from each record
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.options; }

class TelemetryFormatTest : public ToolsTest, public ::testing::WithParamInterface<FormatCase> {
 protected:
  void NeedExiftool() {
    NeedFfmpeg();
    if (!HaveProgram("exiftool")) GTEST_SKIP() << "no exiftool";
  }
};

TEST_P(TelemetryFormatTest, ExiftoolFindsTheRouteInAFileThatProbesClean) {
  NeedExiftool();
  const FormatCase& c = GetParam();
  const std::vector<RouteFix>& route = Route().fixes;
  ASSERT_EQ(route.size(), 3u);
  MakeCard(card(), std::string(kCommon) + c.options);
  const fs::path file = card() / c.file;
  EXPECT_EQ(ProbeWarnings(file), "");
  const Found found = ExiftoolFixes(file);
  ASSERT_TRUE(found.ran);
  ASSERT_EQ(found.fixes.size(), route.size());
  for (std::size_t i = 0; i < route.size(); ++i) {
    SCOPED_TRACE(i);
    // The binary records' 32-bit floats of ddmm.mmmm keep about 1e-5 of a degree.
    EXPECT_NEAR(found.fixes[i].latitude, route[i].latitude, 1e-5);
    EXPECT_NEAR(found.fixes[i].longitude, route[i].longitude, 1e-5);
    if (c.clock) {
      EXPECT_LE(std::llabs(found.fixes[i].utc - route[i].utc), 1);
    }
  }
  // Each record gives its second's first sample, in 256ths of a g: the jolt's in the second's.
  if (c.gsensor) {
    ASSERT_EQ(found.fixes[0].g.size(), 3u);
    ASSERT_EQ(found.fixes[1].g.size(), 3u);
    ASSERT_EQ(Route().jolt.size(), 3u);
    for (std::size_t axis = 0; axis < 3; ++axis) {
      EXPECT_NEAR(found.fixes[1].g[axis], Route().jolt[axis], 0.5 / 256);
      EXPECT_LT(std::fabs(found.fixes[0].g[axis]), 0.5);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TelemetryFormatTest,
    ::testing::Values(FormatCase{"freegps", "--family novatek",
                                 "DCIM/Movie/2024_0612_081500_001F.MP4"},
                      FormatCase{"freegps_newer", "--family novatek --telemetry freegps-newer",
                                 "DCIM/Movie/2024_0612_081500_001F.MP4", true, true},
                      FormatCase{"freegps_nmea", "--family vantrue",
                                 "DCIM/Movie/20240612_081500_00001_N_A.MP4", true, true},
                      FormatCase{"ts_private", "--family novatek --container ts",
                                 "DCIM/Movie/2024_0612_081500_001F.TS", true, true},
                      FormatCase{"blackvue", "--family blackvue", "Record/20240612_081500_NF.mp4"},
                      FormatCase{"garmin", "--family garmin", "DCIM/100UNSVD/GRMN0001.MP4", false},
                      FormatCase{"gpmf", "--family generic", "Videos/VID_20240612_081500.mp4"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

// The camera's clock runs nine hours ahead of UTC; a receiver without a fix for its first seconds
// writes them as invalid records, which a reader skips.
TEST_F(ToolsTest, GpsClockAndLostFixesChangeTheRecords) {
  NeedFfmpeg();
  if (!HaveProgram("exiftool")) GTEST_SKIP() << "no exiftool";
  const std::vector<RouteFix>& route = Route().fixes;
  ASSERT_EQ(route.size(), 3u);
  constexpr std::int64_t kAhead = 9 * 3600;

  MakeCard(card(), std::string(kCommon) + "--family novatek --gps-clock local --gps-lost 2");
  const Found found = ExiftoolFixes(card() / "DCIM/Movie/2024_0612_081500_001F.MP4");
  ASSERT_EQ(found.fixes.size(), 1u);
  EXPECT_NEAR(found.fixes[0].latitude, route[2].latitude, 1e-5);
  EXPECT_EQ(found.fixes[0].utc, route[2].utc + kAhead);

  // The clock that jumps at the first fix: UTC in the invalid records before it, the camera's
  // from it on.
  MakeCard(out(), std::string(kCommon) +
                      "--family novatek --telemetry nmea-sidecar --gps-clock jump --gps-lost 1");
  std::vector<std::string> rmc;
  for (const std::string& line : Lines(ReadFile(out() / "DCIM/Movie/2024_0612_081500_001F.nmea"))) {
    if (line.rfind("$GPRMC,", 0) == 0) rmc.push_back(line);
  }
  ASSERT_EQ(rmc.size(), 3u);
  auto hour = [](const std::string& line) { return std::stoi(line.substr(7, 2)); };
  auto status = [](const std::string& line) { return line.substr(line.find("$GPRMC,") + 18, 1); };
  const int utcHour = int(route[0].utc / 3600 % 24);
  EXPECT_EQ(status(rmc[0]), "V");
  EXPECT_EQ(hour(rmc[0]), utcHour);
  EXPECT_EQ(status(rmc[1]), "A");
  EXPECT_EQ(hour(rmc[1]), (utcHour + 9) % 24);

  // The VEX card's own records lose their first fixes the same way.
  const fs::path vex = tmp_.path() / "vex";
  const std::vector<Written> written = MakeCard(vex, std::string(kCommon) + "--gps-lost 2");
  ASSERT_EQ(written.size(), 1u);
  Dump(vex, written[0].name, tmp_.path() / "dump");
  std::vector<std::string> statuses;
  for (const std::string& line : Lines(ReadFile(tmp_.path() / "dump" / "text.txt"))) {
    if (line.rfind("G$GPRMC,", 0) == 0) statuses.push_back(status(line));
  }
  EXPECT_EQ(statuses, (std::vector<std::string>{"V", "V", "A"}));
}

// The fields of a protobuf message: wire types 0 (varint), 1 (fixed64) and 5 (fixed32) by
// number, each as its 64 raw bits; empty when the message does not decode.
std::map<int, std::uint64_t> ProtobufFields(const std::string& m) {
  std::map<int, std::uint64_t> fields;
  std::size_t i = 0;
  auto varint = [&](std::uint64_t* v) {
    *v = 0;
    for (int shift = 0; i < m.size() && shift < 64; shift += 7) {
      const auto b = std::uint8_t(m[i++]);
      *v |= std::uint64_t(b & 0x7F) << shift;
      if (b < 0x80) return true;
    }
    return false;
  };
  while (i < m.size()) {
    std::uint64_t key = 0, v = 0;
    if (!varint(&key)) return {};
    const int wire = int(key & 7), bytes = wire == 1 ? 8 : wire == 5 ? 4 : 0;
    if (wire == 0) {
      if (!varint(&v)) return {};
    } else if (bytes == 0 || i + std::size_t(bytes) > m.size()) {
      return {};
    }
    for (int b = bytes - 1; b >= 0; --b) v = v << 8 | std::uint8_t(m[i + std::size_t(b)]);
    i += std::size_t(bytes);
    fields[int(key >> 3)] = v;
  }
  return fields;
}

double AsDouble(std::uint64_t bits) {
  double d = 0;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Every picture of each of a Tesla's four cameras carries the car's state in its SEI message, in
// files that ffmpeg decodes without a word; the first picture's position is the drive's.
TEST_F(ToolsTest, TeslaPicturesCarryTheCarsStateInTheirSei) {
  NeedFfmpeg();
  const std::vector<RouteFix>& route = Route().fixes;
  ASSERT_EQ(route.size(), 3u);
  MakeCard(card(), std::string(kCommon) + "--family tesla");
  for (const char* camera : {"front", "back", "left_repeater", "right_repeater"}) {
    SCOPED_TRACE(camera);
    const fs::path file =
        card() / (std::string("TeslaCam/RecentClips/2024-06-12_08-15-00-") + camera + ".mp4");
    const fs::path stream = out() / (std::string(camera) + ".h264");
    fs::create_directories(out());
    const Outcome copy =
        RunCommand("ffmpeg -nostdin -v error -i " + Quote(file.string()) +
                       " -c copy -bsf:v h264_mp4toannexb -f h264 " + Quote(stream.string()),
                   true);
    ASSERT_EQ(copy.exitCode, 0) << copy.out;
    EXPECT_EQ(
        RunCommand("ffmpeg -nostdin -v error -i " + Quote(file.string()) + " -f null -", true).out,
        "");
    const std::string h264 = ReadFile(stream);
    // The SEI NAL unit, user data unregistered, its size, the marker.
    const std::regex sei("\\x00\\x00\\x01\\x06\\x05([\\s\\S])BBBi");
    std::vector<std::string> messages;
    for (std::sregex_iterator it(h264.begin(), h264.end(), sei), end; it != end; ++it) {
      const std::size_t size = std::uint8_t((*it)[1].str()[0]) - 4;
      std::string m;  // without the bytes that escape start codes
      int zeros = 0;
      for (std::size_t at = std::size_t(it->position() + it->length());
           at < h264.size() && m.size() < size; ++at) {
        if (zeros >= 2 && h264[at] == 3) {
          zeros = 0;
          continue;
        }
        m += h264[at];
        zeros = h264[at] == 0 ? zeros + 1 : 0;
      }
      messages.push_back(m);
    }
    ASSERT_EQ(messages.size(), 30u);  // 3 s at 10 pictures a second
    const std::map<int, std::uint64_t> first = ProtobufFields(messages[0]);
    ASSERT_TRUE(first.contains(11) && first.contains(12));
    EXPECT_NEAR(AsDouble(first.at(11)), route[0].latitude, 1e-5);
    EXPECT_NEAR(AsDouble(first.at(12)), route[0].longitude, 1e-5);
    // The frame numbers count the pictures.
    EXPECT_EQ(ProtobufFields(messages[29]).at(3), 29u);
  }
}

// A camera that loses power leaves the blocks it wrote as it went, and no index of them.
TEST_F(ToolsTest, PowerLossKeepsTheBlocksWrittenBeforeIt) {
  MakeCard(card(), "--family novatek --seconds 6 --count 1 --kinds REC --rear no --front 320x180");
  const std::string cut = ReadFile(card() / "DCIM/Movie/2024_0612_081506_002F.MP4");
  std::size_t blocks = 0;
  for (std::size_t at = cut.find("freeGPS "); at != std::string::npos;
       at = cut.find("freeGPS ", at + 1)) {
    blocks++;
  }
  EXPECT_GE(blocks, 1u);
  EXPECT_LT(blocks, 6u);
  EXPECT_EQ(cut.find("moov"), std::string::npos);
}

// Formats a container cannot carry are refused before anything is written.
TEST_F(ToolsTest, MkcardRefusesAFormatTheContainerCannotCarry) {
  for (const char* options : {"--family novatek --container ts --telemetry freegps",
                              "--family generic --container ts --telemetry blackvue",
                              "--family garmin --telemetry nmea"}) {
    SCOPED_TRACE(options);
    const Outcome r =
        RunCommand(Quote(Mkcard()) + " " + Quote(card().string()) + " " + options, true);
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_FALSE(fs::exists(card()));
  }
}

}  // namespace
}  // namespace tools_test
