// SPDX-License-Identifier: GPL-3.0-or-later
// A calendar time as the C library holds it, for tests that give the clock a date.
#pragma once

#include <ctime>

namespace roadeye_test {

// year, month 1-12, day 1-31, hour, minute, second; the other fields zero.
inline std::tm At(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

}  // namespace roadeye_test
