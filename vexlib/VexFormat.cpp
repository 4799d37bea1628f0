// SPDX-License-Identifier: GPL-3.0-or-later
#include "vexlib/VexFormat.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace vex {

namespace {

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), byte by byte: the fallback for
// processors without the CRC instruction.
std::array<std::uint32_t, 256> MakeCrc32cTable() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0x82F63B78u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}

std::uint32_t Crc32cTable(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = MakeCrc32cTable();
  crc = ~crc;
  while (n--) crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

#if defined(__x86_64__)
// The same checksum with SSE4.2's CRC instruction, eight bytes a step: every payload passes
// through it, and it runs several times faster than a table.
__attribute__((target("sse4.2"))) std::uint32_t Crc32cHardware(const std::uint8_t* p, std::size_t n,
                                                               std::uint32_t crc) {
  std::uint64_t c = ~crc;
  while (n >= 8) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    c = _mm_crc32_u64(c, v);
    p += 8;
    n -= 8;
  }
  std::uint32_t c32 = std::uint32_t(c);
  while (n--) c32 = _mm_crc32_u8(c32, *p++);
  return ~c32;
}
#endif

void StoreText(std::uint8_t* p, std::size_t field, const std::string& s) {
  std::memset(p, 0, field);
  std::memcpy(p, s.data(), std::min(s.size(), field - 1));
}

std::string LoadText(const std::uint8_t* p, std::size_t field) {
  std::string s;
  for (std::size_t i = 0; i + 1 < field && p[i] != 0; ++i) {
    // Only printable ASCII survives: the text ends up in dialogs and diagnostics.
    s += (p[i] >= 0x20 && p[i] < 0x7F) ? char(p[i]) : '?';
  }
  return s;
}

bool ValidSize(int w, int h) {
  return w >= kMinDimension && w <= kMaxDimension && h >= kMinDimension && h <= kMaxDimension;
}

}  // namespace

std::uint32_t Crc32c(const void* data, std::size_t length, std::uint32_t crc) {
  auto p = static_cast<const std::uint8_t*>(data);
#if defined(__x86_64__)
  static const bool hardware = __builtin_cpu_supports("sse4.2");
  if (hardware) return Crc32cHardware(p, length, crc);
#endif
  return Crc32cTable(p, length, crc);
}

std::uint32_t Crc32(const void* data, std::size_t length, std::uint32_t crc) {
  // zlib's CRC-32 is the same checksum, several times faster than a byte-wise table; payloads of
  // every packet pass through it.
  auto p = static_cast<const Bytef*>(data);
  uLong c = crc;
  while (length > 0) {
    uInt n = uInt(std::min<std::size_t>(length, 1u << 30));
    c = crc32(c, p, n);
    p += n;
    length -= n;
  }
  return std::uint32_t(c);
}

// Header byte map (see docs/vex-format.md):
//   0 "VEX", 3 front rate, 4 rear rate, 5 version, 6 frames per block, 7 flags,
//   8 header size, 12 audio rate, 16 audio bits, 18 audio channels, 20 front height,
//   22 rear height, 24 front count, 28 rear count, 32 audio count, 36 GPS count,
//   40 G-sensor count, 44 block count, 48 duration ms, 52 front width, 54 rear width,
//   56 index offset (64-bit), 64 model (32), 96 firmware (16), 112 reserved, 208 CRC-32.
void EncodeHeader(const Header& h, std::uint8_t out[kHeaderSize]) {
  std::memset(out, 0, kHeaderSize);
  std::memcpy(out, "VEX", 3);
  out[3] = std::uint8_t(h.frontRate);
  out[4] = std::uint8_t(h.rearRate);
  out[5] = kVersion;
  out[6] = std::uint8_t(h.framesPerBlock);
  out[7] = h.flags;
  Store32(out + 8, kHeaderSize);
  Store32(out + 12, h.audioRate);
  Store16(out + 16, h.audioBits);
  Store16(out + 18, h.audioChannels);
  Store16(out + 20, std::uint16_t(h.frontHeight));
  Store16(out + 22, std::uint16_t(h.rearHeight));
  Store32(out + 24, h.frontCount);
  Store32(out + 28, h.rearCount);
  Store32(out + 32, h.audioCount);
  Store32(out + 36, h.gpsCount);
  Store32(out + 40, h.gsensorCount);
  Store32(out + 44, h.blockCount);
  Store32(out + 48, h.durationMs);
  Store16(out + 52, std::uint16_t(h.frontWidth));
  Store16(out + 54, std::uint16_t(h.rearWidth));
  Store64(out + 56, h.indexOffset);
  StoreText(out + 64, 32, h.model);
  StoreText(out + 96, 16, h.firmware);
  Store32(out + 208, Crc32(out, 208));
}

bool DecodeHeader(const std::uint8_t in[kHeaderSize], Header* h) {
  if (std::memcmp(in, "VEX", 3) != 0 || in[5] != kVersion) return false;
  if (Load32(in + 208) != Crc32(in, 208) || Load32(in + 8) != kHeaderSize) return false;
  Header r;
  r.frontRate = in[3];
  r.rearRate = in[4];
  r.framesPerBlock = in[6];
  r.flags = in[7];
  r.audioRate = Load32(in + 12);
  r.audioBits = Load16(in + 16);
  r.audioChannels = Load16(in + 18);
  r.frontHeight = Load16(in + 20);
  r.rearHeight = Load16(in + 22);
  r.frontCount = Load32(in + 24);
  r.rearCount = Load32(in + 28);
  r.audioCount = Load32(in + 32);
  r.gpsCount = Load32(in + 36);
  r.gsensorCount = Load32(in + 40);
  r.blockCount = Load32(in + 44);
  r.durationMs = Load32(in + 48);
  r.frontWidth = Load16(in + 52);
  r.rearWidth = Load16(in + 54);
  r.indexOffset = Load64(in + 56);
  r.model = LoadText(in + 64, 32);
  r.firmware = LoadText(in + 96, 16);

  if (r.frontRate < 1 || r.frontRate > kMaxFrameRate || r.rearRate > kMaxFrameRate) return false;
  if (r.framesPerBlock != kFramesPerBlock) return false;
  if (!ValidSize(r.frontWidth, r.frontHeight)) return false;
  if (r.rearRate > 0 ? !ValidSize(r.rearWidth, r.rearHeight)
                     : (r.rearWidth != 0 || r.rearHeight != 0)) {
    return false;
  }
  *h = r;
  return true;
}

// Block header: 0 "VBLK", 4 number, 8 bytes, 12 packets, 16 first front picture, 20 CRC-32.
void EncodeBlockHeader(const BlockHeader& b, std::uint8_t out[kBlockHeaderSize]) {
  std::memcpy(out, "VBLK", 4);
  Store32(out + 4, b.number);
  Store32(out + 8, b.bytes);
  Store32(out + 12, b.packets);
  Store32(out + 16, b.firstFront);
  Store32(out + 20, Crc32(out, 20));
}

bool DecodeBlockHeader(const std::uint8_t in[kBlockHeaderSize], BlockHeader* b) {
  if (std::memcmp(in, "VBLK", 4) != 0 || Load32(in + 20) != Crc32(in, 20)) return false;
  BlockHeader r;
  r.number = Load32(in + 4);
  r.bytes = Load32(in + 8);
  r.packets = Load32(in + 12);
  r.firstFront = Load32(in + 16);
  if (r.number == 0 || r.bytes / kPacketHeaderSize < r.packets) return false;
  *b = r;
  return true;
}

// CRC-8 (polynomial x^8 + x^2 + x + 1) of a packet record's bytes other than its check byte. Any
// change of one record byte, or of bits within 8 consecutive bits, changes it.
constexpr std::array<std::uint8_t, 256> MakeCrc8Table() {
  std::array<std::uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    std::uint8_t crc = std::uint8_t(i);
    for (int k = 0; k < 8; ++k) crc = std::uint8_t((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    t[std::size_t(i)] = crc;
  }
  return t;
}
constexpr std::array<std::uint8_t, 256> kCrc8Table = MakeCrc8Table();

std::uint8_t RecordCheck(const std::uint8_t in[kPacketHeaderSize]) {
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < kPacketHeaderSize; ++i) {
    if (i != 3) crc = kCrc8Table[crc ^ in[i]];
  }
  return crc;
}

// Packet record: 0 channel, 1 type, 2 flags, 3 check byte, 4 size, 8 time ms, 12 payload CRC-32.
void EncodePacketHeader(const PacketHeader& p, std::uint8_t out[kPacketHeaderSize]) {
  out[0] = p.channel;
  out[1] = p.type;
  out[2] = p.flags;
  Store32(out + 4, p.size);
  Store32(out + 8, p.timeMs);
  Store32(out + 12, p.payloadCrc);
  out[3] = RecordCheck(out);
}

bool DecodePacketHeader(const std::uint8_t in[kPacketHeaderSize], PacketHeader* p) {
  PacketHeader r;
  r.channel = in[0];
  r.type = in[1];
  r.flags = in[2];
  r.size = Load32(in + 4);
  r.timeMs = Load32(in + 8);
  r.payloadCrc = Load32(in + 12);
  // The check byte catches a changed field, and payload bytes read as a record by mistake pass
  // it only once in 256 times.
  if (in[3] != RecordCheck(in)) return false;
  if (r.type > kTypeText || r.channel > 1 || r.size > kMaxPayload) return false;
  bool picture = r.type == kTypeKeyPicture || r.type == kTypePicture;
  if (!picture && r.channel != 0) return false;
  *p = r;
  return true;
}

std::size_t IndexSize(std::size_t entryCount) { return 8 + entryCount * kIndexEntrySize + 4; }

std::vector<std::uint8_t> EncodeIndex(const std::vector<IndexEntry>& entries) {
  std::vector<std::uint8_t> out(IndexSize(entries.size()));
  std::memcpy(out.data(), "VIDX", 4);
  Store32(out.data() + 4, std::uint32_t(entries.size()));
  std::uint8_t* p = out.data() + 8;
  for (const IndexEntry& e : entries) {
    Store64(p, e.offset);
    Store32(p + 8, e.firstFront);
    Store32(p + 12, e.timeMs);
    p += kIndexEntrySize;
  }
  Store32(p, Crc32(out.data(), out.size() - 4));
  return out;
}

}  // namespace vex
