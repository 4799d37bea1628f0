// SPDX-License-Identifier: GPL-3.0-or-later
// BlackVue's metadata: the sub-boxes of the top-level `free` box of its MP4 files (`sttm` the first
// picture's camera clock, `gps ` an NMEA log with each line's clock, `3gf ` the G-sensor records),
// and the `.3gf` file older models write beside the video (their `.gps` file is read by
// ParseNmeaLog). Pure functions over the bytes handed in; every size is checked against what is
// left before it is used. They leave `CameraMetadata::format` to the caller. Layout and sources:
// docs/telemetry-formats.md. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metadata/CameraMetadata.h"

namespace metadata {

// The payload of a top-level `free` box (after its 8-byte header). Its sub-boxes are walked up to
// the first whose size is under 8 or past the payload's end or whose type is not printable; the
// `gps ` log is placed by `sttm` (or, without one, by its first line), the `3gf ` records by their
// own times. False when the payload holds no whole `gps ` or `3gf ` box, or they give nothing.
bool ParseBlackVueFree(const std::uint8_t* data, std::size_t size, CameraMetadata* out);

// A run of 10-byte G-sensor records (u32 BE media ms, then x, y, z int16 BE in hundredths of a g)
// up to the record whose time is 0xFFFFFFFF; a partial record at the end is ignored and a record
// past 24 hours skipped. The `3gf ` box's payload and the `.3gf` file alike. True when any sample
// was read.
bool ParseBlackVue3gf(const std::uint8_t* data, std::size_t size, CameraMetadata* out);

}  // namespace metadata
