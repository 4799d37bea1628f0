// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/CNOVMediaPlayer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "media/CContainerParser.h"
#include "media/CTripParser.h"
#include "media/MediaTypes.h"

namespace {

// Longest name kept; card names are at most 39 characters.
constexpr std::size_t kMaxName = 127;

// Whether the reader says which cameras a recording has, and its sound's format, only once it has
// opened it: another camera's recording, or a trip.
bool ReaderTellsCameras(const char* name) {
  return IsContainerRecordingName(name) || IsTripRecordingName(name);
}

// The cameras a name tells of before the recording is opened: another camera's files, a trip's
// most (a VEX recording's rear mark counting two), 0 for a VEX recording's name.
int NameCameras(const std::string& name) {
  if (!IsTripRecordingName(name.c_str())) return int(ContainerRecordingFiles(name.c_str()).size());
  int most = 1;
  for (const std::string& r : TripRecordings(name.c_str())) {
    const int files = int(ContainerRecordingFiles(r.c_str()).size());
    most = std::max(most, files > 0 ? files : HasRearCameraMark(r) ? 2 : 1);
  }
  return most;
}

enum QueueValue : int { kQueuedFront = 0, kQueuedRear = 1, kQueuedText = 2 };

// A decode queue entry's value: its kind in the low two bits, a mark for a front picture that is
// passed over unseen (only counted; key pictures only) in bit 2, a mark for a key picture in bit
// 3, and the packet's recording time + 1 above (0: unknown).
constexpr int kQueuedSkip = 4;
constexpr int kQueuedKey = 8;
constexpr int kQueuedTimeShift = 4;
constexpr int kMaxQueuedTimeMs = (1 << (31 - kQueuedTimeShift)) - 2;

int QueuedValue(int kind, int timeMs, bool skip = false, bool key = false) {
  const int time = timeMs < 0 ? 0 : std::min(timeMs, kMaxQueuedTimeMs) + 1;
  return kind | (skip ? kQueuedSkip : 0) | (key ? kQueuedKey : 0) | (time << kQueuedTimeShift);
}
int QueuedKind(int value) { return value & 3; }
bool QueuedSkip(int value) { return (value & kQueuedSkip) != 0; }
bool QueuedKey(int value) { return (value & kQueuedKey) != 0; }
int QueuedTimeMs(int value) { return (value >> kQueuedTimeShift) - 1; }

std::int64_t SteadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A picture due this long ago, or further ahead than this, restarts PaceAtSpeed's schedule.
constexpr std::int64_t kBehindMicros = 200000;
constexpr std::int64_t kAheadMicros = 5000000;
// Stretched sound goes to the feeder in blocks of at most this many 16-bit frames.
constexpr int kStretchedFrames = CMediaSync::kBlockBytes / 2;
// The longest lead a picture is released with ahead of its sound, in ms.
constexpr int kMaxPresentLeadMs = 10;

bool HasSize(const VideoSurface* surface) {
  int width = 0, height = 0;
  if (surface != nullptr) surface->GetSize(&width, &height);
  return width > 0 && height > 0;
}

}  // namespace

bool HasRearCameraMark(const std::string& name) {
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] == '_' && (name[i + 1] == 'D' || name[i + 1] == 'd')) return true;
  }
  return false;
}

CNOVMediaPlayer::CNOVMediaPlayer()
    : stretched_(new std::int16_t[kStretchedFrames]),
      read_(new char[kPacketBufferSize + 1]),
      present_(new char[kPacketBufferSize + 1]) {}

CNOVMediaPlayer::~CNOVMediaPlayer() { Shutdown(); }

void CNOVMediaPlayer::SetTextCallback(TextCallback callback, void* user) {
  textCallback_ = callback;
  textUser_ = user;
}

void CNOVMediaPlayer::SetEventCallback(EventCallback callback, void* user) {
  eventCallback_ = callback;
  eventUser_ = user;
}

bool CNOVMediaPlayer::Run(VideoSurface* front, VideoSurface* rear) {
  if (running_ || !parser_ || !decoder_) return false;
  front_ = front;
  rear_ = rear;
  parser_->Start();
  decoder_->Init();
  sync_.SetAudio(audio_);
  // The sound device is opened by the feeder, on its own thread, when a recording is opened: a
  // slow sound server holds nobody, and an idle viewer runs no sound device.
  sync_.SetFormat(audioBits_, audioRate_);
  sync_.StartFeeder();
  {
    std::lock_guard<std::mutex> hold(control_);
    stopping_ = false;
  }
  running_ = true;
  worker_.BeginThread(&CNOVMediaPlayer::WorkerRoutine, this, 0, 0);
  return true;
}

void CNOVMediaPlayer::Shutdown() {
  if (!running_) return;
  running_ = false;
  {
    std::lock_guard<std::mutex> hold(control_);
    stopping_ = true;
    runState_ = kIdle;
    sync_.CancelWaits();
  }
  wake_.notify_all();
  // Producer first, then the consumers of what it produced: the worker feeds the feeder and
  // reads the parser.
  worker_.StopThread();
  sync_.StopFeeder();
  parser_->Stop();
  if (audio_) audio_->Close();
  decoder_->Release();
}

void CNOVMediaPlayer::Wake() { wake_.notify_all(); }

void CNOVMediaPlayer::WaitForPresent() { std::lock_guard<std::mutex> hold(presentLock_); }

bool CNOVMediaPlayer::OpenMedia(const char* name) {
  if (!running_) return true;
  std::string text = name ? name : "";
  {
    std::lock_guard<std::mutex> hold(control_);
    name_.assign(text, 0, kMaxName);
    nameCameras_ = NameCameras(text);
    openedCameras_ = 0;
    opened_ = true;
    const int serial = openSerial_.fetch_add(1) + 1;
    commands_.push_back(Command{Command::kOpen, text, serial});
    commandsPending_ = true;
    pendingSeek_ = -1;
    pendingExact_ = false;
    resumeFromShown_ = false;
    durationMs_ = 0;
    currentPicture_ = 0;
    shownPicture_ = -1;
    droppedFront_ = 0;
    droppedRear_ = 0;
    totalPictures_ = 0;
    runState_ = kPlaying;
    // Open and playing from here on, for the owner's commands (a recording that cannot be read
    // ends at once and says so).
    showStatus_ = kShowPlaying;
    sync_.CancelWaits();  // a picture waiting for its time is let go
  }
  sync_.PauseSound(false);
  // The device opens for the first recording; one given up earlier gets another chance. Another
  // camera's recording tells its sound's format only when the worker opens it: the device is
  // opened then, once, in that format.
  if (audio_ && !ReaderTellsCameras(text.c_str())) sync_.UseDevice(true);
  Wake();
  return true;
}

void CNOVMediaPlayer::StopMedia() {
  if (!running_) return;
  {
    std::lock_guard<std::mutex> hold(control_);
    runState_ = kIdle;
    showStatus_ = kShowStopped;
    pendingSeek_ = -1;
    pendingExact_ = false;
    resumeFromShown_ = false;
    shownPicture_ = -1;
    opened_ = false;
    commands_.push_back(Command{Command::kStop, std::string(), 0});
    commandsPending_ = true;
    sync_.CancelWaits();
  }
  if (audio_) sync_.UseDevice(false);
  Wake();
  WaitForPresent();
}

void CNOVMediaPlayer::Pause() {
  {
    std::lock_guard<std::mutex> hold(control_);
    runState_ = kIdle;
    sync_.CancelWaits();
  }
  // A picture held back by PaceAtSpeed waits on wake_.
  Wake();
  // The sound stops with the pictures and goes on with them.
  sync_.PauseSound(true);
  WaitForPresent();
}

void CNOVMediaPlayer::Resume() {
  {
    std::lock_guard<std::mutex> hold(control_);
    runState_ = kPlaying;
    // After a picture step the decoder stands at the picture on screen: play on from the next.
    if (resumeFromShown_.exchange(false) && opened_ && pendingSeek_ < 0) {
      const int total = totalPictures_;
      const int next = shownPicture_ + 1;
      if (total > 0 && next < total) {
        pendingSeek_ = next;
        pendingExact_ = true;
      }
    }
  }
  sync_.PauseSound(false);
  if (audio_ && opened_) sync_.UseDevice(true);
  Wake();
}

bool CNOVMediaPlayer::SeekToMs(int ms) {
  if (!running_ || !opened_) return true;
  const int target =
      int(std::clamp<long long>(static_cast<long long>(ms) * FrontRate() / 1000, 0, 0x7FFFFFFF));
  {
    std::lock_guard<std::mutex> hold(control_);
    pendingSeek_ = target;
    pendingExact_ = false;
    resumeFromShown_ = false;
    // Idle (or still showing the picture of an earlier seek): show the picture there.
    if (runState_ != kPlaying) runState_ = kShowOne;
    // The read-outs move at once; the worker sets the exact place it lands on.
    const int total = totalPictures_;
    if (total > 0) currentPicture_ = std::clamp(target, 0, total - 1);
  }
  if (audio_) sync_.UseDevice(true);
  Wake();
  return true;
}

bool CNOVMediaPlayer::SetSpeed(int quarters) {
  if (std::find(std::begin(kSpeeds), std::end(kSpeeds), quarters) == std::end(kSpeeds)) {
    return false;
  }
  if (speed_.exchange(quarters) == quarters) return true;
  if (!running_ || !opened_) return true;
  {
    std::lock_guard<std::mutex> hold(control_);
    // The sound already queued was made for the old pace: read again from the picture on screen.
    if (runState_ == kPlaying && pendingSeek_ < 0 && shownPicture_ >= 0) {
      pendingSeek_ = shownPicture_.load();
      pendingExact_ = true;
      sync_.CancelWaits();
    } else if (runState_ == kIdle && shownPicture_ >= 0) {
      // Paused: playing on starts from the next picture at the new pace.
      resumeFromShown_ = true;
    }
  }
  Wake();
  return true;
}

bool CNOVMediaPlayer::ShowPicture(int index) {
  if (!running_ || !opened_) return false;
  {
    std::lock_guard<std::mutex> hold(control_);
    const int total = totalPictures_;
    if (runState_ == kPlaying || total <= 0) return false;
    const int target = std::clamp(index, 0, total - 1);
    pendingSeek_ = target;
    pendingExact_ = true;
    resumeFromShown_ = false;
    runState_ = kShowOne;
    currentPicture_ = target;
    shownPicture_ = target;
  }
  if (audio_) sync_.UseDevice(true);
  Wake();
  return true;
}

bool CNOVMediaPlayer::StepPictures(int delta) {
  const int shown = shownPicture_;
  return ShowPicture((shown < 0 ? 0 : shown) + delta);
}

int CNOVMediaPlayer::GetShownPictureMs() const {
  const int shown = shownPicture_;
  return shown < 0 ? 0 : int(static_cast<long long>(shown) * 1000 / FrontRate());
}

void CNOVMediaPlayer::SeekLocked(int picture, bool exact) {
  const int total = totalPictures_;
  if (total <= 0) return;
  int n = std::clamp(picture, 0, total - 1);
  currentPicture_ = n;
  float t = float(n) / float(FrontRate());
  const int landedMs = parser_->SeekToKeyMs(int(static_cast<long long>(n) * 1000 / FrontRate()));
  bool landedBefore = false;
  if (landedMs >= 0) {
    // The key picture the reader landed on, by its time.
    const int landed = int((static_cast<long long>(landedMs) * FrontRate() + 500) / 1000);
    currentPicture_ = std::clamp(landed, 0, total - 1);
    landedBefore = currentPicture_ <= n;
  } else if (landedMs == -1) {
    // The reader could not seek: it reads on from where it was.
  } else if (parser_->SeeksToWholeSeconds()) {
    currentPicture_ = parser_->SeekTime(t) * FrontRate();
  } else {
    parser_->SeekTime(t);
  }
  ResetStreamPosition();
  playSpeed_ = speed_.load(std::memory_order_acquire);
  if (exact) {
    // A reader that lands past the picture (or cannot tell where it landed) shows what it has.
    if (landedBefore ||
        (landedMs == -2 && currentPicture_ <= n && parser_->SeeksToWholeSeconds())) {
      seekTarget_ = n;
      soundFromMs_ = int(static_cast<long long>(n) * 1000 / FrontRate());
    }
  }
}

void CNOVMediaPlayer::ResetStreamPosition() {
  waitFrontKey_ = true;
  waitRearKey_ = true;
  queue_.Clear();
  held_ = false;
  heldDecoded_ = false;
  prebuffered_ = 0;
  prebuffering_ = true;
  gatheredRear_ = 0;
  gatheredRearBytes_ = 0;
  showOneFrontDone_ = false;
  showOneFrontsSince_ = 0;
  showOneRearDone_ = false;
  showOneExact_ = false;
  seekTarget_ = -1;
  soundFromMs_ = -1;
  rearFromMs_ = -1;
  paceAnchored_ = false;
  stretch_.Clear();
  stretchInMs_ = -1;
  stretchInFrames_ = 0;
  // Sound read before this point belongs to pictures that will not be shown.
  sync_.FlushSound();
  // The sound read while the first pictures are gathered starts with the first of them.
  sync_.HoldFeeder(true);
  soundHeld_ = true;
}

void CNOVMediaPlayer::BoundGatheredRear() {
  const void* data = nullptr;
  int length = 0, value = 0;
  int firstRear = -1, newestKey = -1;
  for (int i = 0; queue_.Peek(i, &data, &length, &value); ++i) {
    if (QueuedKind(value) != kQueuedRear) continue;
    if (firstRear < 0) firstRear = i;
    if (QueuedKey(value)) newestKey = i;
  }
  const bool fromKey = newestKey > firstRear;
  queue_.Erase([&](int index, int v) {
    return QueuedKind(v) == kQueuedRear && (!fromKey || index < newestKey);
  });
  if (!fromKey) waitRearKey_ = true;
  gatheredRear_ = 0;
  gatheredRearBytes_ = 0;
  for (int i = 0; queue_.Peek(i, &data, &length, &value); ++i) {
    if (QueuedKind(value) != kQueuedRear) continue;
    ++gatheredRear_;
    gatheredRearBytes_ += length;
  }
}

void CNOVMediaPlayer::ReleaseSound() {
  if (!soundHeld_) return;
  sync_.HoldFeeder(false);
  soundHeld_ = false;
}

bool CNOVMediaPlayer::FrontPictureNext() {
  if (held_) return QueuedKind(heldValue_) == kQueuedFront;
  const void* data = nullptr;
  int length = 0, value = 0;
  return queue_.Peek(0, &data, &length, &value) && QueuedKind(value) == kQueuedFront;
}

int CNOVMediaPlayer::GetPositionMs() const {
  return int(static_cast<long long>(currentPicture_) * 1000 / FrontRate());
}

void CNOVMediaPlayer::RefreshPictures() {
  if (!running_ || runState_ != kIdle) return;
  // The decoder's own lock keeps this apart from the worker's drawing.
  decoder_->Redraw(0, front_);
  decoder_->Redraw(1, rear_);
}

bool CNOVMediaPlayer::SavePicture(int channel, const char* path, const SnapshotEvidence* evidence) {
  // Until the worker has carried out an open, the decoder may still hold the recording before's
  // pictures.
  if (!running_ || showStatus_ == kShowStopped || commandsPending_) {
    errno = ENODATA;
    return false;
  }
  return evidence != nullptr ? decoder_->SavePicture(channel, path, evidence)
                             : decoder_->SavePicture(channel, path);
}

bool CNOVMediaPlayer::GetPictureSize(int channel, int* width, int* height) {
  if (!running_ || commandsPending_) {
    *width = *height = 0;
    return false;
  }
  return decoder_->PictureSize(channel, width, height);
}

bool CNOVMediaPlayer::CopyPictureRegion(int channel, int x, int y, int w, int h, unsigned char* dst,
                                        int stride, int width, int height) {
  return running_ && !commandsPending_ &&
         decoder_->CopyRegion(channel, x, y, w, h, dst, stride, width, height);
}

int CNOVMediaPlayer::GetChannelCount() const {
  // name_ is the owner's, and so is this call.
  if (nameCameras_ > 0) {
    // Another camera's recording: the cameras whose files opened, once the worker has opened it.
    const int opened = openedCameras_.load(std::memory_order_acquire);
    if (opened > 0) return opened;
    return nameCameras_ > 1 ? 2 : 1;
  }
  if (!name_.empty()) {
    const char mark = name_.size() >= 5 ? name_[name_.size() - 5] : '\0';
    return mark == 'D' || mark == 'd' ? 2 : 1;
  }
  return rearRate_ != 0 ? 2 : 1;
}

void CNOVMediaPlayer::SetBrightness(int channel, int value) {
  if (decoder_) decoder_->SetBrightness(channel, value);
}

bool CNOVMediaPlayer::WorkerRoutine(void* self) {
  return static_cast<CNOVMediaPlayer*>(self)->WorkerStep();
}

bool CNOVMediaPlayer::WorkerStep() {
  std::deque<Command> todo;
  {
    std::unique_lock<std::mutex> hold(control_);
    // Nothing to play and nothing asked: the worker sleeps.
    wake_.wait(hold, [&] { return stopping_ || !commands_.empty() || runState_ != kIdle; });
    if (stopping_) return false;
    todo.swap(commands_);
    commandsPending_ = false;
    // Waits are allowed again from here; a Pause, Stop or Open after this cancels them.
    sync_.AllowWaits();
  }
  for (std::size_t i = 0; i < todo.size(); ++i) {
    const Command& c = todo[i];
    // An open followed by another open (or a stop) in the same batch is never seen: skip it.
    if (c.kind == Command::kOpen && i + 1 < todo.size()) continue;
    Execute(c);
  }
  const int state = runState_;
  if (state != kPlaying && state != kShowOne) return true;

  bool more;
  {
    std::lock_guard<CSync> hold(lock_);
    more = Loop();
  }
  if (more) {
    std::lock_guard<std::mutex> hold(control_);
    // A stop or pause that came during this run has the last word.
    if (state == kPlaying && runState_ == kPlaying && commands_.empty()) {
      showStatus_ = kShowPlaying;
    }
    return true;
  }
  bool ended = false;
  {
    std::lock_guard<std::mutex> hold(control_);
    // An open or stop asked for meanwhile makes this end old news.
    if (commands_.empty()) {
      showStatus_ = kShowStopped;
      runState_ = kIdle;
      ended = true;
    }
  }
  if (ended && eventCallback_) eventCallback_(eventUser_, kEventEnded, 0, 0);
  return true;
}

void CNOVMediaPlayer::Execute(const Command& command) {
  bool opened = false;
  int duration = 0;
  {
    std::lock_guard<CSync> hold(lock_);
    // Nothing of the recording before is shown, saved or copied from here on.
    decoder_->ResetPictures();
    if (command.kind == Command::kStop) {
      parser_->Close();
      ResetStreamPosition();
      return;
    }
    twoCameraName_ = HasRearCameraMark(command.name);
    // Whatever the previous recording left queued is never shown for this one.
    ResetStreamPosition();
    totalPictures_ = 0;
    rearCount_ = 0;
    RecordingInfo info;
    if (parser_->Open(command.name.c_str(), &info)) {
      opened = true;
      int bits = 0, rate = 0;
      parser_->GetAudioFormat(&bits, &rate);
      hasSound_ = parser_->HasSound() && rate > 0 && bits > 0;
      timesPictures_ = parser_->TimesPictures();
      frontCodec_ = parser_->GetVideoCodec(0);
      rearCodec_ = parser_->GetVideoCodec(1);
      decoder_->SetCodec(0, frontCodec_);
      decoder_->SetCodec(1, rearCodec_);
      if (ReaderTellsCameras(command.name.c_str())) {
        twoCameraName_ = info.rearFrameRate > 0;
        openedCameras_ = twoCameraName_ ? 2 : 1;
      }
      // A recording without sound keeps the device's format.
      if (!hasSound_) {
        bits = audioBits_;
        rate = audioRate_;
      }
      sync_.SetFormat(bits, rate);
      if (bits != audioBits_ || rate != audioRate_) {
        audioBits_ = bits;
        audioRate_ = rate;
        if (audio_) sync_.RequestDevice(bits, rate);
      } else if (audio_ && ReaderTellsCameras(command.name.c_str())) {
        sync_.UseDevice(true);
      }
      // Stretched sound needs 16-bit samples; other formats play at the normal speed only.
      if (bits != 16 || !stretch_.Configure(rate, 1)) stretch_.Configure(0, 0);
      frontRate_ = parser_->GetFrameRate(0);
      rearRate_ = parser_->GetFrameRate(1);
      rearCount_ = info.rearFrameCount;
      if (info.frontFrameRate != 0) {
        duration = int(double(info.frontFrameCount) / info.frontFrameRate * 1000.0);
        totalPictures_ = info.frontFrameCount;
      }
      durationMs_ = duration;
      currentPicture_ = 0;
      ResetStreamPosition();
      playSpeed_ = speed_.load(std::memory_order_acquire);
    }
  }
  // A recording that could not be opened plays an empty stream: its end follows at once.
  if (opened && eventCallback_) eventCallback_(eventUser_, kEventOpened, command.serial, duration);
}

bool CNOVMediaPlayer::Loop() {
  while (runState_ != kIdle && !commandsPending_) {
    int seek = pendingSeek_.exchange(-1);
    if (seek >= 0) SeekLocked(seek, pendingExact_.exchange(false));

    char tag[8] = {};
    int size = kPacketBufferSize;
    int r = parser_->ReadPacket(tag, read_.get(), &size);
    if (r < 0) {
      if (Drain()) continue;  // source exhausted: present what is queued, then end
      // A single-picture show whose front picture is out ends here: no rear picture will come.
      if (runState_ == kShowOne && showOneFrontDone_) {
        FinishShowOne(kShowTwoShown, false);
        return true;
      }
      return false;
    }
    if (r == 0) continue;
    // A reader reporting more than the buffer holds is not believed: the packet is dropped.
    if (size < 0 || size > kPacketBufferSize) return true;

    ChunkKind kind = ClassifyChunkTag(tag);
    if (kind == ChunkKind::kFrontVideo || kind == ChunkKind::kRearVideo) {
      bool front = kind == ChunkKind::kFrontVideo;
      const int marked = parser_->LastPacketKey();
      const bool key = marked >= 0
                           ? marked == 1
                           : IsKeyPicture(read_.get(), size, front ? frontCodec_ : rearCodec_);
      const int timeMs = parser_->LastPacketTimeMs();
      if (waitFrontKey_ && !front && timesPictures_) {
        // Another camera's file may reach its key picture before the front camera's: its pictures
        // from there on are kept, those before the front key picture's time decoded unseen.
        if (waitRearKey_ && !key) return true;
        waitRearKey_ = false;
        queue_.Push(QueuedValue(kQueuedRear, timeMs, false, key), read_.get(), size);
        // Bounded as while gathering: a front camera without key pictures holds nothing up.
        ++gatheredRear_;
        gatheredRearBytes_ += size;
        if (gatheredRear_ > kMaxGatheredRearPictures ||
            gatheredRearBytes_ > kMaxGatheredRearBytes) {
          BoundGatheredRear();
        }
        return true;
      }
      if (waitFrontKey_) {
        if (!front || !key) return true;
        if (timesPictures_) {
          queue_.Erase([](int, int v) { return QueuedKind(v) != kQueuedRear; });
          if (seekTarget_ < 0) rearFromMs_ = timeMs;
        } else {
          queue_.Clear();
        }
        held_ = false;
        heldDecoded_ = false;
        prebuffered_ = 0;
        prebuffering_ = true;
        gatheredRear_ = 0;
        gatheredRearBytes_ = 0;
        waitFrontKey_ = false;
      }
      // At the fastest speeds the pictures between key pictures are passed over unread (a front
      // one is still counted, for the position); never while showing one picture.
      const bool skip = !key && runState_ == kPlaying && KeyPicturesOnly(playSpeed_);
      if (front) {
        if (skip) {
          queue_.Push(QueuedValue(kQueuedFront, timeMs, true), nullptr, 0);
        } else {
          queue_.Push(QueuedValue(kQueuedFront, timeMs, false, key), read_.get(), size);
        }
        ++prebuffered_;
        if (prebuffering_) {
          // Faster sound needs as much of it queued ahead in time heard: twice the pictures at
          // twice the pace.
          const int pace = SoundAtSpeed(playSpeed_) ? std::max(playSpeed_, kNormalSpeed) : 4;
          if (prebuffered_ < kPrebufferMs * FrontRate() / 1000 * pace / kNormalSpeed) return true;
          prebuffering_ = false;
        }
      } else {
        if (waitRearKey_) {
          if (!key) return true;
          waitRearKey_ = false;
        }
        if (skip) return true;
        queue_.Push(QueuedValue(kQueuedRear, timeMs, false, key), read_.get(), size);
        if (prebuffering_) {
          ++gatheredRear_;
          gatheredRearBytes_ += size;
          if (gatheredRear_ > kMaxGatheredRearPictures ||
              gatheredRearBytes_ > kMaxGatheredRearBytes) {
            BoundGatheredRear();
          }
          return true;
        }
      }
      if (!Drain()) return false;
    } else if (kind == ChunkKind::kAudio) {
      if (waitFrontKey_) return true;
      if (runState_ != kShowOne) PushSound(read_.get(), size, parser_->LastPacketTimeMs());
      if (prebuffering_) return true;
    } else if (kind == ChunkKind::kText) {
      read_[size] = '\0';
      queue_.Push(QueuedValue(kQueuedText, -1), read_.get(), size + 1);
      return true;
    } else {
      return true;  // the index chunk of an AVI file, or nothing yet
    }
  }
  return true;
}

bool CNOVMediaPlayer::Drain() {
  // The sound waits for the first front picture to be decoded (below), so that a large picture
  // that takes long to decode is not late from the start.
  if (!FrontPictureNext()) ReleaseSound();
  for (;;) {
    if (!held_) {
      if (!queue_.Pop(present_.get(), &heldLength_, &heldValue_)) return false;
      held_ = true;
    }
    const bool draw = runState_ != kShowOne;
    const int kind = QueuedKind(heldValue_);
    if (kind == kQueuedFront) {
      // Each call takes one picture entry, so that the queue is never found empty on the way.
      if (QueuedSkip(heldValue_)) {
        ReleaseSound();
        held_ = false;
        ++currentPicture_;
        return true;
      }
      // An exact seek decodes the block's pictures before its own unseen and unpaced; so does a
      // single-picture show once its picture is decoded and it waits for the rear one.
      const bool before = seekTarget_ >= 0 && currentPicture_ < seekTarget_;
      if (!draw && !before && showOneFrontDone_ && showOneExact_) {
        // The picture is on its way to the screen: later ones are passed over (playing on seeks
        // again), counted only to give up on a rear picture that does not come.
        held_ = false;
        FrontShownInShowOne(true);
        return true;
      }
      // Named before the wait: a decoder working on pictures in parallel then has the whole wait
      // for the next picture as well as this one's.
      DecodeAheadOf(0);
      if (soundHeld_ && draw && !before && seekTarget_ < 0 && !heldDecoded_) {
        // The first picture since the pictures were gathered: decoded while the sound still
        // waits, shown when its time comes.
        decoder_->DecodeAndShow(0, front_, present_.get(), heldLength_, false);
        heldDecoded_ = true;
        // The decoder and the sound settle in the first second after a gather (a large picture's
        // decoder starts its threads): pictures late then are shown, not dropped.
        dropFromPicture_ = currentPicture_ + FrontRate();
      }
      ReleaseSound();
      int late = 0;
      if (draw && !before) {
        // A reader that knows each picture's time paces by it; the VEX card's pictures follow
        // their count.
        const int queuedMs = QueuedTimeMs(heldValue_);
        const int pictureMs = timesPictures_ && queuedMs >= 0 ? queuedMs : GetPositionMs();
        const int speed = playSpeed_;
        if (!hasSound_) {
          // Nothing to be heard: the pictures keep their own times on the steady clock.
          PaceAtSpeed(pictureMs);
        } else if (speed == kNormalSpeed) {
          // Released early by the time a picture takes to decode and reach its surface, so that
          // it is there when its sound is heard (a large H.265 picture takes several ms).
          const int leadMs = int(presentLeadUs_ / 1000);
          late = std::max(
              0, FramePacer(&sync_, FrontRate(), std::max(0, pictureMs - leadMs)) - leadMs);
        } else if (SoundAtSpeed(speed) && stretch_.Configured()) {
          // Paced by the stretched sound's clock; the frame period is the fallback's.
          FramePacer(&sync_, std::max(1, FrontRate() * speed / kNormalSpeed), pictureMs);
        } else {
          PaceAtSpeed(pictureMs);
        }
      }
      std::lock_guard<std::mutex> presenting(presentLock_);
      // A pause, stop, seek or open that came while the picture waited for its turn keeps it
      // for later (or for nothing).
      if (Interrupted(draw)) return true;
      held_ = false;
      const int index = currentPicture_;
      ++currentPicture_;
      frontLateMs_ = late;
      const bool dropped = dropLate_.load(std::memory_order_acquire) && !heldDecoded_ &&
                           index != seekTarget_ && index >= dropFromPicture_ &&
                           late > 1000 / FrontRate();
      if (before || dropped) {
        // Decoded all the same: the pictures after it may refer to it.
        decoder_->DecodeUnseen(0, front_, present_.get(), heldLength_);
        if (dropped) droppedFront_.fetch_add(1, std::memory_order_acq_rel);
        return true;
      }
      if (index == seekTarget_) {
        seekTarget_ = -1;
        showOneExact_ = !draw;
      }
      bool shown;
      if (heldDecoded_) {
        heldDecoded_ = false;
        shown = decoder_->Redraw(0, front_);
      } else {
        const std::int64_t started = SteadyMicros();
        shown = decoder_->DecodeAndShow(0, front_, present_.get(), heldLength_, draw);
        if (draw && shown) {
          // The lead follows the pictures' own cost, smoothed over about eight of them and held
          // within a third of a 30-picture period.
          const std::int64_t took = SteadyMicros() - started;
          presentLeadUs_ = std::clamp<std::int64_t>((presentLeadUs_ * 7 + took) / 8, 0,
                                                    kMaxPresentLeadMs * 1000);
        }
      }
      shownPicture_ = index;
      if (!draw) FrontShownInShowOne(shown || !HasSize(front_));
      return true;
    }
    if (kind == kQueuedRear) {
      std::lock_guard<std::mutex> presenting(presentLock_);
      if (Interrupted(draw)) return true;
      held_ = false;
      // A rear picture from before an exact seek's picture is decoded unseen, as the front ones.
      const int timeMs = QueuedTimeMs(heldValue_);
      const int targetMs = rearFromMs_ >= 0 ? rearFromMs_ : soundFromMs_;
      const int halfPeriod = rearRate_ > 0 ? 500 / rearRate_ : 0;
      const bool early = targetMs >= 0 && timeMs >= 0 && timeMs < targetMs - halfPeriod;
      if (!draw && showOneRearDone_) return true;  // its picture is decoded; later ones wait
      DecodeAheadOf(1);
      // Behind its sound, the rear camera gives way first.
      const bool givesWay = draw && dropLate_.load(std::memory_order_acquire) &&
                            currentPicture_ > dropFromPicture_ && frontLateMs_ > 1000 / FrontRate();
      if (early || givesWay) {
        decoder_->DecodeUnseen(1, rear_, present_.get(), heldLength_);
        if (givesWay && !early) droppedRear_.fetch_add(1, std::memory_order_acq_rel);
        return true;
      }
      bool shown = decoder_->DecodeAndShow(1, rear_, present_.get(), heldLength_, draw);
      if (shown && !draw) {
        if (seekTarget_ >= 0 && !showOneFrontDone_) {
          // The rear picture of the target's time came before the front one.
          showOneRearDone_ = true;
        } else {
          FinishShowOne(kShowTwoShown, true);
        }
      }
      return true;
    }
    held_ = false;
    if (kind == kQueuedText && textCallback_) {
      int ms = int(static_cast<long long>(currentPicture_) * 1000 / FrontRate());
      textCallback_(textUser_, present_.get(), heldLength_, ms);
    }
  }
}

void CNOVMediaPlayer::DecodeAheadOf(int channel) {
  const int kind = channel == 0 ? kQueuedFront : kQueuedRear;
  const void* data = nullptr;
  int length = 0, value = 0;
  for (int i = 0; queue_.Peek(i, &data, &length, &value); ++i) {
    if (QueuedKind(value) == kind && !QueuedSkip(value) && length > 0) {
      decoder_->DecodeAhead(channel, static_cast<const char*>(data), length);
      return;
    }
  }
  decoder_->DecodeAhead(channel, nullptr, 0);  // not read yet, or the recording's last
}

void CNOVMediaPlayer::PaceAtSpeed(int pictureMs) {
  const int speed = std::max(1, playSpeed_);
  const std::int64_t now = SteadyMicros();
  if (paceAnchored_) {
    const std::int64_t due = anchorMicros_ + static_cast<std::int64_t>(pictureMs - anchorMediaMs_) *
                                                 1000 * kNormalSpeed / speed;
    if (due >= now - kBehindMicros && due <= now + kAheadMicros) {
      std::unique_lock<std::mutex> hold(control_);
      wake_.wait_until(hold, std::chrono::steady_clock::time_point(std::chrono::microseconds(due)),
                       [this] {
                         return stopping_ || runState_ != kPlaying || pendingSeek_ >= 0 ||
                                !commands_.empty() || commandsPending_;
                       });
      return;
    }
  }
  // The first picture, or one after a pause or a fall behind: the schedule starts here.
  paceAnchored_ = true;
  anchorMediaMs_ = pictureMs;
  anchorMicros_ = now;
}

void CNOVMediaPlayer::PushSound(const char* data, int size, int timeMs) {
  const int speed = playSpeed_;
  if (!SoundAtSpeed(speed) || size <= 0) return;
  // An exact seek's sound starts with its picture.
  if (soundFromMs_ >= 0 && timeMs >= 0 && timeMs < soundFromMs_) {
    const long long bytesPerSecond =
        static_cast<long long>(std::max(1, audioBits_ / 8)) * std::max(1, audioRate_);
    const int frameBytes = std::max(1, audioBits_ / 8);
    long long skip = (soundFromMs_ - timeMs) * bytesPerSecond / 1000;
    skip -= skip % frameBytes;
    if (skip >= size) return;
    data += skip;
    size -= int(skip);
    timeMs = soundFromMs_;
  }
  if (speed == kNormalSpeed || !stretch_.Configured()) {
    if (speed == kNormalSpeed) sync_.PushPcm(data, size, timeMs);
    return;
  }
  stretch_.SetTempo(double(speed) / kNormalSpeed);
  if (stretchInMs_ < 0) {
    stretchInMs_ = timeMs >= 0 ? timeMs : 0;
    stretchInFrames_ = 0;
  }
  const int frames = size / 2;
  // The packet's bytes are not aligned for int16_t: copied through the block buffer.
  for (int done = 0; done < frames;) {
    const int n = std::min(frames - done, kStretchedFrames);
    std::memcpy(stretched_.get(), data + std::size_t(done) * 2, std::size_t(n) * 2);
    if (!stretch_.Put(stretched_.get(), n)) break;
    stretchInFrames_ += n;
    done += n;
    for (;;) {
      const std::int64_t buffered = stretch_.BufferedInputFrames();
      const int got = stretch_.Receive(stretched_.get(), kStretchedFrames);
      if (got <= 0) break;
      const int mediaMs =
          stretchInMs_ + int((stretchInFrames_ - buffered) * 1000 / std::max(1, audioRate_));
      sync_.PushPcm(reinterpret_cast<const char*>(stretched_.get()), got * 2, mediaMs, speed);
    }
  }
}

bool CNOVMediaPlayer::Interrupted(bool draw) const {
  const int state = runState_;
  return state == kIdle || (state == kShowOne) == draw || commandsPending_ || pendingSeek_ >= 0;
}

bool CNOVMediaPlayer::RearCanCome() const {
  return rearRate_ > 0 && rearCount_ > 0 && HasSize(rear_);
}

void CNOVMediaPlayer::FrontShownInShowOne(bool decoded) {
  if (!decoded) return;
  if (!twoCameraName_) {
    FinishShowOne(kShowStopped, false);
    return;
  }
  if (showOneFrontDone_) {
    // The rear picture should have followed its front one long ago: the rear camera's stream
    // has a gap here. The show ends with the front picture rather than playing on unseen.
    if (++showOneFrontsSince_ >= FrontRate()) FinishShowOne(kShowTwoShown, false);
    return;
  }
  showOneFrontDone_ = true;
  showOneFrontsSince_ = 0;
  if (showOneRearDone_) {
    FinishShowOne(kShowTwoShown, true);
  } else if (!RearCanCome()) {
    FinishShowOne(kShowTwoShown, false);
  }
}

void CNOVMediaPlayer::FinishShowOne(int status, bool rearShown) {
  decoder_->Redraw(0, front_);
  if (rearShown) decoder_->Redraw(1, rear_);
  const bool exact = showOneExact_;
  showOneFrontDone_ = false;
  showOneFrontsSince_ = 0;
  showOneRearDone_ = false;
  showOneExact_ = false;
  std::lock_guard<std::mutex> hold(control_);
  // Another seek asked for meanwhile is shown next; a pause or stop keeps its own state.
  if (runState_ == kShowOne && pendingSeek_ < 0) {
    runState_ = kIdle;
    showStatus_ = status;
    resumeFromShown_ = exact;
  }
}
