// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/CGPSData.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

// Cuts a copy of a sentence into comma-separated tokens in place. The first token starts after
// any leading commas; every later token starts right after the previous comma, so consecutive
// commas give empty tokens. The piece after the last comma is a token too (possibly empty); after
// it there are no more.
class CRmcTokenizer {
 public:
  // Copies at most `length` bytes, stopping at a zero byte and at the buffer's size.
  CRmcTokenizer(const char* text, int length) {
    std::size_t n = 0;
    if (text != nullptr && length > 0) {
      const std::size_t limit = std::min<std::size_t>(std::size_t(length), sizeof buffer_ - 1);
      while (n < limit && text[n] != '\0') n++;
      std::memcpy(buffer_, text, n);
    }
    buffer_[n] = '\0';
  }
  CRmcTokenizer(const CRmcTokenizer&) = delete;
  CRmcTokenizer& operator=(const CRmcTokenizer&) = delete;

  // The next token, or null when there is none.
  const char* Next() {
    if (done_) return nullptr;
    if (next_ == nullptr) {
      next_ = buffer_;
      while (*next_ == ',') next_++;
      if (*next_ == '\0') {
        done_ = true;
        return nullptr;
      }
    }
    char* start = next_;
    char* comma = std::strchr(start, ',');
    if (comma == nullptr) {
      done_ = true;
    } else {
      *comma = '\0';
      next_ = comma + 1;
    }
    return start;
  }

 private:
  char buffer_[CGPSData::kWorkBytes];
  char* next_ = nullptr;  // where the next token starts; null before the first
  bool done_ = false;
};

// The decimal number of the digits at the start of a two-character piece of `token` at `offset`;
// a missing piece or one that does not start with a digit gives 0.
int TwoDigits(const char* token, std::size_t offset) {
  const std::size_t len = std::strlen(token);
  int value = 0;
  for (std::size_t i = offset; i < offset + 2 && i < len; ++i) {
    if (token[i] < '0' || token[i] > '9') break;
    value = value * 10 + (token[i] - '0');
  }
  return value;
}

// A decimal floating-point number at the start of a token (leading blanks and '+' allowed);
// anything unreadable gives 0, and so do "nan" and "inf", which no receiver writes but a damaged
// record may hold (they would reach the map as coordinates). Independent of the process locale.
double Number(const char* token) {
  while (*token == ' ' || *token == '\t') token++;
  if (*token == '+') token++;
  double value = 0;
  const char* end = token + std::strlen(token);
  auto result = std::from_chars(token, end, value, std::chars_format::general);
  if (result.ec != std::errc() || !std::isfinite(value)) return 0;
  return value;
}

// The single-precision value of v; values beyond float's range become infinities instead of
// relying on an out-of-range conversion.
double NarrowToFloat(double v) {
  if (std::isnan(v)) return v;
  if (v > double(FLT_MAX)) return std::numeric_limits<float>::infinity();
  if (v < -double(FLT_MAX)) return -std::numeric_limits<float>::infinity();
  return double(float(v));
}

}  // namespace

double NmeaToDegrees(double x) {
  const double a = std::trunc(x);
  return a + (x - a) * 100.0 / 60.0;
}

CGPSData::CGPSData(const char* payload) { ParseRMC(payload); }

CGPSData::CGPSData(const char* payload, int length) { ParseRMC(payload, length); }

bool CGPSData::ParseRMC(const char* sentence) {
  // The copy stops at the terminating zero; the bound only keeps the scan inside the buffer.
  return ParseRMC(sentence, kWorkBytes);
}

bool CGPSData::ParseRMC(const char* sentence, int length) {
  *this = CGPSData();
  CRmcTokenizer tokens(sentence, length);

  if (tokens.Next() == nullptr) return false;  // tag and talker, not used
  for (int field = 1; field <= 9; ++field) {
    const char* t = tokens.Next();
    if (t == nullptr) return false;
    switch (field) {
      case 1:  // hhmmss[.sss], kept as UTC + 9 hours
        hour = TwoDigits(t, 0) + 9;
        minute = TwoDigits(t, 2);
        second = TwoDigits(t, 4);
        break;
      case 2:
        valid = t[0] == 'A' ? 1 : 0;
        break;
      case 3:
        latitude = Number(t);
        break;
      case 4:  // anything but N (an empty field too) means south
        if (t[0] != 'N') latitude = -latitude;
        break;
      case 5:
        longitude = Number(t);
        break;
      case 6:  // anything but E means west
        if (t[0] != 'E') longitude = -longitude;
        break;
      case 7:  // knots
        speed = NarrowToFloat(Number(t) * 1.852);
        break;
      case 8:
        course = NarrowToFloat(Number(t));
        break;
      case 9:  // ddmmyy
        day = TwoDigits(t, 0);
        month = TwoDigits(t, 2);
        year = TwoDigits(t, 4);
        break;
    }
  }

  // The fields read as the computer's local time; two-digit years 70..99 are 1970..1999 and 00..69
  // are 2000..2069. mktime also carries hours past 23 into the next day.
  std::tm tm{};
  tm.tm_sec = second;
  tm.tm_min = minute;
  tm.tm_hour = hour;
  tm.tm_mday = day;
  tm.tm_mon = month - 1;
  tm.tm_year = ((year + 30) % 100) + 70;
  tm.tm_isdst = -1;
  time = std::int64_t(std::mktime(&tm));
  return true;
}

double CGPSData::GetLatitude() const { return NmeaToDegrees(latitude * 0.01); }

double CGPSData::GetLongitude() const { return NmeaToDegrees(longitude * 0.01); }

double CGPSData::GetSpeed() const { return speed; }
