// SPDX-License-Identifier: GPL-3.0-or-later
// Garmin's dash cameras' text track: each sample one binary record starting `PNDM` with the speed
// and the position, and no clock (the sample's track time places it). A pure function over the
// sample's bytes; it leaves `CameraMetadata::format` to the caller. Layout and source:
// docs/telemetry-formats.md. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metadata/CameraMetadata.h"

namespace metadata {

// One sample: the record at its start, after a u16 BE length (the tx3g subtitle form, the length
// within the sample), or after a 4-byte size word starting with a 0 byte. From `PNDM`, 20 bytes at
// least: u16 BE mph at +8, int32 BE latitude at +12 and longitude at +16 in semicircles. The fix is
// placed at `mediaMs`; a record at 0, 0 is kept as no fix. False for anything else, a latitude past
// 90 degrees or a speed over 1000 km/h.
bool ParseGarminSample(const std::uint8_t* data, std::size_t size, int mediaMs,
                       CameraMetadata* out);

}  // namespace metadata
