// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Gpx.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <pugixml.hpp>
#include <string_view>

namespace metadata {
namespace {

constexpr double kKmhPerMps = 3.6;
constexpr double kMinAltitude = -1000, kMaxAltitude = 100000;
constexpr double kMaxKmh = 1000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view s) {
  const char* space = " \t\r\n";
  const std::size_t first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

// An xsd:decimal: an optional sign, digits, an optional point and digits; no exponent.
bool ReadDecimal(std::string_view text, double* value) {
  text = Trim(text);
  if (text.empty() || text.size() > 32) return false;
  char buffer[40];
  std::size_t n = 0, i = 0;
  if (text[0] == '+' || text[0] == '-') {
    if (text[0] == '-') buffer[n++] = '-';
    i = 1;
  }
  bool digit = false, point = false;
  if (i < text.size() && text[i] == '.') buffer[n++] = '0';
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      digit = true;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
    buffer[n++] = text[i];
  }
  if (!digit) return false;
  const auto result = std::from_chars(buffer, buffer + n, *value);
  return result.ec == std::errc() && result.ptr == buffer + n && std::isfinite(*value);
}

int Digits(std::string_view s, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t k = at; k < at + count; ++k) {
    if (k >= s.size() || !IsDigit(s[k])) return -1;
    value = value * 10 + (s[k] - '0');
  }
  return value;
}

// YYYY-MM-DDThh:mm:ss[.fff][Z|±hh:mm] as ms since 1970 UTC; -1 when it does not read.
std::int64_t ReadTime(std::string_view text) {
  text = Trim(text);
  if (text.size() < 19 || text.size() > 40 || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != 't') || text[13] != ':' || text[16] != ':') {
    return -1;
  }
  const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  const int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0) return -1;
  std::size_t at = 19;
  int ms = 0;
  if (at < text.size() && text[at] == '.') {
    ++at;
    const std::size_t from = at;
    int scale = 100;
    while (at < text.size() && IsDigit(text[at])) {
      ms += (text[at] - '0') * scale;
      scale /= 10;
      ++at;
    }
    if (at == from) return -1;
  }
  std::int64_t offsetMs = 0;
  if (at < text.size()) {
    const char zone = text[at];
    if ((zone == 'Z' || zone == 'z') && at + 1 == text.size()) {
      // UTC
    } else if ((zone == '+' || zone == '-') && at + 6 == text.size() && text[at + 3] == ':') {
      const int oh = Digits(text, at + 1, 2), om = Digits(text, at + 4, 2);
      if (oh < 0 || om < 0 || oh > 14 || om > 59) return -1;
      offsetMs = (oh * 60 + om) * 60000LL * (zone == '-' ? -1 : 1);
    } else {
      return -1;
    }
  }
  const std::int64_t local = UtcMs(year, month, day, hour, minute, second, ms);
  if (local < 0 || local - offsetMs < 0) return -1;
  return local - offsetMs;
}

// An element's name without its namespace prefix.
std::string_view LocalName(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& parent, std::string_view name) {
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_element && LocalName(child) == name) return child;
  }
  return {};
}

// The first element named `name` under `node`, however deep.
pugi::xml_node Descendant(const pugi::xml_node& node, std::string_view name) {
  return node.find_node([name](const pugi::xml_node& n) {
    return n.type() == pugi::node_element && LocalName(n) == name;
  });
}

double ReadValue(const pugi::xml_node& node, double low, double high) {
  double value = 0;
  if (!node || !ReadDecimal(node.child_value(), &value) || value < low || value > high)
    return kNone;
  return value;
}

class PointReader {
 public:
  explicit PointReader(CameraMetadata* out) : out_(out) {}

  void Read(const pugi::xml_node& point) {
    double latitude = 0, longitude = 0;
    if (!ReadDecimal(point.attribute("lat").value(), &latitude) ||
        !ReadDecimal(point.attribute("lon").value(), &longitude) || std::fabs(latitude) > 90 ||
        std::fabs(longitude) > 180) {
      return;
    }
    Fix fix;
    fix.valid = true;
    fix.latitude = latitude;
    fix.longitude = longitude;
    fix.altitude = ReadValue(Child(point, "ele"), kMinAltitude, kMaxAltitude);
    const pugi::xml_node extensions = Child(point, "extensions");
    pugi::xml_node speed = Child(point, "speed");
    if (!speed && extensions) speed = Descendant(extensions, "speed");
    const double mps = ReadValue(speed, 0, kMaxKmh / kKmhPerMps);
    if (!std::isnan(mps)) fix.speedKmh = mps * kKmhPerMps;
    pugi::xml_node course = Child(point, "course");
    if (!course && extensions) course = Descendant(extensions, "course");
    fix.course = ReadValue(course, 0, 360);
    const pugi::xml_node time = Child(point, "time");
    const std::int64_t clock = time ? ReadTime(time.child_value()) : -1;
    if (clock >= 0) {
      fix.hasClock = true;
      fix.clockMs = clock;
      if (origin_ < 0) origin_ = clock;
      const std::int64_t mediaMs = clock - origin_;
      fix.mediaMs = mediaMs >= 0 && mediaMs <= INT_MAX ? int(mediaMs) : -1;
    }
    if (AddFix(out_, fix)) any_ = true;
  }

  bool Any() const { return any_; }

 private:
  CameraMetadata* out_;
  std::int64_t origin_ = -1;
  bool any_ = false;
};

}  // namespace

bool ParseGpx(std::string_view xml, CameraMetadata* out) {
  if (xml.empty() || xml.size() > kMaxGpxBytes) return false;
  pugi::xml_document document;
  // No DOCTYPE, processing instructions or comments are kept; pugixml expands no entities but the
  // predefined ones and character references.
  const pugi::xml_parse_result parsed =
      document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_auto);
  if (!parsed) return false;
  const pugi::xml_node root = document.document_element();
  if (LocalName(root) != "gpx") return false;
  PointReader reader(out);
  for (pugi::xml_node node : root.children()) {
    if (node.type() != pugi::node_element) continue;
    const std::string_view name = LocalName(node);
    if (name == "wpt") {
      reader.Read(node);
    } else if (name == "rte") {
      for (pugi::xml_node point : node.children()) {
        if (LocalName(point) == "rtept") reader.Read(point);
      }
    } else if (name == "trk") {
      for (pugi::xml_node segment : node.children()) {
        if (LocalName(segment) != "trkseg") continue;
        for (pugi::xml_node point : segment.children()) {
          if (LocalName(point) == "trkpt") reader.Read(point);
        }
      }
    }
  }
  return reader.Any();
}

}  // namespace metadata
