#include "playback/CMediaSync.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/Clock.h"
#include "playback/CWaveBox.h"
#include "support/Diag.h"

CMediaSync::CMediaSync() {
  // Room for the whole queue up front, so that pushing never reallocates during playback.
  queue_.Reserve(kMaxBlocks);
}

CMediaSync::~CMediaSync() { StopFeeder(); }

bool CMediaSync::PushPcm(const char* data, int length) {
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
    }
    queued_.store(queue_.GetCount(), std::memory_order_release);
  }
  if (dropped) DiagPrintf("[CMediaSync] sound queue full, oldest block dropped\n");
  return added;
}

bool CMediaSync::PopPcm(char* destination, int* length) {
  if (destination == nullptr || length == nullptr) return false;
  // The cheap test first: the feeder asks about once a millisecond while the queue is empty.
  if (queued_.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<CSync> hold(lock_);
  if (queue_.GetCount() == 0) return false;  // emptied since
  const _packet_pcm& oldest = std::as_const(queue_)[0];
  const int n = std::clamp(oldest.length, 0, kBlockBytes);
  if (n > 0) std::memcpy(destination, oldest.data, static_cast<std::size_t>(n));
  *length = n;
  queue_.RemoveAt(0, 1);
  queued_.store(queue_.GetCount(), std::memory_order_release);
  return true;
}

void CMediaSync::ClearPcm() {
  std::lock_guard<CSync> hold(lock_);
  queue_.SetCount(0);
  queued_.store(0, std::memory_order_release);
}

bool CMediaSync::AudioGivenUp() const {
  // Our own output says so; any other output drains the queue quickly once Play returns at once.
  const auto* box = dynamic_cast<const CWaveBox*>(GetAudio());
  return box != nullptr && !box->IsOk();
}

void CMediaSync::WaitForAudio() {
  while (queued_.load(std::memory_order_acquire) > 1) {
    if (GetAudio() == nullptr || !feeder_.IsRunning() || AudioGivenUp()) return;
    SleepMs(kWaitPollMs);
  }
}

bool CMediaSync::StartFeeder() { return feeder_.BeginThread(&CMediaSync::FeederStep, this); }

void CMediaSync::StopFeeder() { feeder_.StopThread(); }

bool CMediaSync::FeederStep(void* self) {
  auto* sync = static_cast<CMediaSync*>(self);
  int length = 0;
  if (sync->PopPcm(sync->current_.data, &length)) {
    sync->current_.length = length;
    if (VAudio* audio = sync->GetAudio()) audio->Play(sync->current_.data, length);
  } else {
    SleepMs(kIdleFeederMs);
  }
  return true;
}

namespace {

// Gaps kept for the mean.
constexpr int kMaxGaps = 24;
// A gap is counted as at most this many ms, so that a pause (or the first picture) does not
// make the following pictures rush.
constexpr std::uint32_t kMaxGapMs = 60;
// Kept back from each wait, in ms, for the time the release itself takes.
constexpr int kReleaseMarginMs = 2;
// Frame rate taken when a recording gives none.
constexpr int kDefaultFrameRate = 30;

struct PacerState {
  std::mutex lock;
  CLumArrBase<int> gaps;           // the last kMaxGaps gaps, oldest first
  std::uint32_t previousTick = 0;  // when the previous front picture was released
};

PacerState& Pacer() {
  static PacerState state;
  return state;
}

}  // namespace

int FramePacerSleepMs(int wait, int period) {
  if (wait <= 0) return 0;
  return std::min(wait, period);
}

void FramePacer(CMediaSync* sync, int frontRate) {
  if (sync != nullptr) sync->WaitForAudio();
  PacerState& pacer = Pacer();
  int gap = 0;
  int mean = 0;
  {
    std::lock_guard<std::mutex> hold(pacer.lock);
    const std::uint32_t elapsed = TickCountMs() - pacer.previousTick;
    gap = static_cast<int>(std::min(elapsed, kMaxGapMs));
    pacer.gaps.Add(gap);
    const int count = pacer.gaps.GetCount();
    if (count > kMaxGaps) pacer.gaps.RemoveAt(0, count - kMaxGaps);
    long long sum = 0;
    for (int i = 0; i < pacer.gaps.GetCount(); ++i) sum += std::as_const(pacer.gaps)[i];
    mean = pacer.gaps.GetCount() > 0 ? static_cast<int>(sum / pacer.gaps.GetCount()) : gap;
  }
  const int period = 1000 / (frontRate > 0 ? frontRate : kDefaultFrameRate);
  const int wait = period - mean - kReleaseMarginMs;
  DiagPrintf("[%02d] dif %2d, mean %2d : %2d msec\n", 0, gap, mean, wait);
  const int sleep = FramePacerSleepMs(wait, period);
  if (sleep > 0) SleepMs(static_cast<unsigned>(sleep));
  std::lock_guard<std::mutex> hold(pacer.lock);
  pacer.previousTick = TickCountMs();
}

void FramePacerReset() {
  PacerState& pacer = Pacer();
  std::lock_guard<std::mutex> hold(pacer.lock);
  pacer.gaps.SetCount(0);
  pacer.previousTick = 0;
}
