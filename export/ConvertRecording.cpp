// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ConvertRecording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "media/CAVIWriter.h"

namespace {

// Streams of the clip writer.
constexpr int kStreamFront = 0;
constexpr int kStreamRear = 1;
constexpr int kStreamAudio = 2;
// Longest name a card lists is 39 characters; anything near this is not a recording's name.
constexpr std::size_t kMaxNameLength = 127;

// The packet buffer conversions share: one conversion runs at a time.
unsigned char* PacketBuffer() {
  static const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kPacketBufferSize]);
  return buffer.get();
}

}  // namespace

const char* ConvertResultText(ConvertResult result) {
  switch (result) {
    case kConvertDone:
      return "done";
    case kConvertStopped:
      return "stopped";
    case kConvertOpenFailed:
      return "the recording cannot be opened";
    case kConvertCreateFailed:
      return "the file cannot be created";
    case kConvertWriteFailed:
      return "the file could not take every packet (disk full or too large)";
    case kConvertCloseFailed:
      return "the file could not be finished";
    case kConvertReadFailed:
      return "the card could not be read to the end of the recording";
    case kConvertBadName:
      return "not a plain recording name";
    case kConvertPathTooLong:
      return "the destination path is longer than the system allows";
  }
  return "unknown result";
}

bool MakeDestinationPath(const std::string& folder, const std::string& name, std::string* path) {
  if (name.empty() || name.size() > kMaxNameLength || name == "." ||
      name.find("..") != std::string::npos) {
    return false;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  std::string p = folder;
  if (!p.empty() && p.back() != '/') p += '/';
  *path = p + name;
  return true;
}

ConvertResult ConvertRecording(VMediaParser* parser, const char* source, const char* destination,
                               ConvertProgressFn progress, void* arg, std::atomic<int>* busy,
                               int* systemError) {
  return ConvertRecordingSpan(parser, source, destination, ConvertSpan{}, progress, arg, busy,
                              systemError);
}

ConvertResult ConvertRecordingSpan(VMediaParser* parser, const char* source,
                                   const char* destination, const ConvertSpan& span,
                                   ConvertProgressFn progress, void* arg, std::atomic<int>* busy,
                                   int* systemError) {
  std::atomic<int> ownFlag{1};
  if (!busy) busy = &ownFlag;
  int ownError = 0;
  if (!systemError) systemError = &ownError;
  *systemError = 0;
  if (!parser || !source || !destination) return kConvertOpenFailed;

  RecordingInfo info;
  if (!parser->Open(source, &info)) return kConvertOpenFailed;
  // A clip left open by an earlier conversion is finished first.
  aviClose();

  int front[2] = {}, rear[2] = {};
  int bits = 0, rate = 0;
  parser->GetVideoSize(front, 0);
  parser->GetVideoSize(rear, 1);
  parser->GetAudioFormat(&bits, &rate);
  aviSetVideoSize(0, front[0], front[1]);
  aviSetVideoSize(1, rear[0], rear[1]);
  aviSetFrameRate(0, info.frontFrameRate);
  aviSetFrameRate(1, info.rearFrameRate);
  aviSetAudioRate(rate);
  aviSetTwoCameras(info.rearFrameRate != 0);
  // Reading on into a file that does not exist would only repeat the failure for every packet.
  errno = 0;
  if (!aviOpen(destination)) {
    *systemError = errno;
    parser->Close();
    return kConvertCreateFailed;
  }

  // The span's limits: the number of its front pictures, and the media time at which the block
  // after it starts, less half a picture (the camera's clock may place a picture a little early).
  // The time is the guard when a damaged block inside the span was skipped, so that the picture
  // count alone would run into the block after the span.
  const bool whole = span.blocks <= 0;
  int total = info.frontFrameCount;
  long long pictureLimit = -1, endTimeMs = -1;
  if (!whole) {
    const int rate = info.frontFrameRate > 0 ? info.frontFrameRate : kBlockPictures;
    const long long first = std::max(span.firstBlock, 0);
    pictureLimit = (long long)(span.blocks) * kBlockPictures;
    endTimeMs = ((first + span.blocks) * kBlockPictures * 1000 - 500) / rate;
    total = int(std::clamp<long long>(
        std::min<long long>(pictureLimit, info.frontFrameCount - first * kBlockPictures), 0,
        pictureLimit));
    // Aimed at the middle of the block, so that the parser's rounding of the time cannot fall
    // into the block before.
    if (first > 0) parser->SeekTime(float((first * 2 + 1) * kBlockPictures / (2.0 * rate)));
  }

  unsigned char* buffer = PacketBuffer();
  ConvertResult result = kConvertDone;
  int pictures = 0;
  bool reachedEnd = false;
  while (busy->load() != 0) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    int r = parser->ReadPacket(tag, buffer, &size);
    if (busy->load() == 0) break;
    if (r < 0) {
      reachedEnd = true;
      break;
    }
    int stream;
    ChunkKind kind = ClassifyChunkTag(tag);
    if (kind == ChunkKind::kFrontVideo) {
      if (!whole) {
        const int timeMs = parser->LastPacketTimeMs();
        if (pictures >= pictureLimit || (timeMs >= 0 && timeMs >= endTimeMs)) break;
      }
      if (progress && !progress(arg, pictures, total)) busy->store(0);
      ++pictures;
      stream = kStreamFront;  // written also when the callback has just stopped the run
    } else if (kind == ChunkKind::kRearVideo) {
      stream = kStreamRear;
    } else if (kind == ChunkKind::kAudio) {
      stream = kStreamAudio;
    } else {
      continue;  // text records, or nothing available yet
    }
    errno = 0;
    if (!aviAddData(buffer, size, stream)) {
      result = kConvertWriteFailed;
      *systemError = errno;
      break;
    }
  }
  if (result == kConvertDone && busy->load() == 0) result = kConvertStopped;
  // Past the span, the reader may meet a failure the file does not depend on.
  if (result == kConvertDone && reachedEnd && parser->ReadFailed()) result = kConvertReadFailed;
  errno = 0;
  if (aviClose() == 0 && result != kConvertWriteFailed) {
    result = kConvertCloseFailed;
    *systemError = errno;
  }
  parser->Close();
  return result;
}
