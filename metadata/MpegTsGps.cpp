// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/MpegTsGps.h"

#include <algorithm>
#include <set>
#include <vector>

#include "metadata/FreeGps.h"

namespace metadata {

namespace {

constexpr std::size_t kPacket = 188;
constexpr std::size_t kMaxRecord = 4096;
constexpr std::size_t kChunkPackets = 4096;

// Follows the transport packets, the program tables and the private stream's PES packets.
class TsReader {
 public:
  explicit TsReader(CameraMetadata* out) : out_(out) {}

  void Packet(const std::uint8_t* p) {
    if (p[0] != 0x47) return;
    const bool start = (p[1] & 0x40) != 0;
    const int pid = (p[1] & 0x1f) << 8 | p[2];
    const int adaptation = (p[3] >> 4) & 3;
    std::size_t at = 4;
    if (adaptation == 2 || adaptation == 0) return;  // no payload
    if (adaptation == 3) at += 1 + std::size_t(p[4]);
    if (at >= kPacket) return;
    const std::uint8_t* payload = p + at;
    const std::size_t length = kPacket - at;
    if (pid == 0) {
      if (start) Pat(payload, length);
    } else if (pmtPids_.count(pid) != 0) {
      if (start) Pmt(payload, length);
    } else if (pid != 0x1fff && streamPids_.count(pid) == 0) {
      Private(pid, start, payload, length);
    }
  }

  void Finish() { Flush(); }
  Format Found() const { return records_ > 0 ? Format::kTsPrivate : Format::kNone; }

 private:
  // A section's bytes after its pointer field, as far as this packet holds them.
  static bool Section(const std::uint8_t* payload, std::size_t length, const std::uint8_t** s,
                      std::size_t* n) {
    const std::size_t pointer = payload[0];
    if (1 + pointer + 8 > length) return false;
    *s = payload + 1 + pointer;
    const std::size_t sectionLength = std::size_t((*s)[1] & 0x0f) << 8 | (*s)[2];
    *n = std::min(length - 1 - pointer, 3 + sectionLength);
    return *n >= 12;
  }

  void Pat(const std::uint8_t* payload, std::size_t length) {
    const std::uint8_t* s = nullptr;
    std::size_t n = 0;
    if (!Section(payload, length, &s, &n) || s[0] != 0x00) return;
    for (std::size_t i = 8; i + 4 <= n - 4 && pmtPids_.size() < 64; i += 4) {
      const int program = s[i] << 8 | s[i + 1];
      const int pid = (s[i + 2] & 0x1f) << 8 | s[i + 3];
      if (program != 0) pmtPids_.insert(pid);
    }
  }

  void Pmt(const std::uint8_t* payload, std::size_t length) {
    const std::uint8_t* s = nullptr;
    std::size_t n = 0;
    if (!Section(payload, length, &s, &n) || s[0] != 0x02) return;
    std::size_t i = 12 + (std::size_t(s[10] & 0x0f) << 8 | s[11]);
    while (i + 5 <= n - 4 && streamPids_.size() < 64) {
      streamPids_.insert((s[i + 1] & 0x1f) << 8 | s[i + 2]);
      i += 5 + (std::size_t(s[i + 3] & 0x0f) << 8 | s[i + 4]);
    }
  }

  void Private(int pid, bool start, const std::uint8_t* payload, std::size_t length) {
    if (start) {
      Flush();
      if (length < 6 || payload[0] != 0 || payload[1] != 0 || payload[2] != 1 ||
          payload[3] != 0xbf) {
        return;
      }
      pid_ = pid;
      want_ = std::size_t(payload[4]) << 8 | payload[5];
      if (want_ == 0 || want_ > kMaxRecord) {
        pid_ = -1;
        return;
      }
      record_.assign(payload + 6, payload + std::min(length, 6 + want_));
    } else if (pid == pid_) {
      const std::size_t room = want_ - record_.size();
      record_.insert(record_.end(), payload, payload + std::min(room, length));
    } else {
      return;
    }
    if (pid_ >= 0 && record_.size() >= want_) Flush();
  }

  void Flush() {
    if (pid_ >= 0 && record_.size() == want_) {
      const int mediaMs = records_ < 2000000 ? records_ * 1000 : -1;
      if (ParseFreeGpsRecord(record_.data(), record_.size(), mediaMs, out_)) ++records_;
    }
    pid_ = -1;
    record_.clear();
  }

  CameraMetadata* out_;
  std::set<int> pmtPids_;
  std::set<int> streamPids_;
  int pid_ = -1;
  std::size_t want_ = 0;
  std::vector<std::uint8_t> record_;
  int records_ = 0;
};

}  // namespace

bool LooksLikeMpegTs(CardFile* file) {
  std::vector<std::uint8_t> head;
  return file->Read(0, 3 * kPacket + 1, &head) && head[0] == 0x47 && head[kPacket] == 0x47 &&
         head[2 * kPacket] == 0x47;
}

Format ReadMpegTsGps(CardFile* file, CameraMetadata* out, const std::atomic<bool>* cancel) {
  TsReader reader(out);
  std::vector<std::uint8_t> chunk;
  std::uint64_t offset = 0;
  while (offset < file->Size()) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return Format::kNone;
    if (!file->ReadSome(offset, kPacket * kChunkPackets, &chunk)) break;
    std::size_t i = 0;
    while (i + kPacket <= chunk.size()) {
      if (chunk[i] != 0x47) {  // lost step: find the next sync byte
        ++i;
        continue;
      }
      reader.Packet(chunk.data() + i);
      i += kPacket;
    }
    if (i == 0) break;
    offset += i;
  }
  reader.Finish();
  return reader.Found();
}

Format ParseMpegTsGps(const std::uint8_t* data, std::size_t size, CameraMetadata* out) {
  TsReader reader(out);
  for (std::size_t i = 0; i + kPacket <= size;) {
    if (data[i] != 0x47) {
      ++i;
      continue;
    }
    reader.Packet(data + i);
    i += kPacket;
  }
  reader.Finish();
  return reader.Found();
}

}  // namespace metadata
