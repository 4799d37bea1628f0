// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/CameraSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <vector>

#include "platform/Profile.h"
#include "platform/WholeFile.h"
#include "support/Diag.h"
#include "support/Text.h"

static_assert(std::size(kTimeZones) == kTimeZoneCount);
static_assert(std::size(kCutOffVoltages) == kCutOffVoltageCount);

namespace {

constexpr const char* kCapacity = "capacity";
constexpr const char* kBlackbox = "blackbox";
constexpr const char* kTime = "time";

// ---------------------------------------------------------------------------------------------
// Reading values.

const char* MissingValue(const char* section, const char* key) {
  for (const CameraSettingsKey& k : kCameraSettingsKeys) {
    if (k.read && std::strcmp(k.section, section) == 0 && std::strcmp(k.key, key) == 0) {
      return k.missing;
    }
  }
  return "";
}

// The value of a read key as the camera's other tools see it: at most 9 characters.
std::string ReadValue(const std::string& path, const char* section, const char* key) {
  char buffer[kSettingsValueBytes] = {};
  GetProfileText(section, key, MissingValue(section, key), buffer, sizeof buffer, path.c_str());
  return buffer;
}

// Decimal conversion of a value: optional blanks, an optional sign and the leading digits;
// anything else ends the number and no digits give 0. A value has at most 9 characters, so the
// result always fits.
int ToInt(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  long long v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9' || v > 100000000000LL) break;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int ReadInt(const std::string& path, const char* section, const char* key) {
  return ToInt(ReadValue(path, section, key));
}

// The leading decimal number of a value as a single-precision number, 0 without one. Independent
// of the process locale (a decimal comma would misread the camera's "-8.0").
float ToFloat(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  float v = 0.0f;
  if (std::from_chars(s.data(), s.data() + s.size(), v).ec != std::errc()) return 0.0f;
  return v;
}

// Capacity value to list index: the tens digit, shares 10 ... 79 only.
int ShareIndex(int value) { return value >= 10 && value <= 79 ? value / 10 - 1 : kNoSelection; }

// Volume and sensitivity: 1 and 3 are the lower two positions, everything else the top one.
int SliderPosition(int value) {
  if (value == 1) return 1;
  if (value == 3) return 2;
  return 3;
}

// ---------------------------------------------------------------------------------------------
// Writing values.

bool ValidShare(int index) { return index >= 0 && index < kCapacityItemCount; }
int ShareValue(int index) { return (index + 1) * 10; }

int SliderValue(int position) {
  if (position == 1) return 1;
  if (position == 2) return 3;
  return 5;
}

bool InRange(int v, int low, int high) { return v >= low && v <= high; }

// The first problem that stops a save, kSaved when there is none.
SaveResult Check(const CameraSettings& s) {
  if (!ValidShare(s.continuousShare)) return SaveResult::kNoContinuousShare;
  if (!ValidShare(s.eventShare)) return SaveResult::kNoEventShare;
  if (!ValidShare(s.manualShare)) return SaveResult::kNoManualShare;
  if (!ValidShare(s.parkingShare)) return SaveResult::kNoParkingShare;
  if (!CapacitySharesAddUp(s)) return SaveResult::kCapacityNot100;
  if (s.cutOff && !InRange(s.cutOffVoltage, 0, kCutOffVoltageCount - 1)) {
    return SaveResult::kNoCutOffVoltage;
  }
  if (s.clock.send) {
    const ClockToSend& c = s.clock;
    if (!InRange(c.year, 1, 9999)) return SaveResult::kNoYear;
    if (!InRange(c.month, 1, 12)) return SaveResult::kNoMonth;
    if (!InRange(c.day, 1, 31)) return SaveResult::kNoDay;
    if (!InRange(c.hour, 0, 24)) return SaveResult::kNoHour;
    if (!InRange(c.minute, 0, 59)) return SaveResult::kNoMinute;
    if (!InRange(c.second, 0, 59)) return SaveResult::kNoSecond;
  }
  return SaveResult::kSaved;
}

// The writes of one save, gathered in the file's order and made at once: the card's file gets
// all of them or, when it cannot be written, none.
class Writer {
 public:
  void Text(const char* section, const char* key, const char* value) {
    entries_.push_back(Entry{section, key, value});
  }
  void Int(const char* section, const char* key, int value) {
    Text(section, key, std::to_string(value).c_str());
  }
  void Flag(const char* section, const char* key, bool on) { Text(section, key, on ? "1" : "0"); }
  bool Commit(const std::string& path, int* error) const {
    std::vector<ProfileWrite> writes;
    writes.reserve(entries_.size());
    for (const Entry& e : entries_) {
      writes.push_back(ProfileWrite{e.section, e.key, e.value.c_str()});
    }
    return WriteProfileTexts(writes.data(), writes.size(), path.c_str(), error);
  }

 private:
  struct Entry {
    const char* section;
    const char* key;
    std::string value;
  };
  std::vector<Entry> entries_;
};

// True when the folder holding path is on a file system mounted read-only.
bool OnReadOnlyFileSystem(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct statvfs vfs {};
  return ::statvfs(folder.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0;
}

// "%0.1f" of the hours, with a decimal point whatever the process locale.
std::string HoursText(float hours) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, static_cast<double>(hours),
                               std::chars_format::fixed, 1);
  return std::string(text, r.ptr);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Time zones.

float TimeZoneHoursFromIndex(int index) {
  return index >= 0 && index < kTimeZoneCount ? kTimeZones[index].hours : 0.0f;
}

int TimeZoneIndexFromHours(float hours) {
  // The k of each list index from 1 on; k = 0 (-10 hours) is index 0 like every unknown k.
  static constexpr int kKeys[kTimeZoneCount - 1] = {10,  20,  30,  40,  50, 60,
                                                    100, 110, 180, 195, 200};
  const float k = std::trunc(hours * 10.0f + 100.0f);
  if (!std::isfinite(k) || k < -1.0e6f || k > 1.0e6f) return 0;
  for (int i = 0; i < kTimeZoneCount - 1; ++i) {
    if (static_cast<int>(k) == kKeys[i]) return i + 1;
  }
  return 0;
}

const char* TimeZoneText(int index) {
  return index >= 0 && index < kTimeZoneCount ? kTimeZones[index].text : "";
}

// ---------------------------------------------------------------------------------------------
// The file.

std::string CardSettingsPath(const std::string& cardRoot) {
  return cardRoot + "/SETTING/blackbox.cfg";
}

bool SettingsFileExists(const std::string& path) {
  // Non-blocking, so that a FIFO left where the file belongs cannot hang the viewer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular;
}

bool LoadCameraSettings(const std::string& path, CameraSettings* settings) {
  if (settings == nullptr) return false;
  const bool exists = SettingsFileExists(path);
  CameraSettings& s = *settings;

  s.continuousShare = ShareIndex(ReadInt(path, kCapacity, "const"));
  s.eventShare = ShareIndex(ReadInt(path, kCapacity, "event"));
  s.manualShare = ShareIndex(ReadInt(path, kCapacity, "manual"));
  s.parkingShare = ShareIndex(ReadInt(path, kCapacity, "park"));

  s.micVolume = SliderPosition(ReadInt(path, kBlackbox, "mic_volume"));
  s.voiceVolume = SliderPosition(ReadInt(path, kBlackbox, "voice_volume"));
  s.impactLevel = SliderPosition(ReadInt(path, kBlackbox, "acc_level"));
  s.motionLevel = SliderPosition(ReadInt(path, kBlackbox, "motion_level"));
  s.micIn = ReadInt(path, kBlackbox, "mic_in") != 0;
  s.voiceOut = ReadInt(path, kBlackbox, "voice_out") != 0;

  const int millivolts = ReadInt(path, kBlackbox, "power_off_vlt");
  s.cutOff = millivolts >= 1;
  if (s.cutOff) {
    // Steps of 200 mV from 11800, truncated toward zero: 11601 ... 11999 still give the first.
    const int index = (millivolts - 11800) / 200;
    s.cutOffVoltage = InRange(index, 0, kCutOffVoltageCount - 1) ? index : kNoSelection;
  }

  s.frontLed = ReadInt(path, kBlackbox, "front_led") >= 1;
  s.summerTime = ReadInt(path, kBlackbox, "summer_time") == 1;
  s.parkMode = ReadInt(path, kBlackbox, "park_mode") == 1;

  const int unit = ReadInt(path, kBlackbox, "osd_speed");
  s.speedUnit = unit == 1 ? SpeedUnit::kKmh : unit == 2 ? SpeedUnit::kMph : SpeedUnit::kUnchanged;

  const std::string language = ReadValue(path, kBlackbox, "language");
  s.language = EqualsIgnoringCase(std::string_view(language).substr(0, 2), "us") ? kLanguageEnglish
                                                                                 : kLanguageFrench;

  s.timeZone = TimeZoneIndexFromHours(ToFloat(ReadValue(path, kBlackbox, "local_time")));

  const std::string model = ReadValue(path, kBlackbox, "model");
  s.model = EqualsIgnoringCase(model, "KA-700") ? "KB-700" : model;
  s.version = ReadValue(path, kBlackbox, "version");
  return exists;
}

int ReadSpeedUnitSetting(const std::string& path) { return ReadInt(path, kBlackbox, "osd_speed"); }

bool CapacitySharesAddUp(const CameraSettings& s) {
  const int shares[] = {s.continuousShare, s.eventShare, s.manualShare, s.parkingShare};
  int total = 0;
  for (const int index : shares) {
    if (!ValidShare(index)) return false;
    total += ShareValue(index);
  }
  return total == 100;
}

bool IsMissingSelection(SaveResult result) {
  return result != SaveResult::kSaved && result != SaveResult::kCapacityNot100 &&
         result != SaveResult::kWriteFailed && result != SaveResult::kWriteProtected;
}

SaveResult SaveCameraSettings(const std::string& path, const CameraSettings& s, int* error) {
  const SaveResult check = Check(s);
  if (check != SaveResult::kSaved) return check;

  Writer w;
  w.Int(kCapacity, "const", ShareValue(s.continuousShare));
  w.Int(kCapacity, "event", ShareValue(s.eventShare));
  w.Int(kCapacity, "manual", ShareValue(s.manualShare));
  w.Int(kCapacity, "park", ShareValue(s.parkingShare));

  w.Text(kBlackbox, "vex_update", "1");
  w.Int(kBlackbox, "mic_volume", SliderValue(s.micVolume));
  w.Int(kBlackbox, "voice_volume", SliderValue(s.voiceVolume));
  w.Int(kBlackbox, "acc_level", SliderValue(s.impactLevel));
  w.Int(kBlackbox, "motion_level", SliderValue(s.motionLevel));
  w.Flag(kBlackbox, "mic_in", s.micIn);
  w.Flag(kBlackbox, "voice_out", s.voiceOut);
  if (s.cutOff) {
    const int millivolts = kCutOffVoltages[s.cutOffVoltage].millivolts;
    char text[16];
    std::snprintf(text, sizeof text, "%d", millivolts);
    DiagPrintf("voltage_Value => %f\n", millivolts / 1000.0);
    DiagPrintf("Test => %f", static_cast<double>(millivolts));
    DiagPrintf("Voltage => %s", text);
    w.Text(kBlackbox, "power_off_vlt", text);
  } else {
    w.Text(kBlackbox, "power_off_vlt", "0");
  }
  w.Flag(kBlackbox, "front_led", s.frontLed);
  w.Flag(kBlackbox, "summer_time", s.summerTime);
  w.Flag(kBlackbox, "park_mode", s.parkMode);
  if (s.speedUnit != SpeedUnit::kUnchanged) {
    w.Text(kBlackbox, "osd_speed", s.speedUnit == SpeedUnit::kKmh ? "1" : "2");
  }
  w.Text(kBlackbox, "language", s.language == kLanguageFrench ? "fr" : "us");
  w.Text(kBlackbox, "local_time", HoursText(TimeZoneHoursFromIndex(s.timeZone)).c_str());

  if (s.clock.send) {
    w.Text(kTime, "set", "1");
    w.Int(kTime, "year", s.clock.year);
    w.Int(kTime, "month", s.clock.month);
    w.Int(kTime, "day", s.clock.day);
    w.Int(kTime, "hour", s.clock.hour);
    w.Int(kTime, "min", s.clock.minute);
    w.Int(kTime, "sec", s.clock.second);
  } else {
    w.Text(kTime, "set", "0");  // an earlier date and time stay in the file unused
  }
  int reason = 0;
  if (w.Commit(path, &reason)) return SaveResult::kSaved;
  // A card whose lock switch is set, or mounted read-only, says so in its own words (the profile
  // writer may have named the denied access rather than the read-only file system).
  const bool protectedCard = reason == EROFS || OnReadOnlyFileSystem(path);
  if (error != nullptr) *error = protectedCard ? EROFS : reason;
  return protectedCard ? SaveResult::kWriteProtected : SaveResult::kWriteFailed;
}

bool CreateDefaultSettingsFile(VexHandle library, const std::string& path) {
  char buffer[kVexSettingsBytes] = {};
  int count = kVexSettingsBytes;
  if (VexDefaultSettings(library, buffer, &count) == 0) return false;
  if (count < 0 || count >= kVexSettingsBytes) return false;  // more than the buffer can hold
  std::string_view text(buffer, static_cast<std::size_t>(count));
  text = text.substr(0, text.find('\0'));

  // Line ends as the camera writes them: every LF as CR LF, whatever the text had.
  std::string lines;
  lines.reserve(text.size() + 64);
  for (const char c : text) {
    if (c == '\r') continue;
    if (c == '\n') lines.push_back('\r');
    lines.push_back(c);
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return false;  // never replace a file the card has
  return WriteWholeFile(path, lines, WholeFileMode::kCreateNew);
}
