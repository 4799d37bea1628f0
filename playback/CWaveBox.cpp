// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/CWaveBox.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "support/Diag.h"

namespace {

// Guards every box's free count: the device's block-done reports and the feeder meet here.
std::mutex gFreeCountLock;

// The process's output volume (both channels), 0..0xFFFF.
std::atomic<int> gVolume{0xFFFF};

constexpr int kMaxVolume = 0xFFFF;

}  // namespace

CWaveBox::CWaveBox(VWaveOut* out) : out_(out != nullptr ? out : &sdl_) {}

CWaveBox::~CWaveBox() { out_->Close(); }

bool CWaveBox::Open(int bitsPerSample, int samplesPerSecond) {
  format_.formatTag = 1;
  format_.channels = 1;
  format_.samplesPerSecond = samplesPerSecond;
  format_.bitsPerSample = bitsPerSample;
  format_.blockAlign = bitsPerSample / 8;
  format_.avgBytesPerSecond = samplesPerSecond * (bitsPerSample / 8);
  format_.extraBytes = 0;
  return Reopen() == kWaveOk;
}

int CWaveBox::Close() {
  {
    // Under the lock, so that a Play between its test and its wait still hears it.
    std::lock_guard<std::mutex> hold(gFreeCountLock);
    ok_.store(false, std::memory_order_release);
  }
  freed_.notify_all();
  return out_->Close() == kWaveOk ? 1 : -1;
}

int CWaveBox::Reopen() {
  const WaveFormat format{format_.samplesPerSecond, format_.bitsPerSample, format_.channels};
  const int status = out_->Open(format, &CWaveBox::OnBlockDone, this);
  written_.store(0, std::memory_order_release);
  if (status == kWaveOk) ApplyVolume();
  ok_.store(status == kWaveOk, std::memory_order_release);
  return status;
}

void CWaveBox::Flush() {
  // The device reports each dropped block done, which frees its buffer.
  if (IsOk()) out_->Flush();
}

int CWaveBox::CheckResult(int status) {
  if (status == kWaveErrInvalidHandle || status == kWaveErrNoDriver || status == kWaveErrNoMem ||
      status == kWaveErrUnprepared) {
    ok_.store(false, std::memory_order_release);
  }
  return status;
}

void CWaveBox::SetVolume(int value) {
  gVolume.store(std::clamp(value, 0, kMaxVolume), std::memory_order_relaxed);
  ApplyVolume();
}

int CWaveBox::Volume() { return gVolume.load(std::memory_order_relaxed); }

void CWaveBox::ApplyVolume() {
  out_->SetVolume(static_cast<float>(Volume()) / static_cast<float>(kMaxVolume));
}

int CWaveBox::FreeCount() const {
  std::lock_guard<std::mutex> hold(gFreeCountLock);
  return freeCount_;
}

void CWaveBox::OnBlockDone(void* self, const char* data, int length) {
  (void)data;
  (void)length;
  auto* box = static_cast<CWaveBox*>(self);
  {
    std::lock_guard<std::mutex> hold(gFreeCountLock);
    ++box->freeCount_;
  }
  box->freed_.notify_all();
}

int CWaveBox::WriteBlock(const char* data, int length) {
  {
    std::unique_lock<std::mutex> hold(gFreeCountLock);
    // Both buffers on the device: the next block-done report frees one.
    if (!freed_.wait_for(hold, std::chrono::milliseconds(kStallMs),
                         [&] { return freeCount_ > 0 || !IsOk(); })) {
      return 0;
    }
    if (!IsOk()) return -1;
  }
  if (data == nullptr || length < 0) length = 0;
  length = std::min(length, kBlockBytes);
  if (length == 0) return FreeCount() == 2 ? -1 : 1;  // nothing to queue
  char* buffer = buffers_[next_];
  std::memcpy(buffer, data, static_cast<std::size_t>(length));
  {
    // Taken before the write: the device may report the block done before Write returns.
    std::lock_guard<std::mutex> hold(gFreeCountLock);
    --freeCount_;
  }
  if (CheckResult(out_->Write(buffer, length)) == kWaveOk) {
    written_.fetch_add(length, std::memory_order_acq_rel);
    next_ = (next_ + 1) % 2;
  } else {
    std::lock_guard<std::mutex> hold(gFreeCountLock);
    ++freeCount_;
  }
  return 1;
}

void CWaveBox::Play(const char* data, int length) {
  if (!IsOk()) return;
  if (WriteBlock(data, length) == 0) {
    ok_.store(false, std::memory_order_release);
    DiagPrintf("[CWaveBox] device stalled, sound output given up\n");
  }
}
