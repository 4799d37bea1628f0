// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/CVEXParser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Clock.h"
#include "support/Diag.h"
#include "vexlib/VexFormat.h"

namespace {

// Codes of the internal queue beyond the packet types: the reader stopped with the queue empty.
constexpr int kCodeStopped = 6;
// Delivery tries before telling the consumer to come back later, and the longest wait between
// them (cut short when the reader queues a packet).
constexpr int kDeliveryTries = 100;
constexpr unsigned kDeliveryPauseMs = 10;
// The reader's longest wait for room in a full queue. Room made by the consumer, a clear or a
// park ends the wait at once; the limit is only a guard.
constexpr unsigned kReaderRoomWaitMs = 1000;
// The reader's pause before it tries again to queue a packet the queue had no memory for.
constexpr unsigned kNoMemoryPauseMs = 20;
// The library's sought blocks hold this many front pictures.
constexpr int kPicturesPerBlock = 30;

// A queued packet's value carries its type (or kCodeStopped) in the low bits and its time in ms
// plus one above them (0: time unknown), so that the time travels with the packet.
constexpr int kCodeBits = 3;
constexpr int kCodeMask = (1 << kCodeBits) - 1;
constexpr int kMaxQueuedTimeMs = (0x7FFFFFFF >> kCodeBits) - 1;  // about 74 hours

int PackQueueValue(int code, int timeMs) {
  const int time = timeMs < 0 ? 0 : std::min(timeMs, kMaxQueuedTimeMs) + 1;
  return (time << kCodeBits) | (code & kCodeMask);
}

}  // namespace

CVEXParser::CVEXParser() = default;

CVEXParser::~CVEXParser() { Stop(); }

RecordingId CVEXParser::ParseRecordingId(const char* id, int previousKind) {
  RecordingId r;
  r.kind = previousKind;
  if (!id) return r;
  const char* p = id;
  if (*p == '/') ++p;
  // Cards list their recordings' names as the files are spelt, in either case.
  switch (std::toupper(static_cast<unsigned char>(*p))) {
    case 'E':
      r.kind = kEvent;
      break;
    case 'M':
      r.kind = kManual;
      break;
    case 'P':
      r.kind = kParking;
      break;
    case 'R':
      r.kind = kContinuous;
      break;
    default:
      break;
  }
  std::size_t cut = std::strcspn(p, ", ");
  r.name.assign(p, cut);
  if (p[cut] != '\0') {
    r.hasIndex = true;
    long v = std::strtol(p + cut + 1, nullptr, 10);
    r.index = int(std::clamp<long>(v, -1, 0x7FFFFFFF));
  }
  return r;
}

int CVEXParser::ToVexKind(int kind) {
  switch (kind) {
    case kEvent:
      return kVexEvent;
    case kManual:
      return kVexManual;
    case kParking:
      return kVexParking;
    default:
      return kVexContinuous;
  }
}

bool CVEXParser::Start() {
  // Not zeroed: pages a packet never reaches are never made resident.
  if (!work_) work_ = std::make_unique_for_overwrite<unsigned char[]>(kPacketBufferSize);
  if (!reader_.IsRunning()) {
    queue_.SetCapacity(kPacketBufferSize);
    {
      std::lock_guard<std::mutex> hold(runLock_);
      stopping_ = false;
      readerIdle_ = false;
    }
    if (threaded_) reader_.BeginThread(&CVEXParser::ReaderRoutine, this, 0, 0);
  }
  return true;
}

void CVEXParser::Stop() {
  {
    std::lock_guard<std::mutex> hold(runLock_);
    stopping_ = true;
    running_ = false;
  }
  stateChanged_.notify_all();
  queue_.WakeProducers();
  reader_.StopThread();
  // Freed only now that the reader has returned for good.
  work_.reset();
}

void CVEXParser::SetRunning(bool running) {
  {
    std::lock_guard<std::mutex> hold(runLock_);
    running_ = running;
  }
  if (running) stateChanged_.notify_all();
}

bool CVEXParser::ParkReader() {
  std::unique_lock<std::mutex> hold(runLock_);
  const bool was = running_.exchange(false);
  queue_.WakeProducers();  // a reader waiting for room lets its packet go
  // The reader finishes the packet in hand (a read and its push) and goes idle.
  if (reader_.IsRunning()) {
    stateChanged_.wait(hold, [&] { return readerIdle_ || stopping_; });
  }
  return was;
}

int CVEXParser::Open(const char* name, RecordingInfo* info) {
  ParkReader();
  RecordingId id = ParseRecordingId(name, kind_);
  kind_ = id.kind;
  std::fill(std::begin(header_), std::end(header_), 0);
  ended_ = false;
  readFailed_ = false;
  opened_ = false;
  queue_.Clear();
  const VexHandle library = Library();
  if (!library || id.name.empty()) return 0;

  std::uint8_t header[kVexHeaderBytes] = {};
  std::uint16_t frontCount = 0, rearCount = 0;
  char path[kVexPathBytes] = {};
  char text[kVexTextBytes] = {};
  char scratch[kVexScratchBytes] = {};
  if (id.hasIndex) {
    VexDescribeIndexed(library, id.name.c_str(), id.index, header, &frontCount, &rearCount, path,
                       text, scratch);
  } else {
    VexDescribe(library, id.name.c_str(), header, &frontCount, &rearCount, path, text, scratch);
  }
  text[kVexTextBytes - 1] = '\0';

  header_[1] = vex::Load16(header + 52);
  header_[2] = vex::Load16(header + 54);
  header_[3] = vex::Load16(header + 20);
  header_[4] = vex::Load16(header + 22);
  header_[5] = header[3];
  header_[6] = header[4];
  header_[7] = frontCount;
  header_[8] = rearCount;
  header_[12] = 16;
  header_[13] = 8000;
  // The text holds the full counts; the 16-bit outputs saturate on long recordings.
  std::sscanf(text, "cntVideo0=%d; cntVideo1=%d; cntAudio=%d; cntACC=%d; cntGPS=%d", &header_[7],
              &header_[8], &header_[9], &header_[11], &header_[10]);

  int vexKind = ToVexKind(kind_);
  int fileId = id.hasIndex ? VexSelectByIndex(library, vexKind, id.index)
                           : VexSelectByName(library, vexKind, id.name.c_str());
  int opened = VexOpenStream(library, vexKind, 0, fileId);

  if (info) {
    info->frontFrameRate = header_[5];
    info->rearFrameRate = header_[6];
    info->frontFrameCount = header_[7];
    info->rearFrameCount = header_[8];
  }
  // An empty description means the library cannot use the recording; report it rather than
  // streaming nothing under a claim of success.
  if (text[0] == '\0' || opened == 0) return 0;
  opened_ = true;
  SetRunning(true);
  return 1;
}

void CVEXParser::Close() {
  running_ = false;
  opened_ = false;
  queue_.WakeConsumers();
  queue_.WakeProducers();
}

MediaPacketType CVEXParser::ReadPacketDirect(void* buffer, int* size) {
  const VexHandle library = Library();
  if (ended_ || !library) {
    *size = 0;
    return kPacketEnd;
  }
  std::uint8_t channel = 0xFF, type = 0xFF, flags = 0xFF;
  std::int32_t scratch = 0;
  int before = *size;
  int status = VexReadPacket(library, &channel, &type, &flags, size, buffer, &scratch);
  readTimeMs_ = status == kVexReadOk ? int(scratch) : -1;
  switch (type) {
    case vex::kTypeKeyPicture:
    case vex::kTypePicture:
      return channel == 0 ? kPacketFront : kPacketRear;
    case vex::kTypeSound:
      return kPacketAudio;
    case vex::kTypeText:
      return kPacketText;
    default:
      break;
  }
  if (status == kVexReadNotYet) return kPacketNotYet;
  if (status == kVexReadEnd || status == kVexReadFailed || *size != before) {
    if (status == kVexReadFailed) readFailed_ = true;
    ended_ = true;
    *size = 1;
    return kPacketEnd;
  }
  return kPacketNotYet;
}

bool CVEXParser::ReaderRoutine(void* self) { return static_cast<CVEXParser*>(self)->ReaderStep(); }

bool CVEXParser::ReaderStep() {
  if (!running_) {
    std::unique_lock<std::mutex> hold(runLock_);
    readerIdle_ = true;
    stateChanged_.notify_all();
    // Nothing to read: sleep until a recording is opened, sought or the reader is stopped.
    stateChanged_.wait(hold, [&] { return running_.load() || stopping_; });
    if (stopping_) return false;
    readerIdle_ = false;
    return true;
  }
  int size = kPacketBufferSize;
  MediaPacketType result = ReadPacketDirect(work_.get(), &size);
  if (result == kPacketNotYet) return true;
  while (running_) {
    if (queue_.Push(work_.get(), size, PackQueueValue(result, readTimeMs_))) break;
    // Refused with room to spare: the queue could not grow for lack of memory, and waiting for
    // room would return at once. Memory is tried again a moment later.
    if (queue_.Count() == 0 || queue_.StoredBytes() + static_cast<long long>(size) <
                                   static_cast<long long>(kPacketBufferSize) / 2) {
      SleepMs(kNoMemoryPauseMs);
      continue;
    }
    queue_.WaitForRoom(size, kReaderRoomWaitMs);
  }
  if (result == kPacketEnd) {
    DiagPrintf("Media End Recv [%d]\n", int(kPacketEnd));
    running_ = false;
    queue_.WakeConsumers();
  }
  return true;
}

int CVEXParser::ReadPacket(char tag[8], void* buffer, int* size) {
  int length = 0, code = kPacketNotYet;
  bool got = false;
  for (int i = 0; i < kDeliveryTries && !got; ++i) {
    if (queue_.TryPop(buffer, &length, &code)) {
      got = true;
    } else if (!running_) {
      // The reader pushes everything before it clears the flag: one more look finds a packet
      // that arrived between the failed pop and the test.
      got = queue_.TryPop(buffer, &length, &code);
      if (!got) code = kCodeStopped;
      break;
    } else {
      queue_.WaitForData(kDeliveryPauseMs);
    }
  }
  if (!got && code != kCodeStopped) {
    *size = 0;
    return kPacketNotYet;  // still running but nothing came: try again
  }
  if (got) {
    lastTimeMs_ = (code >> kCodeBits) - 1;
    code &= kCodeMask;
  }
  static const char* const kTags[] = {kTagFront, kTagRear, kTagAudio2Cam, kTagText2Cam};
  switch (code) {
    case kPacketFront:
    case kPacketRear:
    case kPacketAudio:
    case kPacketText:
      std::memcpy(tag, kTags[code], 4);
      *size = length;
      return kPacketNotYet;
    case kPacketNotYet:
      *size = 0;
      return kPacketNotYet;
    default:
      *size = 0;
      return -1;
  }
}

bool CVEXParser::OpenIndexed(const char*, RecordingInfo*) { return false; }

int* CVEXParser::GetVideoSize(int out[2], int stream) {
  bool known = stream == 0 || stream == 1;
  out[0] = known ? header_[1 + stream] : 0;
  out[1] = known ? header_[3 + stream] : 0;
  return out;
}

int CVEXParser::GetFrameRate(int stream) {
  return (stream == 0 || stream == 1) ? header_[5 + stream] : 0;
}

void CVEXParser::GetAudioFormat(int* bitsPerSample, int* samplesPerSecond) {
  if (bitsPerSample) *bitsPerSample = 16;
  if (samplesPerSecond) *samplesPerSecond = 8000;
}

int CVEXParser::SeekTime(float seconds) {
  int rate = header_[5] > 0 ? header_[5] : kPicturesPerBlock;
  bool wasRunning = ParkReader();
  queue_.Clear();
  // A time that is not a number, negative or absurdly large lands on the first or last block.
  double t = std::isfinite(seconds) ? std::clamp<double>(seconds, 0.0, 1e7) : 0.0;
  int block = int(rate / double(kPicturesPerBlock) * t) + 1;
  if (header_[7] > 0)
    block = std::min(block, (header_[7] + kPicturesPerBlock - 1) / kPicturesPerBlock);
  block = std::max(block, 1);
  if (const VexHandle library = Library()) VexSeek(library, block, header_[7] / rate);
  // The reader runs ahead of playback and meets the end of the recording up to a queue's worth of
  // packets early; a seek in an open recording makes the sought part readable again, also after
  // that. Without an open recording the flag stays as it was.
  if (opened_) {
    ended_ = false;
    wasRunning = true;
  }
  SetRunning(wasRunning);
  // The whole second at which the block's first picture stands.
  return int(double(kPicturesPerBlock) * (block - 1) / rate);
}

bool CVEXParser::OpenTextScan(const char* name) {
  textScan_.reset();
  const VexHandle library = Library();
  if (!library || name == nullptr) return false;
  const RecordingId id = ParseRecordingId(name, kind_);
  if (id.name.empty()) return false;
  textScan_.reset(VexOpenTextScan(library, id.name.c_str(), id.hasIndex ? id.index : -1));
  return textScan_ != nullptr;
}

TextScanStatus CVEXParser::ReadTextRecord(void* buffer, int capacity, int* size, int* timeMs) {
  if (!textScan_ || size == nullptr) return TextScanStatus::kFailed;
  int length = capacity;
  std::int32_t time = 0;
  switch (VexReadText(textScan_.get(), &length, buffer, &time)) {
    case kVexReadOk:
      *size = length;
      if (timeMs) *timeMs = int(time);
      return TextScanStatus::kRecord;
    case kVexReadNotYet:
      return TextScanStatus::kNotYet;
    case kVexReadEnd:
      return TextScanStatus::kEnd;
    default:
      return TextScanStatus::kFailed;
  }
}
