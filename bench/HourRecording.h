// SPDX-License-Identifier: GPL-3.0-or-later
// A one-hour two-camera recording for the track benchmarks, written with the card library's
// writer: front pictures at about 2 Mbit/s (a key picture each second four times the size of the
// others), the rear at a third of that, 3840-byte sound packets every 240 ms, a GPS fix each
// second and ten G-sensor samples a second, 1.2 GB in all. Pictures are random bytes: the track
// readers read only their records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "vexlib/VexWriter.h"

namespace bench {

inline constexpr int kHourSeconds = 3600;
inline constexpr int kFps = 30;
inline constexpr std::uint32_t kFrontBytesPerSecond = 2000000 / 8;  // 2 Mbit/s
inline constexpr std::uint32_t kSoundBytes = 3840;                  // 240 ms of 8000 Hz 16-bit
inline constexpr int kSoundMs = 240;
inline constexpr int kSamplesPerSecond = 10;

// An NMEA checksum: XOR of the characters between '$' and '*'.
inline unsigned Checksum(const char* sentence) {
  unsigned sum = 0;
  for (const char* p = sentence + 1; *p != '\0' && *p != '*'; ++p) sum ^= unsigned(*p);
  return sum;
}

// Fix `second` of a drive north-east from Seoul City Hall at about 60 km/h; the clock starts at
// 01:00:00 UTC so that the hour stays in one day.
inline std::string HourGpsRecord(int second) {
  const double lat = 37.5660 + second * 0.00012, lon = 126.9780 + second * 0.00012;
  auto nmea = [](double degrees, bool longitude) {
    const int whole = int(degrees);
    char out[32];
    std::snprintf(out, sizeof out, longitude ? "%03d%07.4f" : "%02d%07.4f", whole,
                  (degrees - whole) * 60);
    return std::string(out);
  };
  char body[128];
  std::snprintf(body, sizeof body, "$GPRMC,%02d%02d%02d.000,A,%s,N,%s,E,32.4,45.0,120624,,,A",
                1 + second / 3600, second / 60 % 60, second % 60, nmea(lat, false).c_str(),
                nmea(lon, true).c_str());
  char record[160];
  std::snprintf(record, sizeof record, "G%s*%02X\r\n", body, Checksum(body));
  return record;
}

inline bool WriteHourRecording(const std::string& path) {
  vex::Header h;
  h.frontRate = kFps;
  h.rearRate = kFps;
  h.frontWidth = 1280;
  h.frontHeight = 720;
  h.rearWidth = 640;
  h.rearHeight = 360;
  h.model = "RE-2CH";
  h.firmware = "1.0.0";
  vex::VexWriter w;
  if (!w.Open(path, h)) return false;
  // Slices of one block of random bytes stand for the pictures and the sound.
  std::vector<std::uint8_t> noise(1 << 20);
  std::mt19937 rng(7);
  for (auto& b : noise) b = std::uint8_t(rng());
  // Per second: one key picture of four shares and 29 others of one share each.
  const std::uint32_t share = kFrontBytesPerSecond / (kFps + 3);
  std::int64_t soundAt = 0;
  int sample = 0;
  for (int frame = 0; frame < kHourSeconds * kFps; ++frame) {
    const std::uint32_t ms = std::uint32_t(std::int64_t(frame) * 1000 / kFps);
    const bool key = frame % kFps == 0;
    const std::uint8_t type = key ? vex::kTypeKeyPicture : vex::kTypePicture;
    const std::uint32_t front = (key ? 4 * share : share) + rng() % 512;
    const std::uint32_t rear = front / 3;
    const std::size_t at = rng() % (noise.size() - front);
    if (!w.AddPacket(0, type, noise.data() + at, front, ms) ||
        !w.AddPacket(1, type, noise.data() + at, rear, ms)) {
      return false;
    }
    for (; soundAt * kSoundMs <= ms; ++soundAt) {
      if (!w.AddPacket(0, vex::kTypeSound, noise.data() + soundAt % 4096, kSoundBytes,
                       std::uint32_t(soundAt * kSoundMs))) {
        return false;
      }
    }
    if (key) {
      const std::string fix = HourGpsRecord(frame / kFps);
      if (!w.AddPacket(0, vex::kTypeText, fix.data(), std::uint32_t(fix.size()), ms)) return false;
    }
    for (; sample * (1000 / kSamplesPerSecond) <= int(ms); ++sample) {
      const std::uint8_t m[4] = {'M', std::uint8_t(128 + sample % 5), 128, 120};
      if (!w.AddPacket(0, vex::kTypeText, m, 4, std::uint32_t(sample * 100))) return false;
    }
  }
  return w.Close();
}

}  // namespace bench
