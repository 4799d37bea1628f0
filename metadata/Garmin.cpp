// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Garmin.h"

namespace metadata {
namespace {

constexpr std::size_t kRecord = 20;
constexpr double kKmhPerMph = 1.609344;
constexpr double kDegreesPerSemicircle = 180.0 / 2147483648.0;  // 2^31 semicircles are 180°
constexpr double kMaxKmh = 1000;

bool IsRecord(const std::uint8_t* p, std::size_t size) {
  return size >= kRecord && p[0] == 'P' && p[1] == 'N' && p[2] == 'D' && p[3] == 'M';
}

std::int32_t S32(const std::uint8_t* p) {
  return std::int32_t(std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                      std::uint32_t(p[2]) << 8 | p[3]);
}

}  // namespace

bool ParseGarminSample(const std::uint8_t* data, std::size_t size, int mediaMs,
                       CameraMetadata* out) {
  if (data == nullptr) return false;
  const std::uint8_t* record = nullptr;
  std::size_t left = 0;
  if (IsRecord(data, size)) {
    record = data;
    left = size;
  } else if (size >= 2 && std::size_t(data[0] << 8 | data[1]) <= size - 2 &&
             IsRecord(data + 2, std::size_t(data[0] << 8 | data[1]))) {
    record = data + 2;
    left = std::size_t(data[0] << 8 | data[1]);
  } else if (size >= 4 && data[0] == 0 && IsRecord(data + 4, size - 4)) {
    record = data + 4;
    left = size - 4;
  }
  if (record == nullptr || left < kRecord) return false;
  const double latitude = S32(record + 12) * kDegreesPerSemicircle;
  const double longitude = S32(record + 16) * kDegreesPerSemicircle;
  const double speedKmh = (record[8] << 8 | record[9]) * kKmhPerMph;
  if (latitude < -90 || latitude > 90 || speedKmh > kMaxKmh) return false;
  Fix fix;
  fix.mediaMs = mediaMs;
  fix.latitude = latitude;
  fix.longitude = longitude;
  fix.valid = latitude != 0 || longitude != 0;
  fix.speedKmh = speedKmh;
  AddFix(out, fix);
  return true;
}

}  // namespace metadata
