// SPDX-License-Identifier: GPL-3.0-or-later
// Reads one recording in the VEX layout: checks its header, finds its blocks and streams its
// packets in order. The file is untrusted: every size and offset in it is checked against the file
// and the block it belongs to before it is used, memory use is bounded by the file's real size, and
// damage makes the reader skip (a block) or stop (at the end of what is there), never read outside
// the file or the caller's buffer.
//
// Finding the blocks: a finalised recording carries a block index; it is used when its checksum,
// its offsets (inside the file, increasing, not overlapping) and the block header at each offset
// all check out. Otherwise the blocks are found by walking block headers from the end of the file
// header; a damaged block header is passed over by searching for the next valid one, and the last
// block may be cut short (a power cut while it was written).
//
// A block's packets are delivered only when its records hold together: a whole block must be
// filled exactly by its records, as many as its header says; a block cut short delivers the records
// that lie wholly before the cut, up to the first record that does not check out. A block that
// fails is skipped whole, so a damaged size field cannot turn payload bytes into packets. A payload
// that does not match its record's checksum is passed over alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vexlib/VexFormat.h"

namespace vex {

// What a recording holds, by kind of packet.
struct Counts {
  std::uint32_t front = 0, rear = 0, audio = 0, gps = 0, gsensor = 0;
};

// One block as found in the file.
struct BlockRef {
  std::uint64_t offset = 0;      // of the block header
  std::uint32_t number = 0;      // 1-based, from the block header
  std::uint32_t bytes = 0;       // packet record bytes the header announces
  std::uint32_t available = 0;   // of those, how many the file holds (less when cut short)
  std::uint32_t packets = 0;     // records the header announces
  std::uint32_t firstFront = 0;  // 0-based number of the block's first front picture
};

// One delivered packet.
struct Packet {
  std::uint8_t channel = 0;
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  std::uint32_t size = 0;
  std::uint32_t timeMs = 0;
};

enum class ReadStatus {
  kOk,
  kEnd,       // no more packets (also when the file ends early)
  kTooLarge,  // the next packet does not fit the buffer; it is passed over
  kError,     // the file could not be read, or nothing is open
  kPassed,    // NextText only: a block was passed over with nothing to deliver; call again
};

// Faults the card's reads meet, for tests of a card that goes bad or is pulled out while it is
// read. Counted over every read since the faults were set: once failAfterBytes bytes have been
// read every read fails with EIO; once endAfterBytes have been read every read finds the end of
// its file (the file shrank); every read returns at most maxChunk bytes (a short read). Negative
// byte counts and a zero maxChunk are no fault. Process-wide; off unless a test sets it.
struct ReadFaults {
  long long failAfterBytes = -1;
  long long endAfterBytes = -1;
  std::size_t maxChunk = 0;
};
void SetReadFaults(const ReadFaults& faults);
void ClearReadFaults();

class VexReader {
 public:
  // More blocks than this (over a week of pictures at 30 per second) is not a recording.
  static constexpr std::size_t kMaxBlocks = std::size_t(1) << 20;

  VexReader() = default;
  ~VexReader();
  VexReader(const VexReader&) = delete;
  VexReader& operator=(const VexReader&) = delete;

  // Opens a recording and finds its blocks. False when the file is not a regular file, cannot be
  // read, or does not start with a valid header; the reader is then closed. When a read fails
  // while the blocks are walked, the blocks found before it are read and then the reading fails
  // (kError) instead of ending.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  const Header& header() const { return header_; }
  // The header's 212 bytes as stored.
  const std::uint8_t* rawHeader() const { return raw_; }
  std::uint64_t fileSize() const { return fileSize_; }
  // Whether the block index was used (the recording was closed properly and is intact).
  bool indexUsed() const { return indexUsed_; }
  const std::vector<BlockRef>& blocks() const { return blocks_; }

  // The recording's packet counts: the header's when the index was used, otherwise counted from
  // the packets that would be delivered. Counted once, on the first call.
  Counts counts();

  // The next packet: its record into *p and its payload into buffer (capacity bytes). On any
  // status but kOk, *p is unchanged; the buffer may have been written.
  ReadStatus Next(Packet* p, void* buffer, std::uint32_t capacity);
  // The next text packet alone: of the packets Next would deliver, the text ones, in the same
  // order and by the same rules (see the top of this file), while pictures and sound are passed
  // over by their records without reading their payloads. One call walks at most one new block's
  // records: a block with nothing to deliver gives kPassed, so that a caller can stop between
  // blocks. A text payload larger than the capacity gives kTooLarge and is passed over. A reader
  // streams with Next or with NextText; a seek starts either afresh.
  ReadStatus NextText(Packet* p, void* buffer, std::uint32_t capacity);
  // Continues at the first block numbered `number` or later (1-based; clamped to the blocks).
  void SeekBlock(std::int64_t number);

  // Text packets of one block NextText keeps track of at a time; a block holding more (a camera
  // writes about a dozen) is walked again for the rest.
  static constexpr std::size_t kMaxTextRefs = 1024;

 private:
  // Reads n bytes at off: returns the bytes read (fewer at the end of the file), -1 on error.
  // Reads inside the window (the block being streamed, or a few KB around the last small read)
  // are served from it; other small reads (records, block headers) load a new window.
  long long ReadAt(std::uint64_t off, void* dst, std::size_t n) const;
  // Reads n bytes at off into the window; false on a read error (the window is then empty).
  bool LoadWindow(std::uint64_t off, std::size_t n) const;
  long long ReadDirect(std::uint64_t off, void* dst, std::size_t n) const;
  bool ReadIndex();
  void WalkBlocks();
  // Offset of the next valid block header after `from` and before `end`, numbered above
  // `lastNumber`; 0 when there is none.
  std::uint64_t FindBlock(std::uint64_t from, std::uint64_t end, std::uint32_t lastNumber) const;
  // How many of a block's records may be delivered (see the top of this file); -1 on a read
  // error. Adds their counts to *counts when given.
  long long CheckBlock(const BlockRef& b, Counts* counts) const;
  // The packet record header at `pos` of block b's records: 1 when it was read, is valid and its
  // payload lies inside the block; 0 when no packet starts there (the block ends); -1 when the
  // file could not be read.
  int ReadPacketHeaderAt(const BlockRef& b, std::uint32_t pos, PacketHeader* ph) const;

  // A text packet's record and where it lies in its block.
  struct TextRef {
    std::uint32_t at = 0;     // offset of its record from the end of the block header
    std::uint32_t index = 0;  // its place among the block's records, from 0
    PacketHeader header;
  };
  // Walks block b's records as CheckBlock does, from record `index` at offset `pos` (from the end
  // of the block header) up to record `limit`, and keeps the text records met in texts_ (emptied
  // first), at most kMaxTextRefs; with stopWhenFull the walk ends at the first text record that
  // finds the list full. *overflow: a text record was met that the list had no room for.
  // Returns the number of the record after the last one walked that checks out (at most limit),
  // -1 on a read error; *end receives the offset after it.
  long long CollectText(const BlockRef& b, std::uint32_t index, std::uint32_t pos,
                        std::uint32_t limit, bool stopWhenFull, std::uint32_t* end, bool* overflow);

  int fd_ = -1;
  std::uint64_t fileSize_ = 0;
  // The window of the file small reads come from.
  mutable std::vector<std::uint8_t> window_;
  mutable bool windowValid_ = false;
  mutable std::uint64_t windowOffset_ = 0;
  mutable std::size_t windowLength_ = 0;
  mutable bool windowAtEnd_ = false;  // the file ended inside the window
  std::uint8_t raw_[kHeaderSize] = {};
  Header header_;
  bool indexUsed_ = false;
  std::vector<BlockRef> blocks_;
  bool counted_ = false;
  Counts counts_;
  mutable bool ioError_ = false;  // a read of the file failed (set by ReadDirect)
  bool blocksCut_ = false;        // a failed read ended the walk for blocks at Open

  // Streaming position.
  std::size_t current_ = 0;    // block being read
  bool entered_ = false;       // its records were checked
  std::uint32_t inBlock_ = 0;  // offset of the next record from the end of the block header
  std::uint32_t left_ = 0;     // records still to deliver from it

  // NextText's position in the block being read (current_, entered_).
  std::vector<TextRef> texts_;     // its next text packets, in order
  std::size_t nextText_ = 0;       // the first of texts_ not yet delivered
  bool textsComplete_ = true;      // no text packet of the block lies beyond texts_
  std::uint32_t deliverable_ = 0;  // records of the block that may be delivered
};

}  // namespace vex
