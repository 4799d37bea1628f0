// SPDX-License-Identifier: GPL-3.0-or-later
// The viewer's own settings file, config.cfg in the per-user settings folder: section "config"
// with "brightness" and "volume", decimal integers in profile (INI) syntax, and "language", the
// interface language ("en" or "ko"), which the viewer reads and never writes.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kConfigSection = "config";
inline constexpr const char* kConfigBrightness = "brightness";
inline constexpr const char* kConfigVolume = "volume";
inline constexpr const char* kConfigLanguage = "language";
// Values used when a key is missing (or stored as the "missing" marker -200).
inline constexpr int kDefaultBrightness = 0;
inline constexpr int kDefaultVolume = 50;

// The viewer's profile beside config.cfg, roadeye.ini: section "Info", key "TargetFolder", the
// folder the last file download went to.
inline constexpr const char* kProfileFileName = "roadeye.ini";
inline constexpr const char* kProfileInfoSection = "Info";
inline constexpr const char* kProfileTargetFolder = "TargetFolder";
// The profile in the folder of the viewer's config.cfg at configPath.
std::string ViewerProfilePath(const std::string& configPath);
// The last download folder; empty when none was stored.
std::string ReadTargetFolder(const std::string& profilePath);
// Stores it. False when the profile could not be written.
bool WriteTargetFolder(const std::string& profilePath, const std::string& folder);

// The folder that the file download and the clip export last went to, as the window keeps it: read
// from the profile when the window starts, stored there each time the user picks one. Window thread
// only.
class OutputFolder {
 public:
  // Reads the folder from the profile beside the config.cfg at configPath.
  void Load(const std::string& configPath);
  // The folder last picked; empty when none was.
  const std::string& Path() const { return path_; }
  // A folder picked: kept, and stored in the profile (a profile that cannot be written keeps it
  // for this run only).
  void Remember(const std::string& folder);

 private:
  std::string profilePath_;
  std::string path_;
};

// <settings folder>/config.cfg (the folder is created when missing).
std::string ViewerConfigPath();
// Creates the file empty when it cannot be opened for reading. False when it cannot be created.
bool EnsureViewerConfigFile(const std::string& path);
// A key's value read through a 10-character buffer with "-200" as the default text and a plain
// decimal conversion (text that is no number reads 0); -200 gives `missing`.
int ReadViewerConfigValue(const std::string& path, const char* key, int missing);
// Stores "%d" of value under the key. False when the file could not be written.
bool WriteViewerConfigValue(const std::string& path, const char* key, int value);
// The interface language a name stands for: "en" kLangEnglish, "ko" kLangKorean, anything else 0.
std::uint16_t LanguageFromName(const std::string& name);
// The "language" key read through the same 10-character buffer as the numbers: kLangEnglish or
// kLangKorean, 0 when it is missing or holds anything else.
std::uint16_t ReadViewerConfigLanguage(const std::string& path);
