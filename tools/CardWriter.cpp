#include "tools/CardWriter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>
#include <vector>

#include "support/CivilDate.h"
#include "tools/CardEncoder.h"
#include "tools/RecordingStreams.h"
#include "tools/TripDrive.h"
#include "vexlib/VexFormat.h"
#include "vexlib/VexWriter.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

// Sound (kSoundRate, 16-bit mono) is written in packets of 1920 samples (3840 bytes, 240 ms).
constexpr int kSoundPacketSamples = 1920;
constexpr int kSoundPacketMs = kSoundPacketSamples * 1000 / kSoundRate;

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
  RecordingStreams streams(options, plan, kKeyInterval);
  if (!streams.Open(error)) return false;

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
        streams.Sound(soundPacket * kSoundPacketSamples, kSoundPacketSamples, &pcm);
        if (!writer.AddPacket(0, vex::kTypeSound, pcm.data(), std::uint32_t(pcm.size()), tSound)) {
          return false;
        }
        soundPacket++;
      } else if (gpsDue && (!gDue || tGps <= tG)) {
        const GpsFix fix = streams.Fix(gpsSecond);
        const std::string text = options.gpsFix
                                     ? GpsRecord(fix.utc, fix.latitude, fix.longitude, fix.kmh,
                                                 fix.course, options.gpsSpeedField)
                                     : VoidGpsRecord(fix.utc);
        if (!writer.AddPacket(0, vex::kTypeText, text.data(), std::uint32_t(text.size()), tGps)) {
          return false;
        }
        gpsSecond++;
      } else if (gDue) {
        const std::array<std::uint8_t, 3> axes = streams.Gsensor(gsensorSample);
        const std::array<std::uint8_t, 4> sample{'M', axes[0], axes[1], axes[2]};
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

  for (int n = 0; n < lastFrame; ++n) {
    if (!writeOthersBefore(pictureTime(n))) return fail("write error");
    if (!streams.EncodePicture(n, &frontOut, &rearOut, error)) return fail(*error);
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
    if (!streams.Drain(&frontOut, &rearOut, error)) return fail(*error);
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
