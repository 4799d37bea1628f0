// SPDX-License-Identifier: GPL-3.0-or-later
// A span of another camera family's recording copied into one MP4 file through libavformat: the
// pictures of every camera, each one stream as the camera coded it (never decoded nor coded
// again; H.265 is tagged hvc1), and the sound of the first camera that has any. The span starts at
// each camera's key picture at or before `from` (the earliest of them is time 0 in the file) and
// ends before the first packet at or after `to`. AAC from an MPEG-TS file loses its ADTS headers
// on the way (the aac_adtstoasc bitstream filter), as MP4 keeps the sound's configuration once.
//
// The camera files are untrusted: libavformat is given each one alone, as the cards library reads
// them (the file protocol only, the camera containers only, no external data references, a bounded
// probe), a file with more streams than any camera writes is refused, and a packet larger than any
// camera writes ends that file's part. Runs on the caller's thread; busy (may be null) is looked
// at between packets and interrupts a read in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "export/ConvertRecording.h"

enum class RemuxResult {
  kDone,
  kStopped,       // *busy was cleared (or the progress said stop); the file is incomplete
  kBadSpan,       // from at or past the front camera's last picture, or to not after from
  kOpenFailed,    // a camera file could not be opened or holds no pictures
  kCreateFailed,  // the destination could not be created (systemError says why)
  kWriteFailed,   // a packet, or the file's index, could not be written
};

// A short English text for a result, for messages.
const char* RemuxResultText(RemuxResult result);

// One camera's file of the recording.
struct RemuxSource {
  std::string camera;  // front, rear ...: the stream's handler name in the MP4 file
  std::string path;    // where the file is
};

struct RemuxOutcome {
  RemuxResult result = RemuxResult::kOpenFailed;
  int systemError = 0;   // errno behind a failure to create or write, 0 when none
  std::string detail;    // libavformat's word on a failure, empty when none
  int startMs = 0;       // the span written, in ms of the recording: its first key picture
  int endMs = 0;         // the end of its last picture
  int videoStreams = 0;  // pictures of this many cameras
  bool sound = false;    // and the sound
  // Each part written, in ms of its recording (RemuxPartsToMp4; one for RemuxToMp4).
  struct Span {
    int startMs = 0, endMs = 0;
  };
  std::vector<Span> parts;
};

// Writes [fromMs, toMs) of the recording whose camera files are `sources` (the front's first) as
// the MP4 file `destination`. progress (may be null) is called before each front picture written
// with the ms written so far of the span's length in ms; false stops the clip.
RemuxOutcome RemuxToMp4(const std::vector<RemuxSource>& sources, int fromMs, int toMs,
                        const std::string& destination, ConvertProgressFn progress, void* arg,
                        std::atomic<int>* busy);

// One recording's part of a clip that joins several.
struct RemuxPart {
  std::vector<RemuxSource> sources;
  int fromMs = 0;
  int toMs = 0;
};

// As RemuxToMp4, of several recordings' spans one after another in one file (a trip's clip across
// its joins): each part starts at its cameras' key pictures at or before its `from` and is placed
// where the last part's front pictures ended, whatever time passed between the recordings. The
// file's streams are the first part's; a later part whose cameras code otherwise (another codec or
// picture size, other sound) cannot share them (kOpenFailed). startMs is the first part's start
// in its recording, endMs the last part's end in its own; progress runs over the parts' spans
// asked for, added up.
RemuxOutcome RemuxPartsToMp4(const std::vector<RemuxPart>& parts, const std::string& destination,
                             ConvertProgressFn progress, void* arg, std::atomic<int>* busy);
