#include "playback/CNOVMediaPlayer.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "media/MediaTypes.h"
#include "platform/Clock.h"

namespace {

// The worker's pause after each loop run (the lock is free meanwhile), and while idle.
constexpr unsigned kAfterRunMs = 1;
constexpr unsigned kIdleMs = 10;
// Longest name kept; card names are at most 39 characters.
constexpr std::size_t kMaxName = 127;

enum QueueValue : int { kQueuedFront = 0, kQueuedRear = 1, kQueuedText = 2 };

}  // namespace

CNOVMediaPlayer::CNOVMediaPlayer()
    : read_(new char[kPacketBufferSize + 1]), present_(new char[kPacketBufferSize + 1]) {}

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
  if (audio_) audio_->Open(audioBits_, audioRate_);
  sync_.SetAudio(audio_);
  sync_.StartFeeder();
  running_ = true;
  worker_.BeginThread(&CNOVMediaPlayer::WorkerRoutine, this, 0, 0);
  return true;
}

void CNOVMediaPlayer::Shutdown() {
  if (!running_) return;
  running_ = false;
  runState_ = kIdle;
  sync_.CancelWaits();
  // Producer first, then the consumers of what it produced: the worker feeds the feeder and
  // reads the parser.
  worker_.StopThread();
  sync_.StopFeeder();
  parser_->Stop();
  if (audio_) audio_->Close();
  decoder_->Release();
}

void CNOVMediaPlayer::ResetStreamPosition() {
  waitFrontKey_ = true;
  waitRearKey_ = true;
  queue_.Clear();
  prebuffered_ = 0;
  prebuffering_ = true;
  // The sound read while the first pictures are gathered starts with the first of them.
  sync_.HoldFeeder(true);
}

bool CNOVMediaPlayer::OpenMedia(const char* name) {
  if (!running_) return true;
  twoCameraName_ = name && std::strstr(name, "_D") != nullptr;
  runState_ = kIdle;
  sync_.CancelWaits();
  {
    std::lock_guard<CSync> hold(lock_);  // waits for the worker's current run to end
    RecordingInfo info;
    // Whatever the previous recording left queued is never shown for this one.
    ResetStreamPosition();
    totalPictures_ = 0;
    if (parser_->Open(name, &info)) {
      name_.assign(name ? name : "", 0, kMaxName);
      int bits = 0, rate = 0;
      parser_->GetAudioFormat(&bits, &rate);
      sync_.SetFormat(bits, rate);
      if (bits != audioBits_ || rate != audioRate_) {
        audioBits_ = bits;
        audioRate_ = rate;
        if (audio_) {
          audio_->Close();
          audio_->Open(bits, rate);
        }
      }
      frontRate_ = parser_->GetFrameRate(0);
      rearRate_ = parser_->GetFrameRate(1);
      durationMs_ = 0;
      currentPicture_ = 0;
      if (info.frontFrameRate != 0) {
        durationMs_ = int(double(info.frontFrameCount) / info.frontFrameRate * 1000.0);
        totalPictures_ = info.frontFrameCount;
      }
      ResetStreamPosition();
      sync_.ClearPcm();
    }
  }
  runState_ = kPlaying;
  return true;
}

void CNOVMediaPlayer::StopMedia() {
  if (!running_) return;
  runState_ = kIdle;
  sync_.CancelWaits();
  std::lock_guard<CSync> hold(lock_);
  showStatus_ = kShowStopped;
  parser_->Close();
  ResetStreamPosition();
}

bool CNOVMediaPlayer::SeekToMs(int ms) {
  if (!running_) return true;
  int target =
      int(std::clamp<long long>(static_cast<long long>(ms) * FrontRate() / 1000, 0, 0x7FFFFFFF));
  if (runState_ == kPlaying) {
    pendingSeek_ = target;
    return true;
  }
  // Idle, or still showing the picture of an earlier seek: seek now. A seek left pending while a
  // single picture is shown would be dropped when the worker goes idle.
  sync_.CancelWaits();
  {
    std::lock_guard<CSync> hold(lock_);
    SeekLocked(target);
    runState_ = kShowOne;
  }
  return true;
}

void CNOVMediaPlayer::SeekLocked(int picture) {
  if (totalPictures_ <= 0) return;
  int n = std::clamp(picture, 0, totalPictures_ - 1);
  currentPicture_ = n;
  float t = float(n) / float(FrontRate());
  if (parser_->SeeksToWholeSeconds()) {
    currentPicture_ = parser_->SeekTime(t) * FrontRate();
  } else {
    parser_->SeekTime(t);
  }
  ResetStreamPosition();
}

int CNOVMediaPlayer::GetPositionMs() const {
  return int(static_cast<long long>(currentPicture_) * 1000 / FrontRate());
}

void CNOVMediaPlayer::RefreshPictures() {
  if (!running_ || runState_ != kIdle) return;
  std::lock_guard<CSync> hold(lock_);
  decoder_->Redraw(0, front_);
  decoder_->Redraw(1, rear_);
}

bool CNOVMediaPlayer::SavePicture(int channel, const char* path) {
  if (!running_ || showStatus_ == kShowStopped) return false;
  std::lock_guard<CSync> hold(lock_);
  return decoder_->SavePicture(channel, path);
}

int CNOVMediaPlayer::GetChannelCount() const {
  // name_ changes only under the lock on the owner's own thread, which is the caller here.
  if (!name_.empty()) {
    return name_.size() >= 5 && name_[name_.size() - 5] == 'D' ? 2 : 1;
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
  // Waits are allowed again from here; a Pause, Stop or Open after this line cancels them.
  sync_.AllowWaits();
  int state = runState_;
  if (state != kPlaying && state != kShowOne) {
    SleepMs(kIdleMs);
    pendingSeek_ = -1;
    return true;
  }
  bool more;
  {
    std::lock_guard<CSync> hold(lock_);
    more = Loop();
    // Set under the lock, so that a stop that took the lock after this run has the last word.
    if (more && state == kPlaying && runState_ == kPlaying) showStatus_ = kShowPlaying;
    // The end, also under the lock: an open that follows it sets its own state afterwards and
    // is not sent back to idle by this run.
    if (!more) {
      showStatus_ = kShowStopped;
      runState_ = kIdle;
    }
  }
  if (more) {
    SleepMs(kAfterRunMs);
    return true;
  }
  if (eventCallback_) eventCallback_(eventUser_, kEventEnded, 0, 0);
  SleepMs(kAfterRunMs);
  return true;
}

bool CNOVMediaPlayer::Loop() {
  while (runState_ != kIdle) {
    int seek = pendingSeek_.exchange(-1);
    if (seek >= 0) SeekLocked(seek);

    char tag[8] = {};
    int size = kPacketBufferSize;
    int r = parser_->ReadPacket(tag, read_.get(), &size);
    if (r < 0) {
      if (!Drain()) return false;  // source exhausted: present what is queued, then end
      continue;
    }
    if (r == 0) continue;
    // A reader reporting more than the buffer holds is not believed: the packet is dropped.
    if (size < 0 || size > kPacketBufferSize) return true;

    ChunkKind kind = ClassifyChunkTag(tag);
    if (kind == ChunkKind::kFrontVideo || kind == ChunkKind::kRearVideo) {
      bool front = kind == ChunkKind::kFrontVideo;
      bool key = IsKeyPicture(read_.get(), size);
      if (waitFrontKey_) {
        if (!front || !key) return true;
        queue_.Clear();
        prebuffered_ = 0;
        prebuffering_ = true;
        waitFrontKey_ = false;
      }
      if (front) {
        queue_.Push(kQueuedFront, read_.get(), size);
        ++prebuffered_;
        if (prebuffering_) {
          if (prebuffered_ < kPrebufferMs * FrontRate() / 1000) return true;
          prebuffering_ = false;
        }
      } else {
        if (waitRearKey_) {
          if (!key) return true;
          waitRearKey_ = false;
        }
        queue_.Push(kQueuedRear, read_.get(), size);
        if (prebuffering_) return true;
      }
      if (!Drain()) return false;
    } else if (kind == ChunkKind::kAudio) {
      if (waitFrontKey_) return true;
      if (runState_ != kShowOne) sync_.PushPcm(read_.get(), size, parser_->LastPacketTimeMs());
      if (prebuffering_) return true;
    } else if (kind == ChunkKind::kText) {
      read_[size] = '\0';
      queue_.Push(kQueuedText, read_.get(), size + 1);
      return true;
    } else {
      return true;  // the index chunk of an AVI file, or nothing yet
    }
  }
  return true;
}

bool CNOVMediaPlayer::Drain() {
  sync_.HoldFeeder(false);
  for (;;) {
    int length = 0, value = 0;
    if (!queue_.Pop(present_.get(), &length, &value)) return false;
    bool draw = runState_ != kShowOne;
    if (value == kQueuedFront) {
      FramePacer(&sync_, FrontRate(), GetPositionMs());
      ++currentPicture_;
      bool shown = decoder_->DecodeAndShow(0, front_, present_.get(), length, draw);
      if (shown && !twoCameraName_ && !draw) {
        showStatus_ = kShowStopped;
        decoder_->Redraw(0, front_);
        runState_ = kIdle;
      }
      return true;
    }
    if (value == kQueuedRear) {
      bool shown = decoder_->DecodeAndShow(1, rear_, present_.get(), length, draw);
      if (shown && !draw) {
        showStatus_ = kShowTwoShown;
        decoder_->Redraw(0, front_);
        decoder_->Redraw(1, rear_);
        runState_ = kIdle;
      }
      return true;
    }
    if (value == kQueuedText && textCallback_) {
      int ms = int(static_cast<long long>(currentPicture_) * 1000 / FrontRate());
      textCallback_(textUser_, present_.get(), length, ms);
    }
  }
}
