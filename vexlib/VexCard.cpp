// SPDX-License-Identifier: GPL-3.0-or-later
#include "vexlib/VexCard.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "support/CivilDate.h"

namespace vex {

namespace fs = std::filesystem;

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool Digits(std::string_view s, std::uint64_t* value) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + std::uint64_t(c - '0');
  }
  return true;
}

struct KindWord {
  const char* word;
  int kind;
};
constexpr KindWord kKindWords[] = {
    {"EVENT", kKindEvent},
    {"REC", kKindContinuous},
    {"PARKING", kKindParking},
    {"MANUAL", kKindManual},
};

}  // namespace

bool ParseRecordingName(std::string_view name, bool anyEnding, RecordingName* out) {
  std::string_view stem = name;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    std::string_view ext = name.substr(dot + 1);
    if (!(EqualNoCase(ext, "vex") || (anyEnding && EqualNoCase(ext, "avi")))) return false;
    stem = name.substr(0, dot);
  } else if (!anyEnding) {
    return false;
  }
  // KIND _ YYYYMMDD _ HHMMSS [_D]
  const std::size_t u1 = stem.find('_');
  if (u1 == std::string_view::npos) return false;
  int kind = -1;
  for (const KindWord& k : kKindWords) {
    if (EqualNoCase(stem.substr(0, u1), k.word)) kind = k.kind;
  }
  if (kind < 0) return false;
  std::string_view rest = stem.substr(u1 + 1);
  if (rest.size() != 15 && rest.size() != 17) return false;
  if (rest[8] != '_') return false;
  std::uint64_t stamp = 0;
  if (!Digits(rest.substr(0, 8), &stamp) || !Digits(rest.substr(9, 6), &stamp)) return false;
  bool rear = false;
  if (rest.size() == 17) {
    if (rest[15] != '_' || (rest[16] != 'D' && rest[16] != 'd')) return false;
    rear = true;
  }
  out->kind = kind;
  out->stem = std::string(stem);
  out->stamp = stamp;
  out->rear = rear;
  const std::uint64_t ymd = stamp / 1000000, hms = stamp % 1000000;
  out->year = int(ymd / 10000);
  out->month = int(ymd / 100 % 100);
  out->day = int(ymd % 100);
  out->hour = int(hms / 10000);
  out->minute = int(hms / 100 % 100);
  out->second = int(hms % 100);
  return true;
}

bool ClockSeconds(const RecordingName& name, std::int64_t* seconds) {
  if (name.month < 1 || name.month > 12 || name.day < 1 || name.hour > 23 || name.minute > 59 ||
      name.second > 59) {
    return false;
  }
  const std::int64_t days = DaysFromCivil(name.year, name.month, name.day);
  std::int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  if (m != name.month || d != name.day) return false;  // 31 April and the like
  *seconds = days * 86400 + name.hour * 3600 + name.minute * 60 + name.second;
  return true;
}

std::string FindRecordingFolder(const std::string& root) {
  if (root.empty()) return {};
  std::error_code ec;
  const fs::path exact = fs::path(root) / "VEX";
  if (fs::is_directory(exact, ec)) return exact.string();
  // FAT cards written elsewhere may spell it in lower case; a folder on a case-sensitive disk is
  // found by looking.
  fs::directory_iterator it(root, ec), end;
  for (std::size_t seen = 0; !ec && it != end && seen < kMaxListing; it.increment(ec), ++seen) {
    const std::string name = it->path().filename().string();
    if (EqualNoCase(name, "VEX") && fs::is_directory(it->path(), ec)) return it->path().string();
  }
  return {};
}

namespace {

struct HookSlot {
  std::mutex lock;
  ListingHook hook = nullptr;
  void* user = nullptr;
};

HookSlot& Hook() {
  static HookSlot slot;
  return slot;
}

void CallListingHook() {
  HookSlot& slot = Hook();
  ListingHook hook = nullptr;
  void* user = nullptr;
  {
    std::lock_guard<std::mutex> hold(slot.lock);
    hook = slot.hook;
    user = slot.user;
  }
  if (hook != nullptr) hook(user);
}

// The entry of a file named `fileName` (a recording file's name, already parsed as rn) in a
// recordings folder; false when it is not a regular file there. Links are not followed.
bool EntryOf(const std::string& folder, const std::string& fileName, const RecordingName& rn,
             CardEntry* out) {
  const std::string path = folder + "/" + fileName;
  CallListingHook();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out->fileName = fileName;
  out->listName = rn.stem + ".avi";
  out->path = path;
  out->kind = rn.kind;
  out->stamp = rn.stamp;
  out->size = std::uint64_t(st.st_size);
  return true;
}

}  // namespace

std::vector<CardEntry> ListKind(const std::string& folder, int kind) {
  std::vector<CardEntry> out;
  if (folder.empty() || kind < 0 || kind >= kKindCount) return out;
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (std::size_t seen = 0; !ec && it != end && seen < kMaxListing; it.increment(ec), ++seen) {
    const std::string fileName = it->path().filename().string();
    RecordingName rn;
    if (!ParseRecordingName(fileName, false, &rn) || rn.kind != kind) continue;
    CardEntry e;
    if (EntryOf(folder, fileName, rn, &e)) out.push_back(std::move(e));
  }
  std::sort(out.begin(), out.end(), [](const CardEntry& a, const CardEntry& b) {
    return a.stamp != b.stamp ? a.stamp < b.stamp : a.fileName < b.fileName;
  });
  return out;
}

const CardEntry* FindByName(const std::vector<CardEntry>& listing, std::string_view name) {
  RecordingName rn;
  if (!ParseRecordingName(name, true, &rn)) return nullptr;
  for (const CardEntry& e : listing) {
    if (EqualNoCase(e.listName.substr(0, e.listName.size() - 4), rn.stem)) return &e;
  }
  return nullptr;
}

void SetListingHook(ListingHook hook, void* user) {
  HookSlot& slot = Hook();
  std::lock_guard<std::mutex> hold(slot.lock);
  slot.hook = hook;
  slot.user = user;
}

bool FindRecording(const std::string& folder, std::string_view name, CardEntry* out) {
  RecordingName rn;
  if (folder.empty() || !ParseRecordingName(name, true, &rn)) return false;
  // The stem has the shape of a recording's (checked above): it names a file in the folder and
  // nothing else.
  for (const char* ending : {".vex", ".VEX"}) {
    const std::string fileName = rn.stem + ending;
    RecordingName file;
    if (ParseRecordingName(fileName, false, &file) && EntryOf(folder, fileName, file, out)) {
      return true;
    }
  }
  const std::vector<CardEntry> listing = ListKind(folder, rn.kind);
  const CardEntry* e = FindByName(listing, name);
  if (e == nullptr) return false;
  *out = *e;
  return true;
}

const std::string& DefaultSettingsText() {
  // Shares of the card per kind (percent, 100 in all), the camera's behaviour, and a clock that is
  // not to be set. The time zone is one the settings dialog offers.
  static const std::string text =
      "[capacity]\r\n"
      "const=40\r\n"
      "event=20\r\n"
      "manual=10\r\n"
      "park=30\r\n"
      "\r\n"
      "[blackbox]\r\n"
      "vex_update=0\r\n"
      "mic_volume=3\r\n"
      "voice_volume=3\r\n"
      "acc_level=3\r\n"
      "motion_level=3\r\n"
      "mic_in=1\r\n"
      "voice_out=1\r\n"
      "power_off_vlt=11800\r\n"
      "front_led=1\r\n"
      "summer_time=0\r\n"
      "park_mode=1\r\n"
      "osd_speed=1\r\n"
      "language=us\r\n"
      "local_time=0.0\r\n"
      "model=RE-2CH\r\n"
      "version=1.0.0\r\n"
      "\r\n"
      "[time]\r\n"
      "set=0\r\n"
      "year=2024\r\n"
      "month=1\r\n"
      "day=1\r\n"
      "hour=12\r\n"
      "min=0\r\n"
      "sec=0\r\n";
  return text;
}

}  // namespace vex
