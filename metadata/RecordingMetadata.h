// SPDX-License-Identifier: GPL-3.0-or-later
// A recording's metadata, whatever the camera: the one entry the viewer and the tools use. Given
// the recording's front file, it looks where each family keeps its data and takes the first that
// holds any:
// 1. in the file's own boxes: BlackVue's `free` box, the freeGPS blocks (through moov's `gps `
//    index); in an MPEG-TS file, the private stream's records;
// 2. in its tracks, in one pass through libavformat that reads only them: NMEA or Garmin records
//    in a subtitle or text track, GoPro's GPMF in a `gpmd` track, Tesla's messages in the
//    pictures (only when the first pictures carry them);
// 3. the freeGPS marker searched for in the file (an index missing or broken, a file cut short);
// 4. files beside it with the recording's base name: BlackVue's `.gps` and `.3gf`, NMEA (`.nmea`,
//    `.txt`) and GPX.
// Then the fixes' clocks are settled (RecordingClock.h). Runs on the caller's thread; `cancel`
// (may be null) is looked at between blocks, chunks and packets.
#pragma once

#include <atomic>
#include <string>

#include "metadata/CameraMetadata.h"
#include "metadata/RecordingClock.h"

namespace metadata {

struct RecordingMetadata {
  CameraMetadata data;
  RecordingClock clock;
  bool cancelled = false;
};

// `nameClockMs`: the camera's clock at the recording's first picture as its name or container
// gives it (ms since 1970, read as UTC), -1 when neither does.
RecordingMetadata ReadRecordingMetadata(const std::string& frontPath, std::int64_t nameClockMs,
                                        const std::atomic<bool>* cancel);

// The camera's clock at the first picture of the file at `path`, as ms since 1970 read as UTC: from
// its name (read as on a card, its folders included) or else its container's creation time; -1
// when neither gives one.
std::int64_t CameraClockMs(const std::string& path);

// Steps 1 to 4 alone, the clocks left as written.
CameraMetadata ReadCameraMetadata(const std::string& frontPath, const std::atomic<bool>* cancel);

}  // namespace metadata
