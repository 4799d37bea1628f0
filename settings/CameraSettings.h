// SPDX-License-Identifier: GPL-3.0-or-later
// The camera's own settings file, blackbox.cfg in the card's SETTING folder: an INI profile file
// with the sections "capacity", "blackbox" and "time". The viewer shows the settings, writes the
// user's changes back key by key (every line it does not write stays as it was) and, when a card
// has no such file, creates one from the card library's default text.
//
// The file comes from the card, so every value is untrusted: each is read through a 10-byte
// buffer (at most its first 9 characters count) and turned into something the settings dialog can
// show; anything unexpected ends as "no selection" or a fixed fallback, never as a fault.
#pragma once

#include <string>

#include "vexlib/vexlib.h"

// ---------------------------------------------------------------------------------------------
// The keys.

struct CameraSettingsKey {
  const char* section;
  const char* key;
  const char* missing;  // the value assumed when the key is absent; null for keys never read
  bool read;            // read by the viewer
  bool written;         // written by the viewer
};

// Every key of the file the viewer reads or writes, in the order the file lists them.
inline constexpr CameraSettingsKey kCameraSettingsKeys[] = {
    {"capacity", "const", "0", true, true},
    {"capacity", "event", "0", true, true},
    {"capacity", "manual", "0", true, true},
    {"capacity", "park", "0", true, true},
    {"blackbox", "vex_update", nullptr, false, true},
    {"blackbox", "mic_volume", "0", true, true},
    {"blackbox", "voice_volume", "0", true, true},
    {"blackbox", "acc_level", "0", true, true},
    {"blackbox", "motion_level", "0", true, true},
    {"blackbox", "mic_in", "0", true, true},
    {"blackbox", "voice_out", "0", true, true},
    {"blackbox", "power_off_vlt", "0", true, true},
    {"blackbox", "front_led", "0", true, true},
    {"blackbox", "summer_time", "0", true, true},
    {"blackbox", "park_mode", "0", true, true},
    {"blackbox", "osd_speed", "1", true, true},
    {"blackbox", "language", "us", true, true},
    {"blackbox", "local_time", "0", true, true},
    {"blackbox", "model", "0", true, false},
    {"blackbox", "version", "0", true, false},
    {"time", "set", nullptr, false, true},
    {"time", "year", nullptr, false, true},
    {"time", "month", nullptr, false, true},
    {"time", "day", nullptr, false, true},
    {"time", "hour", nullptr, false, true},
    {"time", "min", nullptr, false, true},
    {"time", "sec", nullptr, false, true},
};

// Values are read into a buffer of this size: at most kSettingsValueBytes - 1 characters count.
inline constexpr int kSettingsValueBytes = 10;

// ---------------------------------------------------------------------------------------------
// The lists the settings dialog offers.

// A list without a selected item.
inline constexpr int kNoSelection = -1;

// The capacity lists: item i is the share (i + 1) * 10 percent, "10" ... "70".
inline constexpr int kCapacityItemCount = 7;

// The cut-off voltage list.
struct CutOffVoltage {
  const char* text;  // the list item
  int millivolts;    // the value written to "power_off_vlt"
};
inline constexpr CutOffVoltage kCutOffVoltages[] = {
    {"11.8v/23.8v", 11800},
    {"12.0v/24.0v", 12000},
    {"12.2v/24.2v", 12200},
};
inline constexpr int kCutOffVoltageCount = 3;

// The time-zone list.
struct TimeZone {
  float hours;       // difference from UTC
  const char* text;  // the list item
};
inline constexpr TimeZone kTimeZones[] = {
    {-10.0f, "(GMT-10:00) Hawaii"},
    {-9.0f, "(GMT-09:00) Alaska"},
    {-8.0f, "(GMT-08:00) Pacific Time (US and Canada), Tijuana"},
    {-7.0f, "(GMT-07:00) Mountain Time (US and Canada), Arizona"},
    {-6.0f, "(GMT-06:00) Central Time (US and Canada), Saskatchewan"},
    {-5.0f, "(GMT-05:00) Eastern Time (US and Canada), Indiana (East)"},
    {-4.0f, "(GMT-04:00) Atlantic Time (Canada)"},
    {0.0f, "(GMT) Greenwich Mean Time: London, Casablanca, Monrovia"},
    {1.0f, "(GMT+01:00) Brussels, Madrid, Paris, Berlin, Bern, Rome"},
    {8.0f, "(GMT+08:00) Kuala Lumpur, Singapore, Perth"},
    {9.5f, "(GMT+09:30) Darwin, Adelaide"},
    {10.0f, "(GMT+10:00) Canberra, Melbourne, Sydney, Brisbane"},
};
inline constexpr int kTimeZoneCount = 12;

// The hours of a time-zone list index; 0 for any other index (kNoSelection too).
float TimeZoneHoursFromIndex(int index);
// The list index of a "local_time" value: k = trunc(hours * 10 + 100) picks the zone whose k it
// is; any other k (also that of -10 hours, a value beyond int, not a number) gives index 0.
int TimeZoneIndexFromHours(float hours);
// The list text of a time-zone index; "" for any other index.
const char* TimeZoneText(int index);

// The language list: index 0 English ("us"), 1 French ("fr").
inline constexpr int kLanguageEnglish = 0;
inline constexpr int kLanguageFrench = 1;

// ---------------------------------------------------------------------------------------------
// What the settings dialog shows.

enum class SpeedUnit {
  kKmh,        // "osd_speed" 1
  kMph,        // "osd_speed" 2
  kUnchanged,  // read: any other value, the unit choices stay as they were
};
// Saving writes "osd_speed" 1 for kKmh and 2 for kMph; kUnchanged leaves the key as the file has
// it (a value the viewer does not know is the camera's, kept until the user picks a unit).

// The computer's time handed to the camera through the "time" section ("Get current time").
// Each value is the number of the chosen list item, or kNoSelection.
struct ClockToSend {
  bool send = false;
  int year = kNoSelection;    // the dialog offers 2014 ... 2024
  int month = kNoSelection;   // 1 ... 12
  int day = kNoSelection;     // 1 ... 31
  int hour = kNoSelection;    // 1 ... 24 (0 also accepted)
  int minute = kNoSelection;  // 0 ... 59
  int second = kNoSelection;  // 0 ... 59
};

// The initial values are those the settings dialog opens with before the file is read.
struct CameraSettings {
  // Capacity list indices (0 ... 6 for "10" ... "70") or kNoSelection.
  int continuousShare = kNoSelection;  // "const"
  int eventShare = kNoSelection;       // "event"
  int manualShare = kNoSelection;      // "manual"
  int parkingShare = kNoSelection;     // "park"

  // Slider positions 1 ... 3 (low, middle, high); the file holds 1, 3, 5.
  int micVolume = 3;      // "mic_volume"
  int voiceVolume = 3;    // "voice_volume"
  int impactLevel = 3;    // "acc_level"
  int motionLevel = 3;    // "motion_level"
  bool micIn = false;     // "mic_in"; the recording-volume slider is enabled when set
  bool voiceOut = false;  // "voice_out"; the guidance-volume slider is enabled when set

  // "power_off_vlt": the cut-off checkbox and its list (enabled when the cut-off is on). With the
  // cut-off off the index is not read from the file and not used when saving.
  bool cutOff = false;
  int cutOffVoltage = 0;  // kCutOffVoltages index or kNoSelection

  bool frontLed = false;                        // "front_led"
  bool summerTime = false;                      // "summer_time"
  bool parkMode = false;                        // "park_mode"
  SpeedUnit speedUnit = SpeedUnit::kUnchanged;  // "osd_speed"
  int language = kLanguageEnglish;              // "language": list index
  int timeZone = 0;                             // "local_time": list index

  std::string model = "0";    // as shown: "KB-700" for a file's "KA-700" in any case
  std::string version = "0";  // as read

  ClockToSend clock;  // never read from the file: the dialog fills it from the computer's clock
};

// ---------------------------------------------------------------------------------------------
// Reading and writing the file.

// "<card root>/SETTING/blackbox.cfg".
std::string CardSettingsPath(const std::string& cardRoot);

// True when the file can be opened for reading as a regular file.
bool SettingsFileExists(const std::string& path);

// Reads every key the dialog shows into *settings, each missing key with its default. Fields the
// file leaves as they were (the cut-off list with the cut-off off) keep their values. Returns
// SettingsFileExists(path) (a missing file gives the defaults of every key).
bool LoadCameraSettings(const std::string& path, CameraSettings* settings);

// "osd_speed" of "blackbox" as a number, 1 when missing: 1 km/h, 2 mph, anything else as read.
int ReadSpeedUnitSetting(const std::string& path);

// True when all four capacity lists have a selection and their shares add up to exactly 100.
bool CapacitySharesAddUp(const CameraSettings& settings);

enum class SaveResult {
  kSaved,
  kCapacityNot100,  // the four shares do not add up to 100
  // A list the save needs has no selection (or a value no list offers); nothing was written.
  kNoContinuousShare,
  kNoEventShare,
  kNoManualShare,
  kNoParkingShare,
  kNoCutOffVoltage,  // the cut-off is on without a voltage
  kNoYear,
  kNoMonth,
  kNoDay,
  kNoHour,
  kNoMinute,
  kNoSecond,
  kWriteFailed,     // the file could not be written (removed or full card, ...)
  kWriteProtected,  // the card is write-protected (its file system is read-only)
};

// True for the results that stand for a list without a selection.
bool IsMissingSelection(SaveResult result);

// The message for a missing selection.
inline constexpr char kInvalidArgumentMessage[] = "잘못된 인수가 발견되었습니다.";

// Writes the settings: first checks everything (the missing selections in the order the file is
// written, the capacity shares adding up to 100 right after the capacity lists) and writes nothing
// when a check fails. Then writes "capacity", "blackbox" and "time" key by key in the file's
// order; each key is replaced where it stands or added at the end of its section, every other
// line stays byte for byte. The "time" keys are written only when the clock is to be sent,
// otherwise just "set=0". The keys are written together: a file that cannot be written (a
// write-protected, full or pulled card) keeps every key as it was, and the result is kWriteFailed
// with the system's reason in *error when given (an errno value); kWriteProtected (reason EROFS)
// when the card's file system is read-only. Prints the cut-off voltage diagnostics when the
// cut-off is on.
SaveResult SaveCameraSettings(const std::string& path, const CameraSettings& settings,
                              int* error = nullptr);

// Creates the file from the card library's default text, written with CR LF line ends. Creates
// nothing (and returns false) when the library gives no text, the file's folder does not exist
// (the SETTING folder is never created here) or the file already exists. The file appears whole
// or not at all. True when the file was created.
bool CreateDefaultSettingsFile(VexHandle library, const std::string& path);
