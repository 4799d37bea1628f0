// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/Diag.h"

#include <cstdarg>
#include <mutex>

namespace {
std::mutex gDiagLock;
bool gDiagRedirected = false;
std::FILE* gDiagOut = nullptr;  // meaningful only when redirected
}  // namespace

void DiagSetOutput(std::FILE* out) {
  std::lock_guard<std::mutex> hold(gDiagLock);
  gDiagRedirected = true;
  gDiagOut = out;
}

void DiagPrintf(const char* format, ...) {
  std::lock_guard<std::mutex> hold(gDiagLock);
  // Standard output is looked up at each line, so that a program (or a test) that points it
  // elsewhere takes the lines with it.
  std::FILE* out = gDiagRedirected ? gDiagOut : stdout;
  if (!out) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fflush(out);
}
