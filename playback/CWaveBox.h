// SPDX-License-Identifier: GPL-3.0-or-later
// The audio output: plays blocks of mono PCM through two rotating 3840-byte buffers on a
// wave-output device. Play waits while both buffers are on the device, so whoever calls it (the
// sound feeder) is held to the device's playback rate.
#pragma once

#include <atomic>
#include <condition_variable>

#include "playback/VAudio.h"
#include "playback/WaveOut.h"

// The classic wave format record, as computed by the last Open.
struct WaveBoxFormat {
  int formatTag = 0;  // 1: PCM
  int channels = 0;
  int samplesPerSecond = 0;
  int avgBytesPerSecond = 0;
  int blockAlign = 0;
  int bitsPerSample = 0;
  int extraBytes = 0;
};

class CWaveBox : public VAudio {
 public:
  // Bytes in one device buffer: 240 ms of 16-bit mono sound at 8000 Hz.
  static constexpr int kBlockBytes = 3840;
  // A device that frees neither buffer for this long has stalled, in ms: Play gives it up.
  static constexpr unsigned kStallMs = 510;

  // Plays through out, which the caller keeps alive longer than this box; null uses SDL audio
  // (owned by the box).
  explicit CWaveBox(VWaveOut* out = nullptr);
  // Closes the device first, so that no block-done report reaches a dead box.
  ~CWaveBox() override;
  CWaveBox(const CWaveBox&) = delete;
  CWaveBox& operator=(const CWaveBox&) = delete;

  // Caller's threads (window, engine).
  // Opens the device for mono PCM; the ok flag becomes the result. An open device is closed
  // first. The free count and the next buffer are kept.
  bool Open(int bitsPerSample, int samplesPerSecond) override;
  // Clears the ok flag and closes the device: 1, or -1 when it was not open.
  int Close() override;
  // Opens the device again with the last format; the device status (0 success). The ok flag
  // becomes true on success, false otherwise.
  int Reopen() override;
  // Statuses 5, 6, 7 and 34 (invalid handle, no driver, no memory, unprepared) clear the ok flag
  // until the next successful Open. Returns status.
  int CheckResult(int status) override;
  // The process's output volume, 0 (silent) to 0xFFFF (full), clamped: the level of both
  // channels, not the packed left/right word. It is kept process-wide, applied at once to this
  // box's device and to every device a box opens later.
  void SetVolume(int value);
  static int Volume();

  // Feeder thread.
  // Plays one block (only its first 3840 bytes). Returns once the block is on the device, or
  // at once when the output has been given up or closed. While both buffers are on the device it
  // sleeps until the device reports one done (or closes), and gives the device up when none is
  // done within kStallMs. A block of length 0 queues nothing.
  void Play(const char* data, int length) override;

  // Any thread.
  long long WrittenBytes() const override { return written_.load(std::memory_order_acquire); }
  long long PlayedBytes() const override { return out_->PlayedBytes(); }
  int OutputLatencyMicros() const override { return out_->OutputLatencyMicros(); }
  bool IsOk() const override { return ok_.load(std::memory_order_acquire); }
  bool WaitForPlayed(long long above, std::uint32_t maxMs) override {
    return out_->WaitForPlayed(above, maxMs);
  }
  void WakeWaiters() override { out_->WakeWaiters(); }
  // Engine's worker or feeder: drops the blocks on the device; both buffers are free again.
  void Flush() override;
  void SetPaused(bool paused) override { out_->SetPaused(paused); }
  int FreeCount() const;
  const WaveBoxFormat& Format() const { return format_; }

 private:
  // Writes one block: 1 done, -1 nothing left to play, 0 the device stalled (given up).
  int WriteBlock(const char* data, int length);
  static void OnBlockDone(void* self, const char* data, int length);
  void ApplyVolume();

  // Owner of the output; fixed at construction.
  CWaveOutSdl sdl_;
  VWaveOut* const out_;

  // Caller's threads.
  WaveBoxFormat format_;

  // Device thread and feeder, under the process-wide free-count lock; freed_ is notified with
  // each block done (and a close), which is what a Play waiting for a buffer sleeps on.
  int freeCount_ = 2;
  std::condition_variable freed_;

  // Feeder thread.
  char buffers_[2][kBlockBytes] = {};
  int next_ = 0;

  // Any thread.
  // Not until an Open succeeds: a box never opened takes no sound, and says so, so that the
  // first recording's first block opens the device instead of being lost to it.
  std::atomic<bool> ok_{false};
  std::atomic<long long> written_{0};  // bytes the device accepted since the last open
};
