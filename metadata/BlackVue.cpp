// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/BlackVue.h"

#include <string_view>

#include "metadata/Nmea.h"

namespace metadata {
namespace {

constexpr std::size_t kBoxHeader = 8;
constexpr std::size_t k3gfRecord = 10;
constexpr std::uint32_t k3gfEnd = 0xFFFFFFFF;
// A record later than this is not of one recording.
constexpr std::uint32_t kMax3gfMs = 24u * 3600 * 1000;
// sttm outside 2000..2099 is not a clock (2000-01-01 and 2100-01-01, ms since 1970).
constexpr std::uint64_t kMinSttm = 946684800000ULL;
constexpr std::uint64_t kMaxSttm = 4102444800000ULL;

std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

std::int16_t S16(const std::uint8_t* p) { return std::int16_t(std::uint16_t(p[0] << 8 | p[1])); }

bool IsPrintableType(const std::uint8_t* p) {
  for (int i = 0; i < 4; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7e) return false;
  }
  return true;
}

bool TypeIs(const std::uint8_t* p, const char* type) {
  return p[0] == type[0] && p[1] == type[1] && p[2] == type[2] && p[3] == type[3];
}

}  // namespace

bool ParseBlackVueFree(const std::uint8_t* data, std::size_t size, CameraMetadata* out) {
  if (data == nullptr) return false;
  const std::uint8_t* gps = nullptr;
  std::size_t gpsSize = 0;
  const std::uint8_t* accel = nullptr;
  std::size_t accelSize = 0;
  std::int64_t origin = -1;
  std::size_t at = 0;
  while (size - at >= kBoxHeader) {
    const std::uint32_t boxSize = U32(data + at);
    const std::uint8_t* type = data + at + 4;
    if (boxSize < kBoxHeader || boxSize > size - at || !IsPrintableType(type)) break;
    const std::uint8_t* payload = data + at + kBoxHeader;
    const std::size_t payloadSize = boxSize - kBoxHeader;
    if (TypeIs(type, "sttm") && payloadSize >= 8) {
      const std::uint64_t ms = std::uint64_t(U32(payload)) << 32 | U32(payload + 4);
      if (ms >= kMinSttm && ms < kMaxSttm) origin = std::int64_t(ms);
    } else if (TypeIs(type, "gps ") && gps == nullptr) {
      gps = payload;
      gpsSize = payloadSize;
    } else if (TypeIs(type, "3gf ") && accel == nullptr) {
      accel = payload;
      accelSize = payloadSize;
    }
    at += boxSize;
  }
  bool any = false;
  if (gps != nullptr) {
    std::string_view log(reinterpret_cast<const char*>(gps), gpsSize);
    while (!log.empty() && log.back() == '\0') log.remove_suffix(1);
    any = ParseNmeaLog(log, origin, out);
  }
  if (accel != nullptr && ParseBlackVue3gf(accel, accelSize, out)) any = true;
  return any;
}

bool ParseBlackVue3gf(const std::uint8_t* data, std::size_t size, CameraMetadata* out) {
  if (data == nullptr) return false;
  bool any = false;
  for (std::size_t at = 0; size - at >= k3gfRecord; at += k3gfRecord) {
    const std::uint32_t ms = U32(data + at);
    if (ms == k3gfEnd) break;
    if (ms > kMax3gfMs) continue;
    GSample sample;
    sample.mediaMs = int(ms);
    sample.x = S16(data + at + 4) / 100.0;
    sample.y = S16(data + at + 6) / 100.0;
    sample.z = S16(data + at + 8) / 100.0;
    if (!AddGSample(out, sample)) break;
    any = true;
  }
  return any;
}

}  // namespace metadata
