// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/CTextData.h"

#include <cstring>
#include <new>
#include <string_view>

namespace {

bool IsGpsFix(const char* text, int n) {
  return n >= 7 && text[0] == 'G' && text[2] == 'G' && std::memcmp(text + 3, "PRMC", 4) == 0;
}

}  // namespace

bool ParseVehicleRecord(const char* text, int length, CVehicleData* out) {
  if (text == nullptr || length < 1 || text[0] != 'T' || length > 256) return false;
  CVehicleData state;
  state.present = true;
  const std::string_view record(text + 1, std::size_t(length - 1));
  for (std::size_t at = 0; at < record.size();) {
    std::size_t end = record.find(';', at);
    if (end == std::string_view::npos) end = record.size();
    const std::string_view pair = record.substr(at, end - at);
    at = end + 1;
    if (pair.size() != 3 || pair[1] != '=') continue;
    const char v = pair[2];
    switch (pair[0]) {
      case 'g':
        state.gear = v == 'P' || v == 'R' || v == 'N' || v == 'D' ? v : 0;
        break;
      case 'l':
        state.blinkLeft = v == '1';
        break;
      case 'r':
        state.blinkRight = v == '1';
        break;
      case 'b':
        state.brake = v == '1';
        break;
      case 'a':
        state.autopilot = v >= '0' && v <= '3' ? v - '0' : 0;
        break;
      default:
        break;
    }
  }
  *out = state;
  return true;
}

std::string VehicleReadout(const CVehicleData& state) {
  if (!state.present) return {};
  std::string text;
  auto add = [&text](const char* part) {
    if (!text.empty()) text += "  ";
    text += part;
  };
  if (state.gear != 0) {
    const char gear[2] = {state.gear, 0};
    add(gear);
  }
  if (state.blinkLeft) add("<");
  if (state.blinkRight) add(">");
  if (state.brake) add("BRAKE");
  static const char* const kAutopilot[] = {nullptr, "FSD", "AUTOSTEER", "TACC"};
  if (state.autopilot >= 1 && state.autopilot <= 3) add(kAutopilot[state.autopilot]);
  return text;
}

void CTextData::OnTextData(const char* text, int length, int timeMs) {
  if (text == nullptr || length <= 0) return;
  const int dataLength = text[length - 1] == '\0' ? length - 1 : length;

  // The sentence is text: it ends at its first zero byte.
  const int textLength = int(strnlen(text, std::size_t(dataLength)));
  if (IsGpsFix(text, textLength)) {
    // Parsed outside the lock: the lock guards only the arrays.
    CGPSData fix(text, textLength);
    std::lock_guard<std::mutex> hold(lock_);
    try {
      gps_.push_back(fix);
    } catch (const std::bad_alloc&) {
      // Out of memory: the fix is dropped, the store stays as it was.
    }
    return;
  }

  CVehicleData vehicle;
  if (ParseVehicleRecord(text, textLength, &vehicle)) {
    std::lock_guard<std::mutex> hold(lock_);
    vehicle_ = vehicle;
    return;
  }

  if (dataLength >= 4 && text[0] == 'M') {
    const long long s = timeMs / 1000;
    const CGSensorData sample{static_cast<std::uint8_t>(text[1]),
                              static_cast<std::uint8_t>(text[2]),
                              static_cast<std::uint8_t>(text[3])};
    std::lock_guard<std::mutex> hold(lock_);
    if (s > static_cast<long long>(gsensor_.size()) - 1) {
      try {
        gsensor_.push_back(sample);
      } catch (const std::bad_alloc&) {
        // Out of memory: the sample is dropped.
      }
    }
  }
}

int CTextData::GpsCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return int(gps_.size());
}

CGPSData CTextData::LastGps() const {
  std::lock_guard<std::mutex> hold(lock_);
  return gps_.empty() ? CGPSData() : gps_.back();
}

CGPSData CTextData::Gps(int i) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (i < 0 || std::size_t(i) >= gps_.size()) return CGPSData();
  return gps_[std::size_t(i)];
}

int CTextData::GSensorCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return int(gsensor_.size());
}

CGSensorData CTextData::GSensor(int i) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (i < 0 || std::size_t(i) >= gsensor_.size()) return CGSensorData();
  return gsensor_[std::size_t(i)];
}

std::vector<CGSensorData> CTextData::GSensorSamples() const {
  std::lock_guard<std::mutex> hold(lock_);
  try {
    return gsensor_;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

void CTextData::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  // Releases the storage too: the GPS array grows for a whole recording.
  std::vector<CGPSData>().swap(gps_);
  std::vector<CGSensorData>().swap(gsensor_);
  vehicle_ = CVehicleData();
}

CVehicleData CTextData::LastVehicle() const {
  std::lock_guard<std::mutex> hold(lock_);
  return vehicle_;
}
