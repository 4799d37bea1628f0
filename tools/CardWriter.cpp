// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/CardWriter.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "support/CivilDate.h"
#include "tools/CardLayout.h"
#include "tools/TripDrive.h"

namespace tools {

std::string NmeaDegreesMinutes(double degrees, bool longitude) {
  const double a = std::min(std::fabs(degrees), 180.0);
  int whole = int(a);
  // Round here so that 59.99995 minutes carries into the degrees instead of printing 60.0000.
  int tenThousandths = int(std::lround((a - whole) * 60 * 10000));
  if (tenThousandths >= 600000) {
    whole++;
    tenThousandths -= 600000;
  }
  char out[48];
  std::snprintf(out, sizeof out, longitude ? "%03d%02d.%04d" : "%02d%02d.%04d", whole % 1000,
                tenThousandths / 10000, tenThousandths % 10000);
  return out;
}

namespace {

std::int64_t ToSeconds(const DateTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

DateTime FromSeconds(std::int64_t s) {
  std::int64_t days = s >= 0 ? s / 86400 : (s - 86399) / 86400;
  std::int64_t rest = s - days * 86400;
  DateTime t;
  std::int64_t year = 0;
  CivilFromDays(days, &year, &t.month, &t.day);
  t.year = int(year);
  t.hour = int(rest / 3600);
  t.minute = int(rest / 60 % 60);
  t.second = int(rest % 60);
  return t;
}

// The layout of the family named as FamilyNames() lists it; the VEX card's for any other name.
const CardLayout& Layout(const std::string& family) {
  for (const CardLayout* layout : FamilyLayouts()) {
    if (layout->Name() == family) return *layout;
  }
  return VexLayout();
}

}  // namespace

bool ParseDateTime(const std::string& text, DateTime* out) {
  if (text.size() != 15 || text[8] != '_') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != 8 && (text[i] < '0' || text[i] > '9')) return false;
  }
  auto num = [&](std::size_t at, std::size_t n) { return std::stoi(text.substr(at, n)); };
  DateTime t;
  t.year = num(0, 4);
  t.month = num(4, 2);
  t.day = num(6, 2);
  t.hour = num(9, 2);
  t.minute = num(11, 2);
  t.second = num(13, 2);
  // GPS dates carry two-digit years, read back as 1970..2069.
  if (t.year < 2000 || t.year > 2069 || t.month < 1 || t.month > 12 || t.day < 1) return false;
  if (t.hour > 23 || t.minute > 59 || t.second > 59) return false;
  DateTime check = FromSeconds(ToSeconds(t));
  if (check.day != t.day || check.month != t.month) return false;
  *out = t;
  return true;
}

DateTime AddSeconds(const DateTime& t, std::int64_t seconds) {
  return FromSeconds(ToSeconds(t) + seconds);
}

std::uint8_t NmeaChecksum(const std::string& sentence) {
  std::size_t begin = sentence.find('$');
  begin = begin == std::string::npos ? 0 : begin + 1;
  std::uint8_t sum = 0;
  for (std::size_t i = begin; i < sentence.size() && sentence[i] != '*'; ++i) {
    sum ^= std::uint8_t(sentence[i]);
  }
  return sum;
}

std::string GpsRecord(const DateTime& utc, double latitude, double longitude, double kmh,
                      double course, const std::string& speedField) {
  const std::string lat = NmeaDegreesMinutes(latitude, false),
                    lon = NmeaDegreesMinutes(longitude, true);
  char knots[48];
  if (speedField.empty() || speedField.size() >= sizeof knots) {
    std::snprintf(knots, sizeof knots, "%.1f", kmh / 1.852);
  } else {
    std::snprintf(knots, sizeof knots, "%s", speedField.c_str());
  }
  char body[200];
  std::snprintf(body, sizeof body, "$GPRMC,%02d%02d%02d.000,A,%s,%c,%s,%c,%s,%.1f,%02d%02d%02d,,,A",
                utc.hour, utc.minute, utc.second, lat.c_str(), latitude < 0 ? 'S' : 'N',
                lon.c_str(), longitude < 0 ? 'W' : 'E', knots, course, utc.day, utc.month,
                utc.year % 100);
  std::string s(body);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(s));
  return "G" + s + tail;
}

std::string VoidGpsRecord(const DateTime& utc) {
  char body[96];
  std::snprintf(body, sizeof body, "$GPRMC,%02d%02d%02d.000,V,,,,,,,%02d%02d%02d,,,N", utc.hour,
                utc.minute, utc.second, utc.day, utc.month, utc.year % 100);
  std::string s(body);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(s));
  return "G" + s + tail;
}

std::string RecordingPlan::FileName() const { return VexLayout().FileName(*this); }

const std::vector<std::string>& FamilyNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n{VexLayout().Name()};
    for (const CardLayout* layout : FamilyLayouts()) n.push_back(layout->Name());
    return n;
  }();
  return names;
}

std::string FindFamily(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  const std::vector<std::string>& names = FamilyNames();
  return std::find(names.begin(), names.end(), lower) != names.end() ? lower : std::string();
}

bool FamilyTakes(const std::string& family, Container container) {
  return Layout(family).Takes(container);
}

bool FamilyHasKind(const std::string& family, const std::string& kind) {
  return Layout(family).HasKind(kind);
}

bool PrepareCard(const std::string& root, const CardOptions& options,
                 const std::string& settingsText, std::string* error) {
  return Layout(options.family).PrepareCard(root, settingsText, error);
}

bool WriteRecording(const std::string& root, const CardOptions& options, const RecordingPlan& plan,
                    RecordingResult* result, std::string* error) {
  if (plan.tripOffsetSeconds < 0 || plan.tripOffsetSeconds > TripDrive::kMaxSeconds) {
    *error = plan.FileName() + ": the trip offset is out of range";
    return false;
  }
  return Layout(options.family).WriteRecording(root, options, plan, result, error);
}

}  // namespace tools
