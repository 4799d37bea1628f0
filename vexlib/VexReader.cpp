// SPDX-License-Identifier: GPL-3.0-or-later
#include "vexlib/VexReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace vex {

namespace {

// Index entries are read and checked this many at a time.
constexpr std::size_t kIndexChunk = 4096;
// The search for the next block header after damage reads this much at a time.
constexpr std::size_t kSearchChunk = 64 * 1024;
// Reads up to kWindowSmall bytes come from a window of kWindowBytes of the file.
constexpr std::size_t kWindowSmall = 64;
constexpr std::size_t kWindowBytes = 4096;
// A block being streamed is read whole into the window when it is no larger than this: one read
// per block instead of two per packet. Larger blocks (not written by cameras) are read piecewise.
constexpr std::size_t kMaxBlockLoad = 32u << 20;

bool SameBlock(const BlockHeader& h, const BlockRef& b) {
  return h.number == b.number && h.bytes == b.bytes && h.packets == b.packets &&
         h.firstFront == b.firstFront;
}

}  // namespace

VexReader::~VexReader() { Close(); }

void VexReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  fileSize_ = 0;
  window_.clear();
  window_.shrink_to_fit();
  windowValid_ = false;
  windowOffset_ = 0;
  windowLength_ = 0;
  windowAtEnd_ = false;
  std::memset(raw_, 0, sizeof raw_);
  header_ = Header{};
  indexUsed_ = false;
  blocks_.clear();
  blocks_.shrink_to_fit();
  counted_ = false;
  counts_ = Counts{};
  ioError_ = false;
  blocksCut_ = false;
  current_ = 0;
  entered_ = false;
  inBlock_ = 0;
  left_ = 0;
  texts_.clear();
  texts_.shrink_to_fit();
  nextText_ = 0;
  textsComplete_ = true;
  deliverable_ = 0;
}

long long VexReader::ReadAt(std::uint64_t off, void* dst, std::size_t n) const {
  if (fd_ < 0) return -1;
  // A window that ended at the end of the file answers reads running past its end with what
  // there is.
  const bool inWindow = windowValid_ && off >= windowOffset_ &&
                        off - windowOffset_ <= std::uint64_t(windowLength_) &&
                        (off - windowOffset_ + n <= windowLength_ || windowAtEnd_);
  if (!inWindow) {
    if (n > kWindowSmall) return ReadDirect(off, dst, n);
    if (!LoadWindow(off, kWindowBytes)) return -1;
  }
  const std::size_t at = std::size_t(off - windowOffset_);
  const std::size_t have = std::min(n, windowLength_ - at);
  if (have > 0) std::memcpy(dst, window_.data() + at, have);
  return static_cast<long long>(have);
}

bool VexReader::LoadWindow(std::uint64_t off, std::size_t n) const {
  // Grown, never shrunk while open: resizing down and up again would zero-fill it every block.
  if (window_.size() < n) window_.resize(n);
  windowLength_ = 0;
  const long long got = ReadDirect(off, window_.data(), n);
  if (got < 0) {
    windowValid_ = false;
    return false;
  }
  windowValid_ = true;
  windowOffset_ = off;
  windowLength_ = std::size_t(got);
  windowAtEnd_ = windowLength_ < n;
  return true;
}

namespace {
std::atomic<long long> faultAfterBytes{-1};
std::atomic<long long> endAfterBytes{-1};
std::atomic<std::size_t> faultChunk{0};
std::atomic<long long> bytesRead{0};
}  // namespace

void SetReadFaults(const ReadFaults& faults) {
  bytesRead = 0;
  faultChunk = faults.maxChunk;
  endAfterBytes = faults.endAfterBytes;
  faultAfterBytes = faults.failAfterBytes;
}

void ClearReadFaults() { SetReadFaults(ReadFaults{}); }

long long VexReader::ReadDirect(std::uint64_t off, void* dst, std::size_t n) const {
  if (fd_ < 0) return -1;
  auto* p = static_cast<std::uint8_t*>(dst);
  std::size_t done = 0;
  while (done < n) {
    std::size_t want = n - done;
    if (const std::size_t chunk = faultChunk.load(std::memory_order_relaxed); chunk > 0) {
      want = std::min(want, chunk);
    }
    if (const long long after = faultAfterBytes.load(std::memory_order_relaxed);
        after >= 0 && bytesRead.load(std::memory_order_relaxed) >= after) {
      errno = EIO;
      ioError_ = true;
      return -1;
    }
    if (const long long end = endAfterBytes.load(std::memory_order_relaxed);
        end >= 0 && bytesRead.load(std::memory_order_relaxed) >= end) {
      break;
    }
    ssize_t r = ::pread(fd_, p + done, want, off_t(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      ioError_ = true;
      return -1;
    }
    if (r == 0) break;
    bytesRead.fetch_add(r, std::memory_order_relaxed);
    done += std::size_t(r);
  }
  return static_cast<long long>(done);
}

bool VexReader::Open(const std::string& path) {
  Close();
  // No links followed and no waiting on special files: a card may hold anything.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  // Reading leaves the card's access times alone where the system allows it (the file's owner):
  // no writes to the card, and no time stamp to update on every read.
  int fd = ::open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < off_t(kHeaderSize) ||
      std::uint64_t(st.st_size) > kMaxFileSize) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  fileSize_ = std::uint64_t(st.st_size);
  // Recordings are read front to back: a larger read-ahead keeps a slow card busy.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (ReadAt(0, raw_, kHeaderSize) != static_cast<long long>(kHeaderSize) ||
      !DecodeHeader(raw_, &header_)) {
    Close();
    return false;
  }
  indexUsed_ = ReadIndex();
  if (!indexUsed_) {
    // A read that fails while the blocks are walked leaves the rest of them unfound: the reading
    // then ends in a failure, not as a shorter recording.
    ioError_ = false;
    WalkBlocks();
    blocksCut_ = ioError_;
  }
  return true;
}

bool VexReader::ReadIndex() {
  const Header& h = header_;
  if (!(h.flags & kFlagFinalised) || h.blockCount > kMaxBlocks) return false;
  if (h.indexOffset < kHeaderSize || h.indexOffset > fileSize_) return false;
  const std::uint64_t indexBytes = IndexSize(h.blockCount);
  if (indexBytes > fileSize_ - h.indexOffset) return false;

  std::uint8_t head[8];
  if (ReadAt(h.indexOffset, head, 8) != 8) return false;
  if (std::memcmp(head, "VIDX", 4) != 0 || Load32(head + 4) != h.blockCount) return false;
  std::uint32_t crc = Crc32(head, 8);

  std::vector<BlockRef> blocks;
  blocks.reserve(h.blockCount);
  std::vector<std::uint8_t> chunk;
  std::uint64_t previousEnd = kHeaderSize;
  std::uint64_t pos = h.indexOffset + 8;
  for (std::uint32_t done = 0; done < h.blockCount;) {
    const std::size_t n = std::min<std::size_t>(kIndexChunk, h.blockCount - done);
    chunk.resize(n * kIndexEntrySize);
    if (ReadAt(pos, chunk.data(), chunk.size()) != static_cast<long long>(chunk.size())) {
      return false;
    }
    crc = Crc32(chunk.data(), chunk.size(), crc);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* e = chunk.data() + i * kIndexEntrySize;
      const std::uint64_t offset = Load64(e);
      const std::uint32_t firstFront = Load32(e + 8);
      // Blocks lie in order between the header and the index, without overlapping.
      if (offset < previousEnd || offset > h.indexOffset ||
          h.indexOffset - offset < kBlockHeaderSize) {
        return false;
      }
      std::uint8_t rawBlock[kBlockHeaderSize];
      BlockHeader bh;
      if (ReadAt(offset, rawBlock, kBlockHeaderSize) != static_cast<long long>(kBlockHeaderSize) ||
          !DecodeBlockHeader(rawBlock, &bh)) {
        return false;
      }
      if (bh.number != done + i + 1 || bh.firstFront != firstFront ||
          bh.bytes > h.indexOffset - offset - kBlockHeaderSize) {
        return false;
      }
      previousEnd = offset + kBlockHeaderSize + bh.bytes;
      blocks.push_back(BlockRef{offset, bh.number, bh.bytes, bh.bytes, bh.packets, bh.firstFront});
    }
    done += std::uint32_t(n);
    pos += chunk.size();
  }
  std::uint8_t stored[4];
  if (ReadAt(pos, stored, 4) != 4 || Load32(stored) != crc) return false;
  blocks_ = std::move(blocks);
  return true;
}

void VexReader::WalkBlocks() {
  blocks_.clear();
  // A finalised recording's blocks end where its index starts.
  std::uint64_t end = fileSize_;
  if ((header_.flags & kFlagFinalised) && header_.indexOffset >= kHeaderSize &&
      header_.indexOffset <= fileSize_) {
    end = header_.indexOffset;
  }
  std::uint64_t pos = kHeaderSize;
  std::uint32_t lastNumber = 0;
  while (blocks_.size() < kMaxBlocks && pos < end && end - pos >= kBlockHeaderSize) {
    std::uint8_t raw[kBlockHeaderSize];
    BlockHeader bh;
    bool valid = ReadAt(pos, raw, kBlockHeaderSize) == static_cast<long long>(kBlockHeaderSize) &&
                 DecodeBlockHeader(raw, &bh) && bh.number > lastNumber;
    if (!valid) {
      pos = FindBlock(pos + 1, end, lastNumber);
      if (pos == 0) break;
      continue;
    }
    const std::uint64_t room = end - pos - kBlockHeaderSize;
    const std::uint32_t available = std::uint32_t(std::min<std::uint64_t>(bh.bytes, room));
    blocks_.push_back(BlockRef{pos, bh.number, bh.bytes, available, bh.packets, bh.firstFront});
    lastNumber = bh.number;
    if (available < bh.bytes) break;  // cut short: nothing follows
    pos += kBlockHeaderSize + bh.bytes;
  }
}

std::uint64_t VexReader::FindBlock(std::uint64_t from, std::uint64_t end,
                                   std::uint32_t lastNumber) const {
  std::vector<std::uint8_t> buf(kSearchChunk);
  std::uint64_t pos = from;
  while (pos < end && end - pos >= kBlockHeaderSize) {
    const std::size_t want = std::size_t(std::min<std::uint64_t>(kSearchChunk, end - pos));
    const long long got = ReadDirect(pos, buf.data(), want);
    if (got < static_cast<long long>(kBlockHeaderSize)) return 0;
    const std::size_t n = std::size_t(got);
    for (std::size_t i = 0; i + kBlockHeaderSize <= n; ++i) {
      if (buf[i] != 'V' || std::memcmp(buf.data() + i, "VBLK", 4) != 0) continue;
      BlockHeader bh;
      if (DecodeBlockHeader(buf.data() + i, &bh) && bh.number > lastNumber) return pos + i;
    }
    // The next chunk starts where a header could still begin.
    pos += n - kBlockHeaderSize + 1;
  }
  return 0;
}

int VexReader::ReadPacketHeaderAt(const BlockRef& b, std::uint32_t pos, PacketHeader* ph) const {
  std::uint8_t raw[kPacketHeaderSize];
  const long long got = ReadAt(b.offset + kBlockHeaderSize + pos, raw, kPacketHeaderSize);
  if (got < 0) return -1;
  if (got != static_cast<long long>(kPacketHeaderSize) || !DecodePacketHeader(raw, ph)) return 0;
  return ph->size <= b.available - pos - kPacketHeaderSize ? 1 : 0;
}

long long VexReader::CheckBlock(const BlockRef& b, Counts* counts) const {
  const std::uint64_t base = b.offset + kBlockHeaderSize;
  Counts local;
  std::uint32_t pos = 0, n = 0;
  while (n < b.packets && b.available - pos >= kPacketHeaderSize) {
    PacketHeader ph;
    const int header = ReadPacketHeaderAt(b, pos, &ph);
    if (header < 0) return -1;
    if (header == 0) break;
    if (counts) {
      if (ph.type == kTypeKeyPicture || ph.type == kTypePicture) {
        (ph.channel == 0 ? local.front : local.rear)++;
      } else if (ph.type == kTypeSound) {
        local.audio++;
      } else if (ph.size > 0) {
        std::uint8_t tag = 0;
        const long long t = ReadAt(base + pos + kPacketHeaderSize, &tag, 1);
        if (t < 0) return -1;
        if (t == 1 && tag == 'G') local.gps++;
        if (t == 1 && tag == 'M') local.gsensor++;
      }
    }
    pos += std::uint32_t(kPacketHeaderSize) + ph.size;
    ++n;
  }
  const bool whole = b.available == b.bytes;
  if (whole && (n != b.packets || pos != b.bytes)) return 0;
  if (counts) {
    counts->front += local.front;
    counts->rear += local.rear;
    counts->audio += local.audio;
    counts->gps += local.gps;
    counts->gsensor += local.gsensor;
  }
  return n;
}

Counts VexReader::counts() {
  if (counted_ || fd_ < 0) return counts_;
  Counts c;
  if (indexUsed_) {
    c.front = header_.frontCount;
    c.rear = header_.rearCount;
    c.audio = header_.audioCount;
    c.gps = header_.gpsCount;
    c.gsensor = header_.gsensorCount;
  } else {
    for (const BlockRef& b : blocks_) {
      if (CheckBlock(b, &c) < 0) break;
    }
  }
  counts_ = c;
  counted_ = true;
  return c;
}

ReadStatus VexReader::Next(Packet* p, void* buffer, std::uint32_t capacity) {
  if (fd_ < 0) return ReadStatus::kError;
  while (current_ < blocks_.size()) {
    const BlockRef& b = blocks_[current_];
    if (!entered_) {
      // The block is read afresh, header included: the file may have changed since it was
      // opened.
      windowValid_ = false;
      if (b.available <= kMaxBlockLoad && !LoadWindow(b.offset, kBlockHeaderSize + b.available)) {
        return ReadStatus::kError;
      }
      std::uint8_t raw[kBlockHeaderSize];
      BlockHeader bh;
      const long long got = ReadAt(b.offset, raw, kBlockHeaderSize);
      if (got < 0) return ReadStatus::kError;
      if (got != static_cast<long long>(kBlockHeaderSize)) {
        current_ = blocks_.size();
        return ReadStatus::kEnd;
      }
      long long deliverable = 0;
      if (DecodeBlockHeader(raw, &bh) && SameBlock(bh, b)) {
        deliverable = CheckBlock(b, nullptr);
        if (deliverable < 0) return ReadStatus::kError;
      }
      entered_ = true;
      inBlock_ = 0;
      left_ = std::uint32_t(deliverable);
    }
    if (left_ == 0 || b.available - inBlock_ < kPacketHeaderSize) {
      ++current_;
      entered_ = false;
      continue;
    }
    std::uint8_t raw[kPacketHeaderSize];
    const std::uint64_t at = b.offset + kBlockHeaderSize + inBlock_;
    const long long got = ReadAt(at, raw, kPacketHeaderSize);
    if (got < 0) return ReadStatus::kError;
    if (got != static_cast<long long>(kPacketHeaderSize)) {
      current_ = blocks_.size();
      return ReadStatus::kEnd;
    }
    PacketHeader ph;
    if (!DecodePacketHeader(raw, &ph) || ph.size > b.available - inBlock_ - kPacketHeaderSize) {
      // Changed since the block was checked: the rest of the block is not trusted.
      ++current_;
      entered_ = false;
      continue;
    }
    const std::uint32_t next = inBlock_ + std::uint32_t(kPacketHeaderSize) + ph.size;
    if (ph.size > capacity) {
      inBlock_ = next;
      --left_;
      return ReadStatus::kTooLarge;
    }
    if (ph.size > 0) {
      if (buffer == nullptr) return ReadStatus::kError;
      const long long body = ReadAt(at + kPacketHeaderSize, buffer, ph.size);
      if (body < 0) return ReadStatus::kError;
      if (body != static_cast<long long>(ph.size)) {
        current_ = blocks_.size();
        return ReadStatus::kEnd;
      }
    }
    inBlock_ = next;
    --left_;
    // A payload that is not what was written is passed over; its record was sound, so the
    // packets after it are still found.
    if (Crc32c(buffer, ph.size) != ph.payloadCrc) continue;
    p->channel = ph.channel;
    p->type = ph.type;
    p->flags = ph.flags;
    p->size = ph.size;
    p->timeMs = ph.timeMs;
    return ReadStatus::kOk;
  }
  return blocksCut_ ? ReadStatus::kError : ReadStatus::kEnd;
}

long long VexReader::CollectText(const BlockRef& b, std::uint32_t index, std::uint32_t pos,
                                 std::uint32_t limit, bool stopWhenFull, std::uint32_t* end,
                                 bool* overflow) {
  texts_.clear();
  nextText_ = 0;
  *overflow = false;
  std::uint32_t n = index;
  while (n < limit && b.available - pos >= kPacketHeaderSize) {
    PacketHeader ph;
    const int header = ReadPacketHeaderAt(b, pos, &ph);
    if (header < 0) return -1;
    if (header == 0) break;
    if (ph.type == kTypeText) {
      if (texts_.size() < kMaxTextRefs) {
        texts_.push_back(TextRef{pos, n, ph});
      } else {
        *overflow = true;
        if (stopWhenFull) break;
      }
    }
    pos += std::uint32_t(kPacketHeaderSize) + ph.size;
    ++n;
  }
  *end = pos;
  return n;
}

ReadStatus VexReader::NextText(Packet* p, void* buffer, std::uint32_t capacity) {
  if (fd_ < 0) return ReadStatus::kError;
  bool walked = false;  // a block's records were walked in this call
  while (current_ < blocks_.size()) {
    const BlockRef& b = blocks_[current_];
    if (!entered_) {
      if (walked) return ReadStatus::kPassed;
      walked = true;
      // The block header is read afresh, as Next does; the payloads are not read at all.
      windowValid_ = false;
      std::uint8_t raw[kBlockHeaderSize];
      const long long got = ReadAt(b.offset, raw, kBlockHeaderSize);
      if (got < 0) return ReadStatus::kError;
      if (got != static_cast<long long>(kBlockHeaderSize)) {
        current_ = blocks_.size();
        return ReadStatus::kEnd;
      }
      texts_.clear();
      nextText_ = 0;
      textsComplete_ = true;
      deliverable_ = 0;
      BlockHeader bh;
      if (DecodeBlockHeader(raw, &bh) && SameBlock(bh, b)) {
        std::uint32_t end = 0;
        bool overflow = false;
        const long long n = CollectText(b, 0, 0, b.packets, false, &end, &overflow);
        if (n < 0) return ReadStatus::kError;
        // The rules of CheckBlock: a whole block must be filled exactly by its records.
        const bool whole = b.available == b.bytes;
        if (whole && (std::uint32_t(n) != b.packets || end != b.bytes)) {
          texts_.clear();
        } else {
          deliverable_ = std::uint32_t(n);
          textsComplete_ = !overflow;
        }
      }
      entered_ = true;
    }
    if (nextText_ == texts_.size() && !textsComplete_ && !texts_.empty()) {
      // More text packets than the list holds: walk on from the last one kept.
      const TextRef last = texts_.back();
      std::uint32_t end = 0;
      bool overflow = false;
      const long long n = CollectText(b, last.index + 1,
                                      last.at + std::uint32_t(kPacketHeaderSize) + last.header.size,
                                      deliverable_, true, &end, &overflow);
      if (n < 0) return ReadStatus::kError;
      textsComplete_ = !overflow;
    }
    if (nextText_ == texts_.size()) {
      ++current_;
      entered_ = false;
      continue;
    }
    // Every kept record lies among the deliverable ones: the walks stop there.
    const TextRef t = texts_[nextText_++];
    if (t.header.size > capacity) return ReadStatus::kTooLarge;
    if (t.header.size > 0) {
      if (buffer == nullptr) return ReadStatus::kError;
      const long long body =
          ReadAt(b.offset + kBlockHeaderSize + t.at + kPacketHeaderSize, buffer, t.header.size);
      if (body < 0) return ReadStatus::kError;
      if (body != static_cast<long long>(t.header.size)) {
        current_ = blocks_.size();
        return ReadStatus::kEnd;
      }
    }
    if (Crc32c(buffer, t.header.size) != t.header.payloadCrc) continue;
    p->channel = t.header.channel;
    p->type = t.header.type;
    p->flags = t.header.flags;
    p->size = t.header.size;
    p->timeMs = t.header.timeMs;
    return ReadStatus::kOk;
  }
  return blocksCut_ ? ReadStatus::kError : ReadStatus::kEnd;
}

void VexReader::SeekBlock(std::int64_t number) {
  entered_ = false;
  inBlock_ = 0;
  left_ = 0;
  texts_.clear();
  nextText_ = 0;
  textsComplete_ = true;
  deliverable_ = 0;
  if (blocks_.empty()) {
    current_ = 0;
    return;
  }
  if (number < 1) number = 1;
  auto it = std::find_if(blocks_.begin(), blocks_.end(),
                         [number](const BlockRef& b) { return std::int64_t(b.number) >= number; });
  current_ = it == blocks_.end() ? blocks_.size() - 1 : std::size_t(it - blocks_.begin());
}

}  // namespace vex
