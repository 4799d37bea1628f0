// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/CMediaSync.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Clock.h"
#include "playback/CWaveBox.h"
#include "support/Diag.h"

CMediaSync::CMediaSync() {
  // Room for the whole queue up front, so that pushing never reallocates during playback.
  queue_.Reserve(kMaxBlocks);
}

CMediaSync::~CMediaSync() { StopFeeder(); }

namespace {

// Recording ms that `bytes` of sound stand for at a speed in quarters.
int SoundMs(long long bytes, int bytesPerSecond, int speed) {
  return static_cast<int>(bytes * 1000 * speed / (4LL * bytesPerSecond));
}

}  // namespace

bool CMediaSync::PushPcm(const char* data, int length, int mediaMs, int speed) {
  if (data == nullptr || length < 0) length = 0;
  length = std::min(length, kBlockBytes);
  bool dropped = false;
  bool added = false;
  {
    std::lock_guard<CSync> hold(lock_);
    if (queue_.GetCount() >= kMaxBlocks) {
      queue_.RemoveAt(0, 1);
      dropped = true;
    }
    const int at = queue_.GetCount();
    added = queue_.EnsureRoom(1) && queue_.SetCount(at + 1);
    if (added) {
      _packet_pcm& slot = queue_[at];
      if (length > 0) std::memcpy(slot.data, data, static_cast<std::size_t>(length));
      slot.length = length;
      slot.mediaMs = mediaMs < 0 ? -1 : mediaMs;
      slot.speed = speed >= 1 && speed <= 64 ? speed : 4;
      if (mediaMs >= 0) timedPushed_.store(true, std::memory_order_release);
    }
    queued_.store(queue_.GetCount(), std::memory_order_release);
  }
  if (added) feederWake_.notify_one();
  if (dropped) DiagPrintf("[CMediaSync] sound queue full, oldest block dropped\n");
  return added;
}

bool CMediaSync::PopPcm(char* destination, int* length, int* mediaMs, int* speed) {
  if (destination == nullptr || length == nullptr) return false;
  // The cheap test first: the feeder asks about once a millisecond while the queue is empty.
  if (queued_.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<CSync> hold(lock_);
  if (queue_.GetCount() == 0) return false;  // emptied since
  const _packet_pcm& oldest = std::as_const(queue_)[0];
  const int n = std::clamp(oldest.length, 0, kBlockBytes);
  if (n > 0) std::memcpy(destination, oldest.data, static_cast<std::size_t>(n));
  *length = n;
  if (mediaMs != nullptr) *mediaMs = oldest.mediaMs;
  if (speed != nullptr) *speed = oldest.speed;
  queue_.RemoveAt(0, 1);
  queued_.store(queue_.GetCount(), std::memory_order_release);
  return true;
}

void CMediaSync::ClearPcm() {
  {
    std::lock_guard<CSync> hold(lock_);
    queue_.SetCount(0);
    queued_.store(0, std::memory_order_release);
    generation_.fetch_add(1, std::memory_order_acq_rel);
  }
  queueTaken_.notify_all();
  {
    std::lock_guard<CSync> hold(clockLock_);
    timedCount_ = 0;
    nextMediaMs_ = -1;
    timedPushed_.store(false, std::memory_order_release);
  }
  clockWake_.notify_all();
}

void CMediaSync::FlushSound() {
  ClearPcm();
  if (VAudio* audio = GetAudio()) audio->Flush();
}

void CMediaSync::HoldFeeder(bool hold) {
  if (held_.load(std::memory_order_acquire) == hold) return;
  {
    // Changed under the lock, so that a feeder between its test and its wait still hears it.
    std::lock_guard<CSync> guard(lock_);
    held_.store(hold, std::memory_order_release);
  }
  if (!hold) feederWake_.notify_all();
  if (hold) {
    WakeClockWaiters();
    queueTaken_.notify_all();
  }
}

void CMediaSync::PauseSound(bool paused) {
  {
    std::lock_guard<CSync> hold(lock_);
    if (paused_ == paused) return;
    paused_ = paused;
  }
  feederWake_.notify_all();
  queueTaken_.notify_all();
}

void CMediaSync::CancelWaits() {
  waitsCancelled_.store(true, std::memory_order_release);
  WakeClockWaiters();
  WakeQueueWaiters();
  if (VAudio* audio = GetAudio()) audio->WakeWaiters();
}

void CMediaSync::WakeQueueWaiters() {
  // Taken and let go, so that a waiter between its test and its wait still hears it.
  { std::lock_guard<CSync> hold(lock_); }
  queueTaken_.notify_all();
}

void CMediaSync::RequestDevice(int bitsPerSample, int samplesPerSecond) {
  {
    std::lock_guard<CSync> hold(lock_);
    deviceWanted_ = true;
    deviceForced_ = true;
    deviceUse_ = true;
    deviceBits_ = bitsPerSample;
    deviceRate_ = samplesPerSecond;
  }
  feederWake_.notify_all();
}

void CMediaSync::UseDevice(bool use) {
  {
    std::lock_guard<CSync> hold(lock_);
    deviceWanted_ = true;
    deviceUse_ = use;
  }
  feederWake_.notify_all();
}

bool CMediaSync::ClockStarting() const {
  if (!timedPushed_.load(std::memory_order_acquire) || held_.load(std::memory_order_acquire) ||
      !feeder_.IsRunning()) {
    return false;
  }
  {
    // The device is being opened for the sound (a sound server's stream can take a while).
    std::lock_guard<CSync> hold(lock_);
    if (deviceOpening_.load(std::memory_order_acquire) || (deviceWanted_ && deviceUse_)) {
      return true;
    }
  }
  VAudio* audio = GetAudio();
  if (audio == nullptr || AudioGivenUp() || audio->WrittenBytes() < 0) return false;
  const long long played = audio->PlayedBytes();
  std::lock_guard<CSync> hold(clockLock_);
  // Not on the device yet, or on it and not begun.
  return timedCount_ == 0 || played <= timed_[0].start;
}

void CMediaSync::SetFormat(int bitsPerSample, int samplesPerSecond) {
  const long long rate = static_cast<long long>(std::max(1, bitsPerSample / 8)) * samplesPerSecond;
  {
    // The format a device tried again is opened with.
    std::lock_guard<CSync> hold(lock_);
    deviceBits_ = bitsPerSample;
    deviceRate_ = samplesPerSecond;
  }
  std::lock_guard<CSync> hold(clockLock_);
  bytesPerSecond_ = rate > 0 && rate <= 1000000 ? static_cast<int>(rate) : 16000;
}

void CMediaSync::PlayCurrent(VAudio* audio, unsigned generation) {
  const int length = current_.length;
  const long long start = audio->WrittenBytes();
  audio->Play(current_.data, length);
  const long long after = audio->WrittenBytes();
  std::unique_lock<CSync> hold(clockLock_);
  if (generation != generation_.load(std::memory_order_acquire)) {
    // Flushed while the block was on its way: it belongs to sound nobody is to hear.
    hold.unlock();
    audio->Flush();
    return;
  }
  int mediaMs = current_.mediaMs >= 0 ? current_.mediaMs : nextMediaMs_;
  // A block without a time continues the one before; with neither, the clock has nothing to go
  // by until a timed block comes.
  const int speed = current_.speed;
  nextMediaMs_ = mediaMs < 0 ? -1 : mediaMs + SoundMs(length, bytesPerSecond_, speed);
  if (start < 0 || after != start + length || length <= 0 || mediaMs < 0) return;
  // The device was opened again: its byte count started over, and the old blocks mean nothing.
  if (timedCount_ > 0 && start < timed_[timedCount_ - 1].start) timedCount_ = 0;
  if (timedCount_ == kTimedBlocks) {
    for (int i = 1; i < kTimedBlocks; ++i) timed_[i - 1] = timed_[i];
    --timedCount_;
  }
  timed_[timedCount_++] = TimedBlock{start, length, mediaMs, speed};
  hold.unlock();
  clockWake_.notify_all();
}

void CMediaSync::WakeClockWaiters() const {
  // Taken and let go, so that a waiter between its test and its wait still hears it.
  { std::lock_guard<CSync> hold(clockLock_); }
  clockWake_.notify_all();
}

void CMediaSync::WaitForClockStart(std::uint32_t maxMs) const {
  std::unique_lock<CSync> hold(clockLock_);
  clockWake_.wait_for(hold, std::chrono::milliseconds(maxMs), [this] {
    return timedCount_ > 0 || !timedPushed_.load(std::memory_order_acquire) ||
           held_.load(std::memory_order_acquire) || WaitsCancelled() ||
           (!deviceOpening_.load(std::memory_order_acquire) && AudioGivenUp());
  });
}

void CMediaSync::WaitForClockMs(std::uint32_t ms) const {
  std::unique_lock<CSync> hold(clockLock_);
  clockWake_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return WaitsCancelled(); });
}

bool CMediaSync::WaitForSoundToBegin(std::uint32_t maxMs) const {
  VAudio* audio = GetAudio();
  if (audio == nullptr) return false;
  long long start = 0;
  {
    std::lock_guard<CSync> hold(clockLock_);
    if (timedCount_ == 0) return false;
    start = timed_[0].start;
  }
  return audio->WaitForPlayed(start, maxMs);
}

int CMediaSync::MediaClockMs() const {
  int ms = 0;
  return MediaClock(&ms) ? std::max(0, ms) : -1;
}

bool CMediaSync::MediaClock(int* ms) const {
  VAudio* audio = GetAudio();
  if (audio == nullptr || AudioGivenUp()) return false;
  const long long played = audio->PlayedBytes();
  const long long written = audio->WrittenBytes();
  if (played < 0) return false;
  const int latencyMicros = audio->OutputLatencyMicros();
  std::lock_guard<CSync> hold(clockLock_);
  // Fewer bytes written than the blocks noted: the device was opened again since.
  if (timedCount_ > 0 && written < timed_[timedCount_ - 1].start + timed_[timedCount_ - 1].length) {
    return false;
  }
  // The sound heard now left the device latencyMicros ago (a sound server's buffers).
  const long long heard =
      latencyMicros > 0 ? played - latencyMicros * static_cast<long long>(bytesPerSecond_) / 1000000
                        : played;
  for (int i = timedCount_ - 1; i >= 0; --i) {
    const TimedBlock& block = timed_[i];
    if (block.start > heard) continue;
    const long long into = std::min<long long>(heard - block.start, block.length);
    *ms = block.mediaMs + SoundMs(into, bytesPerSecond_, block.speed);
    return true;
  }
  // The device has reached the oldest block, but what is heard is still the sound before it
  // (from before a seek, or the silence the device started with): the clock stands that much
  // before the block, so that its pictures wait for their sound.
  if (timedCount_ > 0 && timed_[0].start <= played) {
    const TimedBlock& block = timed_[0];
    *ms = block.mediaMs - SoundMs(block.start - heard, bytesPerSecond_, block.speed);
    return true;
  }
  return false;
}

bool CMediaSync::SoundBegun() const {
  VAudio* audio = GetAudio();
  if (audio == nullptr) return false;
  const long long played = audio->PlayedBytes();
  std::lock_guard<CSync> hold(clockLock_);
  return timedCount_ > 0 && played > timed_[0].start;
}

bool CMediaSync::AudioGivenUp() const {
  const VAudio* audio = GetAudio();
  return audio != nullptr && !audio->IsOk();
}

void CMediaSync::WaitForAudio() {
  std::unique_lock<CSync> hold(lock_);
  queueTaken_.wait_for(hold, std::chrono::milliseconds(kWaitLimitMs), [this] {
    return queue_.GetCount() <= 1 || paused_ || stopping_ || GetAudio() == nullptr ||
           !feeder_.IsRunning() || AudioGivenUp() || WaitsCancelled() ||
           held_.load(std::memory_order_acquire);
  });
}

bool CMediaSync::StartFeeder() {
  {
    std::lock_guard<CSync> hold(lock_);
    stopping_ = false;
  }
  return feeder_.BeginThread(&CMediaSync::FeederStep, this);
}

void CMediaSync::StopFeeder() {
  {
    std::lock_guard<CSync> hold(lock_);
    stopping_ = true;
  }
  feederWake_.notify_all();
  queueTaken_.notify_all();
  feeder_.StopThread();
}

bool CMediaSync::FeederStep(void* self) { return static_cast<CMediaSync*>(self)->Feed(); }

bool CMediaSync::Feed() {
  bool deviceWork = false;
  bool forced = false;
  bool use = false;
  bool popped = false;
  int pauseDevice = -1;
  int bits = 16, rate = 8000;
  unsigned generation = 0;
  {
    std::unique_lock<CSync> hold(lock_);
    // Nothing to do costs nothing: the feeder sleeps until a block, a request or the stop.
    feederWake_.wait(hold, [&] {
      return stopping_ || deviceWanted_ || paused_ != devicePaused_ ||
             (!held_.load(std::memory_order_acquire) && !paused_ && queue_.GetCount() > 0);
    });
    if (stopping_) return false;
    bits = deviceBits_;
    rate = deviceRate_;
    use = deviceUse_;
    if (paused_ != devicePaused_) {
      devicePaused_ = paused_;
      pauseDevice = paused_ ? 1 : 0;
    } else if (deviceWanted_) {
      deviceWork = true;
      forced = deviceForced_;
      deviceWanted_ = deviceForced_ = false;
    } else if (queue_.GetCount() > 0) {
      const _packet_pcm& oldest = std::as_const(queue_)[0];
      const int n = std::clamp(oldest.length, 0, kBlockBytes);
      if (n > 0) std::memcpy(current_.data, oldest.data, static_cast<std::size_t>(n));
      current_.length = n;
      current_.mediaMs = oldest.mediaMs;
      current_.speed = oldest.speed;
      queue_.RemoveAt(0, 1);
      queued_.store(queue_.GetCount(), std::memory_order_release);
      generation = generation_.load(std::memory_order_acquire);
      popped = true;
    }
  }
  if (popped) queueTaken_.notify_all();
  VAudio* audio = GetAudio();
  if (audio == nullptr) return true;  // no output: the block is dropped
  if (pauseDevice >= 0) {
    audio->SetPaused(pauseDevice == 1);
    return true;
  }
  const std::uint32_t now = TickCountMs();
  if (deviceWork && !use) {
    // Nothing to play for a while (playback stopped): the device and its thread go.
    if (audio->IsOk()) audio->Close();
    return true;
  }
  // A device that is closed or was given up is opened when asked (a new recording, a seek, a
  // resume), and now and then while sound keeps coming for it.
  if (deviceWork ? (forced || !audio->IsOk())
                 : (popped && use && !audio->IsOk() && now - lastDeviceTry_ >= kDeviceRetryMs)) {
    lastDeviceTry_ = now;
    deviceOpening_.store(true, std::memory_order_release);
    if (audio->Open(bits, rate)) {
      std::lock_guard<CSync> hold(lock_);
      devicePaused_ = false;  // a new device starts going; a pause in force holds it next
    } else {
      DiagPrintf("[CMediaSync] no sound device\n");
    }
    deviceOpening_.store(false, std::memory_order_release);
    WakeClockWaiters();  // a picture waiting for the clock to start learns how it went
  }
  if (popped) {
    PlayCurrent(audio, generation);
    // The device may have been given up meanwhile: a picture waiting for the sound goes on.
    if (AudioGivenUp()) queueTaken_.notify_all();
  }
  return true;
}

namespace {

// Gaps kept for the mean.
constexpr int kMaxGaps = 24;
// A gap is counted as at most this many ms, so that a pause (or the first picture) does not
// make the following pictures rush.
constexpr std::uint32_t kMaxGapMs = 60;
// Frame rate taken when a recording gives none.
constexpr int kDefaultFrameRate = 30;

struct PacerState {
  std::mutex lock;
  CLumArrBase<int> gaps;           // the last kMaxGaps gaps, oldest first
  std::uint32_t previousTick = 0;  // when the previous front picture was released
  std::int64_t turnMicros = 0;     // the previous picture's turn on the steady clock; 0 none
};

std::int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

PacerState& Pacer() {
  static PacerState state;
  return state;
}

// Adds a gap to the last kMaxGaps and gives their mean. pacer.lock held.
int AddGap(PacerState& pacer, int gap) {
  pacer.gaps.Add(gap);
  const int count = pacer.gaps.GetCount();
  if (count > kMaxGaps) pacer.gaps.RemoveAt(0, count - kMaxGaps);
  long long sum = 0;
  for (int i = 0; i < pacer.gaps.GetCount(); ++i) sum += std::as_const(pacer.gaps)[i];
  return pacer.gaps.GetCount() > 0 ? static_cast<int>(sum / pacer.gaps.GetCount()) : gap;
}

}  // namespace

namespace {

// A picture this far from the clock, ahead or behind, belongs to other sound than the one playing
// (the sound from before a seek is still queued): it is paced by the frame period instead, so
// that pictures neither wait for nor race through sound that is not theirs.
constexpr int kOutOfStepMs = 500;
// A clock that stands still this long has run out of sound (a recording whose sound ends before
// its pictures): the pictures go on at the frame period.
constexpr std::uint32_t kClockStallMs = 100;
// How long a picture waits at most for the clock to start: for the device to open, and to begin
// the first sound since the queue was cleared (the first picture of a recording or after a seek).
constexpr std::uint32_t kClockStartStallMs = 500;

// Sleeps until the sync's clock reaches pictureMs. True when the clock paced the picture (it was
// reached, or the picture is late); false when the clock cannot tell, is out of step or stopped.
bool WaitForClock(const CMediaSync& sync, int pictureMs, int* aheadMs) {
  int lastClock = std::numeric_limits<int>::min();
  const std::uint32_t entered = TickCountMs();
  std::uint32_t lastMove = entered;
  bool first = true;
  bool begun = false;
  for (;;) {
    int clock = 0;
    const bool known = sync.MediaClock(&clock);
    if (!known || !(begun || sync.SoundBegun())) {
      // The clock is starting: the device is being opened, the sound is on its way to it, or it
      // is there and the device has not begun it (it plays out a buffer of silence first). The
      // picture waits for its sound a while.
      const std::uint32_t waited = TickCountMs() - entered;
      if (!sync.ClockStarting() || waited >= kClockStartStallMs || sync.WaitsCancelled()) {
        return false;
      }
      if (known) {
        // The device wakes the wait as it takes its next buffer.
        begun = sync.WaitForSoundToBegin(kClockStartStallMs - waited);
      } else {
        // The feeder wakes the wait when the device is open and when the sound reaches it.
        sync.WaitForClockStart(kClockStartStallMs - waited);
      }
      continue;
    }
    const int ahead = pictureMs - clock;
    if (first) *aheadMs = ahead;
    first = false;
    if (ahead > kOutOfStepMs || ahead < -kOutOfStepMs) return false;
    if (ahead <= 0 || sync.WaitsCancelled()) return true;
    const std::uint32_t now = TickCountMs();
    if (clock != lastClock) {
      lastClock = clock;
      lastMove = now;
    } else if (now - lastMove >= kClockStallMs) {
      return false;
    }
    // The clock moves on with the device at the sample rate: the picture's time is `ahead` away.
    sync.WaitForClockMs(static_cast<std::uint32_t>(ahead));
  }
}

}  // namespace

int FramePacer(CMediaSync* sync, int frontRate, int pictureMs) {
  PacerState& pacer = Pacer();
  int ahead = 0;
  if (sync != nullptr && pictureMs >= 0 && WaitForClock(*sync, pictureMs, &ahead)) {
    std::lock_guard<std::mutex> hold(pacer.lock);
    const std::uint32_t now = TickCountMs();
    const int gap = static_cast<int>(std::min(now - pacer.previousTick, kMaxGapMs));
    const int mean = AddGap(pacer, gap);
    DiagPrintf("[%02d] dif %2d, mean %2d : %2d msec\n", 0, gap, mean, ahead);
    pacer.previousTick = now;
    pacer.turnMicros = NowMicros();
    return ahead < 0 ? -ahead : 0;
  }
  if (sync != nullptr) sync->WaitForAudio();
  const int rate = frontRate > 0 ? frontRate : kDefaultFrameRate;
  const std::int64_t periodMicros = 1000000 / rate;
  int gap = 0;
  int mean = 0;
  std::int64_t turn = 0;
  const std::int64_t now = NowMicros();
  {
    std::lock_guard<std::mutex> hold(pacer.lock);
    const std::uint32_t elapsed = TickCountMs() - pacer.previousTick;
    gap = static_cast<int>(std::min(elapsed, kMaxGapMs));
    mean = AddGap(pacer, gap);
    // Each picture's turn comes one period after the one before it, so that the work done
    // between pictures never adds to the interval. Without a previous turn, after a pause, or
    // when the work fell more than a period behind, the schedule starts again now.
    turn = pacer.turnMicros + periodMicros;
    if (pacer.turnMicros == 0 || turn < now - periodMicros || turn > now + periodMicros) turn = now;
    pacer.turnMicros = turn;
  }
  const std::int64_t waitMicros = turn - now;
  const int wait = static_cast<int>(waitMicros / 1000);
  DiagPrintf("[%02d] dif %2d, mean %2d : %2d msec\n", 0, gap, mean, wait);
  if (waitMicros > 0 && (sync == nullptr || !sync->WaitsCancelled())) {
    std::this_thread::sleep_for(std::chrono::microseconds(std::min(waitMicros, periodMicros)));
  }
  std::lock_guard<std::mutex> hold(pacer.lock);
  pacer.previousTick = TickCountMs();
  return 0;
}

void FramePacerReset() {
  PacerState& pacer = Pacer();
  std::lock_guard<std::mutex> hold(pacer.lock);
  pacer.gaps.SetCount(0);
  pacer.previousTick = 0;
  pacer.turnMicros = 0;
}
