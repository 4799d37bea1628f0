// SPDX-License-Identifier: GPL-3.0-or-later
// Snapshot evidence as EXIF tags, read back by outside programs: exiftool for the tags and its
// warnings, ImageMagick for the picture itself.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/SnapshotExif.h"
#include "support/testing/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Tags = std::map<std::string, std::string>;
using roadeye_test::TempDir;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Outcome {
  int exitCode = -1;
  std::string out;
};

Outcome RunCommand(const std::string& command) {
  Outcome r;
  std::FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool HaveProgram(const char* name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool WriteBytes(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  return bool(out);
}

// "Name: value" lines of `exiftool -S` as a map.
Tags ParseTags(const std::string& text) {
  Tags tags;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::size_t colon = line.find(": ");
    if (colon != std::string::npos) tags[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return tags;
}

// Every EXIF tag of the file, numbers as numbers (-n).
Tags ExifTags(const fs::path& file) {
  Outcome r = RunCommand("exiftool -a -n -S -EXIF:all " + Quote(file.string()));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  return ParseTags(r.out);
}

double Number(const Tags& tags, const std::string& name) {
  auto it = tags.find(name);
  if (it == tags.end()) return kNaN;
  return std::strtod(it->second.c_str(), nullptr);
}

int GpsTagCount(const Tags& tags) {
  int n = 0;
  for (const auto& [name, value] : tags) n += name.rfind("GPS", 0) == 0;
  return n;
}

SnapshotEvidence SeoulEvidence() {
  SnapshotEvidence e;
  e.year = 2024;
  e.month = 6;
  e.day = 12;
  e.hour = 8;
  e.minute = 15;
  e.second = 7;
  e.fix.valid = true;
  e.fix.latitude = 37.5665123;
  e.fix.longitude = 126.9780456;
  e.fix.speed = 47.3;
  e.fix.year = 2024;
  e.fix.month = 6;
  e.fix.day = 11;
  e.fix.hour = 23;
  e.fix.minute = 15;
  e.fix.second = 7.25;
  e.make = "Roadcam";
  e.model = "RE-2CH";
  e.software = "Roadeye 0.1.0";
  e.description = "REC_20240612_081500_D.avi";
  return e;
}

class SnapshotExifTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    for (const char* tool : {"exiftool", "convert", "identify"}) {
      if (!HaveProgram(tool)) GTEST_SKIP() << "no " << tool;
    }
    // A real JPEG as a camera or an encoder writes it: no EXIF segment yet.
    original_ = tmp_.path() / "original.jpg";
    Outcome r = RunCommand("convert -size 160x120 gradient:white-navy -quality 90 " +
                           Quote(original_.string()));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    jpeg_ = ReadBytes(original_);
    ASSERT_GT(jpeg_.size(), 100u);
    ASSERT_TRUE(ExifTags(original_).count("DateTimeOriginal") == 0);
  }

  // Adds the evidence to the original picture and writes the result as `name`.
  fs::path Tagged(const SnapshotEvidence& e, const std::string& name = "tagged.jpg") {
    Bytes b = jpeg_;
    EXPECT_TRUE(AddSnapshotExif(&b, e));
    EXPECT_NE(b, jpeg_);
    fs::path p = tmp_.path() / name;
    EXPECT_TRUE(WriteBytes(p, b));
    return p;
  }

  // exiftool finds nothing wrong with the file's structure and ImageMagick still decodes the same
  // picture from it, pixel for pixel.
  void ExpectSoundFile(const fs::path& file) {
    Outcome check = RunCommand("exiftool -validate -warning -error -a -S " + Quote(file.string()));
    EXPECT_EQ(check.exitCode, 0) << check.out;
    EXPECT_EQ(check.out, "Validate: OK\n") << file;
    Outcome size = RunCommand("identify -format '%m %wx%h' " + Quote(file.string()));
    EXPECT_EQ(size.exitCode, 0) << size.out;
    EXPECT_EQ(size.out, "JPEG 160x120");
    Outcome a = RunCommand("convert " + Quote(original_.string()) + " rgb:-");
    Outcome b = RunCommand("convert " + Quote(file.string()) + " rgb:-");
    EXPECT_EQ(a.out.size(), 160u * 120u * 3u);
    EXPECT_TRUE(a.out == b.out) << "the picture changed";
  }

  TempDir tmp_{"exif"};
  fs::path original_;
  Bytes jpeg_;
};

TEST_F(SnapshotExifTest, WritesDateCameraSoftwareAndRecording) {
  fs::path file = Tagged(SeoulEvidence());
  ExpectSoundFile(file);
  Tags t = ExifTags(file);
  EXPECT_EQ(t["DateTimeOriginal"], "2024:06:12 08:15:07");
  EXPECT_EQ(t["ModifyDate"], "2024:06:12 08:15:07");  // Exif.Image.DateTime
  EXPECT_EQ(t["Make"], "Roadcam");
  EXPECT_EQ(t["Model"], "RE-2CH");
  EXPECT_EQ(t["Software"], "Roadeye 0.1.0");
  EXPECT_EQ(t["ImageDescription"], "REC_20240612_081500_D.avi");
}

TEST_F(SnapshotExifTest, EmptyMakeAndModelAreLeftOut) {
  SnapshotEvidence e = SeoulEvidence();
  e.make.clear();
  e.model.clear();
  fs::path file = Tagged(e);
  ExpectSoundFile(file);
  Tags t = ExifTags(file);
  EXPECT_EQ(t.count("Make"), 0u);
  EXPECT_EQ(t.count("Model"), 0u);
  EXPECT_EQ(t["Software"], "Roadeye 0.1.0");
}

TEST_F(SnapshotExifTest, WithoutAFixThereIsNoGpsTagAtAll) {
  SnapshotEvidence e = SeoulEvidence();
  e.fix.valid = false;  // the other fields still hold numbers: they must not be written
  fs::path file = Tagged(e);
  ExpectSoundFile(file);
  Tags t = ExifTags(file);
  EXPECT_EQ(GpsTagCount(t), 0);
  Tags composite =
      ParseTags(RunCommand("exiftool -n -S -Composite:all " + Quote(file.string())).out);
  EXPECT_EQ(GpsTagCount(composite), 0);
  EXPECT_EQ(t["DateTimeOriginal"], "2024:06:12 08:15:07");
}

TEST_F(SnapshotExifTest, TagsAlreadyInThePictureAreKept) {
  Outcome r = RunCommand("exiftool -q -overwrite_original -Artist=Somebody -Copyright=Nobody " +
                         Quote(original_.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  jpeg_ = ReadBytes(original_);
  fs::path file = Tagged(SeoulEvidence());
  Tags t = ExifTags(file);
  EXPECT_EQ(t["Artist"], "Somebody");
  EXPECT_EQ(t["Copyright"], "Nobody");
  EXPECT_EQ(t["Model"], "RE-2CH");
}

TEST_F(SnapshotExifTest, AddingAgainReplacesTheValues) {
  Bytes b = jpeg_;
  SnapshotEvidence e = SeoulEvidence();
  ASSERT_TRUE(AddSnapshotExif(&b, e));
  e.description = "EVENT_20240612_081600.avi";
  e.fix.latitude = -12.5;
  ASSERT_TRUE(AddSnapshotExif(&b, e));
  fs::path file = tmp_.path() / "twice.jpg";
  ASSERT_TRUE(WriteBytes(file, b));
  ExpectSoundFile(file);
  Tags t = ExifTags(file);
  EXPECT_EQ(t["ImageDescription"], "EVENT_20240612_081600.avi");
  EXPECT_EQ(t["GPSLatitudeRef"], "S");
  EXPECT_NEAR(Number(t, "GPSLatitude"), 12.5, 1e-9);
  // One of each: exiftool lists a repeated tag once per copy with -a.
  Outcome all = RunCommand("exiftool -a -S -ImageDescription " + Quote(file.string()));
  EXPECT_EQ(all.out, "ImageDescription: EVENT_20240612_081600.avi\n");
}

// ---- The fix, everywhere on the globe -----------------------------------------------------------

struct FixCase {
  const char* name;
  double latitude, longitude, speed;
  bool mph;
  int hour, minute;
  double second;
  const char* timeStamp;  // as exiftool gives GPSTimeStamp
};

void PrintTo(const FixCase& c, std::ostream* os) { *os << c.name; }

class SnapshotFixTest : public SnapshotExifTest, public ::testing::WithParamInterface<FixCase> {};

TEST_P(SnapshotFixTest, PositionSpeedAndTimeReadBack) {
  const FixCase& c = GetParam();
  SnapshotEvidence e = SeoulEvidence();
  e.fix.latitude = c.latitude;
  e.fix.longitude = c.longitude;
  e.fix.speed = c.speed;
  e.fix.mph = c.mph;
  e.fix.hour = c.hour;
  e.fix.minute = c.minute;
  e.fix.second = c.second;
  fs::path file = Tagged(e);
  ExpectSoundFile(file);

  Tags t = ExifTags(file);
  EXPECT_EQ(t["GPSVersionID"], "2 3 0 0");
  EXPECT_EQ(t["GPSLatitudeRef"], c.latitude < 0 ? "S" : "N");
  EXPECT_EQ(t["GPSLongitudeRef"], c.longitude < 0 ? "W" : "E");
  EXPECT_NEAR(Number(t, "GPSLatitude"), std::fabs(c.latitude), 1e-6);
  EXPECT_NEAR(Number(t, "GPSLongitude"), std::fabs(c.longitude), 1e-6);
  EXPECT_EQ(t["GPSSpeedRef"], c.mph ? "M" : "K");
  EXPECT_NEAR(Number(t, "GPSSpeed"), c.speed, 1e-3);
  EXPECT_EQ(t["GPSTimeStamp"], c.timeStamp);
  EXPECT_EQ(t["GPSDateStamp"], "2024:06:11");

  // exiftool's signed position, made from the value and its reference.
  Tags composite =
      ParseTags(RunCommand("exiftool -n -S -Composite:GPSLatitude -Composite:GPSLongitude " +
                           Quote(file.string()))
                    .out);
  EXPECT_NEAR(Number(composite, "GPSLatitude"), c.latitude, 1e-6);
  EXPECT_NEAR(Number(composite, "GPSLongitude"), c.longitude, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Globe, SnapshotFixTest,
    ::testing::Values(
        FixCase{"NorthEast", 37.5665123, 126.9780456, 47.3, false, 23, 15, 7.25, "23:15:07.25"},
        FixCase{"SouthWest", -34.6037345, -58.3815591, 80, true, 0, 0, 0, "00:00:00"},
        FixCase{"NorthWest", 40.7127753, -74.0059728, 0, false, 12, 59, 59.5, "12:59:59.5"},
        FixCase{"SouthEast", -33.8688197, 151.2092955, 112.75, false, 9, 5, 3, "09:05:03"},
        FixCase{"Poles", 89.9999999, -179.9999999, 1.2, true, 1, 2, 3.004, "01:02:03.004"},
        FixCase{"Equator", 0.0000005, 0, 999, false, 23, 59, 59.9996, "23:59:59.999"},
        FixCase{"Edges", -90, 180, 5.5, false, 6, 30, 30, "06:30:30"}),
    [](const ::testing::TestParamInfo<FixCase>& info) { return std::string(info.param.name); });

// ---- Values that make no sense --------------------------------------------------------------

struct HostileCase {
  const char* name;
  std::function<void(SnapshotEvidence*)> damage;
  std::vector<const char*> absent;   // tags that must not be written
  std::vector<const char*> present;  // tags that are still written
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class SnapshotHostileTest : public SnapshotExifTest,
                            public ::testing::WithParamInterface<HostileCase> {};

TEST_P(SnapshotHostileTest, NonsenseIsLeftOutAndTheFileStaysSound) {
  const HostileCase& c = GetParam();
  SnapshotEvidence e = SeoulEvidence();
  c.damage(&e);
  fs::path file = Tagged(e);
  ExpectSoundFile(file);
  Tags t = ExifTags(file);
  for (const char* tag : c.absent) EXPECT_EQ(t.count(tag), 0u) << tag << " = " << t[tag];
  for (const char* tag : c.present) EXPECT_EQ(t.count(tag), 1u) << tag;
  for (const auto& [name, value] : t) {
    for (char ch : value) {
      EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) << name << ": " << value;
    }
  }
}

const std::vector<const char*> kPosition = {"GPSVersionID",    "GPSLatitudeRef", "GPSLatitude",
                                            "GPSLongitudeRef", "GPSLongitude",   "GPSSpeed",
                                            "GPSTimeStamp",    "GPSDateStamp"};

INSTANTIATE_TEST_SUITE_P(
    Cards, SnapshotHostileTest,
    ::testing::Values(HostileCase{"LatitudeNaN",
                                  [](SnapshotEvidence* e) { e->fix.latitude = kNaN; },
                                  kPosition,
                                  {"DateTimeOriginal", "Model"}},
                      HostileCase{"LongitudeInfinite",
                                  [](SnapshotEvidence* e) { e->fix.longitude = -kInf; },
                                  kPosition,
                                  {"DateTimeOriginal"}},
                      HostileCase{"LatitudeBeyondThePole",
                                  [](SnapshotEvidence* e) { e->fix.latitude = 90.001; },
                                  kPosition,
                                  {"DateTimeOriginal"}},
                      HostileCase{"LongitudeHuge",
                                  [](SnapshotEvidence* e) { e->fix.longitude = 1e300; },
                                  kPosition,
                                  {"DateTimeOriginal"}},
                      HostileCase{"SpeedNaN",
                                  [](SnapshotEvidence* e) { e->fix.speed = kNaN; },
                                  {"GPSSpeed", "GPSSpeedRef"},
                                  {"GPSLatitude", "GPSTimeStamp"}},
                      HostileCase{"SpeedInfinite",
                                  [](SnapshotEvidence* e) { e->fix.speed = kInf; },
                                  {"GPSSpeed", "GPSSpeedRef"},
                                  {"GPSLongitude"}},
                      HostileCase{"SpeedNegative",
                                  [](SnapshotEvidence* e) { e->fix.speed = -3; },
                                  {"GPSSpeed", "GPSSpeedRef"},
                                  {"GPSLongitude"}},
                      HostileCase{"SpeedHuge",
                                  [](SnapshotEvidence* e) { e->fix.speed = 4e9; },
                                  {"GPSSpeed", "GPSSpeedRef"},
                                  {"GPSLongitude"}},
                      HostileCase{"FixDateThatDoesNotExist",
                                  [](SnapshotEvidence* e) {
                                    e->fix.month = 2;
                                    e->fix.day = 30;
                                  },
                                  {"GPSDateStamp"},
                                  {"GPSTimeStamp", "GPSLatitude"}},
                      HostileCase{"FixYearZero",
                                  [](SnapshotEvidence* e) { e->fix.year = 0; },
                                  {"GPSDateStamp"},
                                  {"GPSTimeStamp"}},
                      HostileCase{"FixHour24",
                                  [](SnapshotEvidence* e) { e->fix.hour = 24; },
                                  {"GPSTimeStamp"},
                                  {"GPSDateStamp"}},
                      HostileCase{"FixSecondNaN",
                                  [](SnapshotEvidence* e) { e->fix.second = kNaN; },
                                  {"GPSTimeStamp"},
                                  {"GPSDateStamp"}},
                      HostileCase{"FixSecond60",
                                  [](SnapshotEvidence* e) { e->fix.second = 60; },
                                  {"GPSTimeStamp"},
                                  {"GPSDateStamp"}},
                      HostileCase{"FixMinuteNegative",
                                  [](SnapshotEvidence* e) { e->fix.minute = -1; },
                                  {"GPSTimeStamp"},
                                  {"GPSDateStamp"}},
                      HostileCase{"LocalDateUnset",
                                  [](SnapshotEvidence* e) { e->year = e->month = e->day = 0; },
                                  {"DateTimeOriginal", "ModifyDate"},
                                  {"GPSDateStamp", "Software"}},
                      HostileCase{"LocalMonth13",
                                  [](SnapshotEvidence* e) { e->month = 13; },
                                  {"DateTimeOriginal", "ModifyDate"},
                                  {"Model"}},
                      HostileCase{"LocalFebruary29OfNoLeapYear",
                                  [](SnapshotEvidence* e) {
                                    e->year = 2023;
                                    e->month = 2;
                                    e->day = 29;
                                  },
                                  {"DateTimeOriginal", "ModifyDate"},
                                  {"Model"}},
                      HostileCase{"LocalSecond61",
                                  [](SnapshotEvidence* e) { e->second = 61; },
                                  {"DateTimeOriginal", "ModifyDate"},
                                  {"Model"}},
                      HostileCase{"LocalYearHuge",
                                  [](SnapshotEvidence* e) { e->year = 2000000000; },
                                  {"DateTimeOriginal", "ModifyDate"},
                                  {"Model"}},
                      HostileCase{"TextsOfControlCharactersOnly",
                                  [](SnapshotEvidence* e) {
                                    e->make = "\r\n\t";
                                    e->model = std::string(1, '\0') + "\x1b\x7f";
                                    e->description = "\xc2\x85\xc2\x9f";  // C1 control characters
                                  },
                                  {"Make", "Model", "ImageDescription"},
                                  {"Software", "DateTimeOriginal"}},
                      HostileCase{"TextsLongAndBroken",
                                  [](SnapshotEvidence* e) {
                                    e->make = std::string(100000, 'M');
                                    e->model = "\xff\xfe\xc0\xaf" + std::string(5000, '\x01') +
                                               "\xed\xa0\x80";
                                    e->description = std::string(300, '\n') + "name.avi\r\n";
                                  },
                                  {"Model"},
                                  {"Make", "ImageDescription"}}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

TEST_F(SnapshotExifTest, TextsLoseControlCharactersAndAreCut) {
  SnapshotEvidence e = SeoulEvidence();
  e.make = "Road\r\ncam\x01\x1b[0m";
  e.model = std::string(254, 'x') + "\xea\xb0\x80";  // a 3-byte character that would cross 255
  e.software = std::string(10000, 'S');
  e.description =
      "\xeb\xb8\x94\xeb\x9e\x99\xeb\xb0\x95\xec\x8a\xa4 \xff"
      "1.avi";
  fs::path file = Tagged(e);
  ExpectSoundFile(file);
  Tags t = ExifTags(file);
  EXPECT_EQ(t["Make"], "Roadcam[0m");
  EXPECT_EQ(t["Model"], std::string(254, 'x'));
  EXPECT_EQ(t["Software"], std::string(kSnapshotTextMax, 'S'));
  EXPECT_EQ(t["ImageDescription"], "\xeb\xb8\x94\xeb\x9e\x99\xeb\xb0\x95\xec\x8a\xa4 1.avi");
}

TEST(SnapshotExifText, KeepsUtf8AndDropsWhatIsNoText) {
  EXPECT_EQ(SnapshotExifText("plain text 123"), "plain text 123");
  EXPECT_EQ(SnapshotExifText("a\tb\nc\rd\x7f"
                             "e"),
            "abcde");
  EXPECT_EQ(SnapshotExifText("\xea\xb0\x80\xeb\x82\x98"), "\xea\xb0\x80\xeb\x82\x98");
  EXPECT_EQ(SnapshotExifText("\xc3\xa9t\xc3\xa9"), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(SnapshotExifText("\xf0\x9f\x9a\x97"), "\xf0\x9f\x9a\x97");
  // Overlong forms, surrogates, lone continuation bytes, cut sequences and C1 controls go.
  EXPECT_EQ(SnapshotExifText("a\xc0\xaf"
                             "b\xed\xa0\x80"
                             "c\x80"
                             "d\xe0\x80\x80"
                             "e\xea\xb0"),
            "abcde");
  EXPECT_EQ(SnapshotExifText("x\xc2\x85y\xc2\xa0z"), "xy\xc2\xa0z");
  EXPECT_EQ(SnapshotExifText("\xf4\x90\x80\x80q"), "q");
  EXPECT_EQ(SnapshotExifText(std::string(300, 'a')).size(), kSnapshotTextMax);
  EXPECT_EQ(SnapshotExifText(std::string(253, 'a') + "\xf0\x9f\x9a\x97"), std::string(253, 'a'));
  EXPECT_EQ(SnapshotExifText(std::string(251, 'a') + "\xf0\x9f\x9a\x97").size(), 255u);
}

// ---- Data that is no JPEG ---------------------------------------------------------------------

struct NotJpegCase {
  const char* name;
  std::function<Bytes(const Bytes& jpeg, const fs::path& dir)> make;
};

void PrintTo(const NotJpegCase& c, std::ostream* os) { *os << c.name; }

class SnapshotNotJpegTest : public SnapshotExifTest,
                            public ::testing::WithParamInterface<NotJpegCase> {};

TEST_P(SnapshotNotJpegTest, IsRefusedAndLeftAsItWas) {
  Bytes data = GetParam().make(jpeg_, tmp_.path());
  const Bytes before = data;
  EXPECT_FALSE(AddSnapshotExif(&data, SeoulEvidence()));
  EXPECT_EQ(data, before);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SnapshotNotJpegTest,
    ::testing::Values(NotJpegCase{"Empty", [](const Bytes&, const fs::path&) { return Bytes(); }},
                      NotJpegCase{"Text",
                                  [](const Bytes&, const fs::path&) {
                                    std::string s = "not a picture at all";
                                    return Bytes(s.begin(), s.end());
                                  }},
                      NotJpegCase{"Png",
                                  [](const Bytes&, const fs::path& dir) {
                                    fs::path png = dir / "picture.png";
                                    RunCommand("convert -size 32x24 gradient:red-blue " +
                                               Quote(png.string()));
                                    Bytes b = ReadBytes(png);
                                    EXPECT_GT(b.size(), 8u);
                                    return b;
                                  }},
                      NotJpegCase{"JpegStartOnly",
                                  [](const Bytes& jpeg, const fs::path&) {
                                    return Bytes(jpeg.begin(), jpeg.begin() + 3);
                                  }},
                      NotJpegCase{"JpegStartThenGarbage",
                                  [](const Bytes&, const fs::path&) {
                                    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x7F, 0xFF};
                                    for (int i = 0; i < 4000; ++i)
                                      b.push_back(static_cast<unsigned char>(i * 37 + 11));
                                    return b;
                                  }},
                      NotJpegCase{"JpegCutInItsHeaders",
                                  [](const Bytes& jpeg, const fs::path&) {
                                    return Bytes(jpeg.begin(), jpeg.begin() + 40);
                                  }}),
    [](const ::testing::TestParamInfo<NotJpegCase>& info) { return std::string(info.param.name); });

TEST(SnapshotExif, NoBufferIsRefused) {
  EXPECT_FALSE(AddSnapshotExif(nullptr, SnapshotEvidence()));
}

}  // namespace
