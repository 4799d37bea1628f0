// SPDX-License-Identifier: GPL-3.0-or-later
// GoPro's GPMF telemetry: the key-length-value samples of a recording's `gpmd` data track, one
// sample (usually a second) at a time. The GPS streams (GPS5 with GPSU, GPSF and SCAL; GPS9 with
// its own date and fix) become fixes and the accelerometer (ACCL) G-sensor samples. A pure function
// over one sample's bytes: it opens nothing, keeps nothing between calls and may be called from any
// thread. docs/telemetry-formats.md has the layout and its source.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metadata/CameraMetadata.h"

namespace metadata {

// Reads one gpmd sample that starts at `mediaMs` and lasts `durationMs` into `out`: the n points of
// each stream are spread over it (mediaMs + i * durationMs / n). GPS5 points take their clock from
// the stream's GPSU (its time + i * durationMs / n) and their validity from GPSF (2 or 3: a fix);
// GPS9 points carry their own date, time and fix, and when a sample holds both only GPS9 is kept.
// Accelerations are turned from m/s^2 into g along the camera's X, Y and Z (the stream's ORIN, or
// the order GoPro gives for the camera model). Returns whether the bytes are a whole GPMF sample
// (top-level DEVC containers, every size within its parent, nesting at most 8 deep); nothing is
// added from one that is not. Sets `out->format` to Format::kGpmf when they are.
bool ParseGpmfSample(const std::uint8_t* data, std::size_t size, int mediaMs, int durationMs,
                     CameraMetadata* out);

}  // namespace metadata
