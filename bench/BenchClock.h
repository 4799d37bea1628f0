// SPDX-License-Identifier: GPL-3.0-or-later
// Clocks the benchmarks read: wall time and the process's CPU time.
#pragma once

#include <sys/resource.h>

#include <chrono>

namespace bench {

// Milliseconds on the steady clock.
inline double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// CPU seconds the process has used, user and system together.
inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace bench
