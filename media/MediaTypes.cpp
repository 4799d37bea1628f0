// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/MediaTypes.h"

#include <cstring>

ChunkKind ClassifyChunkTag(const char* tag) {
  if (!tag || std::strlen(tag) < 4) return ChunkKind::kNone;
  if (tag[2] == 'd' && tag[3] == 'c') {
    bool front = tag[0] == '0' && tag[1] == '0';
    return front ? ChunkKind::kFrontVideo : ChunkKind::kRearVideo;
  }
  if (tag[2] == 'w' && tag[3] == 'b') return ChunkKind::kAudio;
  if (tag[2] == 't' && tag[3] == 'x') return ChunkKind::kText;
  return ChunkKind::kNone;
}

namespace {

// The offset of the NAL unit header after the start code at or after `from`; -1 when none.
int NextNalHeader(const unsigned char* p, int length, int from) {
  for (int i = from; i + 3 < length; ++i) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) return i + 3;
  }
  return -1;
}

}  // namespace

bool IsKeyPicture(const void* payload, int length, VideoCodec codec) {
  if (!payload || length < 5) return false;
  const auto* p = static_cast<const unsigned char*>(payload);
  // NAL units looked at, at most: parameter sets and SEI come before the first slice.
  constexpr int kMaxUnits = 32;
  int at = NextNalHeader(p, length, 0);
  for (int n = 0; at >= 0 && n < kMaxUnits; ++n, at = NextNalHeader(p, length, at)) {
    if (codec == VideoCodec::kH265) {
      const int type = (p[at] >> 1) & 0x3F;
      if (type < 32) return type >= 16 && type <= 21;  // the first slice
      continue;                                        // parameter sets, delimiters, SEI
    }
    const int type = p[at] & 0x1F;
    if (type == 9 || type == 6 || type == 12) continue;  // delimiter, SEI, filler
    return type != 1;
  }
  return codec == VideoCodec::kH264 && p[4] != 0x41;
}

bool IsJpegPicture(const void* payload, int length) {
  if (!payload || length < 3) return false;
  const auto* p = static_cast<const unsigned char*>(payload);
  return p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}
