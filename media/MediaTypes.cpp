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

bool IsKeyPicture(const void* payload, int length) {
  if (!payload || length < 5) return false;
  return static_cast<const unsigned char*>(payload)[4] != 0x41;
}

bool IsJpegPicture(const void* payload, int length) {
  if (!payload || length < 3) return false;
  const auto* p = static_cast<const unsigned char*>(payload);
  return p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}
