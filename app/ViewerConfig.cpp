// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ViewerConfig.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/Profile.h"
#include "resources/core/StringTable.h"

namespace {
constexpr int kMissingMarker = -200;
// A folder's path is at most this long on the system (PATH_MAX, its zero included).
constexpr int kFolderBytes = 4096;
}  // namespace

std::string ViewerProfilePath(const std::string& configPath) {
  const std::size_t slash = configPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : configPath.substr(0, slash);
  return folder + "/" + kProfileFileName;
}

std::string ReadTargetFolder(const std::string& profilePath) {
  std::vector<char> text(kFolderBytes, '\0');
  GetProfileText(kProfileInfoSection, kProfileTargetFolder, "", text.data(), kFolderBytes,
                 profilePath.c_str());
  return std::string(text.data());
}

bool WriteTargetFolder(const std::string& profilePath, const std::string& folder) {
  return WriteProfileText(kProfileInfoSection, kProfileTargetFolder, folder.c_str(),
                          profilePath.c_str());
}

void OutputFolder::Load(const std::string& configPath) {
  profilePath_ = ViewerProfilePath(configPath);
  path_ = ReadTargetFolder(profilePath_);
}

void OutputFolder::Remember(const std::string& folder) {
  path_ = folder;
  WriteTargetFolder(profilePath_, path_);
}

std::string ViewerConfigPath() {
  EnsureUserConfigDir();
  return UserConfigDir() + "/config.cfg";
}

bool EnsureViewerConfigFile(const std::string& path) {
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    return true;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  return std::fclose(f) == 0;
}

int ReadViewerConfigValue(const std::string& path, const char* key, int missing) {
  char text[10] = {};
  GetProfileText(kConfigSection, key, "-200", text, sizeof text, path.c_str());
  const int value = std::atoi(text);
  return value == kMissingMarker ? missing : value;
}

bool WriteViewerConfigValue(const std::string& path, const char* key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return WriteProfileText(kConfigSection, key, text, path.c_str());
}

std::uint16_t LanguageFromName(const std::string& name) {
  if (name == "en") return kLangEnglish;
  if (name == "ko") return kLangKorean;
  return 0;
}

std::uint16_t ReadViewerConfigLanguage(const std::string& path) {
  char text[10] = {};
  GetProfileText(kConfigSection, kConfigLanguage, "-200", text, sizeof text, path.c_str());
  return LanguageFromName(text);
}
