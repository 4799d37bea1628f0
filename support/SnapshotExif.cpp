// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/SnapshotExif.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <mutex>

namespace {

// Dates outside these years are taken for a clock that was never set or a damaged value.
constexpr int kMinYear = 1970;
constexpr int kMaxYear = 9999;
// No car goes this fast in either unit; a larger speed is a damaged value.
constexpr double kMaxSpeed = 1000;

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool ValidDate(int year, int month, int day) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1) return false;
  return day <= kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool ValidTime(int hour, int minute, int second) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

// The byte length of the UTF-8 character starting at text[i], 0 when it is no valid character or
// a control character (C0, DEL or C1).
std::size_t CharLength(const std::string& text, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = at(i);
  if (b < 0x20 || b == 0x7F) return 0;
  if (b < 0x80) return 1;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;  // no overlong forms
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  if (b == 0xC2 && at(i + 1) <= 0x9F) return 0;  // U+0080..U+009F are control characters
  return n;
}

std::string TwoDigits(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string DateText(int year, int month, int day) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d:%02d:%02d", year, month, day);
  return buf;
}

// Degrees as degrees, minutes and seconds; the seconds in ten-thousandths (under 3e-8 degree).
Exiv2::URationalValue DegreesValue(double degrees) {
  constexpr std::int64_t kPerDegree = 3600LL * 10000;
  constexpr std::int64_t kPerMinute = 60LL * 10000;
  const std::int64_t total = std::llround(std::fabs(degrees) * double(kPerDegree));
  const std::int64_t rest = total % kPerDegree;
  Exiv2::URationalValue v;
  v.value_.push_back({std::uint32_t(total / kPerDegree), 1});
  v.value_.push_back({std::uint32_t(rest / kPerMinute), 1});
  v.value_.push_back({std::uint32_t(rest % kPerMinute), 10000});
  return v;
}

void SetText(Exiv2::ExifData& exif, const char* key, const std::string& text) {
  const std::string clean = SnapshotExifText(text);
  if (!clean.empty()) exif[key] = clean;
}

void SetRational(Exiv2::ExifData& exif, const char* key, const Exiv2::URationalValue& v) {
  exif[key].setValue(&v);
}

void AddGps(Exiv2::ExifData& exif, const SnapshotFix& fix) {
  // Without a position there is no fix worth a tag: never a made-up 0,0.
  if (!fix.valid || !std::isfinite(fix.latitude) || !std::isfinite(fix.longitude) ||
      std::fabs(fix.latitude) > 90 || std::fabs(fix.longitude) > 180) {
    return;
  }
  exif["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
  exif["Exif.GPSInfo.GPSLatitudeRef"] = fix.latitude < 0 ? "S" : "N";
  SetRational(exif, "Exif.GPSInfo.GPSLatitude", DegreesValue(fix.latitude));
  exif["Exif.GPSInfo.GPSLongitudeRef"] = fix.longitude < 0 ? "W" : "E";
  SetRational(exif, "Exif.GPSInfo.GPSLongitude", DegreesValue(fix.longitude));

  if (std::isfinite(fix.speed) && fix.speed >= 0 && fix.speed <= kMaxSpeed) {
    exif["Exif.GPSInfo.GPSSpeedRef"] = fix.mph ? "M" : "K";
    Exiv2::URationalValue speed;
    speed.value_.push_back({std::uint32_t(std::lround(fix.speed * 1000)), 1000});
    SetRational(exif, "Exif.GPSInfo.GPSSpeed", speed);
  }

  if (std::isfinite(fix.second) && fix.second >= 0 && fix.second < 60 &&
      ValidTime(fix.hour, fix.minute, 0)) {
    // Rounding may not carry into the next minute: 59.9996 s stays 59.999 s.
    const long ms = std::min(std::lround(fix.second * 1000), 59999L);
    Exiv2::URationalValue time;
    time.value_.push_back({std::uint32_t(fix.hour), 1});
    time.value_.push_back({std::uint32_t(fix.minute), 1});
    time.value_.push_back({std::uint32_t(ms), 1000});
    SetRational(exif, "Exif.GPSInfo.GPSTimeStamp", time);
  }
  if (ValidDate(fix.year, fix.month, fix.day)) {
    exif["Exif.GPSInfo.GPSDateStamp"] = DateText(fix.year, fix.month, fix.day);
  }
}

// The tags every EXIF segment of a JPEG must hold, for a picture that has none yet: 72 dpi (the
// picture has no physical size), YCbCr components of an sRGB picture, and its size in pixels.
void AddRequiredTags(Exiv2::ExifData& exif, const Exiv2::Image& image) {
  auto setIfMissing = [&](const char* key, const std::string& value) {
    if (exif.findKey(Exiv2::ExifKey(key)) == exif.end()) exif[key] = value;
  };
  setIfMissing("Exif.Image.XResolution", "72/1");
  setIfMissing("Exif.Image.YResolution", "72/1");
  setIfMissing("Exif.Image.ResolutionUnit", "2");                 // inches
  setIfMissing("Exif.Image.YCbCrPositioning", "1");               // centred
  setIfMissing("Exif.Photo.ExifVersion", "48 50 51 50");          // "0232"
  setIfMissing("Exif.Photo.FlashpixVersion", "48 49 48 48");      // "0100"
  setIfMissing("Exif.Photo.ComponentsConfiguration", "1 2 3 0");  // Y Cb Cr
  setIfMissing("Exif.Photo.ColorSpace", "1");                     // sRGB
  if (image.pixelWidth() > 0 && image.pixelHeight() > 0) {
    setIfMissing("Exif.Photo.PixelXDimension", std::to_string(image.pixelWidth()));
    setIfMissing("Exif.Photo.PixelYDimension", std::to_string(image.pixelHeight()));
  }
}

void AddTags(Exiv2::ExifData& exif, const SnapshotEvidence& e) {
  if (ValidDate(e.year, e.month, e.day) && ValidTime(e.hour, e.minute, e.second)) {
    const std::string when = DateText(e.year, e.month, e.day) + " " + TwoDigits(e.hour) + ":" +
                             TwoDigits(e.minute) + ":" + TwoDigits(e.second);
    exif["Exif.Photo.DateTimeOriginal"] = when;
    exif["Exif.Image.DateTime"] = when;
  }
  AddGps(exif, e.fix);
  SetText(exif, "Exif.Image.Make", e.make);
  SetText(exif, "Exif.Image.Model", e.model);
  SetText(exif, "Exif.Image.Software", e.software);
  SetText(exif, "Exif.Image.ImageDescription", e.description);
}

void PrepareExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    // A picture handed in may hold XMP, whose parser must be set up once before any thread uses
    // it. Failures come back as the result; the library's own messages would only reach stderr.
    Exiv2::XmpParser::initialize();
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  });
}

}  // namespace

std::string SnapshotExifText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = CharLength(text, i);
    if (n == 0) {
      ++i;
      continue;
    }
    if (out.size() + n > kSnapshotTextMax) break;
    out.append(text, i, n);
    i += n;
  }
  return out;
}

bool AddSnapshotExif(std::vector<unsigned char>* jpeg, const SnapshotEvidence& evidence) {
  if (!jpeg || jpeg->size() < 4 || jpeg->size() > std::size_t(LONG_MAX)) return false;
  const unsigned char* data = jpeg->data();
  if (data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) return false;
  try {
    PrepareExiv2();
    const long size = long(jpeg->size());
    if (Exiv2::ImageFactory::getType(data, size) != Exiv2::ImageType::jpeg) return false;
    auto image = Exiv2::ImageFactory::open(data, size);  // the library's owning pointer
    if (!image.get()) return false;
    image->readMetadata();
    AddTags(image->exifData(), evidence);
    AddRequiredTags(image->exifData(), *image);
    image->writeMetadata();

    Exiv2::BasicIo& io = image->io();
    if (io.open() != 0) return false;
    const long written = io.size();
    if (written <= 0 || io.seek(0, Exiv2::BasicIo::beg) != 0) return false;
    Exiv2::DataBuf buf = io.read(written);
    io.close();
    if (buf.size_ != written) return false;
    jpeg->assign(buf.pData_, buf.pData_ + buf.size_);
    return true;
  } catch (...) {
    // Exiv2 reports damaged pictures and failed writes with exceptions; the bytes stay as given.
    return false;
  }
}
