// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a recording in the VEX layout the way the camera does: a provisional header, packets
// gathered into blocks of 30 front pictures and written a whole block at a time, then at close the
// block index and the final header. A recording that is never closed (power lost) keeps its
// provisional header and no index, which readers handle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "vexlib/VexFormat.h"

namespace vex {

class VexWriter {
 public:
  VexWriter() = default;
  ~VexWriter();
  VexWriter(const VexWriter&) = delete;
  VexWriter& operator=(const VexWriter&) = delete;

  // Creates the file and writes the provisional header. The header's counts, block count and index
  // offset are filled in by Close.
  bool Open(const std::string& path, const Header& header);
  // Adds one packet. A front picture that starts a new group of 30 first writes out the block
  // gathered so far. Returns false on a write error, a payload larger than kMaxPayload, an unknown
  // type, or sound or text on a channel other than 0.
  bool AddPacket(std::uint8_t channel, std::uint8_t type, const void* data, std::uint32_t size,
                 std::uint32_t timeMs);
  // Writes the last block, the index and the final header. Returns false on a write error.
  bool Close();
  // Stops the way a power cut would: the blocks completed so far stay, the header stays provisional
  // and no index is written. With halfBlock the block being gathered is written half, cut in the
  // middle of a packet; otherwise it is lost.
  void Abandon(bool halfBlock = false);

  const Header& header() const { return header_; }

 private:
  bool FlushBlock();

  std::FILE* file_ = nullptr;
  Header header_;
  std::vector<std::uint8_t> block_;  // packet records of the block being gathered
  BlockHeader blockHeader_;
  std::uint32_t blockTimeMs_ = 0;
  std::vector<IndexEntry> index_;
  std::uint64_t offset_ = 0;  // where the next block goes
  bool ok_ = true;
};

}  // namespace vex
