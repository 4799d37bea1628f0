// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/TelemetryWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tools/RecordingStreams.h"

namespace tools {

namespace {

// The height of the drive's streets above the sea, which the route does not give.
constexpr double kAltitudeMetres = 38;
// Counts per g of the G-sensor bytes, 128 meaning no force.
constexpr double kGsensorCountsPerG = 40;
constexpr double kKnotsPerKmh = 1 / 1.852;
constexpr double kStandardGravity = 9.80665;
// The size of every freeGPS atom: one block a second.
constexpr std::uint32_t kFreeGpsBlockBytes = 4096;
// Where the marker "freeGPS " begins in its atom: after the atom's size.
constexpr std::size_t kMarker = 4;

std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = int(y - era * 400);
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::int64_t MsOf(const DateTime& t) {
  return ((DaysFromCivil(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60000ll +
         t.second * 1000ll;
}

void Put32Be(std::vector<std::uint8_t>* b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + std::size_t(i)] = std::uint8_t(v >> (24 - 8 * i));
}
void Put32Le(std::vector<std::uint8_t>* b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}
void PutFloatLe(std::vector<std::uint8_t>* b, std::size_t at, float f) {
  std::uint32_t v = 0;
  std::memcpy(&v, &f, sizeof v);
  Put32Le(b, at, v);
}
void Append(std::vector<std::uint8_t>* b, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  b->insert(b->end(), p, p + n);
}
void AppendBe(std::vector<std::uint8_t>* b, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b->push_back(std::uint8_t(v >> (8 * i)));
}
// A box: its size (header included), its type, its payload.
std::vector<std::uint8_t> Box(const char* type, const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> b;
  AppendBe(&b, 8 + payload.size(), 4);
  Append(&b, type, 4);
  Append(&b, payload.data(), payload.size());
  return b;
}

// The same as a number, as the binary records hold it.
double DmValue(double degrees) {
  const double a = std::fabs(degrees);
  const double whole = std::floor(a);
  return whole * 100 + (a - whole) * 60;
}

std::string Sentence(const std::string& body) {
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body));
  return body + tail;
}

std::string NmeaTime(const TelemetryFix& fix) {
  if (!fix.hasClock) return std::string();
  char t[16];
  std::snprintf(t, sizeof t, "%02d%02d%02d.000", fix.clock.hour, fix.clock.minute,
                fix.clock.second);
  return t;
}

// The g of a G-sensor byte.
double GOf(std::uint8_t counts) { return (128.0 - counts) / kGsensorCountsPerG; }

// The binary records' time: hour, minute, second, year - 2000, month, day; zeros without one.
void PutTime(std::vector<std::uint8_t>* b, std::size_t at, const TelemetryFix& fix) {
  if (!fix.hasClock) return;
  const DateTime& t = fix.clock;
  const int fields[6] = {t.hour, t.minute, t.second, t.year - 2000, t.month, t.day};
  for (int i = 0; i < 6; ++i) Put32Le(b, at + std::size_t(4 * i), std::uint32_t(fields[i]));
}

// Status and hemisphere letters; an invalid record gives V and no hemispheres.
void PutStatus(std::vector<std::uint8_t>* b, std::size_t at, const TelemetryFix& fix) {
  (*b)[at] = fix.valid ? 'A' : 'V';
  if (!fix.valid) return;
  (*b)[at + 1] = fix.latitude < 0 ? 'S' : 'N';
  (*b)[at + 2] = fix.longitude < 0 ? 'W' : 'E';
}

void PutAccelerations(std::vector<std::uint8_t>* b, std::size_t at, const TelemetrySample* g) {
  if (!g) return;
  const double axes[3] = {g->x, g->y, g->z};
  for (int i = 0; i < 3; ++i) {
    Put32Le(b, at + std::size_t(4 * i), std::uint32_t(std::int32_t(std::lround(axes[i] * 256))));
  }
}

// The newer record: time from +12, status from +36, the floats from +40, accelerations from +56.
void PutNewerRecord(std::vector<std::uint8_t>* b, const TelemetryFix& fix,
                    const TelemetrySample* g) {
  PutTime(b, kMarker + 12, fix);
  PutStatus(b, kMarker + 36, fix);
  if (fix.valid) {
    PutFloatLe(b, kMarker + 40, float(DmValue(fix.latitude)));
    PutFloatLe(b, kMarker + 44, float(DmValue(fix.longitude)));
    PutFloatLe(b, kMarker + 48, float(fix.kmh * kKnotsPerKmh));
    PutFloatLe(b, kMarker + 52, float(fix.course));
  }
  PutAccelerations(b, kMarker + 56, g);
}

// GPMF: a key, its value type, the size of one value and their count, the values padded to 4.
void Klv(std::vector<std::uint8_t>* b, const char* key, char type, int size, int repeat,
         const std::vector<std::uint8_t>& data) {
  Append(b, key, 4);
  b->push_back(std::uint8_t(type));
  b->push_back(std::uint8_t(size));
  AppendBe(b, std::uint64_t(repeat), 2);
  Append(b, data.data(), data.size());
  while (b->size() % 4 != 0) b->push_back(0);
}
void KlvNested(std::vector<std::uint8_t>* b, const char* key,
               const std::vector<std::uint8_t>& inside) {
  Klv(b, key, '\0', 4, int(inside.size() / 4), inside);
}
std::vector<std::uint8_t> BeValues(std::initializer_list<std::int64_t> values, int bytes) {
  std::vector<std::uint8_t> b;
  for (std::int64_t v : values) AppendBe(&b, std::uint64_t(v), bytes);
  return b;
}
std::vector<std::uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

std::string TwoDigits(const char* format, const DateTime& t) {
  char out[64];
  std::snprintf(out, sizeof out, format, t.year, t.month, t.day, t.hour, t.minute, t.second);
  return out;
}

}  // namespace

DriveTelemetry GatherTelemetry(const CardOptions& options, const DateTime& camera, int seconds,
                               RecordingStreams* streams) {
  DriveTelemetry d;
  d.camera = camera;
  d.cameraMs = MsOf(camera);
  d.speedField = options.gpsSpeedField;
  bool fixed = false;  // a valid fix has come
  for (int s = 0; s < seconds; ++s) {
    const GpsFix f = streams->Fix(s);
    TelemetryFix t;
    t.valid = options.gpsFix && s >= options.gpsLostSeconds;
    fixed = fixed || t.valid;
    t.latitude = f.latitude;
    t.longitude = f.longitude;
    t.kmh = f.kmh;
    t.course = f.course;
    t.altitude = kAltitudeMetres;
    const DateTime local = AddSeconds(f.utc, kClockAheadOfUtcSeconds);
    switch (options.gpsClock) {
      case GpsClock::kUtc:
        t.clock = f.utc;
        break;
      case GpsClock::kLocal:
        t.clock = local;
        break;
      case GpsClock::kJump:
        t.clock = fixed ? local : f.utc;
        break;
      case GpsClock::kNone:
        break;
    }
    t.hasClock = options.gpsClock != GpsClock::kNone;
    d.fixes.push_back(t);
  }
  if (options.gsensor) {
    for (int k = 0; k < seconds * kGsensorPerSecond; ++k) {
      const std::array<std::uint8_t, 3> b = streams->Gsensor(k);
      d.gsensor.push_back({k * 1000 / kGsensorPerSecond, GOf(b[0]), GOf(b[1]), GOf(b[2])});
    }
  }
  return d;
}

Telemetry FamilyTelemetry(const std::string& family, Container container) {
  const bool ts = container == Container::kTs;
  if (family == "novatek") return ts ? Telemetry::kFreeGpsNewer : Telemetry::kFreeGps;
  if (family == "vantrue") return Telemetry::kFreeGpsNmea;
  if (family == "70mai") return Telemetry::kFreeGps70mai;
  if (family == "blackvue") return Telemetry::kBlackVue;
  if (family == "thinkware") return Telemetry::kNmeaTrack;
  if (family == "garmin") return Telemetry::kGarmin;
  if (family == "tesla") return Telemetry::kTesla;
  if (family == "generic" && !ts) return Telemetry::kGpmf;
  return Telemetry::kNone;
}

bool ContainerCarries(Container container, Telemetry format) {
  if (container != Container::kTs) return format != Telemetry::kFamily;
  switch (format) {
    case Telemetry::kNone:
    case Telemetry::kFreeGpsNewer:  // as the private stream
    case Telemetry::kBlackVueSidecar:
    case Telemetry::kNmeaSidecar:
    case Telemetry::kGpxSidecar:
      return true;
    default:
      return false;
  }
}

bool ParseTelemetry(const std::string& name, Telemetry* out) {
  static const struct {
    const char* name;
    Telemetry format;
  } kNames[] = {
      {"none", Telemetry::kNone},
      {"freegps", Telemetry::kFreeGps},
      {"freegps-newer", Telemetry::kFreeGpsNewer},
      {"freegps-nmea", Telemetry::kFreeGpsNmea},
      {"freegps-70mai", Telemetry::kFreeGps70mai},
      {"blackvue", Telemetry::kBlackVue},
      {"blackvue-sidecar", Telemetry::kBlackVueSidecar},
      {"nmea-track", Telemetry::kNmeaTrack},
      {"garmin", Telemetry::kGarmin},
      {"gpmf", Telemetry::kGpmf},
      {"tesla", Telemetry::kTesla},
      {"nmea-sidecar", Telemetry::kNmeaSidecar},
      {"gpx-sidecar", Telemetry::kGpxSidecar},
  };
  for (const auto& n : kNames) {
    if (name == n.name) {
      *out = n.format;
      return true;
    }
  }
  return false;
}

std::string NmeaRmc(const TelemetryFix& fix, const std::string& speedField) {
  std::string date;
  if (fix.hasClock) {
    char d[16];
    std::snprintf(d, sizeof d, "%02d%02d%02d", fix.clock.day, fix.clock.month,
                  fix.clock.year % 100);
    date = d;
  }
  if (!fix.valid) return Sentence("$GPRMC," + NmeaTime(fix) + ",V,,,,,,," + date + ",,,N");
  char knots[48], course[32];
  std::snprintf(knots, sizeof knots, "%.2f", fix.kmh * kKnotsPerKmh);
  std::snprintf(course, sizeof course, "%.2f", fix.course);
  return Sentence("$GPRMC," + NmeaTime(fix) + ",A," + NmeaDegreesMinutes(fix.latitude, false) +
                  "," + (fix.latitude < 0 ? "S" : "N") + "," +
                  NmeaDegreesMinutes(fix.longitude, true) + "," + (fix.longitude < 0 ? "W" : "E") +
                  "," + (speedField.empty() ? std::string(knots) : speedField) + "," + course +
                  "," + date + ",,,A");
}

std::string NmeaGga(const TelemetryFix& fix) {
  if (!fix.valid) return Sentence("$GPGGA," + NmeaTime(fix) + ",,,,,0,00,99.9,,M,,M,,");
  char alt[32];
  std::snprintf(alt, sizeof alt, "%.1f", fix.altitude);
  return Sentence("$GPGGA," + NmeaTime(fix) + "," + NmeaDegreesMinutes(fix.latitude, false) + "," +
                  (fix.latitude < 0 ? "S" : "N") + "," + NmeaDegreesMinutes(fix.longitude, true) +
                  "," + (fix.longitude < 0 ? "W" : "E") + ",1,08,0.9," + alt + ",M,0.0,M,,");
}

std::vector<std::uint8_t> FreeGpsBlock(Telemetry format, const DriveTelemetry& drive, int second,
                                       const TelemetrySample* g) {
  std::vector<std::uint8_t> b(kFreeGpsBlockBytes, 0);
  Put32Be(&b, 0, kFreeGpsBlockBytes);
  std::memcpy(&b[kMarker], "freeGPS ", 8);
  if (second < 0 || std::size_t(second) >= drive.fixes.size()) return b;
  const TelemetryFix& fix = drive.fixes[std::size_t(second)];
  switch (format) {
    case Telemetry::kFreeGpsNewer:
      PutNewerRecord(&b, fix, g);
      break;
    case Telemetry::kFreeGpsNmea: {
      // The camera's own clock as 14 digits at +48, the accelerations at +64, the sentences
      // from +76.
      const std::string clock =
          TwoDigits("%04d%02d%02d%02d%02d%02d", AddSeconds(drive.camera, second));
      std::memcpy(&b[kMarker + 48], clock.data(), std::min<std::size_t>(clock.size(), 14));
      PutAccelerations(&b, kMarker + 64, g);
      const std::string text = NmeaRmc(fix, drive.speedField) + NmeaGga(fix);
      std::memcpy(&b[kMarker + 76], text.data(),
                  std::min(text.size(), b.size() - kMarker - 76 - 1));
      break;
    }
    case Telemetry::kFreeGps70mai:
    case Telemetry::kFreeGps:
    default:
      PutTime(&b, kMarker + 44, fix);
      PutStatus(&b, kMarker + 68, fix);
      if (!fix.valid) break;
      if (format == Telemetry::kFreeGps70mai) {
        Put32Le(&b, kMarker + 72, std::uint32_t(std::int32_t(std::lround(fix.latitude * 1e6))));
        Put32Le(&b, kMarker + 76, std::uint32_t(std::int32_t(std::lround(fix.longitude * 1e6))));
        Put32Le(&b, kMarker + 80, std::uint32_t(std::lround(fix.kmh * 100)));
      } else {
        PutFloatLe(&b, kMarker + 72, float(DmValue(fix.latitude)));
        PutFloatLe(&b, kMarker + 76, float(DmValue(fix.longitude)));
        PutFloatLe(&b, kMarker + 80, float(fix.kmh * kKnotsPerKmh));
      }
      PutFloatLe(&b, kMarker + 84, float(fix.course));
      break;
  }
  return b;
}

std::vector<std::uint8_t> FreeGpsIndex(const std::vector<std::uint64_t>& offsets,
                                       std::uint32_t size) {
  std::vector<std::uint8_t> payload;
  AppendBe(&payload, 0x101, 4);
  AppendBe(&payload, offsets.size(), 4);
  for (std::uint64_t offset : offsets) {
    AppendBe(&payload, offset, 4);
    AppendBe(&payload, size, 4);
  }
  return Box("gps ", payload);
}

std::vector<std::uint8_t> TsPrivateRecord(const DriveTelemetry& drive, int second,
                                          const TelemetrySample* g) {
  const std::vector<std::uint8_t> block = FreeGpsBlock(Telemetry::kFreeGpsNewer, drive, second, g);
  return {block.begin() + kMarker + 12, block.begin() + kMarker + 68};
}

std::string BlackVueGpsLog(const DriveTelemetry& drive, int seconds) {
  std::string log;
  for (int s = 0; s < seconds && std::size_t(s) < drive.fixes.size(); ++s) {
    const std::string stamp = "[" + std::to_string(drive.cameraMs + s * 1000ll) + "]";
    const TelemetryFix& fix = drive.fixes[std::size_t(s)];
    log += stamp + NmeaRmc(fix, drive.speedField) + stamp + NmeaGga(fix);
  }
  return log;
}

std::vector<std::uint8_t> BlackVue3gf(const DriveTelemetry& drive, int seconds) {
  std::vector<std::uint8_t> b;
  for (const TelemetrySample& g : drive.gsensor) {
    if (g.mediaMs >= seconds * 1000) break;
    AppendBe(&b, std::uint64_t(g.mediaMs), 4);
    for (double axis : {g.x, g.y, g.z}) {
      AppendBe(&b, std::uint64_t(std::uint16_t(std::int16_t(std::lround(axis * 100)))), 2);
    }
  }
  b.insert(b.end(), 10, 0xFF);
  return b;
}

std::vector<std::uint8_t> BlackVueFreeBox(const DriveTelemetry& drive, int seconds) {
  std::vector<std::uint8_t> payload = Box("sttm", BeValues({drive.cameraMs}, 8));
  const std::string log = BlackVueGpsLog(drive, seconds);
  const std::vector<std::uint8_t> gps = Box("gps ", Text(log));
  const std::vector<std::uint8_t> g = Box("3gf ", BlackVue3gf(drive, seconds));
  payload.insert(payload.end(), gps.begin(), gps.end());
  payload.insert(payload.end(), g.begin(), g.end());
  return Box("free", payload);
}

std::string NmeaCue(const DriveTelemetry& drive, int second, const TelemetrySample* g,
                    bool thinkware) {
  if (second < 0 || std::size_t(second) >= drive.fixes.size()) return std::string();
  const TelemetryFix& fix = drive.fixes[std::size_t(second)];
  const std::string rmc = NmeaRmc(fix, drive.speedField);
  if (!thinkware) return rmc + NmeaGga(fix);
  // The sensor's range in g and its counts a g, the sample in counts, the RMC without its '$',
  // and the car's signals, none here.
  constexpr int kCountsPerG = 512;
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "gsensori,4,%d,%ld,%ld,%ld;", kCountsPerG,
                g ? std::lround(g->x * kCountsPerG) : 0L, g ? std::lround(g->y * kCountsPerG) : 0L,
                g ? std::lround(g->z * kCountsPerG) : 0L);
  return prefix + rmc.substr(1) + ";CAR,0,0,0,0.0,0,0,0,0,0,0,0,0";
}

std::vector<std::uint8_t> GarminRecord(const TelemetryFix& fix) {
  if (!fix.valid) return {};
  std::vector<std::uint8_t> b;
  Append(&b, "PNDM", 4);
  AppendBe(&b, 0, 4);
  AppendBe(&b, std::uint64_t(std::lround(fix.kmh / 1.609344)), 2);
  AppendBe(&b, 0, 2);
  // Semicircles: 2^31 of them to 180 degrees.
  for (double degrees : {fix.latitude, fix.longitude}) {
    const double semicircles =
        std::clamp(degrees * 2147483648.0 / 180, -2147483648.0, 2147483647.0);
    AppendBe(&b, std::uint64_t(std::uint32_t(std::int32_t(std::llround(semicircles)))), 4);
  }
  return b;
}

std::vector<std::uint8_t> TextSample(const std::vector<std::uint8_t>& text) {
  std::vector<std::uint8_t> b;
  const std::size_t n = std::min<std::size_t>(text.size(), 0xFFFF);
  AppendBe(&b, n, 2);
  Append(&b, text.data(), n);
  return b;
}

std::vector<std::uint8_t> TextTrackStyle() {
  std::vector<std::uint8_t> b;
  AppendBe(&b, 0, 4);  // display flags
  b.push_back(1);      // centred across
  b.push_back(0xFF);   // at the bottom
  AppendBe(&b, 0, 4);  // no background
  AppendBe(&b, 0, 8);  // the default text box
  // The style: characters 0..0, font 1, plain, 18 points, white.
  AppendBe(&b, 0, 2);
  AppendBe(&b, 0, 2);
  AppendBe(&b, 1, 2);
  b.push_back(0);
  b.push_back(18);
  AppendBe(&b, 0xFFFFFFFF, 4);
  // The font table: font 1 is Serif.
  std::vector<std::uint8_t> fonts;
  AppendBe(&fonts, 1, 2);
  AppendBe(&fonts, 1, 2);
  fonts.push_back(5);
  Append(&fonts, "Serif", 5);
  const std::vector<std::uint8_t> ftab = Box("ftab", fonts);
  b.insert(b.end(), ftab.begin(), ftab.end());
  return b;
}

std::vector<std::uint8_t> GpmfSample(const DriveTelemetry& drive, int second) {
  std::vector<std::uint8_t> gps, accl, device;
  if (second < 0 || std::size_t(second) >= drive.fixes.size()) return {};
  const TelemetryFix& fix = drive.fixes[std::size_t(second)];
  const std::int64_t micros = second * 1000000ll;
  Klv(&gps, "STMP", 'J', 8, 1, BeValues({micros}, 8));
  Klv(&gps, "TSMP", 'L', 4, 1, BeValues({second + 1}, 4));
  const std::string name = "GPS (Lat., Long., Alt., 2D speed, 3D speed)";
  Klv(&gps, "STNM", 'c', 1, int(name.size()), Text(name));
  Klv(&gps, "GPSF", 'L', 4, 1, BeValues({fix.valid ? 3 : 0}, 4));
  if (fix.hasClock) {
    const std::string u = TwoDigits("%02d%02d%02d%02d%02d%02d.000", [&] {
      DateTime t = fix.clock;
      t.year %= 100;
      return t;
    }());
    Klv(&gps, "GPSU", 'U', 16, 1, Text(u));
  }
  Klv(&gps, "GPSP", 'S', 2, 1, BeValues({fix.valid ? 90 : 9999}, 2));
  if (fix.valid) {
    Klv(&gps, "SCAL", 'l', 4, 5, BeValues({10000000, 10000000, 1000, 1000, 100}, 4));
    const double ms = fix.kmh / 3.6;
    Klv(&gps, "GPS5", 'l', 20, 1,
        BeValues(
            {std::llround(fix.latitude * 1e7), std::llround(fix.longitude * 1e7),
             std::llround(fix.altitude * 1000), std::llround(ms * 1000), std::llround(ms * 100)},
            4));
  }
  std::vector<std::uint8_t> samples;
  int count = 0;
  // Counts a m/s², as the cameras scale them.
  constexpr int kAcclScale = 418;
  for (const TelemetrySample& g : drive.gsensor) {
    if (g.mediaMs < second * 1000 || g.mediaMs >= (second + 1) * 1000) continue;
    // The order of the camera's axes: up, across, along.
    for (double axis : {g.z, g.x, g.y}) {
      const long v =
          std::lround(std::clamp(axis * kStandardGravity * kAcclScale, -32768.0, 32767.0));
      AppendBe(&samples, std::uint64_t(std::uint16_t(std::int16_t(v))), 2);
    }
    count++;
  }
  KlvNested(&device, "STRM", gps);
  if (count > 0) {
    Klv(&accl, "STMP", 'J', 8, 1, BeValues({micros}, 8));
    Klv(&accl, "TSMP", 'L', 4, 1, BeValues({(second + 1) * count}, 4));
    Klv(&accl, "STNM", 'c', 1, 13, Text("Accelerometer"));
    Klv(&accl, "SIUN", 'c', 1, 4, Text("m/s\xb2"));
    Klv(&accl, "SCAL", 's', 2, 1, BeValues({kAcclScale}, 2));
    Klv(&accl, "ACCL", 's', 6, count, samples);
    KlvNested(&device, "STRM", accl);
  }
  std::vector<std::uint8_t> inside;
  Klv(&inside, "DVID", 'L', 4, 1, BeValues({1}, 4));
  Klv(&inside, "DVNM", 'c', 1, 6, Text("Camera"));
  inside.insert(inside.end(), device.begin(), device.end());
  std::vector<std::uint8_t> out;
  KlvNested(&out, "DEVC", inside);
  return out;
}

std::string NmeaFile(const DriveTelemetry& drive) {
  std::string text;
  for (const TelemetryFix& fix : drive.fixes) text += NmeaRmc(fix, drive.speedField) + NmeaGga(fix);
  return text;
}

std::string GpxFile(const DriveTelemetry& drive) {
  std::string gpx =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<gpx version=\"1.1\" creator=\"roadeye-mkcard\" "
      "xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
      " <trk>\n  <trkseg>\n";
  for (const TelemetryFix& fix : drive.fixes) {
    if (!fix.valid) continue;
    char point[512];
    std::snprintf(point, sizeof point, "   <trkpt lat=\"%.7f\" lon=\"%.7f\"><ele>%.1f</ele>",
                  fix.latitude, fix.longitude, fix.altitude);
    gpx += point;
    if (fix.hasClock) {
      gpx += "<time>" + TwoDigits("%04d-%02d-%02dT%02d:%02d:%02dZ", fix.clock) + "</time>";
    }
    std::snprintf(point, sizeof point,
                  "<extensions><speed>%.3f</speed><course>%.2f</course></extensions></trkpt>\n",
                  fix.kmh / 3.6, fix.course);
    gpx += point;
  }
  gpx += "  </trkseg>\n </trk>\n</gpx>\n";
  return gpx;
}

namespace {

// Protobuf: a field's key, a varint, a little-endian fixed64 or fixed32.
void Varint(std::vector<std::uint8_t>* b, std::uint64_t v) {
  while (v >= 0x80) {
    b->push_back(std::uint8_t(v | 0x80));
    v >>= 7;
  }
  b->push_back(std::uint8_t(v));
}
void VarintField(std::vector<std::uint8_t>* b, int field, std::uint64_t v) {
  if (v == 0) return;
  Varint(b, std::uint64_t(field) << 3);
  Varint(b, v);
}
void DoubleField(std::vector<std::uint8_t>* b, int field, double d) {
  if (d == 0) return;
  Varint(b, std::uint64_t(field) << 3 | 1);
  std::uint64_t v = 0;
  std::memcpy(&v, &d, sizeof v);
  for (int i = 0; i < 8; ++i) b->push_back(std::uint8_t(v >> (8 * i)));
}
void FloatField(std::vector<std::uint8_t>* b, int field, double d) {
  const float f = float(d);
  if (f == 0) return;
  Varint(b, std::uint64_t(field) << 3 | 5);
  std::uint32_t v = 0;
  std::memcpy(&v, &f, sizeof v);
  for (int i = 0; i < 4; ++i) b->push_back(std::uint8_t(v >> (8 * i)));
}

// An SEI message's payload type or size: 255 for each FF byte, then the rest.
void SeiNumber(std::vector<std::uint8_t>* b, std::size_t n) {
  for (; n >= 255; n -= 255) b->push_back(0xFF);
  b->push_back(std::uint8_t(n));
}

bool IsSlice(VideoCodec codec, std::uint8_t header) {
  if (codec == VideoCodec::kH265) return (header >> 1 & 0x3F) < 32;
  const int type = header & 0x1F;
  return type >= 1 && type <= 5;
}

double Wrapped(double degrees) {
  while (degrees > 180) degrees -= 360;
  while (degrees < -180) degrees += 360;
  return degrees;
}

}  // namespace

CarState CarStateAt(const DriveTelemetry& drive, const RecordingStreams& streams, int picture,
                    int fps, std::uint64_t firstFrame, bool parked) {
  CarState c;
  const double t = double(picture) / std::max(fps, 1);
  c.frame = firstFrame + std::uint64_t(picture);
  c.parked = parked;
  const GpsFix now = streams.FixAt(t);
  const GpsFix before = streams.FixAt(std::max(0.0, t - 0.5)), after = streams.FixAt(t + 0.5);
  c.speedMs = now.kmh / 3.6;
  const double along = (after.kmh - before.kmh) / 3.6;        // m/s² over the second around t
  const double turn = Wrapped(after.course - before.course);  // degrees a second
  c.pedal = parked || c.speedMs <= 0 ? 0 : std::clamp(0.12 + along / 2.5, 0.0, 1.0);
  c.brake = parked || along < -0.8;
  c.steering = std::clamp(turn * 6, -450.0, 450.0);
  c.blinkLeft = !parked && turn < -4;
  c.blinkRight = !parked && turn > 4;
  const std::size_t second = std::size_t(t);
  c.located = second < drive.fixes.size() && drive.fixes[second].valid;
  if (c.located) {
    c.latitude = now.latitude;
    c.longitude = now.longitude;
    c.heading = now.course;
  }
  const std::size_t k = std::size_t(t * kGsensorPerSecond);
  if (k < drive.gsensor.size()) {
    c.ax = drive.gsensor[k].x * kStandardGravity;
    c.ay = drive.gsensor[k].y * kStandardGravity;
    c.az = drive.gsensor[k].z * kStandardGravity;
  }
  return c;
}

std::vector<std::uint8_t> TeslaSeiMessage(const CarState& c) {
  std::vector<std::uint8_t> m;
  VarintField(&m, 1, 1);                     // version
  VarintField(&m, 2, c.parked ? 0 : 1);      // gear: park or drive
  VarintField(&m, 3, c.frame);               // frame sequence number
  FloatField(&m, 4, c.speedMs);              // vehicle speed, m/s
  FloatField(&m, 5, c.pedal);                // accelerator pedal
  FloatField(&m, 6, c.steering);             // steering wheel angle
  VarintField(&m, 7, c.blinkLeft ? 1 : 0);   // left blinker
  VarintField(&m, 8, c.blinkRight ? 1 : 0);  // right blinker
  VarintField(&m, 9, c.brake ? 1 : 0);       // brake applied
  DoubleField(&m, 11, c.latitude);
  DoubleField(&m, 12, c.longitude);
  DoubleField(&m, 13, c.heading);
  DoubleField(&m, 14, c.ax);
  DoubleField(&m, 15, c.ay);
  DoubleField(&m, 16, c.az);
  return m;
}

std::vector<std::uint8_t> TeslaSeiNal(VideoCodec codec, const CarState& state) {
  const std::vector<std::uint8_t> message = TeslaSeiMessage(state);
  std::vector<std::uint8_t> raw;
  raw.push_back(5);  // user data unregistered
  SeiNumber(&raw, 4 + message.size());
  for (std::uint8_t b : {0x42, 0x42, 0x42, 0x69}) raw.push_back(b);
  raw.insert(raw.end(), message.begin(), message.end());
  raw.push_back(0x80);
  std::vector<std::uint8_t> nal = {0, 0, 0, 1};
  if (codec == VideoCodec::kH265) {
    nal.push_back(39 << 1);  // prefix SEI
    nal.push_back(1);
  } else {
    nal.push_back(6);
  }
  int zeros = 0;
  for (std::uint8_t b : raw) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return nal;
}

void InsertBeforeFirstSlice(VideoCodec codec, const std::vector<std::uint8_t>& nal,
                            std::vector<std::uint8_t>* au) {
  const std::vector<std::uint8_t>& d = *au;
  for (std::size_t i = 0; i + 3 < d.size(); ++i) {
    if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
    if (IsSlice(codec, d[i + 3])) {
      // The start code's leading zero, when it has the 4-byte form.
      const std::size_t at = i > 0 && d[i - 1] == 0 ? i - 1 : i;
      au->insert(au->begin() + std::ptrdiff_t(at), nal.begin(), nal.end());
      return;
    }
    i += 2;
  }
  au->insert(au->end(), nal.begin(), nal.end());
}

}  // namespace tools
