// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/CTripParser.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kTripPrefix[] = "trip:";
constexpr char kSeparator = '\x1e';
// The most sound a join adds or leaves out: beyond it the recording's sound is not its pictures'
// length by a small error, and is played as it is.
constexpr long long kMaxSoundCorrectionMs = 1000;
// Silence is handed on in packets of at most this many bytes (the sound feeder's block).
constexpr long long kSilenceBytes = 3840;
// The most pictures held at a join: a rear camera two seconds late at 120 pictures a second, in
// pictures of a large camera's size. Past them, the camera's pictures are handed on as they come.
constexpr std::size_t kMaxHeldPackets = 256;
constexpr long long kMaxHeldBytes = 32LL << 20;

}  // namespace

std::string TripRecordingName(const std::vector<std::string>& names) {
  if (names.empty() || names.size() > std::size_t(kMaxTripRecordings)) return {};
  std::string out = kTripPrefix;
  for (const std::string& n : names) {
    if (n.empty() || n.find(kSeparator) != std::string::npos || n.find('\0') != std::string::npos)
      return {};
    out += kSeparator;
    out += n;
  }
  return out;
}

bool IsTripRecordingName(const char* name) {
  return name != nullptr && std::strncmp(name, kTripPrefix, sizeof kTripPrefix - 1) == 0;
}

std::vector<std::string> TripRecordings(const char* name) {
  std::vector<std::string> names;
  if (!IsTripRecordingName(name)) return names;
  const char* p = name + sizeof kTripPrefix - 1;
  while (*p == kSeparator && int(names.size()) < kMaxTripRecordings) {
    ++p;
    const char* end = std::strchr(p, kSeparator);
    const std::size_t n = end ? std::size_t(end - p) : std::strlen(p);
    if (n > 0) names.emplace_back(p, n);
    if (!end) break;
    p = end;
  }
  return names;
}

CTripParser::CTripParser(VMediaParser* first, VMediaParser* second) : readers_{first, second} {}

CTripParser::~CTripParser() { Stop(); }

std::vector<TripSegment> CTripParser::Segments() const {
  std::lock_guard<std::mutex> hold(segmentsLock_);
  return segments_;
}

bool CTripParser::Start() {
  {
    std::lock_guard<std::mutex> hold(openLock_);
    stopping_ = false;
  }
  const bool first = readers_[0]->Start();
  const bool second = readers_[1]->Start();
  return opener_.BeginThread(&CTripParser::OpenerStep, this) && first && second;
}

void CTripParser::Stop() {
  {
    std::lock_guard<std::mutex> hold(openLock_);
    stopping_ = true;
  }
  openChanged_.notify_all();
  opener_.StopThread();
  {
    // What was asked and not begun is never done: nothing waits for it.
    std::lock_guard<std::mutex> hold(openLock_);
    ask_ = -1;
    opening_ = -1;
    opened_ = -1;
  }
  readers_[0]->Stop();
  readers_[1]->Stop();
}

bool CTripParser::OpenerStep(void* self) {
  auto* t = static_cast<CTripParser*>(self);
  std::unique_lock<std::mutex> hold(t->openLock_);
  t->openChanged_.wait(hold, [t] { return t->stopping_ || t->ask_ >= 0; });
  if (t->stopping_) return false;
  const int index = t->ask_;
  t->ask_ = -1;
  t->opening_ = index;
  t->opened_ = -1;
  std::string name;
  {
    std::lock_guard<std::mutex> segments(t->segmentsLock_);
    if (index < int(t->segments_.size())) name = t->segments_[std::size_t(index)].name;
  }
  VMediaParser* idle = t->Idle();
  hold.unlock();
  RecordingInfo info;
  const bool ok = !name.empty() && idle->Open(name.c_str(), &info) != 0;
  hold.lock();
  t->opening_ = -1;
  t->opened_ = ok ? index : -1;
  t->openChanged_.notify_all();
  return true;
}

void CTripParser::OpenAhead(int index) {
  // Without the opener (stopped, or never started) each recording opens at its join instead.
  const bool opener = opener_.IsRunning();
  {
    std::lock_guard<std::mutex> hold(openLock_);
    ask_ = opener && !stopping_ && index < int(segments_.size()) ? index : -1;
    opened_ = -1;
  }
  openChanged_.notify_all();
}

bool CTripParser::WaitAhead(int index) {
  std::unique_lock<std::mutex> hold(openLock_);
  openChanged_.wait(hold, [this] { return stopping_ || (ask_ < 0 && opening_ < 0); });
  return opened_ == index;
}

bool CTripParser::Enter(int index) {
  if (index < 0 || index >= int(segments_.size())) return false;
  const bool ahead = WaitAhead(index);
  if (ahead) {
    Active()->Close();
    active_ = 1 - active_;
  } else {
    RecordingInfo info;
    Idle()->Close();
    if (Active()->Open(segments_[std::size_t(index)].name.c_str(), &info) == 0) return false;
  }
  current_ = index;
  soundFromMs_ = 0;
  soundBytes_ = 0;
  padBytes_ = 0;
  dropBytes_ = 0;
  OpenAhead(index + 1);
  return true;
}

long long CTripParser::SoundBytes(long long ms) const {
  const long long sampleBytes = std::max(1, soundBits_ / 8);
  return ms * soundRate_ / 1000 * sampleBytes;
}

int CTripParser::Open(const char* name, RecordingInfo* info) {
  // Whatever the second reader holds belongs to the trip before (only trips use it).
  WaitAhead(-1);
  readers_[1]->Close();
  active_ = 0;
  DropHeld();
  trip_ = IsTripRecordingName(name);
  {
    std::lock_guard<std::mutex> hold(segmentsLock_);
    segments_.clear();
  }
  if (!trip_) return readers_[0]->Open(name, info);
  // Every recording is opened once to learn its pictures; those that cannot be read are left out,
  // and the trip ends before one whose rates or coding differ from the first one's.
  std::vector<TripSegment> segments;
  RecordingInfo first;
  VideoCodec frontCodec = VideoCodec::kH264;
  bool timed = false;
  int pictures = 0, rearPictures = 0;
  for (const std::string& n : TripRecordings(name)) {
    RecordingInfo r;
    if (Active()->Open(n.c_str(), &r) == 0 || r.frontFrameRate <= 0 || r.frontFrameCount <= 0)
      continue;
    int bits = 0, rate = 0;
    Active()->GetAudioFormat(&bits, &rate);
    const bool sound = Active()->HasSound() && bits > 0 && rate > 0;
    if (segments.empty()) {
      first = r;
      frontCodec = Active()->GetVideoCodec(0);
      timed = Active()->TimesPictures();
      hasSound_ = sound;
      soundBits_ = bits;
      soundRate_ = rate;
    } else if (r.frontFrameRate != first.frontFrameRate ||
               Active()->GetVideoCodec(0) != frontCodec || Active()->TimesPictures() != timed ||
               sound != hasSound_ || (sound && (bits != soundBits_ || rate != soundRate_))) {
      break;
    }
    TripSegment s;
    s.name = n;
    s.firstPicture = pictures;
    s.pictures = r.frontFrameCount;
    s.startMs = int(static_cast<long long>(pictures) * 1000 / r.frontFrameRate);
    s.durationMs = int(static_cast<long long>(r.frontFrameCount) * 1000 / r.frontFrameRate);
    segments.push_back(s);
    if (pictures > INT32_MAX - r.frontFrameCount) break;
    pictures += r.frontFrameCount;
    rearPictures += std::max(0, r.rearFrameCount);
    rearRate_ = std::max(rearRate_, r.rearFrameRate);
  }
  Active()->Close();
  if (segments.empty()) {
    trip_ = false;
    return 0;
  }
  frontRate_ = first.frontFrameRate;
  rearRate_ = std::max(rearRate_, 0);
  {
    std::lock_guard<std::mutex> hold(segmentsLock_);
    segments_ = segments;
  }
  if (!Enter(0) && !(segments_.size() > 1 && Enter(1))) return 0;
  RecordingInfo out;
  out.frontFrameRate = frontRate_;
  out.rearFrameRate = rearRate_;
  out.frontFrameCount = pictures;
  out.rearFrameCount = rearPictures;
  if (info != nullptr) *info = std::move(out);
  return 1;
}

void CTripParser::Close() {
  WaitAhead(-1);
  DropHeld();
  readers_[0]->Close();
  readers_[1]->Close();
}

bool CTripParser::OpenIndexed(const char* name, RecordingInfo* info) {
  // Indexed opens are the download's, of one recording at a time.
  WaitAhead(-1);
  readers_[1]->Close();
  active_ = 0;
  trip_ = false;
  return readers_[0]->OpenIndexed(name, info);
}

int CTripParser::GetFrameRate(int stream) {
  if (!trip_) return Active()->GetFrameRate(stream);
  return stream == 0 ? frontRate_ : rearRate_;
}

void CTripParser::GetAudioFormat(int* bits, int* rate) {
  if (!trip_) return Active()->GetAudioFormat(bits, rate);
  *bits = soundBits_;
  *rate = soundRate_;
}

int CTripParser::LastPacketTimeMs() { return trip_ ? deliveredMs_ : Active()->LastPacketTimeMs(); }

int CTripParser::LastPacketKey() const { return trip_ ? deliveredKey_ : Active()->LastPacketKey(); }

void CTripParser::Hold(HeldPacket* to, const char tag[8], const void* data, int size) const {
  std::memcpy(to->tag, tag, sizeof to->tag);
  to->bytes.assign(static_cast<const char*>(data), static_cast<const char*>(data) + size);
  to->timeMs = deliveredMs_;
  to->key = deliveredKey_;
}

int CTripParser::Deliver(const HeldPacket& from, char tag[8], void* buffer, int* size) {
  std::memcpy(tag, from.tag, sizeof from.tag);
  std::memcpy(buffer, from.bytes.data(), from.bytes.size());
  *size = int(from.bytes.size());
  deliveredMs_ = from.timeMs;
  deliveredKey_ = from.key;
  return 1;
}

int CTripParser::DeliverHeld(char tag[8], void* buffer, int* size) {
  const HeldPacket first = std::move(held_.front());
  held_.erase(held_.begin());
  heldBytes_ -= static_cast<long long>(first.bytes.size());
  return Deliver(first, tag, buffer, size);
}

void CTripParser::DropHeld() {
  held_.clear();
  heldBytes_ = 0;
  hasWaiting_ = false;
}

bool CTripParser::RunsPastJoin(const char* tag) const {
  if (current_ + 1 >= int(segments_.size()) || !Active()->TimesPictures()) return false;
  if (ClassifyChunkTag(tag) != ChunkKind::kRearVideo) return false;
  const int t = Active()->LastPacketTimeMs();
  return t >= segments_[std::size_t(current_)].durationMs;
}

int CTripParser::ReadPacket(char tag[8], void* buffer, int* size) {
  if (!trip_) return Active()->ReadPacket(tag, buffer, size);
  if (hasWaiting_) {
    // The next recording's packet read while a held picture was due before it.
    if (!held_.empty() && held_.front().timeMs < waiting_.timeMs) {
      return DeliverHeld(tag, buffer, size);
    }
    hasWaiting_ = false;
    return Deliver(waiting_, tag, buffer, size);
  }
  const int capacity = *size;
  for (;;) {
    *size = capacity;
    const int r = ReadSegments(tag, buffer, size);
    if (r > 0 && RunsPastJoin(tag) && held_.size() < kMaxHeldPackets &&
        heldBytes_ + *size <= kMaxHeldBytes) {
      held_.emplace_back();
      Hold(&held_.back(), tag, buffer, *size);
      heldBytes_ += *size;
      continue;
    }
    if (held_.empty() || r == 0) return r;
    // The trip ends (or the next recording does not open) with pictures held: they go first.
    if (r < 0) return DeliverHeld(tag, buffer, size);
    // Silence and other packets without a time follow the sound before them; at the same time
    // the front camera's picture comes first, as within a recording.
    if (deliveredMs_ <= held_.front().timeMs) return r;
    Hold(&waiting_, tag, buffer, *size);
    hasWaiting_ = true;
    return DeliverHeld(tag, buffer, size);
  }
}

int CTripParser::ReadSegments(char tag[8], void* buffer, int* size) {
  const int capacity = *size;
  deliveredMs_ = -1;
  deliveredKey_ = -1;
  if (padBytes_ > 0) {
    // The silence that makes the last recording's sound as long as its pictures.
    const long long n = std::min({padBytes_, kSilenceBytes, (long long)capacity}) / 2 * 2;
    padBytes_ = n > 0 ? padBytes_ - n : 0;
    if (n > 0) {
      std::memset(buffer, soundBits_ == 8 ? 0x80 : 0, std::size_t(n));
      std::memcpy(tag, soundTag_, 4);
      *size = int(n);
      return 1;
    }
  }
  for (;;) {
    *size = capacity;
    int shiftMs = 0;  // of the sound's first ms left out
    const int r = Active()->ReadPacket(tag, buffer, size);
    if (r < 0) {
      const TripSegment& s = segments_[std::size_t(current_)];
      // The sound the ended recording should have held from where it was counted.
      const long long owed = hasSound_ ? SoundBytes(s.durationMs - soundFromMs_) - soundBytes_ : 0;
      if (current_ + 1 >= int(segments_.size()) || !Enter(current_ + 1)) return r;
      const long long limit = SoundBytes(kMaxSoundCorrectionMs);
      if (owed > 0 && owed <= limit) padBytes_ = owed;
      if (owed < 0 && -owed <= limit) dropBytes_ = -owed;
      if (padBytes_ > 0) {
        *size = capacity;
        return ReadSegments(tag, buffer, size);
      }
      continue;
    }
    if (r > 0 && ClassifyChunkTag(tag) == ChunkKind::kAudio && *size > 0) {
      std::memcpy(soundTag_, tag, 4);
      soundBytes_ += *size;
      if (dropBytes_ > 0) {
        // The recording before held more sound than pictures: this one's first sound is left out.
        const long long n = std::min<long long>(dropBytes_, *size);
        dropBytes_ -= n;
        if (n == *size) continue;
        std::memmove(buffer, static_cast<char*>(buffer) + n, std::size_t(*size - n));
        *size -= int(n);
        shiftMs = int(n * 1000 / std::max(1LL, SoundBytes(1000)));
      }
    }
    if (r > 0) {
      const int t = Active()->LastPacketTimeMs();
      deliveredMs_ = t < 0 ? -1 : t + segments_[std::size_t(current_)].startMs + shiftMs;
      deliveredKey_ = Active()->LastPacketKey();
    }
    return r;
  }
}

int CTripParser::SeekToKeyMs(int ms) {
  if (!trip_) return Active()->SeekToKeyMs(ms);
  int index = 0;
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    if (segments_[i].startMs <= ms) index = int(i);
  }
  DropHeld();
  if (index != current_ && !Enter(index)) return -1;
  const TripSegment& s = segments_[std::size_t(index)];
  const int local = std::clamp(ms - s.startMs, 0, std::max(0, s.durationMs - 1));
  int landed = Active()->SeekToKeyMs(local);
  if (landed == -2) {
    // A reader that seeks to whole seconds only.
    const int second = Active()->SeekTime(float(local) / 1000.0f);
    landed = Active()->SeeksToWholeSeconds() ? second * 1000 : (second == 0 ? local : -1);
  }
  if (landed < 0) return -1;
  soundFromMs_ = landed;
  soundBytes_ = 0;
  padBytes_ = 0;
  dropBytes_ = 0;
  return s.startMs + landed;
}

int CTripParser::SeekTime(float seconds) {
  if (!trip_) return Active()->SeekTime(seconds);
  return SeekToKeyMs(int(seconds * 1000)) >= 0 ? 0 : -1;
}
