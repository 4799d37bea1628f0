// SPDX-License-Identifier: GPL-3.0-or-later
// Running the project's programs and outside readers (gpsbabel, xmllint, ffprobe) from tests:
// where the programs were built, shell quoting, and a command's exit code and output.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace roadeye_test {

// The build's program folder ($ROADEYE_BIN_DIR when set, else the one compiled in).
inline std::string BinDir() {
  const char* env = std::getenv("ROADEYE_BIN_DIR");
  return env && *env ? env : ROADEYE_BIN_DIR;
}

// `s` as one single-quoted shell word.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct CommandResult {
  int exitCode = -1;
  std::string out;
};

// Runs a shell command; its standard error joins the output when merge is set, else is dropped.
inline CommandResult RunCommand(const std::string& command, bool merge) {
  CommandResult r;
  std::FILE* p = popen((command + (merge ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline bool HaveProgram(const char* name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace roadeye_test
