// SPDX-License-Identifier: GPL-3.0-or-later
// The camera's settings file read, written back and created, on real files in a temporary card
// folder. Whole-file comparisons check that a save touches only the lines it is about.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Profile.h"
#include "settings/CameraSettings.h"
#include "support/Diag.h"
#include "support/testing/SmallFolder.h"

namespace fs = std::filesystem;

namespace {

// A file in which every written key already holds what a save of its own reading writes, among
// lines the viewer does not use.
const std::string kFile =
    "; written by the camera\r\n"
    "[capacity]\r\n"
    "const=40\r\n"
    "event=20\r\n"
    "manual=10\r\n"
    "park=30\r\n"
    "\r\n"
    "[BlackBox]\r\n"
    "vex_update=1\r\n"
    "mic_volume=1\r\n"
    "voice_volume=3\r\n"
    "acc_level=5\r\n"
    "motion_level=3\r\n"
    "mic_in=0\r\n"
    "voice_out=1\r\n"
    "power_off_vlt=12200\r\n"
    "front_led=1\r\n"
    "summer_time=0\r\n"
    "park_mode=1\r\n"
    "OSD_Speed=2\r\n"
    "language=fr\r\n"
    "local_time=9.5\r\n"
    "model=RE-2CH\r\n"
    "version=1.0.0\r\n"
    "gps_sync=1\r\n"
    "\r\n"
    "[wifi]\r\n"
    "ssid=car\n"
    "\r\n"
    "[time]\r\n"
    "set=0\r\n"
    "year=2020\r\n"
    "month=2\r\n"
    "day=29\r\n"
    "hour=24\r\n"
    "min=0\r\n"
    "sec=0\r\n";

// text with the first `from` replaced by `to`.
std::string With(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class CameraSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/roadeye-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    card_ = tmpl;
    fs::create_directories(card_ / "SETTING");
    path_ = CardSettingsPath(card_.string());
    DiagSetOutput(nullptr);  // the voltage diagnostics of every save
  }
  void TearDown() override {
    DiagSetOutput(stdout);
    std::error_code ec;
    fs::remove_all(card_, ec);
  }

  void Put(const std::string& bytes) {
    std::ofstream f(path_, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string Bytes() const {
    std::ifstream f(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  CameraSettings Load() {
    CameraSettings s;
    LoadCameraSettings(path_, &s);
    return s;
  }
  // Puts `file`, reads it and saves what was read.
  SaveResult RoundTrip(const std::string& file) {
    Put(file);
    return SaveCameraSettings(path_, Load());
  }

  fs::path card_;
  std::string path_;
};

TEST_F(CameraSettingsTest, ReadsEveryKeyAndWritesTheFileBackUnchanged) {
  Put(kFile);
  CameraSettings s;
  EXPECT_TRUE(LoadCameraSettings(path_, &s));
  EXPECT_EQ(s.continuousShare, 3);
  EXPECT_EQ(s.eventShare, 1);
  EXPECT_EQ(s.manualShare, 0);
  EXPECT_EQ(s.parkingShare, 2);
  EXPECT_TRUE(CapacitySharesAddUp(s));
  EXPECT_EQ(s.micVolume, 1);
  EXPECT_EQ(s.voiceVolume, 2);
  EXPECT_EQ(s.impactLevel, 3);
  EXPECT_EQ(s.motionLevel, 2);
  EXPECT_FALSE(s.micIn);
  EXPECT_TRUE(s.voiceOut);
  EXPECT_TRUE(s.cutOff);
  EXPECT_EQ(s.cutOffVoltage, 2);
  EXPECT_TRUE(s.frontLed);
  EXPECT_FALSE(s.summerTime);
  EXPECT_TRUE(s.parkMode);
  EXPECT_EQ(s.speedUnit, SpeedUnit::kMph);
  EXPECT_EQ(s.language, kLanguageFrench);
  EXPECT_EQ(s.timeZone, 10);
  EXPECT_STREQ(TimeZoneText(s.timeZone), "(GMT+09:30) Darwin, Adelaide");
  EXPECT_EQ(s.model, "RE-2CH");
  EXPECT_EQ(s.version, "1.0.0");
  EXPECT_EQ(ReadSpeedUnitSetting(path_), 2);

  EXPECT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  EXPECT_EQ(Bytes(), kFile);
}

TEST_F(CameraSettingsTest, ChangedValuesReplaceTheirLinesOnly) {
  Put(kFile);
  CameraSettings s = Load();
  s.continuousShare = 4;  // 50
  s.parkingShare = 1;     // 20
  s.micIn = true;
  s.cutOff = false;
  s.speedUnit = SpeedUnit::kKmh;
  s.timeZone = 2;
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  std::string expected = With(kFile, "const=40", "const=50");
  expected = With(expected, "park=30", "park=20");
  expected = With(expected, "mic_in=0", "mic_in=1");
  expected = With(expected, "power_off_vlt=12200", "power_off_vlt=0");
  expected = With(expected, "OSD_Speed=2", "OSD_Speed=1");  // the file's spelling kept
  expected = With(expected, "local_time=9.5", "local_time=-8.0");
  EXPECT_EQ(Bytes(), expected);
}

TEST_F(CameraSettingsTest, ShareIsItsTensAndIsWrittenBackAsSuch) {
  Put(With(kFile, "const=40", "const=45"));
  EXPECT_EQ(Load().continuousShare, 3);
  EXPECT_EQ(RoundTrip(With(kFile, "const=40", "const=45")), SaveResult::kSaved);
  EXPECT_EQ(Bytes(), kFile);

  for (const char* outside : {"const=9", "const=80", "const=-40", "const=x"}) {
    Put(With(kFile, "const=40", outside));
    EXPECT_EQ(Load().continuousShare, kNoSelection) << outside;
  }
}

TEST_F(CameraSettingsTest, CutOffVoltageSteps) {
  struct Case {
    const char* value;
    bool on;
    int index;
    const char* written;
  };
  for (const Case& c : {Case{"12100", true, 1, "12000"}, Case{"11601", true, 0, "11800"},
                        Case{"12399", true, 2, "12200"}, Case{"0", false, 0, "0"},
                        Case{"-5", false, 0, "0"}, Case{"", false, 0, "0"}}) {
    const std::string file =
        With(kFile, "power_off_vlt=12200", "power_off_vlt=" + std::string(c.value));
    Put(file);
    const CameraSettings s = Load();
    EXPECT_EQ(s.cutOff, c.on) << c.value;
    EXPECT_EQ(s.cutOffVoltage, c.index) << c.value;
    EXPECT_EQ(RoundTrip(file), SaveResult::kSaved);
    EXPECT_EQ(Bytes(),
              With(kFile, "power_off_vlt=12200", "power_off_vlt=" + std::string(c.written)))
        << c.value;
  }
}

TEST_F(CameraSettingsTest, CutOffWithoutAVoltageRefusesTheSaveAndWritesNothing) {
  const std::string file = With(With(kFile, "power_off_vlt=12200", "power_off_vlt=5000"),
                                "const=40\r\nevent=20", "const=50\r\nevent=10");
  Put(file);
  CameraSettings s = Load();
  EXPECT_TRUE(s.cutOff);
  EXPECT_EQ(s.cutOffVoltage, kNoSelection);
  s.micVolume = 3;  // a change that would come before the voltage
  const SaveResult r = SaveCameraSettings(path_, s);
  EXPECT_EQ(r, SaveResult::kNoCutOffVoltage);
  EXPECT_TRUE(IsMissingSelection(r));
  EXPECT_EQ(Bytes(), file);
}

TEST_F(CameraSettingsTest, TimeZoneReadAndWritten) {
  struct Case {
    const char* value;
    int index;
    const char* written;
  };
  for (const Case& c :
       {Case{"-8.0", 2, "-8.0"}, Case{"-10.0", 0, "-10.0"}, Case{"5.5", 0, "-10.0"},
        Case{"0", 7, "0.0"}, Case{"abc", 7, "0.0"}, Case{"+1", 8, "1.0"}, Case{"10", 11, "10.0"},
        Case{"1e30", 0, "-10.0"}, Case{"nan", 0, "-10.0"}, Case{"-1e30", 0, "-10.0"}}) {
    const std::string file = With(kFile, "local_time=9.5", "local_time=" + std::string(c.value));
    Put(file);
    EXPECT_EQ(Load().timeZone, c.index) << c.value;
    EXPECT_EQ(RoundTrip(file), SaveResult::kSaved);
    EXPECT_EQ(Bytes(), With(kFile, "local_time=9.5", "local_time=" + std::string(c.written)))
        << c.value;
  }
  for (int i = 0; i < kTimeZoneCount; ++i) {
    EXPECT_EQ(TimeZoneIndexFromHours(TimeZoneHoursFromIndex(i)), i);
  }
  EXPECT_EQ(TimeZoneHoursFromIndex(kNoSelection), 0.0f);
  EXPECT_EQ(TimeZoneHoursFromIndex(kTimeZoneCount), 0.0f);
}

TEST_F(CameraSettingsTest, LanguageByItsFirstTwoLetters) {
  struct Case {
    const char* value;
    int index;
    const char* written;
  };
  for (const Case& c : {Case{"FR", 1, "fr"}, Case{"fr", 1, "fr"}, Case{"de", 1, "fr"},
                        Case{"u", 1, "fr"}, Case{"US", 0, "us"}, Case{"usa", 0, "us"}}) {
    const std::string file = With(kFile, "language=fr", "language=" + std::string(c.value));
    Put(file);
    EXPECT_EQ(Load().language, c.index) << c.value;
    EXPECT_EQ(RoundTrip(file), SaveResult::kSaved);
    EXPECT_EQ(Bytes(), With(kFile, "language=fr", "language=" + std::string(c.written))) << c.value;
  }
  CameraSettings s = Load();
  s.language = 5;
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  EXPECT_EQ(Bytes(), With(kFile, "language=fr", "language=us"));
}

TEST_F(CameraSettingsTest, SlidersFlagsAndSpeedUnit) {
  Put(With(
      With(With(With(With(kFile, "mic_volume=1", "mic_volume=2"), "front_led=1", "front_led=2"),
                "summer_time=0", "summer_time=2"),
           "mic_in=0", "mic_in=7"),
      "OSD_Speed=2", "OSD_Speed=3"));
  CameraSettings s = Load();
  EXPECT_EQ(s.micVolume, 3);
  EXPECT_TRUE(s.micIn);
  EXPECT_TRUE(s.frontLed);     // anything from 1 up
  EXPECT_FALSE(s.summerTime);  // exactly 1 only
  EXPECT_EQ(s.speedUnit, SpeedUnit::kUnchanged);
  EXPECT_EQ(ReadSpeedUnitSetting(path_), 3);

  s.micVolume = 0;
  s.voiceVolume = 1;
  s.impactLevel = 2;
  s.motionLevel = 9;
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  std::string expected = With(kFile, "mic_in=0", "mic_in=1");
  expected = With(expected, "mic_volume=1", "mic_volume=5");
  expected = With(expected, "voice_volume=3", "voice_volume=1");
  expected = With(expected, "acc_level=5", "acc_level=3");
  expected = With(expected, "motion_level=3", "motion_level=5");
  // The unit the viewer does not know stays the camera's.
  expected = With(expected, "OSD_Speed=2", "OSD_Speed=3");
  EXPECT_EQ(Bytes(), expected);
}

TEST_F(CameraSettingsTest, OnlyTheFirstNineCharactersOfAValueCount) {
  Put(With(With(kFile, "acc_level=5", "acc_level=0000000001"), "model=RE-2CH",
           "model=ABCDEFGHIJKL"));
  EXPECT_EQ(Load().impactLevel, 3);  // read as "000000000"
  EXPECT_EQ(Load().model, "ABCDEFGHI");
  Put(With(kFile, "acc_level=5", "acc_level=000000001"));
  EXPECT_EQ(Load().impactLevel, 1);
  Put(With(kFile, "OSD_Speed=2", "OSD_Speed = 0000000002"));
  EXPECT_EQ(ReadSpeedUnitSetting(path_), 0);
}

TEST_F(CameraSettingsTest, ModelShownUnderItsSellingName) {
  for (const char* model : {"ka-700", "KA-700", "KB-700"}) {
    Put(With(kFile, "model=RE-2CH", "model=" + std::string(model)));
    EXPECT_EQ(Load().model, "KB-700") << model;
  }
  Put(With(kFile, "model=RE-2CH\r\n", ""));
  EXPECT_EQ(Load().model, "0");
}

TEST_F(CameraSettingsTest, MissingFileAndKeysTakeTheirDefaults) {
  CameraSettings s;
  EXPECT_FALSE(LoadCameraSettings(path_, &s));
  EXPECT_EQ(s.continuousShare, kNoSelection);
  EXPECT_EQ(s.micVolume, 3);
  EXPECT_FALSE(s.cutOff);
  EXPECT_EQ(s.speedUnit, SpeedUnit::kKmh);
  EXPECT_EQ(s.language, kLanguageEnglish);
  EXPECT_EQ(s.timeZone, 7);  // "0": Greenwich
  EXPECT_EQ(s.version, "0");
  EXPECT_EQ(ReadSpeedUnitSetting(path_), 1);
  EXPECT_FALSE(fs::exists(path_));  // reading creates nothing

  // Keys missing from a file are added at the end of their sections.
  Put("[capacity]\r\nconst=40\r\n\r\n[blackbox]\r\nmodel=X\r\n");
  s = Load();
  s.eventShare = 1;
  s.manualShare = 0;
  s.parkingShare = 2;
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  EXPECT_EQ(Bytes(),
            "[capacity]\r\nconst=40\r\nevent=20\r\nmanual=10\r\npark=30\r\n\r\n"
            "[blackbox]\r\nmodel=X\r\nvex_update=1\r\nmic_volume=5\r\nvoice_volume=5\r\n"
            "acc_level=5\r\nmotion_level=5\r\nmic_in=0\r\nvoice_out=0\r\npower_off_vlt=0\r\n"
            "front_led=0\r\nsummer_time=0\r\npark_mode=0\r\nosd_speed=1\r\nlanguage=us\r\n"
            "local_time=0.0\r\n\r\n[time]\r\nset=0\r\n");
}

TEST_F(CameraSettingsTest, ClockWrittenOnlyWhenSent) {
  Put(kFile);
  CameraSettings s = Load();
  s.clock = {true, 2016, 2, 29, 24, 5, 59};
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  const std::string sent = Bytes();
  EXPECT_EQ(sent.substr(sent.find("[time]")),
            "[time]\r\nset=1\r\nyear=2016\r\nmonth=2\r\nday=29\r\nhour=24\r\nmin=5\r\nsec=59\r\n");

  s.clock.send = false;
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  EXPECT_EQ(Bytes(), With(sent, "set=1", "set=0"));
}

TEST_F(CameraSettingsTest, MissingSelectionsAndBadSharesWriteNothing) {
  Put(kFile);
  const CameraSettings loaded = Load();
  struct Case {
    void (*change)(CameraSettings*);
    SaveResult result;
  };
  const Case cases[] = {
      {[](CameraSettings* s) { s->continuousShare = kNoSelection; },
       SaveResult::kNoContinuousShare},
      {[](CameraSettings* s) { s->eventShare = 7; }, SaveResult::kNoEventShare},
      {[](CameraSettings* s) { s->manualShare = kNoSelection; }, SaveResult::kNoManualShare},
      {[](CameraSettings* s) { s->parkingShare = kNoSelection; }, SaveResult::kNoParkingShare},
      {[](CameraSettings* s) { s->parkingShare = 3; }, SaveResult::kCapacityNot100},
      {[](CameraSettings* s) { s->cutOffVoltage = 3; }, SaveResult::kNoCutOffVoltage},
      {[](CameraSettings* s) { s->clock = {true, kNoSelection, 1, 1, 1, 0, 0}; },
       SaveResult::kNoYear},
      {[](CameraSettings* s) { s->clock = {true, 2020, 13, 1, 1, 0, 0}; }, SaveResult::kNoMonth},
      {[](CameraSettings* s) { s->clock = {true, 2020, 1, kNoSelection, 1, 0, 0}; },
       SaveResult::kNoDay},
      {[](CameraSettings* s) { s->clock = {true, 2020, 1, 1, kNoSelection, 0, 0}; },
       SaveResult::kNoHour},
      {[](CameraSettings* s) { s->clock = {true, 2020, 1, 1, 1, 60, 0}; }, SaveResult::kNoMinute},
      {[](CameraSettings* s) { s->clock = {true, 2020, 1, 1, 1, 0, kNoSelection}; },
       SaveResult::kNoSecond},
  };
  for (const Case& c : cases) {
    CameraSettings s = loaded;
    s.micIn = true;  // would be written before any of the failing lists
    c.change(&s);
    const SaveResult r = SaveCameraSettings(path_, s);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(IsMissingSelection(r), c.result != SaveResult::kCapacityNot100);
    EXPECT_EQ(Bytes(), kFile);
  }
  CameraSettings s = loaded;
  s.parkingShare = 3;
  EXPECT_FALSE(CapacitySharesAddUp(s));
}

TEST_F(CameraSettingsTest, AFailedWriteIsReportedWithItsReasonAndChangesNothing) {
  Put(kFile);
  CameraSettings s = Load();
  s.micIn = true;
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  int error = 0;
  EXPECT_EQ(SaveCameraSettings(path_, s, &error), SaveResult::kWriteFailed);
  EXPECT_EQ(error, EACCES);
  EXPECT_FALSE(IsMissingSelection(SaveResult::kWriteFailed));
  EXPECT_EQ(Bytes(), kFile);
  EXPECT_EQ(SaveCameraSettings((card_ / "gone" / "blackbox.cfg").string(), s, &error),
            SaveResult::kWriteFailed);
  EXPECT_EQ(error, ENOENT);
}

// A card that is full: the save fails with the system's reason and the file on the card is the
// old one, byte for byte (never a mix of old and new keys).
TEST_F(CameraSettingsTest, ASaveOnAFullCardKeepsTheOldFile) {
  const fs::path setting = card_ / "full" / "SETTING";
  const std::string onCard = (setting / "blackbox.cfg").string();
  std::string padded = kFile;
  while (padded.size() < 6000) padded += "; camera note\r\n";
  auto put = [&] {
    fs::create_directories(setting);
    std::ofstream(onCard, std::ios::binary) << padded;
  };
  put();  // before a limit on file sizes, which would refuse it
  // Room for the file that is there and not for a second copy beside it (or, without a mount,
  // no file may grow as large as it).
  roadeye_test::SmallFolder small(setting.parent_path().string(), 8192, 4096);
  ASSERT_TRUE(small.Usable());
  if (small.Mounted()) put();
  CameraSettings s;
  LoadCameraSettings(onCard, &s);
  s.micIn = !s.micIn;
  s.summerTime = !s.summerTime;
  int error = 0;
  EXPECT_EQ(SaveCameraSettings(onCard, s, &error), SaveResult::kWriteFailed);
  EXPECT_STREQ(std::strerror(error), small.reason.c_str());
  std::ifstream in(onCard, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            padded);
  EXPECT_EQ(std::distance(fs::directory_iterator(setting), fs::directory_iterator{}), 1)
      << "a temporary file was left on the card";
}

// A save whose later keys cannot be written (here the file would grow past what a settings file
// may be) writes none of them: the card never holds half a save.
TEST_F(CameraSettingsTest, ASaveIsWrittenWholeOrNotAtAll) {
  const std::string head = kFile.substr(0, kFile.find("[time]"));
  // Padding that leaves room for the keys replaced in place, not for the "time" section added.
  std::string padding;
  while (head.size() + padding.size() + 20 < kMaxProfileBytes) padding += "; camera note\r\n";
  Put(head + padding);
  CameraSettings s = Load();
  s.micIn = !s.micIn;
  int error = 0;
  EXPECT_EQ(SaveCameraSettings(path_, s, &error), SaveResult::kWriteFailed);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(Bytes(), head + padding);
}

TEST_F(CameraSettingsTest, CutOffVoltagePrintedWhenWritten) {
  Put(kFile);
  CameraSettings s = Load();
  s.cutOffVoltage = 0;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  DiagSetOutput(out);
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  s.cutOff = false;
  ASSERT_EQ(SaveCameraSettings(path_, s), SaveResult::kSaved);
  DiagSetOutput(nullptr);
  std::rewind(out);
  char text[256] = {};
  EXPECT_GT(std::fread(text, 1, sizeof text - 1, out), 0u);
  std::fclose(out);
  EXPECT_STREQ(text, "voltage_Value => 11.800000\nTest => 11800.000000Voltage => 11800");
}

TEST_F(CameraSettingsTest, FileExistsOnlyAsAReadableFile) {
  EXPECT_FALSE(SettingsFileExists(path_));
  Put("");
  EXPECT_TRUE(SettingsFileExists(path_));
  EXPECT_FALSE(SettingsFileExists((card_ / "SETTING").string()));
}

// The default file made through a real card library handle.
class DefaultFileTest : public CameraSettingsTest {
 protected:
  void SetUp() override {
    CameraSettingsTest::SetUp();
    fs::create_directories(card_ / "VEX");
    library_ = VexStart();
    ASSERT_EQ(VexInitialise(library_, card_.c_str()), 1);
  }
  void TearDown() override {
    VexRelease(library_);
    CameraSettingsTest::TearDown();
  }
  VexHandle library_ = nullptr;
};

TEST_F(DefaultFileTest, CreatedWithCrLfFromTheLibraryText) {
  ASSERT_TRUE(CreateDefaultSettingsFile(library_, path_));
  char text[kVexSettingsBytes];
  int count = kVexSettingsBytes;
  ASSERT_NE(VexDefaultSettings(library_, text, &count), 0);
  std::string expected;
  for (int i = 0; i < count; ++i) {
    if (text[i] == '\n') expected += '\r';
    if (text[i] != '\r') expected += text[i];
  }
  const std::string file = Bytes();
  EXPECT_EQ(file, expected);
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\n') {
      EXPECT_TRUE(i > 0 && file[i - 1] == '\r') << i;
    }
    if (file[i] == '\r') {
      EXPECT_TRUE(i + 1 < file.size() && file[i + 1] == '\n') << i;
    }
  }
  EXPECT_TRUE(SettingsFileExists(path_));
  EXPECT_TRUE(CapacitySharesAddUp(Load()));
  EXPECT_EQ(std::distance(fs::directory_iterator(card_ / "SETTING"), fs::directory_iterator()), 1);

  // An existing file is never replaced.
  Put(kFile);
  EXPECT_FALSE(CreateDefaultSettingsFile(library_, path_));
  EXPECT_EQ(Bytes(), kFile);
}

TEST_F(DefaultFileTest, NoFileWithoutTheSettingFolderOrTheText) {
  fs::remove_all(card_ / "SETTING");
  EXPECT_FALSE(CreateDefaultSettingsFile(library_, path_));
  EXPECT_FALSE(fs::exists(card_ / "SETTING"));
  EXPECT_FALSE(SettingsFileExists(path_));

  fs::create_directories(card_ / "SETTING");
  EXPECT_FALSE(CreateDefaultSettingsFile(nullptr, path_));
  EXPECT_TRUE(fs::is_empty(card_ / "SETTING"));
}

}  // namespace
