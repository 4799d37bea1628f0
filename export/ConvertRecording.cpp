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

// More recordings than a clip across a trip's joins takes (a day of one-minute recordings).
constexpr std::size_t kMaxParts = 1440;

// What the clip writer's streams are made of, from a part's recording.
struct PartFormat {
  int front[2] = {}, rear[2] = {};
  int frontRate = 0, rearRate = 0, audioBits = 0, audioRate = 0;
  int pictures = 0;  // the part's front pictures

  bool SameStreams(const PartFormat& o) const {
    return front[0] == o.front[0] && front[1] == o.front[1] && rear[0] == o.rear[0] &&
           rear[1] == o.rear[1] && frontRate == o.frontRate && rearRate == o.rearRate &&
           audioBits == o.audioBits && audioRate == o.audioRate;
  }
};

// The span's front pictures: the whole recording's, or the span's blocks clamped to it.
int SpanPictures(const RecordingInfo& info, const ConvertSpan& span) {
  if (span.blocks <= 0) return info.frontFrameCount;
  const long long first = std::max(span.firstBlock, 0);
  const long long limit = (long long)(span.blocks) * kBlockPictures;
  return int(std::clamp<long long>(
      std::min<long long>(limit, info.frontFrameCount - first * kBlockPictures), 0, limit));
}

// The format of the recording the parser has open.
void ReadPartFormat(VMediaParser* parser, const RecordingInfo& info, const ConvertSpan& span,
                    PartFormat* f) {
  parser->GetVideoSize(f->front, 0);
  parser->GetVideoSize(f->rear, 1);
  parser->GetAudioFormat(&f->audioBits, &f->audioRate);
  f->frontRate = info.frontFrameRate;
  f->rearRate = info.rearFrameRate;
  f->pictures = SpanPictures(info, span);
}

// Writes one opened recording's span into the open clip. `before` front pictures of the clip came
// before it, of `total`.
ConvertResult WritePart(VMediaParser* parser, const RecordingInfo& info, const ConvertSpan& span,
                        int before, int total, ConvertProgressFn progress, void* arg,
                        std::atomic<int>* busy, int* systemError) {
  // The span's limits: the number of its front pictures, and the media time at which the block
  // after it starts, less half a picture (the camera's clock may place a picture a little early).
  // The time is the guard when a damaged block inside the span was skipped, so that the picture
  // count alone would run into the block after the span.
  const bool whole = span.blocks <= 0;
  long long pictureLimit = -1, endTimeMs = -1;
  if (!whole) {
    const int rate = info.frontFrameRate > 0 ? info.frontFrameRate : kBlockPictures;
    const long long first = std::max(span.firstBlock, 0);
    pictureLimit = (long long)(span.blocks) * kBlockPictures;
    endTimeMs = ((first + span.blocks) * kBlockPictures * 1000 - 500) / rate;
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
      if (progress && !progress(arg, before + pictures, total)) busy->store(0);
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
  return result;
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
  if (!source) return kConvertOpenFailed;
  return ConvertRecordingParts(parser, {ConvertPart{source, span}}, destination, progress, arg,
                               busy, systemError);
}

ConvertResult ConvertRecordingParts(VMediaParser* parser, const std::vector<ConvertPart>& parts,
                                    const char* destination, ConvertProgressFn progress, void* arg,
                                    std::atomic<int>* busy, int* systemError) {
  std::atomic<int> ownFlag{1};
  if (!busy) busy = &ownFlag;
  int ownError = 0;
  if (!systemError) systemError = &ownError;
  *systemError = 0;
  if (!parser || !destination || parts.empty() || parts.size() > kMaxParts) {
    return kConvertOpenFailed;
  }

  // Parts after the first must fit the first's streams: each one's format is read before
  // anything is made. A single recording is opened once.
  std::vector<PartFormat> formats(parts.size());
  int total = 0;
  if (parts.size() > 1) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      RecordingInfo info;
      if (!parser->Open(parts[i].source.c_str(), &info)) return kConvertOpenFailed;
      ReadPartFormat(parser, info, parts[i].span, &formats[i]);
      parser->Close();
      if (!formats[i].SameStreams(formats[0])) return kConvertOpenFailed;
      total += formats[i].pictures;
    }
  }

  ConvertResult result = kConvertDone;
  int written = 0;
  for (std::size_t i = 0; i < parts.size() && result == kConvertDone; ++i) {
    RecordingInfo info;
    if (!parser->Open(parts[i].source.c_str(), &info)) {
      if (i == 0) return kConvertOpenFailed;
      result = kConvertReadFailed;
      break;
    }
    if (i == 0) {
      if (parts.size() == 1) {
        ReadPartFormat(parser, info, parts[0].span, &formats[0]);
        total = formats[0].pictures;
      }
      // A clip left open by an earlier conversion is finished first.
      aviClose();
      const PartFormat& f = formats[0];
      aviSetVideoSize(0, f.front[0], f.front[1]);
      aviSetVideoSize(1, f.rear[0], f.rear[1]);
      aviSetFrameRate(0, f.frontRate);
      aviSetFrameRate(1, f.rearRate);
      aviSetAudioRate(f.audioRate);
      aviSetTwoCameras(f.rearRate != 0);
      // Reading on into a file that does not exist would only repeat the failure for every packet.
      errno = 0;
      if (!aviOpen(destination)) {
        *systemError = errno;
        parser->Close();
        return kConvertCreateFailed;
      }
    }
    result =
        WritePart(parser, info, parts[i].span, written, total, progress, arg, busy, systemError);
    written += formats[i].pictures;
    parser->Close();
  }
  errno = 0;
  if (aviClose() == 0 && result != kConvertWriteFailed) {
    result = kConvertCloseFailed;
    *systemError = errno;
  }
  return result;
}
