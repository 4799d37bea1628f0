// SPDX-License-Identifier: GPL-3.0-or-later
// The GPS records of Novatek-based cameras in their MPEG-TS recordings: each a PES packet of
// private stream 2 (stream id 0xBF) on a PID that the program map does not list, its whole payload
// a freeGPS record of the newer layout without its marker (FreeGps.h). The file is read in
// transport packets; the program tables say which PIDs are the streams, and a record's fix lies
// at the second of its place among the records.
#pragma once

#include <atomic>

#include "metadata/CameraMetadata.h"
#include "metadata/CardFile.h"

namespace metadata {

// Whether the file begins with transport packets (a sync byte every 188 bytes).
bool LooksLikeMpegTs(CardFile* file);

// Reads the records; kTsPrivate when any was found, kNone else.
Format ReadMpegTsGps(CardFile* file, CameraMetadata* out, const std::atomic<bool>* cancel);

// The same over bytes in memory (the fuzz target's entry).
Format ParseMpegTsGps(const std::uint8_t* data, std::size_t size, CameraMetadata* out);

}  // namespace metadata
