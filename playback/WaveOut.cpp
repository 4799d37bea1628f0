// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-output test double.
#include "playback/WaveOut.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <thread>

#include "platform/Clock.h"

bool VWaveOut::WaitForPlayed(long long above, std::uint32_t maxMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(maxMs));
  return PlayedBytes() > above;
}

CWaveOutFake::CWaveOutFake(Pace pace) : pace_(pace) {}

CWaveOutFake::~CWaveOutFake() { Close(); }

int CWaveOutFake::Open(const WaveFormat& format, WaveDoneCallback done, void* user) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (openStatus_ != kWaveOk) return openStatus_;
  }
  Close();
  {
    std::lock_guard<std::mutex> hold(lock_);
    open_ = true;
    format_ = format;
    done_ = done;
    user_ = user;
    playedUntil_ = TickCountMs();
    doneBytes_ = 0;
    ++openCount_;
  }
  progress_.notify_all();
  if (pace_ == Pace::kRealTime) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      pacing_ = true;
    }
    pacer_ = std::thread([this] { RunPacer(); });
  }
  return kWaveOk;
}

int CWaveOutFake::Write(const char* data, int length) {
  if (length < 0 || (data == nullptr && length > 0)) return kWaveErrInvalidParam;
  std::lock_guard<std::mutex> hold(lock_);
  if (writeStatus_ != kWaveOk) return writeStatus_;
  if (!open_) return kWaveErrInvalidHandle;
  const int bytesPerSecond =
      std::max(1, format_.rate * std::max(1, format_.bits / 8) * std::max(1, format_.channels));
  const std::uint32_t now = TickCountMs();
  // The buffer starts when the one before it ends, or now when the device has run dry.
  const std::uint32_t start =
      static_cast<std::int32_t>(playedUntil_ - now) > 0 ? playedUntil_ : now;
  const std::uint32_t end =
      start + static_cast<std::uint32_t>(static_cast<long long>(length) * 1000 / bytesPerSecond);
  try {
    written_.emplace_back(data, static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return kWaveErrNoMem;
  }
  try {
    queued_.push_back(Queued{data, length, end});
  } catch (const std::bad_alloc&) {
    written_.pop_back();
    return kWaveErrNoMem;
  }
  playedUntil_ = end;
  paceWake_.notify_all();
  return kWaveOk;
}

void CWaveOutFake::StopPacer() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    pacing_ = false;
  }
  paceWake_.notify_all();
  // The pacing thread itself (a done callback that closes) only asks it to end.
  if (!pacer_.joinable()) return;
  if (pacer_.get_id() == std::this_thread::get_id()) {
    pacer_.detach();
  } else {
    pacer_.join();
  }
}

int CWaveOutFake::Close() {
  StopPacer();
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!open_) return kWaveErrInvalidHandle;
    open_ = false;
  }
  FinishAll();
  return kWaveOk;
}

int CWaveOutFake::Flush() {
  int queued = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!open_) return kWaveErrInvalidHandle;
    // The device has run dry: what is written next starts now.
    playedUntil_ = TickCountMs();
    queued = static_cast<int>(queued_.size());
    flushedCount_ += queued;
  }
  for (int i = 0; i < queued && FinishOne(); ++i) {
  }
  return kWaveOk;
}

void CWaveOutFake::SetVolume(float gain) {
  std::lock_guard<std::mutex> hold(lock_);
  volume_ = std::clamp(std::isnan(gain) ? 0.0f : gain, 0.0f, 1.0f);
}

void CWaveOutFake::SetOpenStatus(int status) {
  std::lock_guard<std::mutex> hold(lock_);
  openStatus_ = status;
}

void CWaveOutFake::SetWriteStatus(int status) {
  std::lock_guard<std::mutex> hold(lock_);
  writeStatus_ = status;
}

bool CWaveOutFake::TakeOldestLocked(Queued* out, WaveDoneCallback* done, void** user) {
  if (queued_.empty()) return false;
  *out = queued_.front();
  queued_.erase(queued_.begin());
  *done = done_;
  *user = user_;
  ++doneCount_;
  doneBytes_ += out->length;
  progress_.notify_all();
  return true;
}

bool CWaveOutFake::WaitForPlayed(long long above, std::uint32_t maxMs) {
  std::unique_lock<std::mutex> hold(lock_);
  const unsigned wakes = wakes_;
  progress_.wait_for(hold, std::chrono::milliseconds(maxMs),
                     [&] { return doneBytes_ > above || wakes_ != wakes || !open_; });
  return doneBytes_ > above;
}

void CWaveOutFake::WakeWaiters() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++wakes_;
  }
  progress_.notify_all();
}

bool CWaveOutFake::TakeOldest(Queued* out, WaveDoneCallback* done, void** user) {
  std::lock_guard<std::mutex> hold(lock_);
  return TakeOldestLocked(out, done, user);
}

bool CWaveOutFake::FinishOne() {
  Queued block{};
  WaveDoneCallback done = nullptr;
  void* user = nullptr;
  if (!TakeOldest(&block, &done, &user)) return false;
  // Outside the lock, as a device thread would call it.
  if (done != nullptr) done(user, block.data, block.length);
  return true;
}

int CWaveOutFake::FinishAll() {
  int n = 0;
  while (FinishOne()) ++n;
  return n;
}

void CWaveOutFake::RunPacer() {
  std::unique_lock<std::mutex> hold(lock_);
  while (pacing_) {
    if (queued_.empty()) {
      paceWake_.wait(hold);
      continue;
    }
    const auto due = static_cast<std::int32_t>(queued_.front().endTick - TickCountMs());
    if (due > 0) {
      paceWake_.wait_for(hold, std::chrono::milliseconds(due));
      continue;
    }
    Queued block{};
    WaveDoneCallback done = nullptr;
    void* user = nullptr;
    TakeOldestLocked(&block, &done, &user);
    // Outside the lock, as a device thread would call it.
    hold.unlock();
    if (done != nullptr) done(user, block.data, block.length);
    hold.lock();
  }
}

bool CWaveOutFake::IsOpen() const {
  std::lock_guard<std::mutex> hold(lock_);
  return open_;
}

WaveFormat CWaveOutFake::Format() const {
  std::lock_guard<std::mutex> hold(lock_);
  return format_;
}

float CWaveOutFake::Volume() const {
  std::lock_guard<std::mutex> hold(lock_);
  return volume_;
}

int CWaveOutFake::OpenCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return openCount_;
}

int CWaveOutFake::Pending() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(queued_.size());
}

long long CWaveOutFake::PlayedBytes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return doneBytes_;
}

int CWaveOutFake::FlushedCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return flushedCount_;
}

int CWaveOutFake::DoneCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return doneCount_;
}

std::vector<std::string> CWaveOutFake::Written() const {
  std::lock_guard<std::mutex> hold(lock_);
  return written_;
}
