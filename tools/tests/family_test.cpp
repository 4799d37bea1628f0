// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-mkcard --family writes other makers' cards: each family's files appear at exactly the
// paths its cameras give them, and ffprobe, reading them as an outside reader, finds clean
// containers with the coding asked, AAC sound in front cameras' files, the recording's length and
// the camera's clock as creation_time. The recording cut short by a power loss has lost its index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tools/tests/ToolsTestSupport.h"

namespace tools_test {
namespace {

// Every file under the card, by its path relative to the root.
std::set<std::string> CardFiles(const fs::path& card) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(card)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), card).string());
  }
  return files;
}

// What ffprobe says of a file: whether it complained at all, and its JSON description.
struct Probed {
  std::string warnings;
  nlohmann::json json;
};

Probed FfprobeJson(const fs::path& file) {
  Probed p;
  p.warnings = ProbeWarnings(file);
  const Outcome r = RunCommand("ffprobe -v error -print_format json -show_streams -show_format " +
                               Quote(file.string()));
  p.json = nlohmann::json::parse(r.out, nullptr, false);
  return p;
}

std::vector<std::string> CodecsOf(const nlohmann::json& probe, const char* type) {
  std::vector<std::string> codecs;
  for (const auto& s : probe.value("streams", nlohmann::json::array())) {
    if (s.value("codec_type", "") == type) codecs.push_back(s.value("codec_name", ""));
  }
  return codecs;
}

// One camera's file of the card: where it lies, the clock of its recording and whether it is the
// front camera's, the one with the sound.
// Plain pointers to literals, not strings: the compiler makes light work of a table of them.
struct ExpectedFile {
  const char* path;
  const char* clock;  // 2024-06-12T08:15:00
  bool front = false;
};

struct FamilyCase {
  const char* name;     // for the test's name
  const char* options;  // --family and what it takes
  const char* codec;    // as ffprobe names it
  bool sound = true;    // whether front files carry AAC
  std::vector<ExpectedFile> files;
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.options; }

// A card of one recording of each kind the family has, 2 s each: the driving ones from 08:15:00
// on, one after the other, and the parking one 17 s after the drive.
class FamilyCardTest : public ToolsTest, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(FamilyCardTest, FilesLieWhereTheCamerasPutThemAndProbeClean) {
  NeedFfmpeg();
  const FamilyCase& c = GetParam();
  // The case's options last, so that they override the common ones.
  MakeCard(card(),
           std::string("--seconds 2 --count 1 --front 320x180 --rear-size 160x90 --rear yes "
                       "--no-damaged ") +
               c.options);
  std::set<std::string> expected;
  for (const ExpectedFile& f : c.files) expected.insert(f.path);
  std::set<std::string> written = CardFiles(card());
  std::erase_if(written, [](const std::string& p) { return p.ends_with("event.json"); });
  EXPECT_EQ(written, expected);

  const double frame = 1.0 / 30;
  for (const ExpectedFile& f : c.files) {
    SCOPED_TRACE(f.path);
    const Probed p = FfprobeJson(card() / f.path);
    EXPECT_EQ(p.warnings, "");
    ASSERT_TRUE(p.json.contains("format")) << p.json.dump();
    EXPECT_EQ(CodecsOf(p.json, "video"), std::vector<std::string>{c.codec});
    const std::vector<std::string> sound = CodecsOf(p.json, "audio");
    EXPECT_EQ(sound,
              f.front && c.sound ? std::vector<std::string>{"aac"} : std::vector<std::string>{});
    const double seconds = std::stod(p.json["format"].value("duration", "0"));
    EXPECT_NEAR(seconds, 2.0, frame);
    const std::string created =
        p.json["format"].value("tags", nlohmann::json::object()).value("creation_time", "");
    EXPECT_EQ(created.substr(0, 19), f.clock);
    EXPECT_TRUE(created.ends_with("Z")) << created;
  }
}

constexpr char kRec[] = "2024-06-12T08:15:00", kEvent[] = "2024-06-12T08:15:02",
               kManual[] = "2024-06-12T08:15:04";
// The parking recording follows the drive: after the manual one where the family has it.
constexpr char kParkAfter3[] = "2024-06-12T08:15:23", kParkAfter2[] = "2024-06-12T08:15:21";

INSTANTIATE_TEST_SUITE_P(
    Families, FamilyCardTest,
    ::testing::Values(
        FamilyCase{"novatek",
                   "--family novatek --interior",
                   "h264",
                   true,
                   {{"DCIM/Movie/2024_0612_081500_001F.MP4", kRec, true},
                    {"DCIM/Movie/2024_0612_081500_001R.MP4", kRec, false},
                    {"DCIM/Movie/2024_0612_081500_001I.MP4", kRec, false},
                    {"DCIM/Movie/RO/2024_0612_081502_002F.MP4", kEvent, true},
                    {"DCIM/Movie/RO/2024_0612_081502_002R.MP4", kEvent, false},
                    {"DCIM/Movie/RO/2024_0612_081502_002I.MP4", kEvent, false},
                    {"DCIM/Movie/Parking/2024_0612_081521_003PF.MP4", kParkAfter2, true},
                    {"DCIM/Movie/Parking/2024_0612_081521_003PR.MP4", kParkAfter2, false},
                    {"DCIM/Movie/Parking/2024_0612_081521_003PI.MP4", kParkAfter2, false}}},
        FamilyCase{
            "vantrue_h265",
            "--family Vantrue --interior --codec h265 --kinds REC,PARKING",
            "hevc",
            true,
            {{"DCIM/Movie/20240612_081500_00001_N_A.MP4", kRec, true},
             {"DCIM/Movie/20240612_081500_00001_N_B.MP4", kRec, false},
             {"DCIM/Movie/20240612_081500_00001_N_C.MP4", kRec, false},
             {"DCIM/Movie/Parking/20240612_081519_00002_P_A.MP4", "2024-06-12T08:15:19", true},
             {"DCIM/Movie/Parking/20240612_081519_00002_P_B.MP4", "2024-06-12T08:15:19", false},
             {"DCIM/Movie/Parking/20240612_081519_00002_P_C.MP4", "2024-06-12T08:15:19", false}}},
        FamilyCase{"blackvue",
                   "--family BLACKVUE --interior --kinds REC,EVENT,MANUAL",
                   "h264",
                   true,
                   {{"Record/20240612_081500_NF.mp4", kRec, true},
                    {"Record/20240612_081500_NR.mp4", kRec, false},
                    {"Record/20240612_081500_NI.mp4", kRec, false},
                    {"Record/20240612_081502_EF.mp4", kEvent, true},
                    {"Record/20240612_081502_ER.mp4", kEvent, false},
                    {"Record/20240612_081502_EI.mp4", kEvent, false},
                    {"Record/20240612_081504_MF.mp4", kManual, true},
                    {"Record/20240612_081504_MR.mp4", kManual, false},
                    {"Record/20240612_081504_MI.mp4", kManual, false}}},
        // Thinkware's cameras have no interior one: --interior adds nothing.
        FamilyCase{"thinkware",
                   "--family thinkware --interior",
                   "h264",
                   true,
                   {{"cont_rec/REC_2024_06_12_08_15_00_F.MP4", kRec, true},
                    {"cont_rec/REC_2024_06_12_08_15_00_R.MP4", kRec, false},
                    {"evt_rec/EVT_2024_06_12_08_15_02_F.MP4", kEvent, true},
                    {"evt_rec/EVT_2024_06_12_08_15_02_R.MP4", kEvent, false},
                    {"manual_rec/MAN_2024_06_12_08_15_04_F.MP4", kManual, true},
                    {"manual_rec/MAN_2024_06_12_08_15_04_R.MP4", kManual, false},
                    {"parking_rec/MOT_2024_06_12_08_15_23_F.MP4", kParkAfter3, true},
                    {"parking_rec/MOT_2024_06_12_08_15_23_R.MP4", kParkAfter3, false}}},
        FamilyCase{"70mai",
                   "--family 70mai --interior --kinds REC,EVENT",
                   "h264",
                   true,
                   {{"Normal/Front/NO20240612-081500-000001F.MP4", kRec, true},
                    {"Normal/Back/NO20240612-081500-000001B.MP4", kRec, false},
                    {"Normal/Interior/NO20240612-081500-000001I.MP4", kRec, false},
                    {"Event/Front/EV20240612-081502-000002F.MP4", kEvent, true},
                    {"Event/Back/EV20240612-081502-000002B.MP4", kEvent, false},
                    {"Event/Interior/EV20240612-081502-000002I.MP4", kEvent, false}}},
        // Four cameras whatever --rear says, and no sound; the event folders are named by the
        // clock at the end of the clips they hold.
        FamilyCase{"tesla",
                   "--family tesla --kinds REC,MANUAL,PARKING",
                   "h264",
                   false,
                   {{"TeslaCam/RecentClips/2024-06-12_08-15-00-front.mp4", kRec, true},
                    {"TeslaCam/RecentClips/2024-06-12_08-15-00-back.mp4", kRec, false},
                    {"TeslaCam/RecentClips/2024-06-12_08-15-00-left_repeater.mp4", kRec, false},
                    {"TeslaCam/RecentClips/2024-06-12_08-15-00-right_repeater.mp4", kRec, false},
                    {"TeslaCam/SavedClips/2024-06-12_08-15-04/2024-06-12_08-15-02-front.mp4",
                     kEvent, true},
                    {"TeslaCam/SavedClips/2024-06-12_08-15-04/2024-06-12_08-15-02-back.mp4", kEvent,
                     false},
                    {"TeslaCam/SavedClips/2024-06-12_08-15-04/"
                     "2024-06-12_08-15-02-left_repeater.mp4",
                     kEvent, false},
                    {"TeslaCam/SavedClips/2024-06-12_08-15-04/"
                     "2024-06-12_08-15-02-right_repeater.mp4",
                     kEvent, false},
                    {"TeslaCam/SentryClips/2024-06-12_08-15-23/2024-06-12_08-15-21-front.mp4",
                     kParkAfter2, true},
                    {"TeslaCam/SentryClips/2024-06-12_08-15-23/2024-06-12_08-15-21-back.mp4",
                     kParkAfter2, false},
                    {"TeslaCam/SentryClips/2024-06-12_08-15-23/"
                     "2024-06-12_08-15-21-left_repeater.mp4",
                     kParkAfter2, false},
                    {"TeslaCam/SentryClips/2024-06-12_08-15-23/"
                     "2024-06-12_08-15-21-right_repeater.mp4",
                     kParkAfter2, false}}},
        // The clock is in creation_time alone.
        FamilyCase{"garmin",
                   "--family garmin",
                   "h264",
                   true,
                   {{"DCIM/100UNSVD/GRMN0001.MP4", kRec, true},
                    {"DCIM/100EVENT/GRMN0002.MP4", kEvent, true},
                    {"DCIM/100SAVED/GRMN0003.MP4", kManual, true},
                    {"DCIM/100PARKM/GRMN0004.MP4", kParkAfter3, true}}},
        FamilyCase{"generic",
                   "--family generic --count 2 --kinds REC",
                   "h264",
                   true,
                   {{"Videos/VID_20240612_081500.mp4", kRec, true},
                    // The second of two recordings goes on the next day.
                    {"Videos/trips/MOVI0002.mp4", "2024-06-13T08:15:00", true}}}),
    [](const ::testing::TestParamInfo<FamilyCase>& info) { return info.param.name; });

TEST_F(ToolsTest, TeslaEventFoldersNameTheirEvent) {
  MakeCard(card(),
           "--family tesla --kinds MANUAL,PARKING --seconds 2 --count 1 --front 160x90 "
           "--no-damaged");
  struct Event {
    const char* folder;
    const char* reason;
  };
  for (const Event& e :
       {Event{"TeslaCam/SavedClips/2024-06-12_08-15-02", "user_interaction_dashcam_icon_tapped"},
        Event{"TeslaCam/SentryClips/2024-06-12_08-15-21", "sentry_aware_object_detection"}}) {
    SCOPED_TRACE(e.folder);
    const auto event =
        nlohmann::json::parse(ReadFile(card() / e.folder / "event.json"), nullptr, false);
    ASSERT_TRUE(event.is_object());
    // The folder's name is the event's clock.
    std::string stamp = fs::path(e.folder).filename().string();
    stamp[10] = 'T';
    stamp[13] = stamp[16] = ':';
    EXPECT_EQ(event.value("timestamp", ""), stamp);
    EXPECT_EQ(event.value("reason", ""), e.reason);
    // Near Seoul City Hall, where the drive goes round.
    EXPECT_NEAR(std::stod(event.value("est_lat", "0")), 37.5665, 0.05);
    EXPECT_NEAR(std::stod(event.value("est_lon", "0")), 126.978, 0.05);
  }
}

// The power loss cuts the front file of a recording short: an MP4's or MOV's index, written at
// its end, is gone, a transport stream ends inside a packet; its other cameras' files are whole.
TEST_F(ToolsTest, PowerLossLeavesTheFrontFileWithoutItsIndex) {
  NeedFfmpeg();
  MakeCard(card(),
           "--family novatek --kinds REC --seconds 2 --count 1 --front 320x180 "
           "--rear-size 160x90 --rear yes");
  const fs::path movie = card() / "DCIM/Movie";
  const Outcome cut =
      RunCommand("ffprobe -v error " + Quote((movie / "2024_0612_081502_002F.MP4").string()), true);
  EXPECT_NE(cut.exitCode, 0);
  EXPECT_NE(cut.out.find("moov atom not found"), std::string::npos) << cut.out;
  const Probed rear = FfprobeJson(movie / "2024_0612_081502_002R.MP4");
  EXPECT_EQ(rear.warnings, "");
  EXPECT_NEAR(std::stod(rear.json["format"].value("duration", "0")), 2.0, 1.0 / 30);

  MakeCard(out(),
           "--family generic --container ts --kinds REC --seconds 2 --count 1 "
           "--front 320x180");
  constexpr std::uintmax_t kTsPacket = 188;
  EXPECT_EQ(fs::file_size(out() / "Videos/VID_20240612_081500.ts") % kTsPacket, 0u);
  EXPECT_NE(fs::file_size(out() / "Videos/trips/MOVI0002.ts") % kTsPacket, 0u);
}

// A Novatek-based camera may write MOV or MPEG-TS instead; the other families only MP4 (generic
// folders hold any of the three).
TEST_F(ToolsTest, NovatekCardsComeInMovAndTransportStreams) {
  NeedFfmpeg();
  struct Case {
    const char* container;
    const char* extension;
    const char* format;  // ffprobe's format_name holds it
  };
  for (const Case& c : {Case{"mov", ".MOV", "mov"}, Case{"ts", ".TS", "mpegts"}}) {
    SCOPED_TRACE(c.container);
    const fs::path dir = tmp_.path() / c.container;
    MakeCard(dir, std::string("--family novatek --kinds REC --seconds 2 --count 1 --no-damaged "
                              "--front 320x180 --rear-size 160x90 --rear yes --container ") +
                      c.container);
    for (const char* camera : {"F", "R"}) {
      const fs::path file =
          dir / (std::string("DCIM/Movie/2024_0612_081500_001") + camera + c.extension);
      const Probed p = FfprobeJson(file);
      EXPECT_EQ(p.warnings, "") << file;
      ASSERT_TRUE(p.json.contains("format")) << file;
      EXPECT_NE(p.json["format"].value("format_name", "").find(c.format), std::string::npos);
      EXPECT_EQ(CodecsOf(p.json, "audio").size(), camera[0] == 'F' ? 1u : 0u) << file;
      EXPECT_NEAR(std::stod(p.json["format"].value("duration", "0")), 2.0, 1.0 / 30) << file;
    }
  }
}

// A rear camera that starts late: its file's pictures start that much after the front file's, on
// the same clock, in an MP4 file (its edit list) and in a transport stream alike.
TEST_F(ToolsTest, ALateRearCamerasPicturesStartThatLateInItsFile) {
  NeedFfmpeg();
  for (const char* container : {"mp4", "ts"}) {
    SCOPED_TRACE(container);
    const fs::path dir = tmp_.path() / container;
    MakeCard(dir, std::string("--family novatek --kinds REC --seconds 2 --count 1 --no-damaged "
                              "--front 320x180 --rear-size 160x90 --rear yes --rear-late 400 "
                              "--container ") +
                      container);
    const std::string stem = (dir / "DCIM/Movie/2024_0612_081500_001").string();
    const std::string extension = std::string(".") + (container[0] == 'm' ? "MP4" : "TS");
    auto pictureStart = [&](const char* camera) {
      const Probed p = FfprobeJson(stem + camera + extension);
      EXPECT_EQ(p.warnings, "");
      for (const auto& stream : p.json.value("streams", nlohmann::json::array())) {
        if (stream.value("codec_type", "") == "video") {
          return std::stod(stream.value("start_time", "-1"));
        }
      }
      return -1.0;
    };
    EXPECT_NEAR(pictureStart("R") - pictureStart("F"), 0.4, 0.001);
  }
}

// The beep that starts each whole second stays on the second in the front file's AAC sound, the
// encoder's priming cut off by the container.
TEST_F(ToolsTest, FamilySoundBeepsOnTheWholeSeconds) {
  NeedFfmpeg();
  MakeCard(card(),
           "--family blackvue --kinds REC --seconds 3 --count 1 --front 320x180 "
           "--no-damaged");
  const fs::path raw = tmp_.path() / "sound.raw";
  const Outcome r = RunCommand("ffmpeg -v error -i " +
                               Quote((card() / "Record/20240612_081500_NF.mp4").string()) +
                               " -f s16le -ac 1 -ar 48000 -y " + Quote(raw.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::string bytes = ReadFile(raw);
  auto sample = [&](std::size_t i) {
    return std::int16_t(std::uint16_t(std::uint8_t(bytes[2 * i])) |
                        std::uint16_t(std::uint8_t(bytes[2 * i + 1]) << 8));
  };
  const std::size_t count = bytes.size() / 2;
  ASSERT_GE(count, 3u * 48000);
  for (std::size_t second = 0; second < 3; ++second) {
    // The first sample well above the hum and noise, from half a beep before the second.
    const std::size_t from = second * 48000 - (second > 0 ? 1200 : 0);
    std::size_t loud = from;
    while (loud < count && std::abs(sample(loud)) < 4000) ++loud;
    EXPECT_NEAR(double(loud), double(second * 48000), 48.0) << "second " << second;
  }
}

TEST_F(ToolsTest, MkcardRefusesUnknownFamiliesAndContainersTheyLack) {
  Outcome r =
      RunCommand(Quote(Mkcard()) + " " + Quote(card().string()) + " --family minolta", true);
  EXPECT_EQ(r.exitCode, 2);
  for (const char* name : {"vex", "novatek", "vantrue", "blackvue", "thinkware", "70mai", "tesla",
                           "garmin", "generic"}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << name << " missing from: " << r.out;
  }
  r = RunCommand(
      Quote(Mkcard()) + " " + Quote(card().string()) + " --family vantrue --container mov", true);
  EXPECT_EQ(r.exitCode, 2) << r.out;
  // A VEX recording's cameras share one file.
  r = RunCommand(Quote(Mkcard()) + " " + Quote(card().string()) + " --rear-late 400", true);
  EXPECT_EQ(r.exitCode, 2) << r.out;
  EXPECT_NE(r.out.find("--rear-late"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(card()));
}

}  // namespace
}  // namespace tools_test

namespace tools_test {

// The whole-second mark survives H.265 in a family's MP4: the corner is light on each whole
// second's picture and dark on every other, as ffmpeg decodes it.
TEST_F(ToolsTest, AnH265FamilyCardCarriesTheWholeSecondFlash) {
  NeedFfmpeg();
  MakeCard(card(),
           "--family 70mai --codec h265 --kinds REC --count 1 --seconds 2 "
           "--front 320x180 --rear no --no-damaged");
  const fs::path front = card() / "Normal/Front/NO20240612-081500-000001F.MP4";
  ASSERT_TRUE(fs::exists(front));
  // Inside the 44-pixel square of a 320x180 picture.
  const Outcome grey = RunCommand("ffmpeg -nostdin -v error -i " + Quote(front.string()) +
                                  " -vf \"format=gray,crop=32:32:iw-38:6\" -f rawvideo -pix_fmt "
                                  "gray -");
  ASSERT_EQ(grey.exitCode, 0);
  const std::size_t side = 32 * 32;
  ASSERT_EQ(grey.out.size(), 60 * side);
  for (std::size_t f = 0; f < 60; ++f) {
    double sum = 0;
    for (std::size_t i = 0; i < side; ++i)
      sum += static_cast<unsigned char>(grey.out[f * side + i]);
    if (f % 30 == 0) {
      EXPECT_GE(sum / side, 200) << "picture " << f;
    } else {
      EXPECT_LE(sum / side, 40) << "picture " << f;
    }
  }
}

}  // namespace tools_test
