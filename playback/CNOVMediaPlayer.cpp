#include "playback/CNOVMediaPlayer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "media/MediaTypes.h"

namespace {

// Longest name kept; card names are at most 39 characters.
constexpr std::size_t kMaxName = 127;

enum QueueValue : int { kQueuedFront = 0, kQueuedRear = 1, kQueuedText = 2 };

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
    opened_ = true;
    const int serial = openSerial_.fetch_add(1) + 1;
    commands_.push_back(Command{Command::kOpen, text, serial});
    commandsPending_ = true;
    pendingSeek_ = -1;
    durationMs_ = 0;
    currentPicture_ = 0;
    totalPictures_ = 0;
    runState_ = kPlaying;
    // Open and playing from here on, for the owner's commands (a recording that cannot be read
    // ends at once and says so).
    showStatus_ = kShowPlaying;
    sync_.CancelWaits();  // a picture waiting for its time is let go
  }
  sync_.PauseSound(false);
  // The device opens for the first recording; one given up earlier gets another chance.
  if (audio_) sync_.UseDevice(true);
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
  // The sound stops with the pictures and goes on with them.
  sync_.PauseSound(true);
  WaitForPresent();
}

void CNOVMediaPlayer::Resume() {
  {
    std::lock_guard<std::mutex> hold(control_);
    runState_ = kPlaying;
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

void CNOVMediaPlayer::SeekLocked(int picture) {
  const int total = totalPictures_;
  if (total <= 0) return;
  int n = std::clamp(picture, 0, total - 1);
  currentPicture_ = n;
  float t = float(n) / float(FrontRate());
  if (parser_->SeeksToWholeSeconds()) {
    currentPicture_ = parser_->SeekTime(t) * FrontRate();
  } else {
    parser_->SeekTime(t);
  }
  ResetStreamPosition();
}

void CNOVMediaPlayer::ResetStreamPosition() {
  waitFrontKey_ = true;
  waitRearKey_ = true;
  queue_.Clear();
  held_ = false;
  prebuffered_ = 0;
  prebuffering_ = true;
  showOneFrontDone_ = false;
  showOneFrontsSince_ = 0;
  // Sound read before this point belongs to pictures that will not be shown.
  sync_.FlushSound();
  // The sound read while the first pictures are gathered starts with the first of them.
  sync_.HoldFeeder(true);
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
  if (!running_ || showStatus_ == kShowStopped) {
    errno = ENODATA;
    return false;
  }
  return evidence != nullptr ? decoder_->SavePicture(channel, path, evidence)
                             : decoder_->SavePicture(channel, path);
}

bool CNOVMediaPlayer::GetPictureSize(int channel, int* width, int* height) {
  if (!running_) {
    *width = *height = 0;
    return false;
  }
  return decoder_->PictureSize(channel, width, height);
}

bool CNOVMediaPlayer::CopyPictureRegion(int channel, int x, int y, int w, int h, unsigned char* dst,
                                        int stride, int width, int height) {
  return running_ && decoder_->CopyRegion(channel, x, y, w, h, dst, stride, width, height);
}

int CNOVMediaPlayer::GetChannelCount() const {
  // name_ is the owner's, and so is this call.
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
      sync_.SetFormat(bits, rate);
      if (bits != audioBits_ || rate != audioRate_) {
        audioBits_ = bits;
        audioRate_ = rate;
        if (audio_) sync_.RequestDevice(bits, rate);
      }
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
    }
  }
  // A recording that could not be opened plays an empty stream: its end follows at once.
  if (opened && eventCallback_) eventCallback_(eventUser_, kEventOpened, command.serial, duration);
}

bool CNOVMediaPlayer::Loop() {
  while (runState_ != kIdle && !commandsPending_) {
    int seek = pendingSeek_.exchange(-1);
    if (seek >= 0) SeekLocked(seek);

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
      bool key = IsKeyPicture(read_.get(), size);
      if (waitFrontKey_) {
        if (!front || !key) return true;
        queue_.Clear();
        held_ = false;
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
    if (!held_) {
      if (!queue_.Pop(present_.get(), &heldLength_, &heldValue_)) return false;
      held_ = true;
    }
    const bool draw = runState_ != kShowOne;
    if (heldValue_ == kQueuedFront) {
      // Pictures that are decoded only (a single-picture show) need no pace.
      if (draw) FramePacer(&sync_, FrontRate(), GetPositionMs());
      std::lock_guard<std::mutex> presenting(presentLock_);
      // A pause, stop, seek or open that came while the picture waited for its turn keeps it
      // for later (or for nothing).
      if (Interrupted(draw)) return true;
      held_ = false;
      ++currentPicture_;
      bool shown = decoder_->DecodeAndShow(0, front_, present_.get(), heldLength_, draw);
      if (!draw) FrontShownInShowOne(shown || !HasSize(front_));
      return true;
    }
    if (heldValue_ == kQueuedRear) {
      std::lock_guard<std::mutex> presenting(presentLock_);
      if (Interrupted(draw)) return true;
      held_ = false;
      bool shown = decoder_->DecodeAndShow(1, rear_, present_.get(), heldLength_, draw);
      if (shown && !draw) FinishShowOne(kShowTwoShown, true);
      return true;
    }
    held_ = false;
    if (heldValue_ == kQueuedText && textCallback_) {
      int ms = int(static_cast<long long>(currentPicture_) * 1000 / FrontRate());
      textCallback_(textUser_, present_.get(), heldLength_, ms);
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
  if (!RearCanCome()) FinishShowOne(kShowTwoShown, false);
}

void CNOVMediaPlayer::FinishShowOne(int status, bool rearShown) {
  decoder_->Redraw(0, front_);
  if (rearShown) decoder_->Redraw(1, rear_);
  showOneFrontDone_ = false;
  showOneFrontsSince_ = 0;
  std::lock_guard<std::mutex> hold(control_);
  // Another seek asked for meanwhile is shown next; a pause or stop keeps its own state.
  if (runState_ == kShowOne && pendingSeek_ < 0) {
    runState_ = kIdle;
    showStatus_ = status;
  }
}
