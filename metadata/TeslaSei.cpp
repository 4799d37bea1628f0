// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/TeslaSei.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "metadata/tesla_sei.pb-c.h"

namespace metadata {
namespace {

// An SEI NAL unit longer than this is not Tesla's (its message is about a hundred bytes); it is
// skipped rather than copied.
constexpr std::size_t kMaxSeiBytes = 64 * 1024;
// The marker before the protobuf: 1 to this many 'B' bytes, then one 'i'.
constexpr std::size_t kMaxMarkerBs = 16;
constexpr std::uint8_t kMarkerB = 0x42;
constexpr std::uint8_t kMarkerI = 0x69;
constexpr int kUserDataUnregistered = 5;
constexpr double kStandardGravity = 9.80665;  // m/s^2 in one g

struct Span {
  const std::uint8_t* data;
  std::size_t size;
};

// The NAL units of an Annex B stream: each starts after 00 00 01 and ends before the next start
// code (the zeros before it belong to the next one).
std::vector<Span> AnnexBUnits(const std::uint8_t* data, std::size_t size) {
  std::vector<Span> units;
  std::size_t start = 0;
  bool open = false;
  std::size_t i = 0;
  while (i + 3 <= size) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (open) {
        std::size_t end = i;
        while (end > start && data[end - 1] == 0) --end;
        units.push_back({data + start, end - start});
      }
      start = i + 3;
      open = true;
      i += 3;
    } else {
      ++i;
    }
  }
  if (open) {
    std::size_t end = size;
    while (end > start && data[end - 1] == 0) --end;
    units.push_back({data + start, end - start});
  }
  return units;
}

// The NAL units of a run of 4-byte big-endian lengths, only when the lengths end exactly at the
// end of the picture; nothing otherwise.
std::vector<Span> LengthPrefixedUnits(const std::uint8_t* data, std::size_t size) {
  std::vector<Span> units;
  std::size_t pos = 0;
  while (pos < size) {
    if (size - pos < 4) return {};
    const std::size_t length = (std::size_t(data[pos]) << 24) | (std::size_t(data[pos + 1]) << 16) |
                               (std::size_t(data[pos + 2]) << 8) | data[pos + 3];
    pos += 4;
    if (length == 0 || length > size - pos) return {};
    units.push_back({data + pos, length});
    pos += length;
  }
  return units;
}

bool StartsWithStartCode(const std::uint8_t* data, std::size_t size) {
  if (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) return true;
  return size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
}

// The bytes after the NAL header with the emulation prevention bytes (a 03 after 00 00) removed.
std::vector<std::uint8_t> Unescape(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

// An SEI payload type or size: a run of FF bytes each adding 255, then the last byte. False when
// the message ends first or the value passes `limit`.
bool ReadSeiValue(const std::vector<std::uint8_t>& rbsp, std::size_t* pos, std::size_t limit,
                  std::size_t* value) {
  std::size_t v = 0;
  while (*pos < rbsp.size()) {
    const std::uint8_t b = rbsp[(*pos)++];
    v += b;
    if (v > limit) return false;
    if (b != 0xFF) {
      *value = v;
      return true;
    }
  }
  return false;
}

// The message's enumerations as the numbers they hold: protoc-c's reader keeps a number the
// description does not name, which the enumeration's type cannot hold.
template <typename Enum>
int RawNumber(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(int));
  int number = 0;
  std::memcpy(&number, &field, sizeof number);
  return number;
}

char GearLetter(int gear) {
  switch (gear) {
    case ROADEYE__TESLA__SEI_METADATA__GEAR__GEAR_PARK:
      return 'P';
    case ROADEYE__TESLA__SEI_METADATA__GEAR__GEAR_DRIVE:
      return 'D';
    case ROADEYE__TESLA__SEI_METADATA__GEAR__GEAR_REVERSE:
      return 'R';
    case ROADEYE__TESLA__SEI_METADATA__GEAR__GEAR_NEUTRAL:
      return 'N';
    default:
      return 0;
  }
}

double Finite(double value, double scale = 1.0) {
  return std::isfinite(value) ? value * scale : kNone;
}

void AddMessage(const Roadeye__Tesla__SeiMetadata& m, int mediaMs, CameraMetadata* out) {
  VehicleState state;
  state.mediaMs = mediaMs;
  state.gear = GearLetter(RawNumber(m.gear_state));
  state.blinkLeft = m.blinker_on_left != 0;
  state.blinkRight = m.blinker_on_right != 0;
  state.brake = m.brake_applied != 0;
  // Our numbering of the states is the message's own.
  const int autopilot = RawNumber(m.autopilot_state);
  state.autopilot = autopilot >= 0 && autopilot <= 3 ? autopilot : 0;
  state.speedKmh = Finite(m.vehicle_speed_mps, 3.6);
  state.acceleratorPercent = Finite(m.accelerator_pedal_position, 100.0);
  state.steeringDegrees = Finite(m.steering_wheel_angle);
  AddVehicleState(out, state);

  // 0, 0 is what the car writes when it has no position.
  const double lat = m.latitude_deg, lon = m.longitude_deg;
  if (std::isfinite(lat) && std::isfinite(lon) && !(lat == 0 && lon == 0) && std::fabs(lat) <= 90 &&
      std::fabs(lon) <= 180) {
    Fix fix;
    fix.mediaMs = mediaMs;
    fix.valid = true;
    fix.latitude = lat;
    fix.longitude = lon;
    if (std::isfinite(m.vehicle_speed_mps) && m.vehicle_speed_mps >= 0) {
      fix.speedKmh = m.vehicle_speed_mps * 3.6;
    }
    if (std::isfinite(m.heading_deg) && m.heading_deg >= 0 && m.heading_deg < 360) {
      fix.course = m.heading_deg;
    }
    AddFix(out, fix);
  }

  if (std::isfinite(m.linear_acceleration_mps2_x) && std::isfinite(m.linear_acceleration_mps2_y) &&
      std::isfinite(m.linear_acceleration_mps2_z)) {
    GSample sample;
    sample.mediaMs = mediaMs;
    sample.x = m.linear_acceleration_mps2_x / kStandardGravity;
    sample.y = m.linear_acceleration_mps2_y / kStandardGravity;
    sample.z = m.linear_acceleration_mps2_z / kStandardGravity;
    AddGSample(out, sample);
  }
}

// The protobuf of one user data payload behind the marker; false when the marker is not there or
// the message does not decode.
bool ParsePayload(const std::uint8_t* payload, std::size_t size, int mediaMs, CameraMetadata* out) {
  std::size_t bs = 0;
  while (bs < size && bs <= kMaxMarkerBs && payload[bs] == kMarkerB) ++bs;
  if (bs == 0 || bs > kMaxMarkerBs || bs >= size || payload[bs] != kMarkerI) return false;
  const std::uint8_t* message = payload + bs + 1;
  std::size_t length = size - bs - 1;
  Roadeye__Tesla__SeiMetadata* m = roadeye__tesla__sei_metadata__unpack(nullptr, length, message);
  // Some writers count the stop bit's 80 into the payload: no protobuf ends with it (it would be
  // an unfinished varint), so the message without it is read instead.
  if (m == nullptr && length > 0 && message[length - 1] == 0x80) {
    m = roadeye__tesla__sei_metadata__unpack(nullptr, length - 1, message);
  }
  if (m == nullptr) return false;
  AddMessage(*m, mediaMs, out);
  roadeye__tesla__sei_metadata__free_unpacked(m, nullptr);
  return true;
}

// The SEI messages of one SEI NAL unit's payload (after its header).
bool ParseSeiUnit(const std::uint8_t* body, std::size_t size, int mediaMs, CameraMetadata* out) {
  if (size > kMaxSeiBytes) return false;
  const std::vector<std::uint8_t> rbsp = Unescape(body, size);
  bool found = false;
  std::size_t pos = 0;
  // What is left after the last message is the stop bit's byte.
  while (rbsp.size() - pos > 1) {
    std::size_t type = 0, length = 0;
    if (!ReadSeiValue(rbsp, &pos, kMaxSeiBytes, &type)) break;
    if (!ReadSeiValue(rbsp, &pos, kMaxSeiBytes, &length) || length > rbsp.size() - pos) break;
    if (type == kUserDataUnregistered && ParsePayload(rbsp.data() + pos, length, mediaMs, out)) {
      found = true;
    }
    pos += length;
  }
  return found;
}

}  // namespace

bool ParseTeslaPicture(const std::uint8_t* data, std::size_t size, bool h265, int mediaMs,
                       CameraMetadata* out) {
  if (data == nullptr || out == nullptr) return false;
  const std::vector<Span> units =
      StartsWithStartCode(data, size) ? AnnexBUnits(data, size) : LengthPrefixedUnits(data, size);
  bool found = false;
  for (const Span& unit : units) {
    const std::size_t header = h265 ? 2 : 1;
    if (unit.size <= header || (unit.data[0] & 0x80) != 0) continue;  // forbidden bit set
    if (h265) {
      const int type = (unit.data[0] >> 1) & 0x3F;
      if ((type != 39 && type != 40) || (unit.data[1] & 0x07) == 0) continue;
    } else if ((unit.data[0] & 0x1F) != 6) {
      continue;
    }
    if (ParseSeiUnit(unit.data + header, unit.size - header, mediaMs, out)) found = true;
  }
  if (found) out->format = Format::kTesla;
  return found;
}

}  // namespace metadata
