// SPDX-License-Identifier: GPL-3.0-or-later
// A recording file as the camera-data readers meet it: its boxes (BlackVue's free box, the freeGPS
// blocks and their index), an MPEG-TS file's private records, its data tracks through libavformat
// (NMEA and Garmin cues, GPMF, Tesla's messages in the pictures) and the marker scan, then the
// clocks settled and the records made. The input is the file. Nothing may crash or hang, no fix
// may claim a position off the globe, no count pass its bound, and no record be made for a time
// before the start.
#include <cmath>
#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "FuzzSupport.h"
#include "metadata/RecordingMetadata.h"
#include "metadata/TextRecords.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::ScratchDir() + "/recording.mp4";
  if (!fuzz::WriteInput(path, data, size)) return 0;
  const metadata::RecordingMetadata read =
      metadata::ReadRecordingMetadata(path, metadata::UtcMs(2024, 6, 12, 8, 15, 0), nullptr);
  const metadata::CameraMetadata& d = read.data;
  if (d.fixes.size() > metadata::kMaxFixes || d.gsensor.size() > metadata::kMaxGSamples ||
      d.vehicle.size() > metadata::kMaxVehicleStates) {
    __builtin_trap();
  }
  for (const metadata::Fix& f : d.fixes) {
    if (f.valid && (!(std::fabs(f.latitude) <= 90) || !(std::fabs(f.longitude) <= 180))) {
      __builtin_trap();
    }
  }
  for (const metadata::TextRecord& r : metadata::ToTextRecords(d)) {
    if (r.mediaMs < 0 || r.bytes.empty() || r.bytes.size() > 256) __builtin_trap();
  }
  return 0;
}
