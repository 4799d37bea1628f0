// SPDX-License-Identifier: GPL-3.0-or-later
#include "vexlib/VexWriter.h"

#include <algorithm>

namespace vex {

VexWriter::~VexWriter() {
  if (file_) Abandon();
}

bool VexWriter::Open(const std::string& path, const Header& header) {
  if (file_) return false;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  header_ = header;
  header_.flags = 0;
  header_.frontCount = header_.rearCount = header_.audioCount = 0;
  header_.gpsCount = header_.gsensorCount = header_.blockCount = 0;
  header_.durationMs = 0;
  header_.indexOffset = 0;
  std::uint8_t raw[kHeaderSize];
  EncodeHeader(header_, raw);
  ok_ = std::fwrite(raw, 1, kHeaderSize, file_) == kHeaderSize;
  offset_ = kHeaderSize;
  block_.clear();
  index_.clear();
  blockHeader_ = BlockHeader{};
  blockHeader_.number = 1;
  blockTimeMs_ = 0;
  return ok_;
}

bool VexWriter::AddPacket(std::uint8_t channel, std::uint8_t type, const void* data,
                          std::uint32_t size, std::uint32_t timeMs) {
  if (!file_ || size > kMaxPayload || (size > 0 && data == nullptr)) return false;
  bool picture = type == kTypeKeyPicture || type == kTypePicture;
  // Only what a reader accepts is written: a known type, sound and text on channel 0.
  if (type > kTypeText || channel > 1 || (!picture && channel != 0)) return false;
  bool front = picture && channel == 0;
  if (front && header_.frontCount > 0 && header_.frontCount % kFramesPerBlock == 0) {
    if (!FlushBlock()) return false;
  }
  if (blockHeader_.packets == 0) {
    blockHeader_.firstFront = header_.frontCount;
    blockTimeMs_ = timeMs;
  }
  PacketHeader ph;
  ph.channel = channel;
  ph.type = type;
  ph.size = size;
  ph.timeMs = timeMs;
  ph.payloadCrc = Crc32c(data, size);
  std::uint8_t raw[kPacketHeaderSize];
  EncodePacketHeader(ph, raw);
  block_.insert(block_.end(), raw, raw + kPacketHeaderSize);
  if (size > 0) {
    auto bytes = static_cast<const std::uint8_t*>(data);
    block_.insert(block_.end(), bytes, bytes + size);
  }
  blockHeader_.packets++;

  if (picture) {
    (channel == 0 ? header_.frontCount : header_.rearCount)++;
  } else if (type == kTypeSound) {
    header_.audioCount++;
  } else if (type == kTypeText && size > 0) {
    const auto* t = static_cast<const std::uint8_t*>(data);
    if (t[0] == 'G') header_.gpsCount++;
    if (t[0] == 'M') header_.gsensorCount++;
  }
  header_.durationMs = std::max(header_.durationMs, timeMs);
  return true;
}

bool VexWriter::FlushBlock() {
  if (blockHeader_.packets == 0) return ok_;
  blockHeader_.bytes = std::uint32_t(block_.size());
  std::uint8_t raw[kBlockHeaderSize];
  EncodeBlockHeader(blockHeader_, raw);
  ok_ = ok_ && std::fwrite(raw, 1, kBlockHeaderSize, file_) == kBlockHeaderSize;
  ok_ = ok_ && std::fwrite(block_.data(), 1, block_.size(), file_) == block_.size();
  index_.push_back(IndexEntry{offset_, blockHeader_.firstFront, blockTimeMs_});
  offset_ += kBlockHeaderSize + block_.size();
  header_.blockCount++;
  block_.clear();
  blockHeader_ = BlockHeader{};
  blockHeader_.number = header_.blockCount + 1;
  return ok_;
}

bool VexWriter::Close() {
  if (!file_) return false;
  FlushBlock();
  std::vector<std::uint8_t> index = EncodeIndex(index_);
  ok_ = ok_ && std::fwrite(index.data(), 1, index.size(), file_) == index.size();
  header_.indexOffset = offset_;
  header_.flags |= kFlagFinalised;
  std::uint8_t raw[kHeaderSize];
  EncodeHeader(header_, raw);
  ok_ = ok_ && std::fseek(file_, 0, SEEK_SET) == 0;
  ok_ = ok_ && std::fwrite(raw, 1, kHeaderSize, file_) == kHeaderSize;
  ok_ = (std::fclose(file_) == 0) && ok_;
  file_ = nullptr;
  return ok_;
}

void VexWriter::Abandon(bool halfBlock) {
  if (!file_) return;
  if (halfBlock && blockHeader_.packets > 0) {
    blockHeader_.bytes = std::uint32_t(block_.size());
    std::uint8_t raw[kBlockHeaderSize];
    EncodeBlockHeader(blockHeader_, raw);
    std::fwrite(raw, 1, kBlockHeaderSize, file_);
    std::fwrite(block_.data(), 1, block_.size() / 2 + 5, file_);
  }
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace vex
