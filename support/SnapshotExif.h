// SPDX-License-Identifier: GPL-3.0-or-later
// EXIF tags for a snapshot of a recording: when the picture was taken by the recording's clock,
// where the car was and how fast it went (from the GPS fix of that moment), the camera that
// recorded it and the recording it came from, so that a saved picture carries its evidence with it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The GPS fix of the moment a snapshot shows.
struct SnapshotFix {
  bool valid = false;    // no fix: no GPS tags at all (never 0,0)
  double latitude = 0;   // degrees, north positive
  double longitude = 0;  // degrees, east positive
  double speed = 0;      // in the card's unit below
  bool mph = false;      // GPSSpeedRef "M" (miles per hour) instead of "K" (km/h)
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;  // UTC of the fix
  double second = 0;
};

struct SnapshotEvidence {
  // The picture's local date and time by the recording's own clock.
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  SnapshotFix fix;
  std::string make, model;  // from the card's settings file; empty: not written
  std::string software;     // "Roadeye <version>"
  std::string description;  // the recording's file name
};

// The longest text a tag gets, in bytes; longer texts are cut at a character boundary.
inline constexpr std::size_t kSnapshotTextMax = 255;

// Adds the tags to a JPEG held in memory (the bytes are rewritten with the EXIF segment in). False
// (bytes unchanged) when the data is no JPEG or the tags cannot be added.
//
// Every value may come from a damaged or hostile card, so each is checked on its own and a value
// that makes no sense is left out rather than written: a date that does not exist, a position
// outside the globe (then no GPS tag at all), a speed that is negative, not finite or beyond any
// car's. Texts lose their control characters and bytes that are no UTF-8 and are cut to
// kSnapshotTextMax bytes. Tags already in the picture that are not ours are kept, and the tags
// every EXIF segment needs (resolution, EXIF version, colour space, size in pixels) are added when
// missing.
bool AddSnapshotExif(std::vector<unsigned char>* jpeg, const SnapshotEvidence& evidence);

// The text AddSnapshotExif writes for `text`: control characters and invalid UTF-8 dropped, cut to
// kSnapshotTextMax bytes without splitting a character.
std::string SnapshotExifText(const std::string& text);
