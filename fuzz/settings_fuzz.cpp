// SPDX-License-Identifier: GPL-3.0-or-later
// The profile (INI) reader and writer and the camera's settings file, on a file the card or the
// user may have damaged: every key and section read; a key changed and read back the same; the
// camera's settings loaded, saved and loaded again, giving what was saved.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/Profile.h"
#include "settings/CameraSettings.h"
#include "support/Diag.h"

namespace {

// The names in a NUL-separated list ending in a second NUL (a section or key listing).
std::vector<std::string> Names(const char* list, int length) {
  std::vector<std::string> names;
  for (int i = 0; i < length && list[i] != '\0';) {
    const std::size_t n = strnlen(list + i, std::size_t(length - i));
    names.emplace_back(list + i, n);
    i += int(n) + 1;
  }
  return names;
}

// What a save writes and a load reads back unchanged. (The speed unit "unchanged" is saved as
// MPH, and the cut-off voltage is kept only with the cut-off on.)
bool SameOnCard(const CameraSettings& a, const CameraSettings& b) {
  return a.continuousShare == b.continuousShare && a.eventShare == b.eventShare &&
         a.manualShare == b.manualShare && a.parkingShare == b.parkingShare &&
         a.micVolume == b.micVolume && a.voiceVolume == b.voiceVolume &&
         a.impactLevel == b.impactLevel && a.motionLevel == b.motionLevel && a.micIn == b.micIn &&
         a.voiceOut == b.voiceOut && a.cutOff == b.cutOff &&
         (!a.cutOff || a.cutOffVoltage == b.cutOffVoltage) && a.frontLed == b.frontLed &&
         a.summerTime == b.summerTime && a.parkMode == b.parkMode && a.language == b.language &&
         a.timeZone == b.timeZone &&
         (a.speedUnit == SpeedUnit::kUnchanged || a.speedUnit == b.speedUnit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = fuzz::ScratchDir() + "/blackbox.cfg";
  static const bool quiet = (DiagSetOutput(nullptr), true);
  (void)quiet;
  if (!fuzz::WriteInput(file, data, size)) return 0;

  // Every section and key reads into a small buffer without running past it.
  char list[512];
  const int sections = GetProfileText(nullptr, nullptr, "", list, sizeof list, file.c_str());
  int keysRead = 0;
  for (const std::string& section : Names(list, sections + 1)) {
    char keys[512];
    const int n = GetProfileText(section.c_str(), nullptr, "", keys, sizeof keys, file.c_str());
    for (const std::string& key : Names(keys, n + 1)) {
      if (++keysRead > 64) break;
      char value[16];
      GetProfileText(section.c_str(), key.c_str(), "x", value, sizeof value, file.c_str());
      if (std::memchr(value, 0, sizeof value) == nullptr) __builtin_trap();
      GetProfileInt(section.c_str(), key.c_str(), 0, file.c_str());
    }
  }

  // A key written reads back as written.
  if (WriteProfileText("blackbox", "osd_speed", "2", file.c_str())) {
    char value[8];
    GetProfileText("blackbox", "osd_speed", "", value, sizeof value, file.c_str());
    if (std::strcmp(value, "2") != 0) __builtin_trap();
  }

  // The camera's settings: what is saved loads back the same.
  CameraSettings settings;
  LoadCameraSettings(file, &settings);
  if (SaveCameraSettings(file, settings) == SaveResult::kSaved) {
    CameraSettings again;
    LoadCameraSettings(file, &again);
    if (!SameOnCard(settings, again)) __builtin_trap();
  }
  return 0;
}
