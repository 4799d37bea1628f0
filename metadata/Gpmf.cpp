// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Gpmf.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace metadata {
namespace {

// Containers nest DEVC > STRM on every GoPro; deeper than this is not a sample of theirs.
constexpr int kMaxDepth = 8;
constexpr double kStandardGravity = 9.80665;  // m/s^2 in one g
// GPS9's date counts days from 2000-01-01.
constexpr std::int64_t kMs2000 = 946684800000;

struct Klv {
  char key[4];
  char type;  // 0: a container of further KLVs
  std::size_t structSize;
  std::size_t repeat;
  const std::uint8_t* data;
  std::size_t size;  // structSize * repeat, without the padding
};

bool IsKeyByte(std::uint8_t b) { return std::isupper(b) || std::isdigit(b) || b == ' '; }

// The bytes of one value of a type character; 0 for a type that is not a plain number.
std::size_t NumberSize(char type) {
  switch (type) {
    case 'b':
    case 'B':
    case 'c':
      return 1;
    case 's':
    case 'S':
      return 2;
    case 'l':
    case 'L':
    case 'f':
      return 4;
    case 'd':
    case 'j':
    case 'J':
      return 8;
    default:
      return 0;
  }
}

bool IsKnownType(char type) {
  return type == 0 || NumberSize(type) != 0 || type == 'U' || type == '?' || type == 'F' ||
         type == 'G' || type == 'q' || type == 'Q';
}

std::uint64_t BigEndian(const std::uint8_t* p, std::size_t bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

double ReadNumber(char type, const std::uint8_t* p) {
  switch (type) {
    case 'b':
      return double(std::int8_t(p[0]));
    case 'B':
    case 'c':
      return double(p[0]);
    case 's':
      return double(std::int16_t(BigEndian(p, 2)));
    case 'S':
      return double(std::uint16_t(BigEndian(p, 2)));
    case 'l':
      return double(std::int32_t(BigEndian(p, 4)));
    case 'L':
      return double(std::uint32_t(BigEndian(p, 4)));
    case 'j':
      return double(std::int64_t(BigEndian(p, 8)));
    case 'J':
      return double(BigEndian(p, 8));
    case 'f': {
      const std::uint32_t bits = std::uint32_t(BigEndian(p, 4));
      float f;
      std::memcpy(&f, &bits, 4);
      return f;
    }
    case 'd': {
      const std::uint64_t bits = BigEndian(p, 8);
      double d;
      std::memcpy(&d, &bits, 8);
      return d;
    }
    default:
      return kNone;
  }
}

// One KLV at `p` with `left` bytes before its parent's end; false when its header is not one or
// its payload (padded to 4 bytes) runs past the parent.
bool ReadKlv(const std::uint8_t* p, std::size_t left, Klv* klv, std::size_t* consumed) {
  if (left < 8) return false;
  for (int i = 0; i < 4; ++i) {
    if (!IsKeyByte(p[i])) return false;
    klv->key[i] = char(p[i]);
  }
  klv->type = char(p[4]);
  if (!IsKnownType(klv->type)) return false;
  klv->structSize = p[5];
  klv->repeat = std::size_t(BigEndian(p + 6, 2));
  klv->size = klv->structSize * klv->repeat;  // at most 255 * 65535
  const std::size_t padded = (klv->size + 3) & ~std::size_t(3);
  if (padded > left - 8) return false;
  klv->data = p + 8;
  *consumed = 8 + padded;
  return true;
}

bool KeyIs(const Klv& klv, const char* key) { return std::memcmp(klv.key, key, 4) == 0; }

// What one stream (the KLVs of one container) says, gathered before its data is read, since
// GoPro writes the values that qualify the data (SCAL, TYPE, GPSU, GPSF) before it but nothing
// requires that order.
struct Stream {
  std::vector<double> scal;
  std::string typeString;
  std::string orin;
  bool hasClock = false;
  std::int64_t clockMs = 0;
  int fix = -1;  // GPSF; -1 when the stream gives none
  const Klv* gps5 = nullptr;
  const Klv* gps9 = nullptr;
  const Klv* accl = nullptr;
};

struct Sample {
  int mediaMs;
  int durationMs;
  std::vector<Fix> gps5;
  std::vector<Fix> gps9;
  std::vector<GSample> gsensor;
};

std::string Text(const Klv& klv) {
  std::string s(reinterpret_cast<const char*>(klv.data), klv.size);
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
  return s;
}

// GPSU: "yymmddhhmmss.sss" as UTC.
bool ReadGpsu(const Klv& klv, std::int64_t* ms) {
  if ((klv.type != 'U' && klv.type != 'c') || klv.size < 16) return false;
  const char* t = reinterpret_cast<const char*>(klv.data);
  for (int i = 0; i < 16; ++i) {
    if (i == 12 ? t[i] != '.' : !std::isdigit(std::uint8_t(t[i]))) return false;
  }
  auto two = [t](int at) { return (t[at] - '0') * 10 + (t[at + 1] - '0'); };
  const int millis = (t[13] - '0') * 100 + (t[14] - '0') * 10 + (t[15] - '0');
  *ms = UtcMs(2000 + two(0), two(2), two(4), two(6), two(8), two(10), millis);
  return *ms >= 0;
}

// The numbers of a plain-typed KLV, at most `limit` of them.
std::vector<double> Numbers(const Klv& klv, std::size_t limit) {
  std::vector<double> values;
  const std::size_t each = NumberSize(klv.type);
  if (each == 0 || klv.type == 'c') return values;
  const std::size_t count = klv.size / each;
  if (count > limit) return values;
  for (std::size_t i = 0; i < count; ++i)
    values.push_back(ReadNumber(klv.type, klv.data + i * each));
  return values;
}

// The scale of element `j` of `elements`: SCAL gives one value for all or one per element; empty
// means none (1). 0 when the SCAL fits neither or would divide by zero.
double ScaleOf(const std::vector<double>& scal, std::size_t elements, std::size_t j) {
  double s = 1;
  if (scal.size() == 1) {
    s = scal[0];
  } else if (scal.size() == elements) {
    s = scal[j];
  } else if (!scal.empty()) {
    return 0;
  }
  return std::isfinite(s) && s != 0 ? s : 0;
}

bool Scales(const std::vector<double>& scal, std::size_t elements, double* out) {
  for (std::size_t j = 0; j < elements; ++j) {
    out[j] = ScaleOf(scal, elements, j);
    if (out[j] == 0) return false;
  }
  return true;
}

int PointMs(const Sample& s, std::size_t i, std::size_t n) {
  if (s.mediaMs < 0) return -1;
  return int(s.mediaMs + std::int64_t(i) * s.durationMs / std::int64_t(n));
}

bool InRange(double lat, double lon) {
  return std::isfinite(lat) && std::isfinite(lon) && std::fabs(lat) <= 90 && std::fabs(lon) <= 180;
}

void ReadGps5(const Stream& st, const Klv& klv, Sample* s) {
  if (klv.type != 'l' || klv.structSize != 20 || klv.repeat == 0) return;
  double scale[5];
  if (!Scales(st.scal, 5, scale)) return;
  const std::size_t n = klv.repeat;
  for (std::size_t i = 0; i < n && s->gps5.size() < kMaxFixes; ++i) {
    const std::uint8_t* p = klv.data + i * 20;
    double v[5];
    for (int j = 0; j < 5; ++j) v[j] = double(std::int32_t(BigEndian(p + 4 * j, 4))) / scale[j];
    if (!InRange(v[0], v[1])) continue;
    Fix fix;
    fix.mediaMs = PointMs(*s, i, n);
    if (st.hasClock) {
      fix.hasClock = true;
      fix.clockMs = st.clockMs + std::int64_t(i) * s->durationMs / std::int64_t(n);
    }
    // A stream without GPSF says nothing of its fix: a position of 0, 0 is the receiver's none.
    fix.valid = st.fix >= 0 ? st.fix >= 2 : !(v[0] == 0 && v[1] == 0);
    fix.latitude = v[0];
    fix.longitude = v[1];
    fix.altitude = v[2];
    if (v[3] >= 0) fix.speedKmh = v[3] * 3.6;
    s->gps5.push_back(fix);
  }
}

void ReadGps9(const Stream& st, const Klv& klv, Sample* s) {
  // Nine values: latitude, longitude, altitude, 2D and 3D speed, days since 2000, seconds since
  // midnight, DOP and fix, typed "lllllllSS".
  if (klv.type != '?' || st.typeString != "lllllllSS" || klv.structSize != 32 || klv.repeat == 0) {
    return;
  }
  double scale[9];
  if (!Scales(st.scal, 9, scale)) return;
  const std::size_t n = klv.repeat;
  for (std::size_t i = 0; i < n && s->gps9.size() < kMaxFixes; ++i) {
    const std::uint8_t* p = klv.data + i * 32;
    double v[9];
    for (int j = 0; j < 7; ++j) v[j] = double(std::int32_t(BigEndian(p + 4 * j, 4))) / scale[j];
    v[7] = double(BigEndian(p + 28, 2)) / scale[7];
    v[8] = double(BigEndian(p + 30, 2)) / scale[8];
    if (!InRange(v[0], v[1])) continue;
    Fix fix;
    fix.mediaMs = PointMs(*s, i, n);
    // Days up to 2099, seconds within the day.
    if (v[5] >= 0 && v[5] < 36525 && v[6] >= 0 && v[6] < 86401) {
      fix.hasClock = true;
      fix.clockMs = kMs2000 + std::int64_t(v[5]) * 86400000 + std::llround(v[6] * 1000);
    }
    fix.valid = v[8] >= 2;
    fix.latitude = v[0];
    fix.longitude = v[1];
    fix.altitude = v[2];
    if (v[3] >= 0) fix.speedKmh = v[3] * 3.6;
    s->gps9.push_back(fix);
  }
}

// The axis and sign of each stored element: ORIN's letters (lower case: negated), or else the
// order GoPro documents for the model: Z, X, Y on the HERO5, Y, -X, Z from the HERO6 on.
std::string AxisOrder(const Stream& st, const std::string& device) {
  std::string orin = st.orin;
  if (orin.size() == 3) {
    std::string seen;
    for (char c : orin) seen += char(std::toupper(std::uint8_t(c)));
    if (seen.find('X') != std::string::npos && seen.find('Y') != std::string::npos &&
        seen.find('Z') != std::string::npos) {
      return orin;
    }
  }
  std::string upper;
  for (char c : device) upper += char(std::toupper(std::uint8_t(c)));
  if (upper == "CAMERA" || upper.find("HERO5") != std::string::npos) return "ZXY";
  return "YxZ";
}

void ReadAccl(const Stream& st, const Klv& klv, const std::string& device, Sample* s) {
  if (klv.type != 's' || klv.structSize != 6 || klv.repeat == 0) return;
  double scale[3];
  if (!Scales(st.scal, 3, scale)) return;
  const std::string order = AxisOrder(st, device);
  const std::size_t n = klv.repeat;
  for (std::size_t i = 0; i < n && s->gsensor.size() < kMaxGSamples; ++i) {
    GSample g;
    g.mediaMs = PointMs(*s, i, n);
    for (int j = 0; j < 3; ++j) {
      double v = double(std::int16_t(BigEndian(klv.data + i * 6 + 2 * j, 2))) / scale[j] /
                 kStandardGravity;
      const char axis = order[j];
      if (std::islower(std::uint8_t(axis))) v = -v;
      switch (std::toupper(std::uint8_t(axis))) {
        case 'X':
          g.x = v;
          break;
        case 'Y':
          g.y = v;
          break;
        default:
          g.z = v;
          break;
      }
    }
    s->gsensor.push_back(g);
  }
}

// Walks the KLVs of one container; false when any of them is broken or nesting goes too deep.
bool Walk(const std::uint8_t* p, std::size_t size, int depth, std::string device, Sample* s) {
  if (depth > kMaxDepth) return false;
  std::vector<Klv> items;
  Stream st;
  std::size_t pos = 0;
  while (pos < size) {
    Klv klv;
    std::size_t used = 0;
    if (!ReadKlv(p + pos, size - pos, &klv, &used)) return false;
    pos += used;
    if (depth == 0 && !KeyIs(klv, "DEVC")) return false;
    if (klv.type == 0) {
      // Values named before a container (the device's name) hold inside it.
      if (!Walk(klv.data, klv.size, depth + 1, device, s)) return false;
      continue;
    }
    if (KeyIs(klv, "DVNM") && klv.type == 'c') {
      device = Text(klv);
    } else if (KeyIs(klv, "SCAL")) {
      st.scal = Numbers(klv, 64);
    } else if (KeyIs(klv, "TYPE") && klv.type == 'c') {
      st.typeString = Text(klv);
    } else if (KeyIs(klv, "ORIN") && klv.type == 'c') {
      st.orin = Text(klv);
    } else if (KeyIs(klv, "GPSU")) {
      st.hasClock = ReadGpsu(klv, &st.clockMs);
    } else if (KeyIs(klv, "GPSF")) {
      const std::vector<double> v = Numbers(klv, 1);
      if (v.size() == 1 && v[0] >= 0 && v[0] <= 3) st.fix = int(v[0]);
    }
    items.push_back(klv);
  }
  for (const Klv& klv : items) {
    if (KeyIs(klv, "GPS5")) ReadGps5(st, klv, s);
    if (KeyIs(klv, "GPS9")) ReadGps9(st, klv, s);
    if (KeyIs(klv, "ACCL")) ReadAccl(st, klv, device, s);
  }
  return true;
}

}  // namespace

bool ParseGpmfSample(const std::uint8_t* data, std::size_t size, int mediaMs, int durationMs,
                     CameraMetadata* out) {
  if (data == nullptr || out == nullptr || size < 8) return false;
  if (std::memcmp(data, "DEVC", 4) != 0 || data[4] != 0) return false;
  Sample s{mediaMs, durationMs < 0 ? 0 : durationMs, {}, {}, {}};
  if (!Walk(data, size, 0, std::string(), &s)) return false;
  // A camera that writes both GPS streams writes the same points twice: GPS9 is the finer one.
  for (const Fix& fix : s.gps9.empty() ? s.gps5 : s.gps9) {
    if (!AddFix(out, fix)) break;
  }
  for (const GSample& g : s.gsensor) {
    if (!AddGSample(out, g)) break;
  }
  out->format = Format::kGpmf;
  return true;
}

}  // namespace metadata
