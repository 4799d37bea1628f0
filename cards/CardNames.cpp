// SPDX-License-Identifier: GPL-3.0-or-later
#include "cards/CardNames.h"

#include <array>
#include <cstdio>
#include <vector>

#include "support/CivilDate.h"
#include "support/Text.h"

namespace cards {

namespace {

// The most folder levels a name is read under; deeper files are not a camera's.
constexpr std::size_t kMaxFolderParts = 16;

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The n digits at text[pos...] as a number; false when any is not a digit or text is too short.
bool Digits(std::string_view text, std::size_t pos, std::size_t n, int* value) {
  if (pos > text.size() || text.size() - pos < n || n > 9) return false;
  int v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!IsDigit(text[pos + i])) return false;
    v = v * 10 + (text[pos + i] - '0');
  }
  *value = v;
  return true;
}

bool At(std::string_view text, std::size_t pos, char c) {
  return pos < text.size() && Upper(text[pos]) == Upper(c);
}

// Reads a clock laid out as `pattern` at text[pos...]: Y, M, D, h, m, s stand for digits of the
// field, any other character must be there as it is. False unless all of it matches and the
// clock is real.
bool ClockAt(std::string_view text, std::size_t pos, std::string_view pattern, Clock* out) {
  if (pos > text.size() || text.size() - pos < pattern.size()) return false;
  Clock c;
  int* fields[] = {&c.year, &c.month, &c.day, &c.hour, &c.minute, &c.second};
  constexpr std::string_view kLetters = "YMDhms";
  for (int* f : fields) *f = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t field = kLetters.find(pattern[i]);
    const char t = text[pos + i];
    if (field == std::string_view::npos) {
      if (t != pattern[i]) return false;
      continue;
    }
    if (!IsDigit(t)) return false;
    *fields[field] = *fields[field] * 10 + (t - '0');
  }
  if (!ClockIsValid(c)) return false;
  *out = c;
  return true;
}

std::vector<std::string_view> SplitFolder(std::string_view folder) {
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  while (pos < folder.size() && parts.size() <= kMaxFolderParts) {
    std::size_t slash = folder.find('/', pos);
    if (slash == std::string_view::npos) slash = folder.size();
    if (slash > pos) parts.push_back(folder.substr(pos, slash - pos));
    pos = slash + 1;
  }
  return parts;
}

// True when the folder's last parts are `tail` (letters in any case); "###" in a tail part stands
// for three digits at its start.
bool EndsWith(const std::vector<std::string_view>& parts,
              std::initializer_list<std::string_view> tail, std::size_t skip = 0) {
  if (parts.size() < tail.size() + skip) return false;
  std::size_t i = parts.size() - skip - tail.size();
  for (std::string_view want : tail) {
    std::string_view part = parts[i++];
    if (want.substr(0, 3) == "###") {
      int n = 0;
      if (!Digits(part, 0, 3, &n)) return false;
      part.remove_prefix(3);
      want.remove_prefix(3);
    }
    if (!EqualsIgnoringCase(part, want)) return false;
  }
  return true;
}

std::string Join(const std::vector<std::string_view>& parts, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
    if (!out.empty()) out += '/';
    out.append(parts[i]);
  }
  return out;
}

const char* CameraLetter(char c, std::string_view letters) {
  // letters: front, rear, interior, in that order.
  c = Upper(c);
  if (c == letters[0]) return "front";
  if (c == letters[1]) return "rear";
  if (c == letters[2]) return "interior";
  return nullptr;
}

// YYYY_MMDD_HHMMSS_NNN[P][F|R|I] and YYYYMMDDHHMMSS_NNNNNN[P][F|R|I]: Novatek-based cameras.
bool NovatekName(std::string_view stem, CardFile* f) {
  std::size_t pos = 0;
  if (ClockAt(stem, 0, "YYYY_MMDD_hhmmss_", &f->clock)) {
    pos = 17;
  } else if (ClockAt(stem, 0, "YYYYMMDDhhmmss_", &f->clock)) {
    pos = 15;
  } else {
    return false;
  }
  std::size_t digits = 0;
  while (pos + digits < stem.size() && IsDigit(stem[pos + digits])) ++digits;
  if (digits < 3 || digits > 6 || !Digits(stem, pos, digits, &f->sequence)) return false;
  pos += digits;
  bool parking = false;
  if (At(stem, pos, 'P') && pos + 1 < stem.size()) {
    parking = true;
    ++pos;
  }
  const char* camera = "front";
  if (pos < stem.size()) {
    camera = CameraLetter(stem[pos], "FRI");
    if (!camera) return false;
    ++pos;
  }
  if (pos != stem.size()) return false;
  f->camera = camera;
  f->hasClock = true;
  if (parking) f->kind = Kind::kParking;
  return true;
}

// YYYYMMDD_HHMMSS_NNNNN_<mode>_<camera>: Vantrue.
bool VantrueName(std::string_view stem, CardFile* f) {
  if (!ClockAt(stem, 0, "YYYYMMDD_hhmmss_", &f->clock)) return false;
  std::size_t pos = 16, digits = 0;
  while (pos + digits < stem.size() && IsDigit(stem[pos + digits])) ++digits;
  if (digits < 4 || digits > 6 || !Digits(stem, pos, digits, &f->sequence)) return false;
  pos += digits;
  if (stem.size() != pos + 4 || stem[pos] != '_' || stem[pos + 2] != '_') return false;
  switch (Upper(stem[pos + 1])) {
    case 'N':
      f->kind = Kind::kDriving;
      break;
    case 'E':
      f->kind = Kind::kEvent;
      break;
    case 'P':
      f->kind = Kind::kParking;
      break;
    default:
      return false;
  }
  const char* camera = CameraLetter(stem[pos + 3], "ABC");
  if (!camera) return false;
  f->camera = camera;
  f->hasClock = true;
  return true;
}

// YYYYMMDD_HHMMSS_<mode><camera>: BlackVue.
bool BlackVueName(std::string_view stem, CardFile* f) {
  if (stem.size() != 18 || !ClockAt(stem, 0, "YYYYMMDD_hhmmss_", &f->clock)) return false;
  if (!IsLetter(stem[16])) return false;
  const char* camera = CameraLetter(stem[17], "FRI");
  if (!camera) return false;
  switch (Upper(stem[16])) {
    case 'N':
      f->kind = Kind::kDriving;
      break;
    case 'P':
      f->kind = Kind::kParking;
      break;
    case 'M':
      f->kind = Kind::kManual;
      break;
    default:
      f->kind = Kind::kEvent;
      break;  // E, and the other event letters
  }
  f->camera = camera;
  f->hasClock = true;
  return true;
}

// <KIND>_YYYY_MM_DD_HH_MM_SS_[F|R]: Thinkware.
bool ThinkwareName(std::string_view stem, CardFile* f) {
  std::size_t word = 0;
  while (word < stem.size() && word < 8 && IsLetter(stem[word])) ++word;
  if (word == 0 || stem.size() != word + 22) return false;
  if (!ClockAt(stem, word, "_YYYY_MM_DD_hh_mm_ss_", &f->clock)) return false;
  const char* camera = CameraLetter(stem[word + 21], "FRI");
  if (!camera) return false;
  f->camera = camera;
  f->hasClock = true;
  return true;
}

// NO|EV|PA YYYYMMDD-HHMMSS-NNNNNN F|B|I: 70mai.
bool SeventyMaiName(std::string_view stem, CardFile* f) {
  if (stem.size() != 25) return false;
  const char a = Upper(stem[0]), b = Upper(stem[1]);
  if (a == 'N' && b == 'O') {
    f->kind = Kind::kDriving;
  } else if (a == 'E' && b == 'V') {
    f->kind = Kind::kEvent;
  } else if (a == 'P' && b == 'A') {
    f->kind = Kind::kParking;
  } else {
    return false;
  }
  if (!ClockAt(stem, 2, "YYYYMMDD-hhmmss-", &f->clock)) return false;
  if (!Digits(stem, 18, 6, &f->sequence)) return false;
  const char* camera = CameraLetter(stem[24], "FBI");
  if (!camera) return false;
  f->camera = camera;
  f->hasClock = true;
  return true;
}

constexpr std::array<std::string_view, 6> kTeslaCameras = {
    "front", "back", "left_repeater", "right_repeater", "left_pillar", "right_pillar"};

// YYYY-MM-DD_HH-MM-SS-<camera>: Tesla.
bool TeslaName(std::string_view stem, CardFile* f) {
  if (stem.size() < 21 || !ClockAt(stem, 0, "YYYY-MM-DD_hh-mm-ss-", &f->clock)) return false;
  const std::string_view camera = stem.substr(20);
  for (std::string_view known : kTeslaCameras) {
    if (EqualsIgnoringCase(camera, known)) {
      f->camera = std::string(known);
      f->hasClock = true;
      return true;
    }
  }
  return false;
}

// GRMNNNNN: Garmin; the name has no clock.
bool GarminName(std::string_view stem, CardFile* f) {
  if (stem.size() != 8 || !EqualsIgnoringCase(stem.substr(0, 4), "GRMN")) return false;
  return Digits(stem, 4, 4, &f->sequence);
}

// YYYYMMDD, '_' or '-', HHMMSS anywhere in the name, not inside a longer run of digits.
bool AnyNameClock(std::string_view stem, Clock* out) {
  for (std::size_t i = 0; i + 15 <= stem.size(); ++i) {
    if (i > 0 && IsDigit(stem[i - 1])) continue;
    if (i + 15 < stem.size() && IsDigit(stem[i + 15])) continue;
    if (ClockAt(stem, i, "YYYYMMDD_hhmmss", out) || ClockAt(stem, i, "YYYYMMDD-hhmmss", out)) {
      return true;
    }
  }
  return false;
}

}  // namespace

const char* FamilyName(Family family) {
  switch (family) {
    case Family::kVex:
      return "vex";
    case Family::kNovatek:
      return "novatek";
    case Family::kVantrue:
      return "vantrue";
    case Family::kBlackVue:
      return "blackvue";
    case Family::kThinkware:
      return "thinkware";
    case Family::k70mai:
      return "70mai";
    case Family::kTesla:
      return "tesla";
    case Family::kGarmin:
      return "garmin";
    case Family::kGeneric:
      return "generic";
  }
  return "generic";
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kEvent:
      return "event";
    case Kind::kDriving:
      return "driving";
    case Kind::kParking:
      return "parking";
    case Kind::kManual:
      return "manual";
  }
  return "driving";
}

bool ClockIsValid(const Clock& c) {
  if (c.year < 1970 || c.year > 2199 || c.month < 1 || c.month > 12 || c.day < 1) return false;
  if (c.hour > 23 || c.minute > 59 || c.second > 59 || c.hour < 0 || c.minute < 0 || c.second < 0)
    return false;
  std::int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(DaysFromCivil(c.year, c.month, c.day), &y, &m, &d);
  return m == c.month && d == c.day;
}

std::int64_t ClockSeconds(const Clock& c) {
  return DaysFromCivil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
}

Clock ClockFromSeconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  Clock c;
  std::int64_t year = 0;
  CivilFromDays(days, &year, &c.month, &c.day);
  c.year = int(year);
  c.hour = int(rest / 3600);
  c.minute = int(rest / 60 % 60);
  c.second = int(rest % 60);
  return c;
}

std::string ClockText(const Clock& c) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day, c.hour,
                c.minute, c.second);
  return text;
}

bool ParseClockText(std::string_view text, Clock* out) {
  return ClockAt(text, 0, "YYYY-MM-DDThh:mm:ss", out) ||
         ClockAt(text, 0, "YYYY-MM-DD hh:mm:ss", out);
}

bool IsVideoFileName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view ending = name.substr(dot + 1);
  for (std::string_view known : {"mp4", "mov", "ts", "mkv", "avi"}) {
    if (EqualsIgnoringCase(ending, known)) return true;
  }
  return false;
}

int CameraOrder(std::string_view camera) {
  static constexpr std::string_view kOrder[] = {"front",       "rear",          "interior",
                                                "back",        "left_repeater", "right_repeater",
                                                "left_pillar", "right_pillar"};
  for (std::size_t i = 0; i < std::size(kOrder); ++i) {
    if (camera == kOrder[i]) return int(i);
  }
  return int(std::size(kOrder));
}

bool ReadCardFileName(std::string_view folder, std::string_view name, CardFile* out) {
  if (name.empty() || name[0] == '.' || !IsVideoFileName(name)) return false;
  const std::string_view stem = name.substr(0, name.rfind('.'));
  const std::vector<std::string_view> parts = SplitFolder(folder);
  if (parts.size() > kMaxFolderParts) return false;

  CardFile f;
  f.groupFolder = Join(parts, parts.size());
  auto done = [&](Family family) {
    f.family = family;
    *out = f;
    return true;
  };

  // Novatek-based and Vantrue cameras share their folders; their names tell them apart.
  const bool movie = EndsWith(parts, {"DCIM", "Movie"});
  const bool movieRo = EndsWith(parts, {"DCIM", "Movie", "RO"});
  const bool movieParking = EndsWith(parts, {"DCIM", "Movie", "Parking"});
  if (movie || movieRo || movieParking) {
    const Kind folderKind = movieRo ? Kind::kEvent : movieParking ? Kind::kParking : Kind::kDriving;
    CardFile v = f;
    if (VantrueName(stem, &v)) {
      f = v;
      return done(Family::kVantrue);
    }
    f.kind = folderKind;
    CardFile n = f;
    if (NovatekName(stem, &n)) {
      f = n;
      return done(Family::kNovatek);
    }
  }

  if (EndsWith(parts, {"Record"})) {
    CardFile b = f;
    if (BlackVueName(stem, &b)) {
      f = b;
      return done(Family::kBlackVue);
    }
  }

  struct KindFolder {
    std::string_view folder;
    Kind kind;
  };
  static constexpr KindFolder kThinkware[] = {
      {"cont_rec", Kind::kDriving},    {"evt_rec", Kind::kEvent},
      {"parking_rec", Kind::kParking}, {"manual_rec", Kind::kManual},
      {"motion_rec", Kind::kParking},  {"motion_timelapse_rec", Kind::kParking}};
  for (const KindFolder& k : kThinkware) {
    if (!EndsWith(parts, {k.folder})) continue;
    CardFile t = f;
    t.kind = k.kind;
    if (ThinkwareName(stem, &t)) {
      f = t;
      return done(Family::kThinkware);
    }
  }

  // 70mai: the kind's folder, then one folder per camera; the camera's folders make one
  // recording together.
  for (std::string_view kindFolder : {"Normal", "Event", "Parking"}) {
    bool inCameraFolder = false;
    for (std::string_view cameraFolder : {"Front", "Back", "Interior"}) {
      inCameraFolder = inCameraFolder || EndsWith(parts, {kindFolder, cameraFolder});
    }
    if (!inCameraFolder) continue;
    CardFile s = f;
    if (SeventyMaiName(stem, &s)) {
      s.groupFolder = Join(parts, parts.size() - 1);
      f = s;
      return done(Family::k70mai);
    }
  }

  // Tesla: RecentClips (driving, its files straight in it or in a folder per clip), and a folder
  // per event under SavedClips (kept by the driver) and SentryClips (Sentry Mode while parked).
  struct TeslaFolder {
    std::string_view folder;
    Kind kind;
  };
  static constexpr TeslaFolder kTesla[] = {{"RecentClips", Kind::kDriving},
                                           {"SavedClips", Kind::kManual},
                                           {"SentryClips", Kind::kParking}};
  for (const TeslaFolder& t : kTesla) {
    const bool direct = t.kind == Kind::kDriving && EndsWith(parts, {"TeslaCam", t.folder});
    const bool inClip = EndsWith(parts, {"TeslaCam", t.folder}, 1);
    if (!direct && !inClip) continue;
    CardFile c = f;
    c.kind = t.kind;
    if (TeslaName(stem, &c)) {
      f = c;
      return done(Family::kTesla);
    }
  }

  static constexpr KindFolder kGarmin[] = {
      {"###UNSVD", Kind::kDriving},
      {"###EVENT", Kind::kEvent},   // incidents the camera detected
      {"###SAVED", Kind::kManual},  // clips the driver saved
      {"###PARKM", Kind::kParking}};
  for (const KindFolder& g : kGarmin) {
    if (!EndsWith(parts, {"DCIM", g.folder})) continue;
    CardFile c = f;
    c.kind = g.kind;
    if (GarminName(stem, &c)) {
      f = c;
      return done(Family::kGarmin);
    }
  }

  // Any other video file: driving, its clock (and camera and number) from a name of one of the
  // forms above, or a clock anywhere in it.
  f.kind = Kind::kDriving;
  for (bool (*form)(std::string_view, CardFile*) :
       {NovatekName, VantrueName, BlackVueName, ThinkwareName, SeventyMaiName, TeslaName}) {
    CardFile c = f;
    if (form(stem, &c)) {
      c.kind = Kind::kDriving;
      f = c;
      return done(Family::kGeneric);
    }
  }
  f.hasClock = AnyNameClock(stem, &f.clock);
  return done(Family::kGeneric);
}

}  // namespace cards
