// SPDX-License-Identifier: GPL-3.0-or-later
// Evidence clips: a span of a card recording, cut to whole blocks (30 front pictures each, the
// unit the card is read in), written into a folder as four files that share one stem,
// "<recording>_<SSSS>-<EEEE>" (the recording's name less its ending, the span's first and last
// second from its start, EVENT_20240612_081500_D_0012-0022):
//   .avi     the span's front and rear pictures and sound (export/ConvertRecording)
//   .gpx     the recording's GPS track cut to the span (GPX 1.1, export/TrackExport); a span
//            without fixes still gets its file, holding the recording's track with no points, so
//            that every clip has the same four files and its text says so
//   .txt     what the clip is: the recording, the span in it, the camera's clock at the span's
//            start and end, the viewer's version, the source file's path and size
//   .sha256  the SHA-256 of the three files by their plain names and of the source recording by
//            its absolute path, as `sha256sum -c` reads it in the folder (so it checks the card
//            too while it is in)
// The files are written under temporary names, flushed and renamed into place (replacing an
// earlier export of the same span), the checksum list last; a failure or a stop removes whatever
// this clip had written, and the outcome says why.
//
// Another camera family's recording gives four files: its span as one MP4 file holding every
// camera's pictures and the sound as the camera coded them (export/RemuxClip.h), from each
// camera's key picture at or before the start asked for; the .gpx of the span, from the camera's
// own GPS data (metadata/); the .txt; and the .sha256 list, which names each of the recording's
// camera files on the card by its absolute path.
//
// Threads: runs on the caller's worker (the window's export worker, the command-line converter,
// tests). The AVI goes through the process-wide clip writer, so one export or conversion runs at a
// time; the track is read through the card library's text scan beside the parser.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "export/ConvertRecording.h"
#include "media/VMediaParser.h"
#include "vexlib/vexlib.h"

enum ClipResult : int {
  kClipDone = 0,           // every file written
  kClipStopped = 1,        // *busy was cleared (or the progress said stop); nothing left behind
  kClipBadSpan = -1,       // a negative start, an end not after the start, or a start at or past
                           // the recording's end; nothing written
  kClipBadName = -2,       // not a recording's name KIND_YYYYMMDD_HHMMSS[_D] (.avi or .vex
                           // optional) with a real date and time; nothing written
  kClipNoRecording = -3,   // no usable recording of that name on the card; nothing written
  kClipPathTooLong = -4,   // the folder's paths are longer than the system allows
  kClipVideoFailed = -5,   // the AVI could not be made: ClipOutcome::video says why
  kClipTrackFailed = -6,   // the GPS track could not be read from the card
  kClipWriteFailed = -7,   // a file could not be created, written, flushed or renamed
  kClipSourceFailed = -8,  // the recording's file could not be read for its checksum
};

// A short English text for a result, for messages.
const char* ClipResultText(ClipResult result);

// A span as whole blocks of a recording and their media times.
struct ClipSpan {
  int firstBlock = 0;  // 0-based
  int blocks = 0;
  int startMs = 0;  // the first block's start
  int endMs = 0;    // the last block's end: the next block's start, or the recording's end
};

// The blocks of a recording (frameRate front pictures a second, frontPictures of them) that hold
// [fromMs, toMs): from the start of the block holding fromMs to the end of the block holding the
// last moment before toMs (a span ending on a block's start does not take that block), the end
// clamped to the recording. False for fromMs < 0, toMs <= fromMs, no pictures or rate, or fromMs
// at or past the recording's end.
bool ClipSpanOf(int fromMs, int toMs, int frameRate, int frontPictures, ClipSpan* span);

struct ClipRequest {
  std::string name;  // the recording as the card lists it (EVENT_20240612_081500_D.avi)
  int fromMs = 0;    // the span asked for, in ms from the recording's start
  int toMs = 0;
  std::string folder;  // where the files go; must exist
  // A trip's clip across its joins: the recordings after `name` that the span runs on into, in
  // the trip's order. name is then taken from fromMs to its end, each of these whole but the
  // last, and the last from its start to toMs (ms of its own). The clip is one file of the
  // parts one after another; its stem's seconds and the span's endMs count from name's start
  // along the parts (as the trip's timeline, which passes over the time between recordings).
  std::vector<std::string> following;
};

struct ClipOutcome {
  ClipResult result = kClipNoRecording;
  ConvertResult video = kConvertDone;  // the AVI's own result (kClipVideoFailed says which)
  int systemError = 0;                 // errno of a failed file operation, 0 when none
  std::string reason;                  // the result in words, with the system's reason
  ClipSpan span;                       // the blocks taken, once the recording was described
  std::string stem;                    // the files' common name, once known
  // The files made, in order .avi, .gpx, .txt, .sha256 (.mp4, .gpx, .txt, .sha256 for another
  // family's recording; full paths); empty unless done.
  std::vector<std::string> files;
  int gpsPoints = 0;  // fixes in the clip's track
};

// Exports request.name's span through `parser` (started; on the card behind `library`) and the
// card library. progress and busy as for ConvertRecording: progress is called before each front
// picture of the span, busy (may be null) stops the export when cleared.
ClipOutcome ExportClip(VMediaParser* parser, VexHandle library, const ClipRequest& request,
                       ConvertProgressFn progress, void* arg, std::atomic<int>* busy);

// Exports request's span of another family's recording, on the card at root (request.name is
// the recording's name, for the text). progress is called before each front picture with the ms
// written of the span's; busy as for ExportClip.
ClipOutcome ExportFamilyClip(const std::string& root, const cards::CardRecording& recording,
                             const ClipRequest& request, ConvertProgressFn progress, void* arg,
                             std::atomic<int>* busy);

// As ExportFamilyClip, of a span across a trip's joins: recordings are request.name's and then
// request.following's, in order (their `name`s must agree). The MP4 file holds the parts one
// after another; the .gpx a track for each recording; the .txt and .sha256 name every camera file
// of every recording.
ClipOutcome ExportFamilyClip(const std::string& root,
                             const std::vector<cards::CardRecording>& recordings,
                             const ClipRequest& request, ConvertProgressFn progress, void* arg,
                             std::atomic<int>* busy);
