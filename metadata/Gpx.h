// SPDX-License-Identifier: GPL-3.0-or-later
// A GPX file beside a recording (GPX 1.1, with GPX 1.0's speed and course): its points as fixes,
// placed by their times from the first timed point. A pure function over the text handed in,
// read with pugixml; it leaves `CameraMetadata::format` to the caller. Layout and sources:
// docs/telemetry-formats.md. Any thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "metadata/CameraMetadata.h"

namespace metadata {

// GPX files larger than this are refused (an hour at 20 points a second is far less).
inline constexpr std::size_t kMaxGpxBytes = 32u << 20;

// The `wpt`, `rte/rtept` and `trk/trkseg/trkpt` points of a document whose root is `gpx`, in the
// file's order: `lat` and `lon` (a point without both or out of range is skipped), `time` (ISO
// 8601; `Z`, an offset, or neither read as UTC) as the clock, `ele`, and `speed` (m/s) and `course`
// from the point or its `extensions`. mediaMs is the time since the first timed point's (-1 without
// a time, or before it). False when the text is not such a document or has no point.
bool ParseGpx(std::string_view xml, CameraMetadata* out);

}  // namespace metadata
