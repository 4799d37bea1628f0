// SPDX-License-Identifier: GPL-3.0-or-later
// The boxes of an MP4 or MOV recording that hold cameras' own data: the top-level `free` boxes
// (BlackVue's, and the freeGPS blocks of Novatek-based cameras) and the `gps ` index inside `moov`
// that names the freeGPS blocks' places. Every size is checked against the file and its parent
// box; a walk that meets a box it cannot believe stops there, keeping what it found before.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "metadata/CameraMetadata.h"
#include "metadata/CardFile.h"

namespace metadata {

struct Mp4Boxes {
  bool isMp4 = false;  // the file began with boxes (ftyp, moov, mdat, free, ...)
  bool hasIndex = false;
  // moov's `gps ` entries: the file offset of each block's atom and its size.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> gpsIndex;
  // Top-level `free` boxes not holding a freeGPS block: each payload's offset and size.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> freeBoxes;
};

// Most top-level boxes walked; a camera's file has a handful, a Novatek file one per second.
inline constexpr int kMaxTopBoxes = 200000;

bool WalkMp4(CardFile* file, Mp4Boxes* out);

// The freeGPS blocks of the file, the fix of block i at i seconds: through the index when each of
// its entries names a block, else found by scanning the whole file for the marker. Returns the
// layout read (kNone when there is no block; the scan gives up when the first 16 MiB hold
// none). `cancel` is looked at between blocks and chunks.
Format ReadFreeGps(CardFile* file, const Mp4Boxes& boxes, CameraMetadata* out,
                   const std::atomic<bool>* cancel);
Format ScanFreeGps(CardFile* file, CameraMetadata* out, const std::atomic<bool>* cancel);

}  // namespace metadata
