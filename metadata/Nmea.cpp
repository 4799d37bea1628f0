// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Nmea.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string_view>

namespace metadata {
namespace {

// NMEA 0183 allows 82 bytes a sentence; some receivers write longer ones (more decimals).
constexpr std::size_t kMaxSentence = 128;
constexpr std::size_t kMaxFields = 24;
constexpr std::size_t kMaxField = 24;
// A log line longer than this holds no sentence of ours (the prefix and a sentence fit).
constexpr std::size_t kMaxLine = 512;
// A prefixed log line more than a day after its origin belongs to another recording.
constexpr std::int64_t kMaxLogMediaMs = 24LL * 3600 * 1000;
constexpr double kKmhPerKnot = 1.852;
// Faster than any car: a speed past it is a field misread, not a speed.
constexpr double kMaxKnots = 1000;
constexpr double kMinAltitude = -1000, kMaxAltitude = 100000;
// More than any car's sensor reads: a sample past it is not a sample.
constexpr double kMaxG = 100;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A plain decimal number: an optional '-' (when allowed), digits, an optional point and digits,
// at least one digit. No exponent, no sign otherwise, no spaces.
bool ReadDecimal(std::string_view field, bool allowSign, double* value) {
  if (field.empty() || field.size() > kMaxField) return false;
  std::size_t i = 0;
  if (allowSign && field[0] == '-') i = 1;
  bool digit = false, point = false;
  for (std::size_t k = i; k < field.size(); ++k) {
    if (IsDigit(field[k])) {
      digit = true;
    } else if (field[k] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  // from_chars reads neither a leading point nor "-.": give it a zero in front.
  char buffer[kMaxField + 2];
  std::size_t n = 0;
  if (i == 1) buffer[n++] = '-';
  if (field[i] == '.') buffer[n++] = '0';
  for (std::size_t k = i; k < field.size(); ++k) buffer[n++] = field[k];
  const auto result = std::from_chars(buffer, buffer + n, *value);
  return result.ec == std::errc() && result.ptr == buffer + n && std::isfinite(*value);
}

int TwoDigits(std::string_view s, std::size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); }

// hhmmss with an optional fraction of up to 6 digits: ms since midnight, -1 when it does not read.
int ReadTime(std::string_view field) {
  if (field.size() < 6 || field.size() > 13) return -1;
  for (std::size_t k = 0; k < 6; ++k) {
    if (!IsDigit(field[k])) return -1;
  }
  int ms = 0;
  if (field.size() > 6) {
    if (field[6] != '.' || field.size() == 7) return -1;
    int scale = 100;
    for (std::size_t k = 7; k < field.size(); ++k) {
      if (!IsDigit(field[k])) return -1;
      ms += (field[k] - '0') * scale;
      scale /= 10;
    }
  }
  const int hour = TwoDigits(field, 0), minute = TwoDigits(field, 2), second = TwoDigits(field, 4);
  if (hour > 23 || minute > 59 || second > 60) return -1;
  return ((hour * 60 + minute) * 60 + second) * 1000 + ms;
}

// A latitude or longitude field and its hemisphere letter; both empty: no position.
enum class Coordinate { kEmpty, kRead, kBad };
Coordinate ReadCoordinate(std::string_view value, std::string_view hemisphere, double limit,
                          char positive, char negative, double* degrees) {
  if (value.empty() && hemisphere.empty()) return Coordinate::kEmpty;
  if (hemisphere.size() != 1 || (hemisphere[0] != positive && hemisphere[0] != negative)) {
    return Coordinate::kBad;
  }
  double dm = 0;
  if (!ReadDecimal(value, false, &dm)) return Coordinate::kBad;
  const double d = DegreesFromDm(dm, limit);
  if (std::isnan(d)) return Coordinate::kBad;
  *degrees = hemisphere[0] == negative ? -d : d;
  return Coordinate::kRead;
}

// Latitude at `at`, longitude at at + 2, each with its letter after it.
bool ReadPosition(const std::string_view* fields, std::size_t at, NmeaSentence* s) {
  double latitude = 0, longitude = 0;
  const Coordinate lat = ReadCoordinate(fields[at], fields[at + 1], 90, 'N', 'S', &latitude);
  const Coordinate lon = ReadCoordinate(fields[at + 2], fields[at + 3], 180, 'E', 'W', &longitude);
  if (lat == Coordinate::kBad || lon == Coordinate::kBad || lat != lon) return false;
  s->hasPosition = lat == Coordinate::kRead;
  s->latitude = latitude;
  s->longitude = longitude;
  return true;
}

bool ReadRmc(const std::string_view* fields, std::size_t count, NmeaSentence* s) {
  // Time, status, the position, speed, course and date: a sentence cut before its date is refused.
  if (count < 10) return false;
  if (!fields[1].empty() && (s->dayMs = ReadTime(fields[1])) < 0) return false;
  if (fields[2] != "A" && fields[2] != "V") return false;
  if (!ReadPosition(fields, 3, s)) return false;
  s->valid = fields[2] == "A";
  // A mode indicator of N (NMEA 2.3 on) says the data are not valid whatever the status.
  if (count > 12 && fields[12] == "N") s->valid = false;
  if (s->valid && !s->hasPosition) return false;
  double value = 0;
  if (!fields[7].empty()) {
    if (!ReadDecimal(fields[7], false, &value) || value > kMaxKnots) return false;
    s->speedKmh = value * kKmhPerKnot;
  }
  if (!fields[8].empty()) {
    if (!ReadDecimal(fields[8], false, &value) || value > 360) return false;
    s->course = value;
  }
  if (!fields[9].empty()) {
    const std::string_view date = fields[9];
    if (date.size() != 6) return false;
    for (char c : date) {
      if (!IsDigit(c)) return false;
    }
    if (s->dayMs >= 0) {
      const int yy = TwoDigits(date, 4);
      const int ms = s->dayMs % 1000, seconds = s->dayMs / 1000;
      const std::int64_t clock =
          UtcMs(yy >= 70 ? 1900 + yy : 2000 + yy, TwoDigits(date, 2), TwoDigits(date, 0),
                seconds / 3600, seconds / 60 % 60, seconds % 60, ms);
      if (clock < 0) return false;
      s->hasClock = true;
      s->clockMs = clock;
    }
  }
  return true;
}

bool ReadGga(const std::string_view* fields, std::size_t count, NmeaSentence* s) {
  // Time, the position, quality, satellites, HDOP and altitude at least.
  if (count < 10) return false;
  if (!fields[1].empty() && (s->dayMs = ReadTime(fields[1])) < 0) return false;
  if (!ReadPosition(fields, 2, s)) return false;
  const std::string_view quality = fields[6];
  if (quality.size() > 1 || (quality.size() == 1 && (quality[0] < '0' || quality[0] > '8'))) {
    return false;
  }
  s->valid = quality.size() == 1 && quality[0] != '0' && s->hasPosition;
  if (!fields[9].empty()) {
    double altitude = 0;
    if (!ReadDecimal(fields[9], true, &altitude) || altitude < kMinAltitude ||
        altitude > kMaxAltitude) {
      return false;
    }
    if (count > 10 && !fields[10].empty() && fields[10] != "M") return false;
    s->altitude = altitude;
  }
  return true;
}

// The talker and kind of a sentence's first field: two capitals (not P, which starts a maker's
// own sentence such as Garmin's PGRMC) then RMC or GGA.
std::optional<NmeaSentence::Kind> ReadHeader(std::string_view field) {
  if (field.size() != 5 || !IsUpper(field[0]) || !IsUpper(field[1]) || field[0] == 'P') {
    return std::nullopt;
  }
  if (field.substr(2) == "RMC") return NmeaSentence::Kind::kRmc;
  if (field.substr(2) == "GGA") return NmeaSentence::Kind::kGga;
  return std::nullopt;
}

bool LooksLikeRmc(std::string_view piece) {
  if (!piece.empty() && piece[0] == '$') piece.remove_prefix(1);
  return piece.size() > 5 && piece[5] == ',' &&
         ReadHeader(piece.substr(0, 5)) == NmeaSentence::Kind::kRmc;
}

// Gathers the fixes of a run of sentences: each RMC makes a fix, and a GGA of the same time of day
// next to it (before or after) gives it its altitude.
class FixBuilder {
 public:
  explicit FixBuilder(CameraMetadata* out) : out_(out) {}
  ~FixBuilder() { Flush(); }

  void Add(const NmeaSentence& s, int mediaMs) {
    if (s.kind == NmeaSentence::Kind::kGga) {
      if (pending_ && s.dayMs >= 0 && s.dayMs == pendingDayMs_ && std::isnan(pending_->altitude)) {
        pending_->altitude = s.altitude;
      } else {
        ggaDayMs_ = s.dayMs;
        ggaAltitude_ = s.altitude;
      }
      return;
    }
    Flush();
    Fix fix;
    fix.mediaMs = mediaMs;
    fix.hasClock = s.hasClock;
    fix.clockMs = s.clockMs;
    fix.valid = s.valid;
    fix.latitude = s.latitude;
    fix.longitude = s.longitude;
    fix.speedKmh = s.speedKmh;
    fix.course = s.course;
    if (s.dayMs >= 0 && s.dayMs == ggaDayMs_) fix.altitude = ggaAltitude_;
    ggaDayMs_ = -1;
    pending_ = fix;
    pendingDayMs_ = s.dayMs;
  }

  void Flush() {
    if (pending_) AddFix(out_, *pending_);
    pending_.reset();
  }

 private:
  CameraMetadata* out_;
  std::optional<Fix> pending_;
  int pendingDayMs_ = -1;
  int ggaDayMs_ = -1;  // the last GGA not yet given to an RMC
  double ggaAltitude_ = kNone;
};

// Calls `piece` for each run of text from one '$' to the next '$' or the end of the line, on every
// line of `text` up to kMaxLine bytes; `line` first sees each line and returns the text of it to
// split (or an empty view to skip it).
template <typename LineFn, typename PieceFn>
void ForEachLine(std::string_view text, LineFn line, PieceFn piece) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = start;
    while (end < text.size() && !IsLineEnd(text[end])) ++end;
    if (end > start && end - start <= kMaxLine) {
      std::string_view rest = line(text.substr(start, end - start));
      std::size_t at = rest.find('$');
      while (at != std::string_view::npos) {
        const std::size_t next = rest.find('$', at + 1);
        piece(rest.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at));
        at = next;
      }
    }
    start = end + 1;
  }
}

// A `[digits]` line prefix: its value and the rest of the line; nullopt when the line has none,
// and a value of -1 when it starts with '[' that does not read.
std::optional<std::int64_t> ReadPrefix(std::string_view* line) {
  if (line->empty() || (*line)[0] != '[') return std::nullopt;
  const std::size_t close = line->find(']');
  // 16 digits are ms until the year 318857: more is not a clock.
  if (close == std::string_view::npos || close < 2 || close > 17) return -1;
  std::int64_t value = 0;
  for (std::size_t k = 1; k < close; ++k) {
    if (!IsDigit((*line)[k])) return -1;
    value = value * 10 + ((*line)[k] - '0');
  }
  line->remove_prefix(close + 1);
  return value;
}

// A subtitle sample's text: after the u16 BE length that tx3g samples start with, when it is there.
std::string_view CueText(std::string_view text) {
  if (text.size() >= 2 && std::size_t(static_cast<unsigned char>(text[0]) << 8 |
                                      static_cast<unsigned char>(text[1])) == text.size() - 2) {
    text.remove_prefix(2);
  }
  return text;
}

}  // namespace

bool ParseNmeaSentence(std::string_view sentence, NmeaSentence* out) {
  while (!sentence.empty() &&
         (sentence.back() == '\r' || sentence.back() == '\n' || sentence.back() == ' ')) {
    sentence.remove_suffix(1);
  }
  if (!sentence.empty() && sentence[0] == '$') sentence.remove_prefix(1);
  if (sentence.empty() || sentence.size() > kMaxSentence) return false;
  std::string_view body = sentence;
  const std::size_t star = sentence.find('*');
  if (star != std::string_view::npos) {
    if (sentence.size() != star + 3) return false;
    const int high = HexValue(sentence[star + 1]), low = HexValue(sentence[star + 2]);
    if (high < 0 || low < 0) return false;
    body = sentence.substr(0, star);
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    if (sum != unsigned(high * 16 + low)) return false;
  }
  std::string_view fields[kMaxFields];
  std::size_t count = 0;
  std::size_t start = 0;
  for (std::size_t k = 0; k <= body.size(); ++k) {
    if (k < body.size()) {
      const char c = body[k];
      if (c < 0x20 || c > 0x7e || c == '$') return false;
      if (c != ',') continue;
    }
    if (count == kMaxFields || k - start > kMaxField) return false;
    fields[count++] = body.substr(start, k - start);
    start = k + 1;
  }
  const auto kind = ReadHeader(fields[0]);
  if (!kind) return false;
  NmeaSentence s;
  s.kind = *kind;
  const bool read =
      *kind == NmeaSentence::Kind::kRmc ? ReadRmc(fields, count, &s) : ReadGga(fields, count, &s);
  if (!read) return false;
  *out = s;
  return true;
}

bool ParseNmeaText(std::string_view text, int mediaMs, CameraMetadata* out) {
  text = CueText(text);
  if (text.substr(0, 9) == "gsensori,") return ParseThinkwareCue(text, mediaMs, out);
  bool any = false;
  FixBuilder fixes(out);
  ForEachLine(
      text, [](std::string_view line) { return line; },
      [&](std::string_view piece) {
        NmeaSentence s;
        if (!ParseNmeaSentence(piece, &s)) return;
        any = true;
        fixes.Add(s, mediaMs);
      });
  return any;
}

bool ParseThinkwareCue(std::string_view text, int mediaMs, CameraMetadata* out) {
  text = CueText(text);
  if (text.substr(0, 9) != "gsensori,") return false;
  bool any = false;
  FixBuilder fixes(out);
  std::size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    std::size_t end = start;
    while (end < text.size() && !IsLineEnd(text[end]) && text[end] != ';') ++end;
    const std::string_view part = text.substr(start, end - start);
    start = end + 1;
    if (first) {
      first = false;
      // gsensori,<range>,<counts per g>,<x>,<y>,<z>: five integers.
      double values[5] = {};
      std::size_t n = 0, from = 9;
      bool ok = part.size() <= 9 + 5 * kMaxField;
      while (ok && from <= part.size()) {
        std::size_t comma = part.find(',', from);
        if (comma == std::string_view::npos) comma = part.size();
        const std::string_view field = part.substr(from, comma - from);
        ok = n < 5 && ReadDecimal(field, true, &values[n]) &&
             field.find('.') == std::string_view::npos;
        ++n;
        from = comma + 1;
      }
      if (ok && n == 5 && values[1] >= 1 && values[1] <= 65535 &&
          std::fabs(values[2] / values[1]) <= kMaxG && std::fabs(values[3] / values[1]) <= kMaxG &&
          std::fabs(values[4] / values[1]) <= kMaxG) {
        GSample sample;
        sample.mediaMs = mediaMs;
        sample.x = values[2] / values[1];
        sample.y = values[3] / values[1];
        sample.z = values[4] / values[1];
        AddGSample(out, sample);
        any = true;
      }
      continue;
    }
    NmeaSentence s;
    if (part.empty() || part.size() > kMaxSentence + 1 || !ParseNmeaSentence(part, &s)) continue;
    any = true;
    fixes.Add(s, mediaMs);
  }
  return any;
}

bool ParseNmeaLog(std::string_view text, std::int64_t originMs, CameraMetadata* out) {
  bool any = false;
  FixBuilder fixes(out);
  std::int64_t rmcIndex = 0;
  std::optional<std::int64_t> prefix;
  bool skip = false;
  ForEachLine(
      text,
      [&](std::string_view line) {
        prefix = ReadPrefix(&line);
        skip = prefix && *prefix < 0;
        return line;
      },
      [&](std::string_view piece) {
        if (skip) return;
        std::int64_t mediaMs = 0;
        if (prefix) {
          if (originMs < 0) originMs = *prefix;
          mediaMs = *prefix - originMs;
        } else {
          if (!LooksLikeRmc(piece)) {
            mediaMs = rmcIndex > 0 ? (rmcIndex - 1) * 1000 : 0;
          } else {
            mediaMs = rmcIndex++ * 1000;
          }
        }
        NmeaSentence s;
        if (!ParseNmeaSentence(piece, &s)) return;
        any = true;
        if (mediaMs < 0 || mediaMs > kMaxLogMediaMs) return;
        fixes.Add(s, int(mediaMs));
      });
  return any;
}

}  // namespace metadata
