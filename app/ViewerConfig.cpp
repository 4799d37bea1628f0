#include "app/ViewerConfig.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Profile.h"

namespace {
constexpr int kMissingMarker = -200;
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
