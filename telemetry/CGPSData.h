// SPDX-License-Identifier: GPL-3.0-or-later
// One GPS fix of a recording's text stream: an NMEA 0183 RMC sentence behind a one-letter tag
// ("G$GPRMC,hhmmss.sss,A,ddmm.mmmm,N,dddmm.mmmm,E,knots,course,ddmmyy,...").
//
// The record keeps the values as the camera wrote them (latitude and longitude as raw ddmm.mmmm,
// negative for south and west; the hour as UTC + 9) plus the speed in km/h and a time value in
// seconds since 1970. Accessors convert the position to decimal degrees.
//
// The sentence comes from the card and is untrusted: parsing reads at most the given length (or up
// to the terminating zero), works on a bounded copy and never throws.
#pragma once

#include <cstdint>

// Decimal degrees of an NMEA ddmm.mmmm value already scaled by 0.01 (3733.1234 -> 37.331234 ->
// 37.552057). The sign is kept, so south and west stay negative.
double NmeaToDegrees(double x);

class CGPSData {
 public:
  // Longest sentence the parser looks at; the fields it uses lie in the first hundred characters.
  static constexpr int kWorkBytes = 1024;

  // Every field 0: no fix.
  CGPSData() = default;
  // Parses a zero-terminated payload starting at its tag letter.
  explicit CGPSData(const char* payload);
  // Parses at most `length` bytes of a payload (stops earlier at a zero byte).
  CGPSData(const char* payload, int length);
  virtual ~CGPSData() = default;
  CGPSData(const CGPSData&) = default;
  CGPSData& operator=(const CGPSData&) = default;

  // Decodes an RMC sentence (tag-and-talker token first) into the fields. All fields are reset
  // first; they are then filled in sentence order, so a sentence cut short leaves the later fields
  // at 0 and `valid` as far as the status field was reached. Returns true when the ten tokens up
  // to and including the date were present (the time value is computed only then).
  bool ParseRMC(const char* sentence);
  bool ParseRMC(const char* sentence, int length);

  // Decimal degrees, negative for south / west.
  double GetLatitude() const;
  double GetLongitude() const;
  // Speed over ground in km/h.
  double GetSpeed() const;

  int valid = 0;          // 1 when the status field started with 'A'
  int year = 0;           // two-digit year as written
  int month = 0;          // 1..12 as written
  int day = 0;            // 1..31 as written
  int hour = 0;           // UTC hour + 9, not normalised (may pass 23)
  int minute = 0;         // as written
  int second = 0;         // as written
  double latitude = 0;    // raw ddmm.mmmm, negative for south
  double longitude = 0;   // raw dddmm.mmmm, negative for west
  double speed = 0;       // km/h, a single-precision value
  double course = 0;      // degrees, a single-precision value
  std::int64_t time = 0;  // seconds since 1970 of the fields above read as local time
};
