#include "tools/CardWriter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iterator>
#include <memory>
#include <numbers>
#include <system_error>
#include <vector>

#include "support/CivilDate.h"
#include "tools/CardEncoder.h"
#include "tools/Picture.h"
#include "tools/Rng.h"
#include "tools/RoadScene.h"
#include "tools/TripDrive.h"
#include "vexlib/VexFormat.h"
#include "vexlib/VexWriter.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

constexpr double kPi = std::numbers::pi;

// Sound (kSoundRate, 16-bit mono) is written in packets of 1920 samples (3840 bytes, 240 ms).
constexpr int kSoundPacketSamples = 1920;
constexpr int kSoundPacketMs = kSoundPacketSamples * 1000 / kSoundRate;

// G-sensor samples per second; a sample is 'M' and one byte per axis, 128 meaning no force.
constexpr int kGsensorPerSecond = 10;
// Counts per g of the G-sensor bytes.
constexpr double kGsensorCountsPerG = 40;

// The camera's clock runs on Korean time; GPS fixes carry UTC.
constexpr int kClockAheadOfUtcHours = 9;

// Every 30th picture is a key picture, so that each block of the layout starts with one.
constexpr int kKeyInterval = vex::kFramesPerBlock;

// ---- Dates -------------------------------------------------------------------------------------

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

// How a camera of the card encodes its pictures: the front at the card's bit rate, the rear at a
// third of it.
H264Settings Encoding(const CardOptions& options, bool front) {
  const VideoSize& size = front ? options.front : options.rear;
  H264Settings s;
  s.width = size.width;
  s.height = size.height;
  s.fps = options.fps;
  s.keyInterval = kKeyInterval;
  s.bitrateKbps = front ? options.bitrateKbps : options.bitrateKbps / 3;
  s.high = options.realistic;
  return s;
}

// ---- Telemetry ---------------------------------------------------------------------------------

// The samples of a collision's jolt.
constexpr int kJoltSamples = 4;

// A G-sensor sample: the car's braking and turning as small swings around 128, and a collision's
// jolt over the kJoltSamples samples from each of `jolts` (first samples, ascending).
std::array<std::uint8_t, 4> GsensorRecord(const TripDrive& route, int k,
                                          const std::vector<int>& jolts, Rng* rng) {
  static constexpr std::uint8_t kJolt[kJoltSamples][3] = {
      {3, 251, 14}, {249, 6, 241}, {24, 228, 62}, {196, 74, 150}};
  auto after = std::upper_bound(jolts.begin(), jolts.end(), k);
  if (after != jolts.begin() && k < *std::prev(after) + kJoltSamples) {
    const auto* j = kJolt[k - *std::prev(after)];
    return {'M', j[0], j[1], j[2]};
  }
  double t = double(k) / kGsensorPerSecond;
  double along = (route.SpeedKmh(t + 0.1) - route.SpeedKmh(std::max(0.0, t - 0.1))) / 0.2 / 3.6;
  double turn = route.Course(t + 0.1) - route.Course(std::max(0.0, t - 0.1));
  if (turn > 180) turn -= 360;
  if (turn < -180) turn += 360;
  double across = route.SpeedKmh(t) / 3.6 * (turn / 0.2 * kPi / 180);
  auto axis = [&](double metresPerSecond2) {
    double counts = metresPerSecond2 / 9.81 * kGsensorCountsPerG + rng->Range(-2.5, 2.5);
    return std::uint8_t(std::clamp(128 - std::lround(counts), 1L, 254L));
  };
  return {'M', axis(across), axis(along), axis(0)};
}

}  // namespace

// ---- Public helpers ----------------------------------------------------------------------------

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

std::string RecordingPlan::FileName() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s_%04d%02d%02d_%02d%02d%02d%s.vex", kind.c_str(), start.year,
                start.month, start.day, start.hour, start.minute, start.second, rear ? "_D" : "");
  return buf;
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
  // ddmm.mmmm (latitude) or dddmm.mmmm (longitude) of a value in degrees.
  auto nmea = [](double degrees, bool longitude) {
    double a = std::min(std::fabs(degrees), 180.0);
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
    return std::string(out);
  };
  const std::string lat = nmea(latitude, false), lon = nmea(longitude, true);
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

bool PrepareCard(const std::string& root, const std::string& settingsText, std::string* error) {
  std::error_code ec;
  for (const char* sub : {"VEX", "SETTING"}) {
    fs::path dir = fs::path(root) / sub;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
      *error = "cannot create " + dir.string() + ": " + (ec ? ec.message() : "not a folder");
      return false;
    }
  }
  std::string text;
  for (char c : settingsText) {
    if (c == '\r') continue;
    if (c == '\n') text += '\r';
    text += c;
  }
  fs::path path = fs::path(root) / "SETTING" / "blackbox.cfg";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    *error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) *error = "cannot write " + path.string();
  return ok;
}

bool WriteRecording(const std::string& root, const CardOptions& options, const RecordingPlan& plan,
                    RecordingResult* result, std::string* error) {
  const int fps = options.fps;
  const int frames = plan.seconds * fps;
  const bool cut = plan.cutAtFrame >= 0 && plan.cutAtFrame < frames;
  const int lastFrame = cut ? plan.cutAtFrame : frames;
  const bool parked = plan.kind == "PARKING";
  const std::uint32_t durationMs = std::uint32_t(plan.seconds) * 1000;
  const fs::path path = fs::path(root) / "VEX" / plan.FileName();

  vex::Header header;
  header.frontRate = fps;
  header.rearRate = plan.rear ? fps : 0;
  header.frontWidth = options.front.width;
  header.frontHeight = options.front.height;
  if (plan.rear) {
    header.rearWidth = options.rear.width;
    header.rearHeight = options.rear.height;
  }
  header.audioRate = kSoundRate;
  header.audioBits = 16;
  header.audioChannels = 1;
  header.model = "RE-2CH";
  header.firmware = "1.0.0";

  if (plan.tripOffsetSeconds < 0 || plan.tripOffsetSeconds > TripDrive::kMaxSeconds) {
    *error = plan.FileName() + ": the trip offset is out of range";
    return false;
  }
  const std::uint64_t tripSeed = plan.tripSeed != 0 ? plan.tripSeed : plan.seed;
  const TripDrive route(tripSeed * 7919ull + 17, plan.tripOffsetSeconds, plan.seconds, parked);
  Rng rng(plan.seed * 104729ull + 3);
  SoundSynth sound(plan.seed * 1299709ull + 5, route, parked);
  RoadScene frontScene(options.front.width, options.front.height, true, plan.seed,
                       options.realistic);
  std::unique_ptr<RoadScene> rearScene;
  H264Encoder frontEncoder, rearEncoder;
  if (!frontEncoder.Open(Encoding(options, true), error)) return false;
  if (plan.rear) {
    rearScene = std::make_unique<RoadScene>(options.rear.width, options.rear.height, false,
                                            plan.seed + 1, options.realistic);
    if (!rearEncoder.Open(Encoding(options, false), error)) return false;
  }

  vex::VexWriter writer;
  if (!writer.Open(path.string(), header)) {
    *error = "cannot create " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& what) {
    writer.Abandon();
    std::error_code ec;
    fs::remove(path, ec);
    *error = path.filename().string() + ": " + what;
    return false;
  };

  // Sound, GPS fixes and G-sensor samples, each with the time of its next packet.
  std::int64_t soundPacket = 0;
  int gpsSecond = 0, gsensorSample = 0;
  std::vector<int> jolts;
  for (int second : options.joltSeconds) jolts.push_back(second * kGsensorPerSecond);
  if (options.joltSeconds.empty() && plan.kind == "EVENT") {
    jolts.push_back(plan.seconds * kGsensorPerSecond / 2);
  }
  std::sort(jolts.begin(), jolts.end());
  const DateTime utcStart = AddSeconds(plan.start, -kClockAheadOfUtcHours * 3600);
  std::vector<std::uint8_t> pcm;
  // Writes, in time order, every sound and text packet due before `limitMs`. At equal times sound
  // goes first, then the GPS fix, then the G-sensor sample.
  auto writeOthersBefore = [&](std::uint32_t limitMs) {
    for (;;) {
      std::uint32_t tSound = std::uint32_t(soundPacket * kSoundPacketMs);
      std::uint32_t tGps = std::uint32_t(gpsSecond) * 1000;
      std::uint32_t tG = std::uint32_t(gsensorSample) * (1000 / kGsensorPerSecond);
      bool soundDue = tSound < limitMs && tSound < durationMs;
      bool gpsDue = tGps < limitMs && gpsSecond < plan.seconds;
      bool gDue =
          options.gsensor && tG < limitMs && gsensorSample < plan.seconds * kGsensorPerSecond;
      if (soundDue && (!gpsDue || tSound <= tGps) && (!gDue || tSound <= tG)) {
        sound.Generate(soundPacket * kSoundPacketSamples, kSoundPacketSamples, &pcm);
        if (!writer.AddPacket(0, vex::kTypeSound, pcm.data(), std::uint32_t(pcm.size()), tSound)) {
          return false;
        }
        soundPacket++;
      } else if (gpsDue && (!gDue || tGps <= tG)) {
        const DateTime utc = AddSeconds(utcStart, gpsSecond);
        std::string fix = options.gpsFix
                              ? GpsRecord(utc, route.Latitude(gpsSecond),
                                          route.Longitude(gpsSecond), route.SpeedKmh(gpsSecond),
                                          route.Course(gpsSecond), options.gpsSpeedField)
                              : VoidGpsRecord(utc);
        if (!writer.AddPacket(0, vex::kTypeText, fix.data(), std::uint32_t(fix.size()), tGps)) {
          return false;
        }
        gpsSecond++;
      } else if (gDue) {
        auto sample = GsensorRecord(route, gsensorSample, jolts, &rng);
        if (!writer.AddPacket(0, vex::kTypeText, sample.data(), std::uint32_t(sample.size()), tG)) {
          return false;
        }
        gsensorSample++;
      } else {
        return true;
      }
    }
  };

  auto pictureTime = [&](std::int64_t n) { return std::uint32_t(n * 1000 / fps); };
  std::deque<AccessUnit> frontOut, rearOut;
  // Writes the pictures that came out of the encoders, each front picture before the rear one of
  // the same instant.
  auto writePictures = [&]() {
    for (auto* q : {&frontOut, &rearOut}) {
      std::uint8_t channel = q == &frontOut ? 0 : 1;
      for (; !q->empty(); q->pop_front()) {
        const AccessUnit& au = q->front();
        if (!writer.AddPacket(channel, au.key ? vex::kTypeKeyPicture : vex::kTypePicture,
                              au.data.data(), std::uint32_t(au.data.size()),
                              pictureTime(au.picture))) {
          return false;
        }
      }
    }
    return true;
  };

  Picture picture;
  for (int n = 0; n < lastFrame; ++n) {
    const double t = double(n) / fps;
    if (!writeOthersBefore(pictureTime(n))) return fail("write error");

    const DateTime now = AddSeconds(plan.start, n / fps);
    char clock[32];
    std::snprintf(clock, sizeof clock, "%04d.%02d.%02d %02d:%02d:%02d", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);
    const int kmh = int(route.SpeedKmh(t));
    // The trip's distance, so that the road's marks run on from the recording before.
    const double metres = route.Metres(t);
    if (!frontEncoder.NextPicture(&picture, error)) return fail(*error);
    frontScene.Draw(picture, n, t, metres, clock, kmh, n % fps == 0);
    if (!frontEncoder.Encode(n, &frontOut, error)) return fail(*error);
    if (rearScene) {
      if (!rearEncoder.NextPicture(&picture, error)) return fail(*error);
      rearScene->Draw(picture, n, t, metres, clock, kmh, false);
      if (!rearEncoder.Encode(n, &rearOut, error)) return fail(*error);
    }
    if (!writePictures()) return fail("write error");
  }

  result->fileName = plan.FileName();
  result->frontPictures = int(writer.header().frontCount);
  result->rearPictures = int(writer.header().rearCount);
  result->cutShort = cut;
  if (cut) {
    // The power goes: what the camera had gathered of the current block is half on the card.
    writer.Abandon(true);
  } else {
    if (!frontEncoder.Drain(&frontOut, error)) return fail(*error);
    if (rearScene && !rearEncoder.Drain(&rearOut, error)) return fail(*error);
    if (!writePictures() || !writeOthersBefore(durationMs)) return fail("write error");
    result->frontPictures = int(writer.header().frontCount);
    result->rearPictures = int(writer.header().rearCount);
    if (result->frontPictures != frames || (plan.rear && result->rearPictures != frames)) {
      return fail("the encoder lost pictures");
    }
    if (!writer.Close()) {
      std::error_code ec;
      fs::remove(path, ec);
      *error = "cannot write " + path.string();
      return false;
    }
  }
  std::error_code ec;
  result->bytes = fs::file_size(path, ec);
  result->seconds = double(result->frontPictures) / fps;
  return true;
}

}  // namespace tools
