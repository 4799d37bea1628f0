// SPDX-License-Identifier: GPL-3.0-or-later
// NMEA 0183 RMC and GGA sentences, as many cameras write them: one sentence, the sentences of one
// subtitle cue or data block (Nextbase's and Thinkware's cues, Vantrue's freeGPS blocks), and a log
// of them (a sidecar file, BlackVue's gps box). Pure functions over the text handed in: they never
// throw, bound every field, and refuse a sentence whose checksum, fields or values are wrong rather
// than give a wrong fix. They leave `CameraMetadata::format` to the caller, who knows where the
// text came from. Layouts and sources: docs/telemetry-formats.md. Any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "metadata/CameraMetadata.h"

namespace metadata {

// One sentence as read. Fields the sentence leaves empty keep the defaults below.
struct NmeaSentence {
  enum class Kind { kRmc, kGga };
  Kind kind = Kind::kRmc;
  int dayMs = -1;         // the time of day, ms since midnight; -1 when empty
  bool hasClock = false;  // RMC with both time and date: clockMs is set
  std::int64_t clockMs = 0;
  bool valid = false;  // RMC status A; GGA quality 1..8
  bool hasPosition = false;
  double latitude = 0, longitude = 0;
  double speedKmh = kNone, course = kNone;  // RMC
  double altitude = kNone;                  // GGA
};

// Reads one RMC or GGA sentence of any talker: `$` (optional), two capitals, RMC or GGA, its
// fields, and an optional `*HH` checksum that must match when it is there. Trailing CR, LF and
// spaces are allowed. False (and *out untouched) for anything else: another sentence, a bad
// checksum, a sentence cut before its date (RMC) or altitude (GGA), a field that does not read.
bool ParseNmeaSentence(std::string_view sentence, NmeaSentence* out);

// The sentences of one cue or block (CR, LF or NUL between them), every fix at `mediaMs`; a tx3g
// sample's u16 BE length in front (equal to the bytes after it) is skipped. A cue starting
// `gsensori,` is read as Thinkware's (ParseThinkwareCue). An RMC and a GGA of the same
// time make one fix (the GGA's altitude). True when any sentence was read.
bool ParseNmeaText(std::string_view text, int mediaMs, CameraMetadata* out);

// Thinkware's cue: `gsensori,<range>,<counts per g>,<x>,<y>,<z>;` then the RMC (and GGA), with or
// without `$`, then parts such as `CAR,...` that are skipped (the tx3g length skipped as above).
// The G-sensor sample and the fix are placed at `mediaMs`. False when the cue does not start
// `gsensori,` or holds neither a sample nor a sentence.
bool ParseThinkwareCue(std::string_view text, int mediaMs, CameraMetadata* out);

// A log of sentences, one a line (CR, LF or NUL end a line). A line's optional `[<ms>]` prefix is
// the sentence's camera clock in ms since 1970 and places it at ms − originMs (originMs < 0: the
// first prefix's value); a line before the origin or more than 24 hours after it gives no fix.
// Without the prefix, the n-th RMC line (from 0) lies at n × 1000 ms. True when any sentence was
// read.
bool ParseNmeaLog(std::string_view text, std::int64_t originMs, CameraMetadata* out);

}  // namespace metadata
