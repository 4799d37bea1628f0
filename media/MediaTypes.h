// SPDX-License-Identifier: GPL-3.0-or-later
// The packet model shared by every reader of recordings: chunk tags, packet type codes and the
// description that opening a recording fills.
#pragma once

#include <cstdint>

#include "support/LumArray.h"

// Every payload buffer handed to a reader holds this many bytes; a larger packet is a read failure.
inline constexpr int kPacketBufferSize = 1048576;

// Packet type codes of the direct read and of the parsers' internal queues.
enum MediaPacketType : int {
  kPacketFront = 0,
  kPacketRear = 1,
  kPacketAudio = 2,
  kPacketText = 3,
  kPacketNotYet = 4,  // nothing available yet; try again
  kPacketEnd = 5,     // end of the recording, or a read failure
};

// What a packet of a chunk tag is. Tags are four characters: a two-digit stream number and a kind,
// "dc" a picture (stream 0 the front camera, any other the rear), "wb" sound, "tx" a text record.
enum class ChunkKind { kNone, kFrontVideo, kRearVideo, kAudio, kText };

ChunkKind ClassifyChunkTag(const char* tag);

// The tags of the two stream layouts.
inline constexpr char kTagFront[] = "00dc";
inline constexpr char kTagRear[] = "01dc";
inline constexpr char kTagAudio2Cam[] = "02wb";
inline constexpr char kTagText2Cam[] = "03tx";
inline constexpr char kTagAudio1Cam[] = "01wb";
inline constexpr char kTagText1Cam[] = "02tx";

// The pictures' coding: the VEX card's cameras write H.264; other cameras H.264 or H.265.
enum class VideoCodec { kH264, kH265 };

// A picture payload is an access unit in start-code form. For H.264 its first NAL unit that is
// not an access unit delimiter, SEI or filler tells: a non-IDR slice (type 1, whatever its
// reference mark) is an ordinary picture, anything else a key picture. For H.265 the first slice
// tells: an IRAP picture (types 16 to 21) is a key picture.
bool IsKeyPicture(const void* payload, int length, VideoCodec codec = VideoCodec::kH264);
// A payload starting FF D8 FF is a JPEG picture, passed through but never decoded.
bool IsJpegPicture(const void* payload, int length);

struct RecordingInfo {
  std::int32_t frontFrameRate = 0;
  std::int32_t rearFrameRate = 0;  // 0 without a rear camera
  std::int32_t frontFrameCount = 0;
  std::int32_t rearFrameCount = 0;
  // For each front picture in file order, the file offset of its chunk header with the top bit set.
  // Filled only by an indexed open of an AVI file.
  CLumArrBase<std::uint32_t> frontFrames;
};
