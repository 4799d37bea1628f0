// SPDX-License-Identifier: GPL-3.0-or-later
// Tesla's car state, carried in every picture of its dashcam recordings as an SEI message (user
// data unregistered) holding a protobuf `SeiMetadata` (metadata/tesla_sei.proto;
// docs/telemetry-formats.md has the framing). A pure function over one picture's bytes: it opens
// nothing, keeps nothing between calls and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metadata/CameraMetadata.h"

namespace metadata {

// Reads the Tesla messages of one picture (its NAL units with Annex B start codes, or with 4-byte
// big-endian lengths as MP4 stores them) into `out`, each placed at `mediaMs`: a car state, a fix
// without a clock of its own when the car gave a position (latitude and longitude not both 0 and
// in range) and a G-sensor sample of its acceleration. `h265` picks the H.265 NAL header (SEI
// types 39 and 40) over H.264's (type 6). Returns whether a Tesla message was found; a message
// with another marker, a size past its NAL unit or a protobuf that does not decode gives nothing.
// Sets `out->format` to Format::kTesla when it finds one.
bool ParseTeslaPicture(const std::uint8_t* data, std::size_t size, bool h265, int mediaMs,
                       CameraMetadata* out);

}  // namespace metadata
