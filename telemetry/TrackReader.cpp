// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/TrackReader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "media/CContainerParser.h"
#include "media/CVEXParser.h"
#include "metadata/RecordingMetadata.h"
#include "metadata/TextRecords.h"

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

// Another camera's recording ("files:" and its paths): its own metadata, in the same fixes and
// samples. The fixes go through the same record form as the engine's, so the track and the
// read-out never differ.
TrackReadResult ReadFamily(const char* name, RecordingTelemetry* out, bool withGsensor,
                           const std::atomic<bool>* cancel) {
  const std::vector<std::string> files = ContainerRecordingFiles(name);
  if (files.empty()) return TrackReadResult::kNoRecording;
  metadata::RecordingMetadata read = metadata::ReadRecordingMetadata(
      files.front(), metadata::CameraClockMs(files.front()), cancel);
  if (read.cancelled) return TrackReadResult::kCancelled;
  TrackBuilder builder;
  for (const metadata::Fix& fix : read.data.fixes) {
    if (fix.mediaMs < 0) continue;
    const std::string record = metadata::FixRecord(fix);
    builder.Add(CGPSData(record.c_str(), int(record.size())), fix.mediaMs);
  }
  if (withGsensor) {
    for (const metadata::GSample& g : read.data.gsensor) {
      if (g.mediaMs < 0) continue;
      CGSensorData sample;
      sample.x = int(std::lround(g.x * metadata::kCountsPerG));
      sample.y = int(std::lround(g.y * metadata::kCountsPerG));
      sample.z = int(std::lround(g.z * metadata::kCountsPerG));
      out->gsensor.emplace_back(g.mediaMs, sample);
    }
  }
  const std::string& front = files.front();
  out->track = builder.Take(front.substr(front.find_last_of('/') + 1));
  out->track.format = metadata::FormatName(read.data.format);
  out->track.clockKnown = read.clock.offsetKnown;
  out->track.clockOffsetMinutes = read.clock.offsetMinutes;
  out->track.clockText = read.clock.Describe();
  return TrackReadResult::kOk;
}

TrackReadResult Read(VexHandle library, const char* name, RecordingTelemetry* out, bool withGsensor,
                     const std::atomic<bool>* cancel) {
  if (out == nullptr) return TrackReadResult::kNoRecording;
  *out = RecordingTelemetry();
  if (name != nullptr && IsContainerRecordingName(name)) {
    return ReadFamily(name, out, withGsensor, cancel);
  }
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

RecordingTelemetry JoinTripTelemetry(std::vector<RecordingTelemetry> parts,
                                     const std::vector<int>& startMs) {
  RecordingTelemetry trip;
  const std::size_t n = std::min(parts.size(), startMs.size());
  for (std::size_t i = 0; i < n; ++i) {
    RecordingTelemetry& part = parts[i];
    const int shift = startMs[i];
    if (i == 0) {
      trip.track = part.track;
      trip.track.segments.clear();
    }
    for (std::vector<TrackPoint>& segment : part.track.segments) {
      if (segment.empty()) continue;
      for (TrackPoint& p : segment) p.timeMs += shift;
      trip.track.segments.push_back(std::move(segment));
    }
    for (auto& [timeMs, sample] : part.gsensor) trip.gsensor.emplace_back(timeMs + shift, sample);
  }
  return trip;
}
