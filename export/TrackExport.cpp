// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/TrackExport.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <pugixml.hpp>

#include "platform/WholeFile.h"
#include "support/CivilDate.h"

namespace {

constexpr char kGpxNamespace[] = "http://www.topografix.com/GPX/1/1";
constexpr char kTpxNamespace[] = "http://www.garmin.com/xmlschemas/TrackPointExtension/v2";
constexpr char kKmlNamespace[] = "http://www.opengis.net/kml/2.2";
constexpr char kGxNamespace[] = "http://www.google.com/kml/ext/2.2";
// The camera's clock, shown in the subtitles, runs this far ahead of UTC.

// A number with `decimals` places after the point, independent of the locale; -0 is written 0.
std::string Fixed(double value, int decimals) {
  if (value == 0) value = 0;
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return r.ec == std::errc() ? std::string(buf, r.ptr) : std::string("0");
}

std::string Integer(long long value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

// `value` as at least `width` digits with leading zeros.
std::string Padded(long long value, int width) {
  std::string s = Integer(value < 0 ? -value : value);
  if (int(s.size()) < width) s.insert(0, std::size_t(width) - s.size(), '0');
  return value < 0 ? "-" + s : s;
}

struct Civil {
  std::int64_t year = 1970;
  int month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// The civil date and time of seconds since 1970 (proleptic Gregorian calendar, no time zone).
Civil CivilFromSeconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days -= 1;
  }
  Civil c;
  CivilFromDays(days, &c.year, &c.month, &c.day);
  c.hour = int(rest / 3600);
  c.minute = int(rest / 60 % 60);
  c.second = int(rest % 60);
  return c;
}

std::string DatePart(const Civil& c) {
  return Padded(c.year, 4) + "-" + Padded(c.month, 2) + "-" + Padded(c.day, 2);
}

std::string ClockPart(const Civil& c) {
  return Padded(c.hour, 2) + ":" + Padded(c.minute, 2) + ":" + Padded(c.second, 2);
}

// ISO 8601 UTC: 2024-06-11T23:15:00Z.
std::string IsoUtc(std::int64_t utc) {
  const Civil c = CivilFromSeconds(utc);
  return DatePart(c) + "T" + ClockPart(c) + "Z";
}

// A text that XML 1.0 can hold: control characters other than tab and line ends become '?'.
std::string XmlText(const std::string& text) {
  std::string out = text;
  for (char& ch : out) {
    const auto u = static_cast<unsigned char>(ch);
    if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0x7F) ch = '?';
  }
  return out;
}

// Speed in m/s of a km/h value; false when it is no speed (not finite, negative).
bool MetresPerSecond(double kmh, double* out) {
  if (!std::isfinite(kmh) || kmh < 0) return false;
  *out = kmh / 3.6;
  return true;
}

// A course in [0, 360) to a tenth of a degree, as it is written; false when it is not finite.
bool Course(double degrees, double* out) {
  if (!std::isfinite(degrees)) return false;
  double c = std::round(std::fmod(degrees, 360.0) * 10) / 10;
  if (c < 0) c += 360.0;
  if (c >= 360.0) c = 0;  // 359.96 rounds up to a full turn
  *out = c;
  return true;
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

bool Save(const std::string& text, const std::string& path, std::string* error) {
  if (WriteWholeFile(path, text, WholeFileMode::kReplace)) return true;
  const int e = errno;
  SetError(error, "cannot write " + path + (e != 0 ? ": " + std::string(std::strerror(e)) : ""));
  return false;
}

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string* out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_->append(static_cast<const char*>(data), size);
  }

 private:
  std::string* out_;
};

bool SaveDocument(const pugi::xml_document& doc, const std::string& path, std::string* error) {
  std::string text;
  StringWriter writer(&text);
  doc.save(writer, "  ", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8);
  return Save(text, path, error);
}

void AddDeclaration(pugi::xml_document* doc) {
  pugi::xml_node decl = doc->append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
}

void AddText(pugi::xml_node parent, const char* name, const std::string& text) {
  parent.append_child(name).text().set(text.c_str());
}

// What the times of a track are: always UTC here, and the camera's own clock beside it.
std::string TimesText(const Track& track) {
  return "Times in UTC; " +
         (track.clockText.empty() ? std::string("camera clock unknown") : track.clockText);
}

void BuildGpx(const std::vector<Track>& tracks, pugi::xml_document* doc) {
  AddDeclaration(doc);
  pugi::xml_node gpx = doc->append_child("gpx");
  gpx.append_attribute("version") = "1.1";
  gpx.append_attribute("creator") = "Roadeye";
  gpx.append_attribute("xmlns") = kGpxNamespace;
  gpx.append_attribute("xmlns:gpxtpx") = kTpxNamespace;
  for (const Track& track : tracks) {
    pugi::xml_node trk = gpx.append_child("trk");
    AddText(trk, "name", XmlText(track.name));
    AddText(trk, "desc", TimesText(track));
    for (const std::vector<TrackPoint>& segment : track.segments) {
      pugi::xml_node seg = trk.append_child("trkseg");
      for (const TrackPoint& p : segment) {
        pugi::xml_node pt = seg.append_child("trkpt");
        pt.append_attribute("lat") = Fixed(p.latitude, 7).c_str();
        pt.append_attribute("lon") = Fixed(p.longitude, 7).c_str();
        AddText(pt, "time", IsoUtc(p.utcTime));
        double speed = 0, course = 0;
        const bool hasSpeed = MetresPerSecond(p.speedKmh, &speed);
        const bool hasCourse = Course(p.course, &course);
        if (!hasSpeed && !hasCourse) continue;
        // TrackPointExtension's children come in its schema's order: speed before course.
        pugi::xml_node ext =
            pt.append_child("extensions").append_child("gpxtpx:TrackPointExtension");
        if (hasSpeed) AddText(ext, "gpxtpx:speed", Fixed(speed, 3));
        if (hasCourse) AddText(ext, "gpxtpx:course", Fixed(course, 1));
      }
    }
  }
}

void BuildKml(const std::vector<Track>& tracks, pugi::xml_document* doc) {
  AddDeclaration(doc);
  pugi::xml_node kml = doc->append_child("kml");
  kml.append_attribute("xmlns") = kKmlNamespace;
  kml.append_attribute("xmlns:gx") = kGxNamespace;
  pugi::xml_node document = kml.append_child("Document");
  AddText(document, "name", "Roadeye");
  // The per-point values a gx:Track carries beside its positions.
  pugi::xml_node schema = document.append_child("Schema");
  schema.append_attribute("id") = "roadeye-track";
  pugi::xml_node field = schema.append_child("gx:SimpleArrayField");
  field.append_attribute("name") = "speed";
  field.append_attribute("type") = "float";
  AddText(field, "displayName", "Speed (m/s)");

  for (const Track& track : tracks) {
    pugi::xml_node placemark = document.append_child("Placemark");
    AddText(placemark, "name", XmlText(track.name));
    AddText(placemark, "description", TimesText(track));
    if (track.Empty()) continue;
    pugi::xml_node multi = placemark.append_child("gx:MultiTrack");
    AddText(multi, "altitudeMode", "clampToGround");
    // Segments stay apart: no line is drawn across a break.
    AddText(multi, "gx:interpolate", "0");
    for (const std::vector<TrackPoint>& segment : track.segments) {
      if (segment.empty()) continue;
      pugi::xml_node gxTrack = multi.append_child("gx:Track");
      AddText(gxTrack, "altitudeMode", "clampToGround");
      for (const TrackPoint& p : segment) AddText(gxTrack, "when", IsoUtc(p.utcTime));
      for (const TrackPoint& p : segment) {
        AddText(gxTrack, "gx:coord", Fixed(p.longitude, 7) + " " + Fixed(p.latitude, 7) + " 0");
      }
      pugi::xml_node data = gxTrack.append_child("ExtendedData").append_child("SchemaData");
      data.append_attribute("schemaUrl") = "#roadeye-track";
      pugi::xml_node speeds = data.append_child("gx:SimpleArrayData");
      speeds.append_attribute("name") = "speed";
      for (const TrackPoint& p : segment) {
        double speed = 0;
        AddText(speeds, "gx:value", MetresPerSecond(p.speedKmh, &speed) ? Fixed(speed, 3) : "");
      }
    }
  }
}

// hh:mm:ss,mmm of a time in ms.
std::string SrtTime(std::int64_t ms) {
  return Padded(ms / 3600000, 2) + ":" + Padded(ms / 60000 % 60, 2) + ":" +
         Padded(ms / 1000 % 60, 2) + "," + Padded(ms % 1000, 3);
}

// The camera's clock of a point, or UTC (said so) when the camera's offset is unknown.
std::string SrtText(const Track& track, const TrackPoint& p) {
  const std::int64_t offset = track.clockKnown ? std::int64_t(track.clockOffsetMinutes) * 60 : 0;
  const Civil c = CivilFromSeconds(p.utcTime + offset);
  long long kmh = 0;
  if (std::isfinite(p.speedKmh)) kmh = std::llround(std::clamp(p.speedKmh, -1e9, 1e9));
  return DatePart(c) + " " + ClockPart(c) + (track.clockKnown ? "" : " UTC") + "  " + Integer(kmh) +
         " km/h\n" + Fixed(p.latitude, 7) + ", " + Fixed(p.longitude, 7) + "\n";
}

}  // namespace

bool WriteGpx(const std::vector<Track>& tracks, const std::string& path, std::string* error) {
  try {
    pugi::xml_document doc;
    BuildGpx(tracks, &doc);
    return SaveDocument(doc, path, error);
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory writing " + path);
    return false;
  }
}

bool WriteKml(const std::vector<Track>& tracks, const std::string& path, std::string* error) {
  try {
    pugi::xml_document doc;
    BuildKml(tracks, &doc);
    return SaveDocument(doc, path, error);
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory writing " + path);
    return false;
  }
}

bool WriteSrt(const Track& track, int durationMs, const std::string& path, std::string* error) {
  try {
    std::vector<const TrackPoint*> points;
    points.reserve(std::size_t(track.PointCount()));
    for (const std::vector<TrackPoint>& s : track.segments) {
      for (const TrackPoint& p : s) points.push_back(&p);
    }
    // Fixes arrive in time order; sorted anyway, so that each second finds its first.
    std::stable_sort(points.begin(), points.end(), [](const TrackPoint* a, const TrackPoint* b) {
      return a->timeMs < b->timeMs;
    });

    std::string text;
    const std::int64_t duration = std::max(0, durationMs);
    const std::int64_t cues = (duration + 999) / 1000;
    std::size_t next = 0;
    for (std::int64_t k = 0; k < cues; ++k) {
      const std::int64_t start = k * 1000, end = std::min(start + 1000, duration);
      while (next < points.size() && points[next]->timeMs < start) ++next;
      text += Integer(k + 1) + "\n" + SrtTime(start) + " --> " + SrtTime(end) + "\n";
      if (next < points.size() && points[next]->timeMs < start + 1000) {
        text += SrtText(track, *points[next]);
      } else {
        text += "no GPS\n";
      }
      text += "\n";
    }
    return Save(text, path, error);
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory writing " + path);
    return false;
  }
}
