// SPDX-License-Identifier: GPL-3.0-or-later
// The GPS blocks of Novatek-based cameras and their relatives: a top-level `free` atom whose
// payload starts "GPS ", so that its type and first word read "freeGPS " (the block's marker), then
// one GPS record in one of the layouts below. An index in the recording's `moov` (a `gps ` atom)
// names each block's place; blocks found without it are read in the order of the file. MPEG-TS
// recordings of the same cameras carry the record of the newer layout without its marker, as the
// payload of a private stream (MpegTsGps.h). docs/telemetry-formats.md gives each layout's offsets
// and sources.
//
// Offsets count from the marker's first byte, values little-endian:
// - common: hour, minute, second, year (less 2000), month, day as six u32 at 44; status 'A'/'V',
//   'N'/'S', 'E'/'W' at 68; latitude and longitude (DDDmm.mmmm), speed in knots, course as floats
//   at 72, 76, 80, 84.
// - 70mai: the common layout with latitude and longitude as int32 millionths of a degree and the
//   speed as u32 hundredths of a km/h.
// - newer: the six u32 at 12; status and hemispheres at 36; the four floats at 40; three int32
//   accelerations in 1/256 g at 56.
// - older: status and hemispheres at 60; year, month, day, hour, minute, second at 64; longitude,
//   latitude, speed in knots, course, altitude as floats at 88, 92, 96, 100, 104; three int32
//   accelerations in 1/1000 g at 108.
// - NMEA: RMC and GGA sentences as text after byte 12, with three int32 accelerations in 1/256 g
//   at 64 when the RMC sentence is valid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metadata/CameraMetadata.h"

namespace metadata {

inline constexpr char kFreeGpsMarker[] = "freeGPS ";
// Bytes of a block looked at; real cameras write 0x400 to 0x8000 bytes a block.
inline constexpr std::size_t kFreeGpsMaxBlock = 0x10000;

// Reads one block (`data` from the marker on, `size` bytes of it) whose fix lies at `mediaMs`.
// Returns the layout found (kFreeGps, kFreeGps70mai or kFreeGpsNmea) and adds its fix (and
// acceleration) to `out`; kNone, adding nothing, when the block is not a GPS block of a layout
// known here.
Format ParseFreeGpsBlock(const std::uint8_t* data, std::size_t size, int mediaMs,
                         CameraMetadata* out);

// The newer layout's record without its first 12 bytes (as MPEG-TS recordings carry it).
bool ParseFreeGpsRecord(const std::uint8_t* data, std::size_t size, int mediaMs,
                        CameraMetadata* out);

}  // namespace metadata
