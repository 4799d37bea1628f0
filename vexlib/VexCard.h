// SPDX-License-Identifier: GPL-3.0-or-later
// The card's file system side: which folder holds the recordings, which file names are
// recordings, the listing of one kind oldest first, and the camera's default settings text.
//
// Names on a card are untrusted. A file is a recording only when its whole name has the shape
// <KIND>_<YYYYMMDD>_<HHMMSS>[_D].vex (KIND one of REC, EVENT, PARKING, MANUAL; letters in either
// case). Only names of that shape are ever joined to a folder to make a path, so a name holding a
// path separator, "..", a control character or anything else odd never reaches the file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vex {

// Recording kinds, numbered as the library's callers number them.
inline constexpr int kKindEvent = 0;
inline constexpr int kKindContinuous = 1;
inline constexpr int kKindParking = 2;
inline constexpr int kKindManual = 3;
inline constexpr int kKindCount = 4;

// A folder holding more recordings than this is listed only up to this many files.
inline constexpr std::size_t kMaxListing = 100000;

// A recording's name taken apart. The camera's clock at the first picture is read as written:
// its fields are digits, not yet a real date (see ClockSeconds).
struct RecordingName {
  int kind = -1;
  std::string stem;         // the name without its extension, as given
  std::uint64_t stamp = 0;  // YYYYMMDDHHMMSS as a number: sorts by date and time
  bool rear = false;        // the "_D" mark
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Parses a recording's name. With `anyEnding` the name may end in ".vex", ".avi" (either case) or
// have no extension; without it only ".vex" is a recording file. The one place that reads a
// recording's kind, clock and camera out of its name.
bool ParseRecordingName(std::string_view name, bool anyEnding, RecordingName* out);

// The name's clock as seconds since 1970 of the camera's own (zone-less) calendar; false when it
// is not a real date and time (31 April, 25 o'clock), leaving *seconds alone.
bool ClockSeconds(const RecordingName& name, std::int64_t* seconds);

struct CardEntry {
  std::string fileName;  // as on the card
  std::string listName;  // the name with ".avi" in place of ".vex"
  std::string path;      // folder + "/" + fileName
  int kind = -1;
  std::uint64_t stamp = 0;
  std::uint64_t size = 0;
};

// The recordings folder of a card root ("VEX", any case), empty when there is none.
std::string FindRecordingFolder(const std::string& root);
// The regular files of one kind in a recordings folder, oldest first (ties by name).
std::vector<CardEntry> ListKind(const std::string& folder, int kind);
// The entry of a listing whose name (any ending, letters in any case) is `name`; null when none.
const CardEntry* FindByName(const std::vector<CardEntry>& listing, std::string_view name);
// The recording `name` (any ending, letters in any case) in a recordings folder, as ListKind would
// list it; false when there is none. The file is looked for under its own name first, so that a
// card of thousands of recordings is listed only when the name's letters differ from the card's.
bool FindRecording(const std::string& folder, std::string_view name, CardEntry* out);

// Called before each file a listing (or a look-up by name) asks the file system about, on the
// thread that lists: tests and benchmarks stand in a slow card with it (a delay per file), or hold
// a listing at a known point. Process-wide; none unless set (null removes it).
using ListingHook = void (*)(void* user);
void SetListingHook(ListingHook hook, void* user);

// The camera's default blackbox.cfg, CR LF line ends.
const std::string& DefaultSettingsText();

}  // namespace vex
