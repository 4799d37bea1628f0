// SPDX-License-Identifier: GPL-3.0-or-later
// The VEX recording layout: constants and the encoding and decoding of its fixed-size records.
// docs/vex-format.md describes the layout in full. Everything is little-endian.
//
// Decoding never trusts the bytes: each Decode… checks magic, checksum and ranges and returns false
// for anything a camera would not have written, so that readers can skip or stop on damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vex {

inline constexpr std::size_t kHeaderSize = 212;
inline constexpr std::size_t kBlockHeaderSize = 24;
inline constexpr std::size_t kPacketHeaderSize = 16;
inline constexpr std::size_t kIndexEntrySize = 16;
inline constexpr std::uint8_t kVersion = 1;
// Pictures of the front camera per block; seeking works in whole blocks.
inline constexpr int kFramesPerBlock = 30;
// Largest payload a camera writes; any larger size field is damage.
inline constexpr std::uint32_t kMaxPayload = 1048576;
inline constexpr int kMaxFrameRate = 120;
inline constexpr int kMinDimension = 16;
inline constexpr int kMaxDimension = 4096;
// A file larger than this is not a recording (the AVI copy addresses it with 32-bit offsets).
inline constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

// Packet types as stored in a packet record.
enum PacketType : std::uint8_t {
  kTypeKeyPicture = 0,
  kTypeSound = 1,
  kTypePicture = 2,
  kTypeText = 3,
};

// Header flags.
inline constexpr std::uint8_t kFlagFinalised = 0x01;  // counts and index were written at close

struct Header {
  int frontRate = 0;  // pictures per second, 1..120
  int rearRate = 0;   // 0 without a rear camera
  int framesPerBlock = kFramesPerBlock;
  std::uint8_t flags = 0;
  std::uint32_t audioRate = 8000;
  std::uint16_t audioBits = 16;
  std::uint16_t audioChannels = 1;
  int frontWidth = 0, frontHeight = 0;
  int rearWidth = 0, rearHeight = 0;  // 0 without a rear camera
  std::uint32_t frontCount = 0, rearCount = 0, audioCount = 0, gpsCount = 0, gsensorCount = 0;
  std::uint32_t blockCount = 0;
  std::uint32_t durationMs = 0;
  std::uint64_t indexOffset = 0;  // 0: no index
  std::string model;              // at most 31 characters
  std::string firmware;           // at most 15 characters
};

struct BlockHeader {
  std::uint32_t number = 0;      // 1-based
  std::uint32_t bytes = 0;       // bytes of packet records after this header
  std::uint32_t packets = 0;     // packet records in the block
  std::uint32_t firstFront = 0;  // 0-based number of the block's first front picture
};

struct PacketHeader {
  std::uint8_t channel = 0;      // 0 front, 1 rear; 0 for sound and text
  std::uint8_t type = 0;         // PacketType
  std::uint8_t flags = 0;        // free for the camera; readers pass it on
  std::uint32_t size = 0;        // payload bytes following the record
  std::uint32_t timeMs = 0;      // from the start of the recording
  std::uint32_t payloadCrc = 0;  // CRC-32 of the payload
};

struct IndexEntry {
  std::uint64_t offset = 0;  // file offset of the block header
  std::uint32_t firstFront = 0;
  std::uint32_t timeMs = 0;
};

// CRC-32 (the zlib and PNG checksum): headers, block headers and the index.
std::uint32_t Crc32(const void* data, std::size_t length, std::uint32_t crc = 0);
// CRC-32C (Castagnoli): packet payloads, computed in hardware where the processor can.
std::uint32_t Crc32c(const void* data, std::size_t length, std::uint32_t crc = 0);
// The check byte of a packet record (byte 3): CRC-8 of the record's other 15 bytes.
std::uint8_t RecordCheck(const std::uint8_t in[kPacketHeaderSize]);

void EncodeHeader(const Header& h, std::uint8_t out[kHeaderSize]);
bool DecodeHeader(const std::uint8_t in[kHeaderSize], Header* h);

void EncodeBlockHeader(const BlockHeader& b, std::uint8_t out[kBlockHeaderSize]);
bool DecodeBlockHeader(const std::uint8_t in[kBlockHeaderSize], BlockHeader* b);

void EncodePacketHeader(const PacketHeader& p, std::uint8_t out[kPacketHeaderSize]);
// Checks the check byte, type, channel and the size against kMaxPayload; the caller checks the
// size against the bytes left in its block and file, and the payload against payloadCrc.
bool DecodePacketHeader(const std::uint8_t in[kPacketHeaderSize], PacketHeader* p);

// The index: "VIDX", entry count, entries, CRC-32 of all of it.
std::vector<std::uint8_t> EncodeIndex(const std::vector<IndexEntry>& entries);
std::size_t IndexSize(std::size_t entryCount);

// Little-endian helpers shared by the readers and writers.
inline std::uint16_t Load16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
inline std::uint32_t Load32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}
inline std::uint64_t Load64(const std::uint8_t* p) {
  return std::uint64_t(Load32(p)) | (std::uint64_t(Load32(p + 4)) << 32);
}
inline void Store16(std::uint8_t* p, std::uint16_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}
inline void Store32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void Store64(std::uint8_t* p, std::uint64_t v) {
  Store32(p, std::uint32_t(v));
  Store32(p + 4, std::uint32_t(v >> 32));
}

}  // namespace vex
