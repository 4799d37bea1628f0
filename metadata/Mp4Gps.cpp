// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Mp4Gps.h"

#include <algorithm>
#include <cstring>

#include "metadata/FreeGps.h"

namespace metadata {

namespace {

constexpr std::uint64_t kMaxMoov = 64u << 20;
constexpr std::size_t kMaxIndex = 8 + kMaxFixes * 8;
constexpr std::size_t kScanChunk = 1u << 20;
// A camera writes a block each second from the start: a file with none in its first 16 MiB (two
// seconds of 4K pictures) has none.
constexpr std::uint64_t kScanFirstBlockWithin = 16u << 20;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

bool TypeChars(const std::uint8_t* t) {
  for (int i = 0; i < 4; ++i) {
    if (t[i] < 0x20 || t[i] > 0x7e) return false;
  }
  return true;
}

// One box header at `offset` within [offset, end): its type, header length and whole size.
bool BoxAt(CardFile* file, std::uint64_t offset, std::uint64_t end, char type[4],
           std::uint64_t* header, std::uint64_t* size) {
  std::vector<std::uint8_t> h;
  if (end < offset || end - offset < 8 || !file->Read(offset, 16 <= end - offset ? 16 : 8, &h)) {
    return false;
  }
  if (!TypeChars(h.data() + 4)) return false;
  std::memcpy(type, h.data() + 4, 4);
  std::uint64_t s = Be32(h.data());
  *header = 8;
  if (s == 1) {
    if (h.size() < 16) return false;
    s = Be64(h.data() + 8);
    *header = 16;
  } else if (s == 0) {
    s = end - offset;
  }
  if (s < *header || s > end - offset) return false;
  *size = s;
  return true;
}

void ReadIndex(CardFile* file, std::uint64_t payload, std::uint64_t length, Mp4Boxes* out) {
  std::vector<std::uint8_t> d;
  if (length < 8 || length > kMaxIndex || !file->Read(payload, std::size_t(length), &d)) return;
  std::uint64_t count = Be32(d.data() + 4);
  count = std::min<std::uint64_t>(count, (length - 8) / 8);
  out->hasIndex = true;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint8_t* e = d.data() + 8 + i * 8;
    out->gpsIndex.emplace_back(Be32(e), Be32(e + 4));
  }
}

void WalkMoov(CardFile* file, std::uint64_t offset, std::uint64_t end, Mp4Boxes* out) {
  int boxes = 0;
  while (offset < end && ++boxes < 10000) {
    char type[4];
    std::uint64_t header = 0, size = 0;
    if (!BoxAt(file, offset, end, type, &header, &size)) return;
    if (std::memcmp(type, "gps ", 4) == 0) ReadIndex(file, offset + header, size - header, out);
    offset += size;
  }
}

// Reads the block whose marker starts at `marker`, as long as its atom says (within bounds).
bool ReadBlock(CardFile* file, std::uint64_t marker, std::uint64_t atomSize,
               std::vector<std::uint8_t>* block) {
  std::size_t length = kFreeGpsMaxBlock;
  if (atomSize >= 8 + 88 && atomSize - 4 < length) length = std::size_t(atomSize - 4);
  return file->ReadSome(marker, length, block) && block->size() >= 88 &&
         std::memcmp(block->data(), kFreeGpsMarker, 8) == 0;
}

// Adds a block's fix; remembers the first layout that read.
void AddBlock(const std::vector<std::uint8_t>& block, int index, Format* format,
              CameraMetadata* out) {
  const int mediaMs = index < 2000000 ? index * 1000 : -1;
  const Format f = ParseFreeGpsBlock(block.data(), block.size(), mediaMs, out);
  if (f != Format::kNone && *format == Format::kNone) *format = f;
}

}  // namespace

bool WalkMp4(CardFile* file, Mp4Boxes* out) {
  *out = Mp4Boxes();
  const std::uint64_t end = file->Size();
  std::uint64_t offset = 0;
  for (int boxes = 0; offset < end && boxes < kMaxTopBoxes; ++boxes) {
    char type[4];
    std::uint64_t header = 0, size = 0;
    if (!BoxAt(file, offset, end, type, &header, &size)) break;
    if (boxes == 0) {
      static const char* const kFirst[] = {"ftyp", "moov", "mdat", "free", "skip", "wide"};
      out->isMp4 = std::any_of(std::begin(kFirst), std::end(kFirst),
                               [&](const char* t) { return std::memcmp(type, t, 4) == 0; });
      if (!out->isMp4) return false;
    }
    if (std::memcmp(type, "moov", 4) == 0 && size <= kMaxMoov) {
      WalkMoov(file, offset + header, offset + size, out);
    } else if (std::memcmp(type, "free", 4) == 0 && size > header) {
      std::vector<std::uint8_t> first;
      const bool gps =
          file->Read(offset + header, 4, &first) && std::memcmp(first.data(), "GPS ", 4) == 0;
      if (!gps) out->freeBoxes.emplace_back(offset + header, size - header);
    }
    offset += size;
  }
  return out->isMp4;
}

Format ReadFreeGps(CardFile* file, const Mp4Boxes& boxes, CameraMetadata* out,
                   const std::atomic<bool>* cancel) {
  if (boxes.hasIndex && !boxes.gpsIndex.empty()) {
    // Trust the index only when every entry names a block; a broken one is read by the scan.
    CameraMetadata read;
    Format format = Format::kNone;
    std::vector<std::uint8_t> block;
    bool whole = true;
    for (std::size_t i = 0; i < boxes.gpsIndex.size() && whole; ++i) {
      if (Cancelled(cancel)) return Format::kNone;
      const auto [atom, size] = boxes.gpsIndex[i];
      whole = ReadBlock(file, atom + 4, size, &block);
      if (whole) AddBlock(block, int(i), &format, &read);
    }
    if (whole) {
      out->fixes.insert(out->fixes.end(), read.fixes.begin(), read.fixes.end());
      out->gsensor.insert(out->gsensor.end(), read.gsensor.begin(), read.gsensor.end());
      return format;
    }
  }
  return ScanFreeGps(file, out, cancel);
}

Format ScanFreeGps(CardFile* file, CameraMetadata* out, const std::atomic<bool>* cancel) {
  Format format = Format::kNone;
  std::vector<std::uint8_t> chunk, block, header;
  int index = 0;
  const std::size_t markerLength = 8;
  std::uint64_t offset = 0;
  while (offset < file->Size()) {
    if (Cancelled(cancel)) return Format::kNone;
    if (index == 0 && offset >= kScanFirstBlockWithin) break;
    if (!file->ReadSome(offset, kScanChunk + markerLength - 1, &chunk)) break;
    std::uint64_t next = offset + kScanChunk;
    const std::uint8_t* begin = chunk.data();
    const std::uint8_t* const limit = chunk.data() + chunk.size();
    while (begin < limit) {
      const std::uint8_t* hit = static_cast<const std::uint8_t*>(
          memmem(begin, std::size_t(limit - begin), kFreeGpsMarker, markerLength));
      if (hit == nullptr) break;
      const std::uint64_t marker = offset + std::uint64_t(hit - chunk.data());
      if (marker >= next) break;  // the next chunk finds it
      std::uint64_t atomSize = 0;
      if (marker >= 4 && file->Read(marker - 4, 4, &header)) atomSize = Be32(header.data());
      if (ReadBlock(file, marker, atomSize, &block)) AddBlock(block, index++, &format, out);
      begin = hit + markerLength;
    }
    offset = next;
  }
  return format;
}

}  // namespace metadata
