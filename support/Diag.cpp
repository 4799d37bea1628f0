#include "support/Diag.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex gDiagLock;
}

void DiagPrintf(const char* format, ...) {
  std::lock_guard<std::mutex> hold(gDiagLock);
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}
