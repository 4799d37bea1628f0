// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/CAVIExtractor.h"

#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/Diag.h"

namespace {

// Sub-lists inside the header list nest this deep at most (the writer's layout uses one level);
// anything deeper is refused rather than followed.
constexpr int kMaxListDepth = 4;
// Frame rates above this are reported as this.
constexpr int kMaxReportedFrameRate = 30;
// Index entries read per piece: the index of a long recording is streamed, never held whole.
constexpr int kIndexEntriesPerPiece = 1024;
constexpr int kIndexEntryBytes = 16;
// Front-picture offsets carry this bit; offsets at or beyond it cannot be represented.
constexpr std::uint32_t kFrameFlag = 0x80000000u;

std::uint32_t Load32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

std::uint16_t Load16(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }

bool SameId(const void* id, const char* text) { return std::memcmp(id, text, 4) == 0; }

// The stream number of a tag: its first two characters read as a decimal number (atoi rules, so
// characters that are not digits read as 0).
int StreamNumber(const char* tag) {
  char digits[3] = {tag[0], tag[1], '\0'};
  return std::atoi(digits);
}

bool IsPictureTag(const char* tag) { return tag[2] == 'd' && tag[3] == 'c'; }

}  // namespace

CAVIExtractor::CAVIExtractor() = default;

CAVIExtractor::~CAVIExtractor() { Close(); }

bool CAVIExtractor::ReadBytes(void* to, std::size_t n) { return std::fread(to, 1, n, file_) == n; }

bool CAVIExtractor::ReadU32(std::uint32_t* value) {
  unsigned char b[4];
  if (!ReadBytes(b, sizeof b)) return false;
  *value = Load32(b);
  return true;
}

bool CAVIExtractor::Skip(std::int64_t n) {
  if (n <= 0) return n == 0;
  off_t at = ftello(file_);
  if (at < 0 || n > fileSize_ - at) return false;
  return fseeko(file_, at + off_t(n), SEEK_SET) == 0;
}

void CAVIExtractor::CloseLocked() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  fileSize_ = 0;
  running_ = false;
}

bool CAVIExtractor::ParseHeaderItem(std::int64_t& budget, int depth) {
  char id[4];
  if (!ReadBytes(id, 4)) return false;
  budget -= 4;

  if (SameId(id, "LIST")) {
    std::uint32_t size = 0;
    if (depth >= kMaxListDepth || !ReadU32(&size)) return false;
    // The size field and the list's contents.
    budget -= std::int64_t(size) + 4;
    // A list holds at least its type, which is the one item read from it.
    if (size < 4) return false;
    std::int64_t inner = size;
    if (!ParseHeaderItem(inner, depth + 1)) return false;
    // Chunks after that item are not read; passing over them keeps the file in step with the
    // budget of the enclosing list.
    return inner <= 0 || Skip(inner);
  }

  if (SameId(id, "hdrl")) {
    std::uint32_t size = 0;
    if (!ReadBytes(id, 4) || !ReadU32(&size) || size != sizeof mainHeader_) return false;
    budget -= 8;
    if (!ReadBytes(mainHeader_, sizeof mainHeader_)) return false;
    budget -= std::int64_t(sizeof mainHeader_);
    return true;
  }

  if (SameId(id, "strl")) {
    std::uint32_t size = 0;
    if (!ReadBytes(id, 4) || !ReadU32(&size) || size != sizeof streamHeader_) return false;
    budget -= 8;
    if (!ReadBytes(streamHeader_, sizeof streamHeader_)) return false;
    budget -= std::int64_t(sizeof streamHeader_);

    if (SameId(streamHeader_, "vids")) {
      if (!ReadBytes(id, 4) || !ReadU32(&size) || size != sizeof videoFormat_) return false;
      budget -= 8;
      if (!ReadBytes(videoFormat_, sizeof videoFormat_)) return false;
      budget -= std::int64_t(sizeof videoFormat_);
      // A third video stream overwrites the second entry.
      VideoStream& v = video_[std::min(videoCount_, 1)];
      v.width = std::int32_t(Load32(videoFormat_ + 4));
      v.height = std::int32_t(Load32(videoFormat_ + 8));
      v.rate = std::int32_t(Load32(streamHeader_ + 24) / 1000);
      if (videoCount_ < INT_MAX) ++videoCount_;
      return true;
    }
    if (SameId(streamHeader_, "auds")) {
      if (!ReadBytes(id, 4) || !ReadU32(&size) || size != sizeof audioFormat_) return false;
      budget -= 8;
      if (!ReadBytes(audioFormat_, sizeof audioFormat_)) return false;
      budget -= std::int64_t(sizeof audioFormat_);
      return true;
    }
  }

  // Anything else (the text stream's header, unknown chunks): pass over what is left.
  if (budget > 0) {
    if (!Skip(budget)) return false;
    budget = 0;
  }
  return true;
}

std::uint32_t CAVIExtractor::OpenStream(const char* name) {
  video_[0] = VideoStream{};
  video_[1] = VideoStream{};
  videoCount_ = 0;
  std::memset(mainHeader_, 0, sizeof mainHeader_);
  std::memset(streamHeader_, 0, sizeof streamHeader_);
  std::memset(videoFormat_, 0, sizeof videoFormat_);
  std::memset(audioFormat_, 0, sizeof audioFormat_);

  std::lock_guard<CSync> hold(lock_);
  CloseLocked();
  if (!name) return 0;
  file_ = std::fopen(name, "rb");
  if (!file_) return 0;

  auto fail = [this]() -> std::uint32_t {
    CloseLocked();
    return 0;
  };
  if (fseeko(file_, 0, SEEK_END) != 0) return fail();
  off_t end = ftello(file_);
  if (end < 0 || fseeko(file_, 0, SEEK_SET) != 0) return fail();
  fileSize_ = std::int64_t(end);

  char id[4];
  std::uint32_t riffSize = 0;
  if (!ReadBytes(id, 4) || !SameId(id, "RIFF")) return fail();
  if (!ReadU32(&riffSize)) return fail();
  if (!ReadBytes(id, 4) || !SameId(id, "AVI ")) return fail();

  // The header list: its id is taken as it comes, its size bounds the walk.
  std::uint32_t headerSize = 0;
  if (!ReadBytes(id, 4) || !ReadU32(&headerSize)) return fail();
  std::int64_t budget = headerSize;
  // Every item takes at least four bytes from the budget and from the file, so this ends.
  while (budget > 0) {
    if (!ParseHeaderItem(budget, 0)) return fail();
  }

  // The movie list follows at once; its id and type are taken as they come.
  std::uint32_t movieSize = 0;
  if (!ReadBytes(id, 4) || !ReadU32(&movieSize) || !ReadBytes(id, 4)) return fail();
  // The list holds at least its type, and its size is the open's (positive int) result.
  if (movieSize < 4 || movieSize > std::uint32_t(INT_MAX)) return fail();

  running_ = true;
  return movieSize;
}

int CAVIExtractor::Open(const char* name, RecordingInfo* info) {
  if (info) {
    OpenIndexed(name, info);
  } else {
    // A table left from another recording would send seeks into the wrong file.
    frontFrames_.Release();
  }
  return int(OpenStream(name));
}

void CAVIExtractor::Close() {
  std::lock_guard<CSync> hold(lock_);
  CloseLocked();
}

int CAVIExtractor::ReadPacket(char tag[8], void* buffer, int* size) {
  if (!file_ || !tag || !size) return -1;
  off_t at = ftello(file_);
  // The offset is the result, which must be a positive int.
  if (at < 0 || at > off_t(INT_MAX)) return -1;

  char id[4];
  std::uint32_t length = 0;
  if (!ReadBytes(id, 4) || !ReadU32(&length)) {
    DiagPrintf("Read Header Failed\n");
    return -1;
  }
  std::memcpy(tag, id, 4);

  const std::int64_t rounded = std::int64_t(length) + (length & 1u);
  const int capacity = *size;
  if (std::int64_t(capacity) < rounded) {
    DiagPrintf("Wrong Size %d < %d\n", capacity, int(std::min<std::uint32_t>(length, INT_MAX)));
    return -1;
  }
  if (rounded > 0 && !buffer) return -1;
  // A chunk that runs past the end of the file is a failed read, never a short packet.
  if (rounded > fileSize_ - std::int64_t(at) - 8) return -1;
  if (rounded > 0 && !ReadBytes(buffer, std::size_t(rounded))) return -1;
  *size = int(length);
  return int(at);
}

MediaPacketType CAVIExtractor::ReadPacketDirect(void* buffer, int* size) {
  char tag[8] = {};
  int result = ReadPacket(tag, buffer, size);
  if (result <= 0) {
    DiagPrintf("m_aviExtractor.ParseMedia failed\n");
    if (size) *size = 0;
    return kPacketEnd;
  }
  if (IsPictureTag(tag)) return StreamNumber(tag) == 0 ? kPacketFront : kPacketRear;
  if (tag[2] == 'w' && tag[3] == 'b') return kPacketAudio;
  if (tag[2] == 't' && tag[3] == 'x') return kPacketText;
  return kPacketEnd;
}

bool CAVIExtractor::OpenIndexed(const char* name, RecordingInfo* info) {
  frontFrames_.Release();
  const std::uint32_t movieSize = OpenStream(name);
  if (movieSize == 0) return false;

  RecordingInfo local;
  RecordingInfo& out = info ? *info : local;
  out.frontFrameRate = GetFrameRate(0);
  out.rearFrameRate = GetFrameRate(1);
  out.frontFrameCount = 0;
  out.rearFrameCount = 0;
  out.frontFrames.Release();

  std::unique_lock<CSync> hold(lock_);
  auto fail = [this, &hold]() {
    CloseLocked();
    hold.unlock();
    return false;
  };
  if (!file_) return fail();

  // Offsets in the index count from the movie list's type, 4 bytes before this point.
  const off_t movieData = ftello(file_);
  if (movieData < 4) return fail();
  const std::int64_t movieStart = std::int64_t(movieData) - 4;
  const std::int64_t movieEnd = movieStart + std::int64_t(movieSize);
  if (!Skip(std::int64_t(movieSize) - 4)) return fail();

  char id[4];
  std::uint32_t indexSize = 0;
  if (!ReadBytes(id, 4) || !ReadU32(&indexSize)) {
    DiagPrintf("Read Header Failed\n");
    return fail();
  }
  // Whole entries only, all of them inside the file.
  if (indexSize % kIndexEntryBytes != 0 || std::int64_t(indexSize) > fileSize_ - (movieEnd + 8))
    return fail();

  // The index is read in pieces straight from the file, so a long recording's index needs no
  // more memory than one piece.
  unsigned char piece[kIndexEntriesPerPiece * kIndexEntryBytes];
  std::uint32_t left = indexSize / kIndexEntryBytes;
  while (left > 0) {
    const std::uint32_t n = std::min<std::uint32_t>(left, kIndexEntriesPerPiece);
    if (!ReadBytes(piece, std::size_t(n) * kIndexEntryBytes)) return fail();
    left -= n;
    for (std::uint32_t i = 0; i < n; ++i) {
      const unsigned char* entry = piece + std::size_t(i) * kIndexEntryBytes;
      const char* tag = reinterpret_cast<const char*>(entry);
      if (!IsPictureTag(tag)) continue;
      // The chunk header the entry names must lie inside the movie list, after its type, and
      // its offset must leave the top bit free.
      const std::int64_t at = movieStart + std::int64_t(Load32(entry + 8));
      if (at < movieStart + 4 || at + 8 > movieEnd || at >= std::int64_t(kFrameFlag)) continue;
      if (StreamNumber(tag) != 0) {
        ++out.rearFrameCount;
        continue;
      }
      ++out.frontFrameCount;
      if (!out.frontFrames.Add(std::uint32_t(at) | kFrameFlag)) return fail();
    }
  }
  CloseLocked();
  hold.unlock();

  frontFrames_.Assign(out.frontFrames);
  return true;
}

int* CAVIExtractor::GetVideoSize(int out[2], int stream) {
  if (!out) return out;
  const bool known = stream == 0 || stream == 1;
  out[0] = known ? video_[stream].width : 0;
  out[1] = known ? video_[stream].height : 0;
  return out;
}

int CAVIExtractor::GetFrameRate(int stream) {
  if (stream != 0 && stream != 1) return 0;
  return std::min(video_[stream].rate, kMaxReportedFrameRate);
}

void CAVIExtractor::GetAudioFormat(int* bitsPerSample, int* samplesPerSecond) {
  if (bitsPerSample) *bitsPerSample = Load16(audioFormat_ + 14);
  if (samplesPerSecond) *samplesPerSecond = std::int32_t(Load32(audioFormat_ + 4));
}

int CAVIExtractor::ReadRaw(void* buffer, int count) {
  std::lock_guard<CSync> hold(lock_);
  if (!file_ || !buffer || count <= 0) return 0;
  return int(std::fread(buffer, 1, std::size_t(count), file_));
}

int CAVIExtractor::SeekRaw(int offset, int origin) {
  std::lock_guard<CSync> hold(lock_);
  if (!file_) return 0;
  return std::fseek(file_, offset, origin);
}

int CAVIExtractor::TellRaw() {
  std::lock_guard<CSync> hold(lock_);
  if (!file_) return 0;
  off_t at = ftello(file_);
  return at >= 0 && at <= off_t(INT_MAX) ? int(at) : -1;
}

int CAVIExtractor::SeekTime(float seconds) {
  std::lock_guard<CSync> hold(lock_);
  const CLumArrBase<std::uint32_t>& table = frontFrames_;
  if (!file_ || table.GetCount() == 0) return -1;
  // The header's rate, not the limited one the player is told: the table holds every picture.
  const double target = double(video_[0].rate) * double(seconds);
  // Not a number, before the start or beyond the last picture: nothing moves.
  if (!(seconds >= 0.0f) || !(target < double(table.GetCount()))) return -1;
  const int index = int(target);
  const std::uint32_t at = table[index] & ~kFrameFlag;
  return fseeko(file_, off_t(at), SEEK_SET) == 0 ? 0 : -1;
}
