// SPDX-License-Identifier: GPL-3.0-or-later
// What a dash camera's folders and file names say about a recording file: which family of cameras
// wrote it, its kind, its camera, the camera's clock and its sequence number. One function per
// family reads its own name form; ReadCardFileName tries them in a fixed order, by folder first,
// so that a family is recognised by where its files are and what they are called, never by a
// vendor string. Names and folders are untrusted card text: nothing here touches the file system,
// and every field is checked digit by digit. docs/cards.md gives each layout with its sources.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cards {

enum class Family {
  kVex,
  kNovatek,
  kVantrue,
  kBlackVue,
  kThinkware,
  k70mai,
  kTesla,
  kGarmin,
  kGeneric
};
inline constexpr int kFamilyCount = 9;

// "vex", "novatek", "vantrue", "blackvue", "thinkware", "70mai", "tesla", "garmin", "generic".
const char* FamilyName(Family family);

// Recording kinds, numbered as the VEX card library numbers them.
enum class Kind { kEvent = 0, kDriving = 1, kParking = 2, kManual = 3 };
// "event", "driving", "parking", "manual".
const char* KindName(Kind kind);

// The camera's own clock, as its name or container gives it: local time as the camera was set.
struct Clock {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool operator==(const Clock&) const = default;
};
// A real date from 1970 to 2199 and a time of day.
bool ClockIsValid(const Clock& c);
// Seconds since 1970 of the clock's calendar (no zone); only for a valid clock.
std::int64_t ClockSeconds(const Clock& c);
Clock ClockFromSeconds(std::int64_t seconds);
// "YYYY-MM-DDTHH:MM:SS".
std::string ClockText(const Clock& c);
// Reads "YYYY-MM-DD[T ]HH:MM:SS" at the start of text (a container's creation time; anything
// after the seconds is ignored); false unless it is a valid clock.
bool ParseClockText(std::string_view text, Clock* out);

// What a recording file's folder and name say.
struct CardFile {
  Family family = Family::kGeneric;
  Kind kind = Kind::kDriving;
  std::string camera = "front";  // front, rear, interior, or one of Tesla's camera names
  bool hasClock = false;         // false: the clock comes from the container or the file
  Clock clock;
  int sequence = -1;  // the camera's file number where the name has one
  // The folder whose files make recordings together (the kind's folder; for Tesla the clip's).
  std::string groupFolder;
};

// Reads a file found on a card. `folder` is the file's folder relative to the card's root, its
// parts separated by '/' ("" at the root), `name` the file's name. False when the file is not a
// video file of any family (VEX recordings are the VEX card library's and are not read here).
bool ReadCardFileName(std::string_view folder, std::string_view name, CardFile* out);

// True for the endings of the video files a card may hold (.mp4 .mov .ts .mkv .avi, any case).
bool IsVideoFileName(std::string_view name);

// The camera's sort position in a recording: front, rear, interior, then Tesla's cameras.
int CameraOrder(std::string_view camera);

}  // namespace cards
