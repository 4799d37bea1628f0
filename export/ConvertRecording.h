// SPDX-License-Identifier: GPL-3.0-or-later
// Converting a recording into a standard AVI file: the recording is read packet by packet through
// a parser and written through the process-wide clip writer, keeping the front and rear pictures
// and the sound and leaving out the text records. Runs on whatever thread calls it (the viewer's
// download worker, the command-line converter, tests); one conversion at a time, since the clip
// writer and the packet buffer are process-wide.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "media/VMediaParser.h"

// Called before each front picture is written, with its 0-based number and the recording's front
// picture count. Returning false stops the conversion after that picture.
using ConvertProgressFn = bool (*)(void* arg, int index, int total);

enum ConvertResult : int {
  kConvertDone = 0,           // every packet written, the file complete
  kConvertStopped = 1,        // stopped on request; the file is complete with what came before
  kConvertOpenFailed = -1,    // the recording could not be opened; no file was made
  kConvertCreateFailed = -2,  // the destination could not be created
  kConvertWriteFailed = -3,   // a packet could not be written (disk full, or the AVI size
                              // limit); the file was closed with what was written
  kConvertCloseFailed = -4,   // the file's index or final header could not be written
  kConvertReadFailed = -5,    // the card could not be read to the recording's end (pulled out,
                              // or unreadable); the file was closed with what was read
  kConvertBadName = -6,       // not a plain recording name; nothing was made
  kConvertPathTooLong = -7,   // the destination is longer than the system allows; nothing made
};

// A short English text for a result, for messages.
const char* ConvertResultText(ConvertResult result);

// Converts `source` (a recording name as the parser takes it) into the AVI file `destination`.
// busy: the caller's run flag, checked before each packet; 0 stops the conversion, and a progress
// callback that returns false sets it to 0 (so that a run of several recordings stops too). With
// null the conversion keeps a flag of its own. systemError, when given, receives the system's
// reason (an errno value) for a file that could not be created, written or finished, 0 when the
// failure had none (the AVI size limit) or there was no failure.
ConvertResult ConvertRecording(VMediaParser* parser, const char* source, const char* destination,
                               ConvertProgressFn progress, void* arg,
                               std::atomic<int>* busy = nullptr, int* systemError = nullptr);

// Front pictures in a block of a card recording: blocks are what a parser seeks to, so a part of a
// recording is converted in whole blocks.
inline constexpr int kBlockPictures = 30;

// A part of a recording as whole blocks: firstBlock (0-based) and the number of blocks from it;
// blocks <= 0 takes every block to the recording's end.
struct ConvertSpan {
  int firstBlock = 0;
  int blocks = 0;
};

// As ConvertRecording, of the span's blocks alone: the parser seeks to the first block and the
// conversion stops before the front picture that starts the block after the last, so the file holds
// those blocks' front and rear pictures and sound. The progress total is the span's front picture
// count. A span starting past the recording's end converts what the parser's seek reaches (its last
// block); callers clamp spans to the recording first.
ConvertResult ConvertRecordingSpan(VMediaParser* parser, const char* source,
                                   const char* destination, const ConvertSpan& span,
                                   ConvertProgressFn progress, void* arg,
                                   std::atomic<int>* busy = nullptr, int* systemError = nullptr);

// One recording's part of a conversion that joins several.
struct ConvertPart {
  std::string source;  // the recording's name as the parser takes it
  ConvertSpan span;
};

// As ConvertRecordingSpan, of several recordings' spans one after another in one file (a trip's
// clip across its joins): each part's pictures and sound follow the last part's, whatever time
// passed between the recordings. Every part is opened first; parts whose picture sizes, rates,
// cameras or sound differ from the first's cannot share its streams (kConvertOpenFailed, nothing
// made). The progress index and total run over all the parts' front pictures.
ConvertResult ConvertRecordingParts(VMediaParser* parser, const std::vector<ConvertPart>& parts,
                                    const char* destination, ConvertProgressFn progress, void* arg,
                                    std::atomic<int>* busy = nullptr, int* systemError = nullptr);

// The path of a recording's AVI copy in a folder: folder, "/", name. False when the name is not a
// plain file name of a card recording: empty, 128 characters or more, holding a path separator,
// "..", or a control character.
bool MakeDestinationPath(const std::string& folder, const std::string& name, std::string* path);
