// SPDX-License-Identifier: GPL-3.0-or-later
// A recording of another camera as the player reads it: one or two files (front and second
// camera) read together through the container reader, both cameras' pictures and the sound in
// time order, then sought and read again. The input: a byte whose low bit asks for two files and
// whose other bits pick where to seek, four bytes (little-endian) of the first file's length, the
// first file, and the second file. Nothing may crash, hang, or hand on a packet the player's
// buffer cannot hold, a sound block that is not whole samples, or a time before the start.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "FuzzSupport.h"
#include "media/CContainerParser.h"

namespace {

// Packets read after the open and after the seek, at most: enough for the seeds' recordings.
constexpr int kMaxPackets = 4000;

void ReadSome(CContainerParser& parser, char* buffer) {
  for (int i = 0; i < kMaxPackets; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (parser.ReadPacket(tag, buffer, &size) < 0) return;
    if (tag[0] == '\0') continue;
    if (size < 0 || size > kPacketBufferSize || parser.LastPacketTimeMs() < 0) __builtin_trap();
    const ChunkKind kind = ClassifyChunkTag(tag);
    if (kind == ChunkKind::kAudio && (size % 2 != 0 || size > CContainerParser::kSoundBlockBytes)) {
      __builtin_trap();
    }
    if ((kind == ChunkKind::kFrontVideo || kind == ChunkKind::kRearVideo) &&
        parser.LastPacketKey() < 0) {
      __builtin_trap();
    }
  }
}

}  // namespace

// libavformat's and libavcodec's complaints about the damaged inputs are not wanted on the log.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const bool two = (data[0] & 1) != 0;
  const int seekMs = (data[0] >> 1) * 250;
  std::uint32_t first = 0;
  std::memcpy(&first, data + 1, 4);
  const std::size_t rest = size - 5;
  if (first > rest) first = std::uint32_t(rest);
  const std::string front = fuzz::ScratchDir() + "/front";
  const std::string second = fuzz::ScratchDir() + "/second";
  if (!fuzz::WriteInput(front, data + 5, first)) return 0;
  std::vector<std::string> files{front};
  if (two) {
    if (!fuzz::WriteInput(second, data + 5 + first, rest - first)) return 0;
    files.push_back(second);
  }
  static const std::unique_ptr<char[]> buffer(new char[kPacketBufferSize]);
  CContainerParser parser;
  parser.Start();
  RecordingInfo info;
  if (parser.Open(ContainerRecordingName(files).c_str(), &info) != 1) return 0;
  if (info.frontFrameRate < CContainerParser::kMinFrameRate ||
      info.frontFrameRate > CContainerParser::kMaxFrameRate || info.frontFrameCount < 0) {
    __builtin_trap();
  }
  int bits = 0, rate = 0;
  parser.GetAudioFormat(&bits, &rate);
  if (parser.HasSound() &&
      (rate < CContainerParser::kMinSoundRate || rate > CContainerParser::kMaxSoundRate)) {
    __builtin_trap();
  }
  ReadSome(parser, buffer.get());
  if (parser.SeekToKeyMs(seekMs) < -1) __builtin_trap();
  ReadSome(parser, buffer.get());
  parser.Stop();
  return 0;
}
