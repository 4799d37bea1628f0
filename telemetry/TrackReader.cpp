// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/TrackReader.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "media/CVEXParser.h"

namespace {

// Text records longer than this are neither fixes nor samples (a fix's fields lie in its first
// hundred characters, and the record parser looks at CGPSData::kWorkBytes at most); the scan
// passes them over.
constexpr int kRecordCapacity = 4096;

// A GPS fix record: 'G', then a sentence whose talker is followed by "RMC" ("$GPRMC"), ending at
// its first zero byte; the rule the engine's telemetry store applies.
bool IsGpsFix(const char* text, int length) {
  const int n = int(strnlen(text, std::size_t(length)));
  return n >= 7 && text[0] == 'G' && text[2] == 'G' && std::memcmp(text + 3, "PRMC", 4) == 0;
}

TrackReadResult Read(VexHandle library, const char* name, RecordingTelemetry* out, bool withGsensor,
                     const std::atomic<bool>* cancel) {
  if (out == nullptr) return TrackReadResult::kNoRecording;
  *out = RecordingTelemetry();
  if (library == nullptr || name == nullptr) return TrackReadResult::kNoRecording;
  auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };

  CVEXParser parser;
  parser.SetLibraryHandle(library);
  if (cancelled()) return TrackReadResult::kCancelled;
  if (!parser.OpenTextScan(name)) return TrackReadResult::kNoRecording;

  TrackBuilder builder;
  TrackReadResult result = TrackReadResult::kOk;
  char record[kRecordCapacity];
  for (bool done = false; !done;) {
    if (cancelled()) {
      result = TrackReadResult::kCancelled;
      break;
    }
    int size = 0, timeMs = 0;
    switch (parser.ReadTextRecord(record, kRecordCapacity, &size, &timeMs)) {
      case TextScanStatus::kRecord:
        break;
      case TextScanStatus::kNotYet:
        continue;
      case TextScanStatus::kEnd:
        done = true;
        continue;
      case TextScanStatus::kFailed:
        result = TrackReadResult::kReadFailed;
        done = true;
        continue;
    }
    try {
      if (IsGpsFix(record, size)) {
        builder.Add(CGPSData(record, size), timeMs);
      } else if (withGsensor && size >= 4 && record[0] == 'M') {
        out->gsensor.emplace_back(timeMs,
                                  CGSensorData(std::uint8_t(record[1]), std::uint8_t(record[2]),
                                               std::uint8_t(record[3])));
      }
    } catch (const std::bad_alloc&) {
      // Out of memory: the record is dropped, the reading goes on.
    }
  }
  parser.CloseTextScan();
  out->track = builder.Take(name);
  return result;
}

}  // namespace

TrackReadResult ReadRecordingTrack(VexHandle library, const char* name, Track* track,
                                   const std::atomic<bool>* cancel) {
  if (track == nullptr) return TrackReadResult::kNoRecording;
  RecordingTelemetry telemetry;
  const TrackReadResult result = Read(library, name, &telemetry, false, cancel);
  *track = std::move(telemetry.track);
  return result;
}

TrackReadResult ReadRecordingTelemetry(VexHandle library, const char* name,
                                       RecordingTelemetry* telemetry,
                                       const std::atomic<bool>* cancel) {
  return Read(library, name, telemetry, true, cancel);
}
