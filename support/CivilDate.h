// SPDX-License-Identifier: GPL-3.0-or-later
// Calendar arithmetic without time zones: days since 1970-01-01 of a date of the proleptic
// Gregorian calendar and back. A recording's clock, a fix's UTC time and the file names built from
// them all use it; the computer's own time zone never enters.
#pragma once

#include <cstdint>

// Days since 1970-01-01 of year-month-day (month 1..12; a day past the month's end carries into
// the next month).
inline std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;                          // 0..399
  const int monthFromMarch = month > 2 ? month - 3 : month + 9;             // 0..11
  const std::int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;  // 0..365
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The date `days` after 1970-01-01.
inline void CivilFromDays(std::int64_t days, std::int64_t* year, int* month, int* day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;
  *day = int(dayOfYear - (153 * mp + 2) / 5 + 1);
  *month = int(mp < 10 ? mp + 3 : mp - 9);
  *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}
