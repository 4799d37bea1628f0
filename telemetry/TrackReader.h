// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a recording's telemetry ahead of playback: its GPS track, and its G-sensor samples, from
// the text records alone.
//
// Threads: called on a worker of the caller's. The reading goes through a parser of its own and
// the card library's text scan, which reads the file apart from the library's stream, so the
// engine may play the same recording through the same library handle meanwhile. Pictures and
// sound are passed over by their records, never read: an hour's recording reads in a fraction of
// a second from the page cache. `cancel` (may be null) is looked at before every record and
// between blocks of the recording (each a second of pictures).
#pragma once

#include <atomic>
#include <utility>
#include <vector>

#include "telemetry/CGSensorData.h"
#include "telemetry/Track.h"
#include "vexlib/vexlib.h"

enum class TrackReadResult {
  kOk,           // read to the recording's end (a recording cut short: to its last whole packet)
  kNoRecording,  // no such recording on the card, or not a readable one
  kCancelled,    // *cancel was set; the output holds what was read before
  kReadFailed,   // the card could not be read (pulled out, unreadable); the output holds what was
                 // read before
};

// A recording's telemetry as read ahead.
struct RecordingTelemetry {
  Track track;
  // Every G-sensor sample ("M" and three axis bytes) with its media time in ms, in file order.
  std::vector<std::pair<int, CGSensorData>> gsensor;
};

// A trip's telemetry from its recordings' own, each read alone: the recording `i`'s times moved
// by startMs[i] (where it starts on the trip's timeline), its segments after those before (a
// recording's first fix starts a segment of its own), its G-sensor samples after theirs. Named,
// and its clock told, as the first recording's. Parts without a start are left out.
RecordingTelemetry JoinTripTelemetry(std::vector<RecordingTelemetry> parts,
                                     const std::vector<int>& startMs);

// Reads the recording `name` (as the card lists it) of the card behind `library` and builds its
// track from its GPS fix records ("G$GPRMC...") at their media times. The track is named `name`.
TrackReadResult ReadRecordingTrack(VexHandle library, const char* name, Track* track,
                                   const std::atomic<bool>* cancel);
// As ReadRecordingTrack, with the G-sensor samples gathered in the same pass.
TrackReadResult ReadRecordingTelemetry(VexHandle library, const char* name,
                                       RecordingTelemetry* telemetry,
                                       const std::atomic<bool>* cancel);
