// SPDX-License-Identifier: GPL-3.0-or-later
// The media clock. Playback has no clock of its own: sound sets the pace. CMediaSync is the sound
// feeder: a queue of PCM blocks, filled by the engine's worker in file order, and a thread
// "MediaSync" that hands them one by one to the audio output, whose Play waits while the device
// is full. It remembers which recording time each block handed to the device starts at, so that
// the device's play position reads as the recording time being heard (MediaClockMs).
// FramePacer holds each front picture back until that clock reaches the picture's time; without
// a usable clock (no sound, a device given up, sound from before a seek still playing) it waits
// until the sound read with the picture is about to play, then for the rest of a frame period.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>

#include "platform/Threads.h"
#include "playback/VAudio.h"
#include "support/LumArray.h"

// One queued block of sound: up to 3840 bytes of samples and how many of them are used.
struct _packet_pcm {
  char data[3840];
  int length;
  int mediaMs;  // the recording time of the first sample; -1 unknown (follows the block before)
  int speed;    // recording time per time heard, in quarters: 4 normal, 8 stretched to twice
};

class CMediaSync {
 public:
  // Bytes in one block: 240 ms of 16-bit mono sound at 8000 Hz, one device buffer.
  static constexpr int kBlockBytes = 3840;
  // Blocks queued at most (about 15 s of sound). The engine keeps the queue near its 700 ms
  // prebuffer; the limit only stops a feeder that cannot play from letting it grow without end.
  // A push into a full queue drops the oldest block.
  static constexpr int kMaxBlocks = 64;
  // WaitForAudio's longest wait, in ms: a guard only, since the feeder wakes it with each block it
  // takes and with every change of what it waits for.
  static constexpr unsigned kWaitLimitMs = 1000;
  // While the output has given its device up and sound keeps coming, the feeder tries to open it
  // again this often (a sound server restarted, a headset plugged in), in ms.
  static constexpr unsigned kDeviceRetryMs = 2000;

  CMediaSync();
  // Stops the feeder before the queue goes.
  virtual ~CMediaSync();
  CMediaSync(const CMediaSync&) = delete;
  CMediaSync& operator=(const CMediaSync&) = delete;

  // Engine (owner), before StartFeeder. Null: no sound; the feeder drops the blocks.
  void SetAudio(VAudio* audio) { audio_.store(audio, std::memory_order_release); }
  VAudio* GetAudio() const { return audio_.load(std::memory_order_acquire); }

  // Engine's worker.
  // Appends a block; a length above 3840 is cut to 3840, a negative one (or null data) counts
  // as 0. speed: how much recording time the block's sound stands for, in quarters of its own
  // length (sound stretched to play at twice the pace: 8); 1..64, else 4. False only when no
  // memory could be had.
  bool PushPcm(const char* data, int length, int mediaMs = -1, int speed = 4);
  // The sound's format, for turning bytes into time; set when a recording opens.
  void SetFormat(int bitsPerSample, int samplesPerSecond);
  // Returns when at most one block is left for the feeder (the feeder wakes it as it takes them).
  // Returns at once when there is no audio output, when the feeder is not running, is held or
  // paused, when the output has given up its device (pictures then follow the frame rate), or when
  // waits are cancelled.
  void WaitForAudio();
  // Drops the queued blocks and the sound on the device that has not been heard yet (a seek or a
  // new recording), and forgets the blocks' times. A block the feeder is handing over meanwhile is
  // dropped from the device as soon as it is there.
  void FlushSound();

  // Feeder (or tests).
  // Takes the oldest block: its bytes into destination (3840 bytes of room), its length and,
  // when asked, its recording time (-1 unknown) and speed. False when the queue is empty.
  bool PopPcm(char* destination, int* length, int* mediaMs = nullptr, int* speed = nullptr);

  // Any thread.
  // Empties the queue and forgets the blocks' times (a new recording starts).
  void ClearPcm();
  // The recording time, in ms, of the sound heard now: the sound leaving the device, less the
  // output's latency past it (a sound server's buffers) where the output tells it. -1 when there
  // is none to tell by (no output, a device given up, no timed block on the device yet). When the
  // device has played everything it was given the clock stands at the end of the last block.
  int MediaClockMs() const;
  // The same clock, false where MediaClockMs gives -1; before the start of a recording's sound is
  // heard it reads below 0, by the time still to go (MediaClockMs then gives 0), so that the
  // first picture waits for its sound as the others do.
  bool MediaClock(int* ms) const;
  // True once the device's play position is past the start of the oldest timed block noted since
  // the queue was cleared: until then a clock that stands still is starting, not run out.
  bool SoundBegun() const;
  // True while timed sound waits to reach the device for the first time since the queue was
  // cleared: the clock is about to start, so a picture may wait a moment for it.
  bool ClockStarting() const;
  // Waits at most maxMs while the clock is starting: until timed sound has reached the device,
  // the queue is cleared, the feeder is held or waits are cancelled (the feeder and those calls
  // wake it).
  void WaitForClockStart(std::uint32_t maxMs) const;
  // Waits ms for the clock to move on, cut short when waits are cancelled.
  void WaitForClockMs(std::uint32_t ms) const;
  // Waits at most maxMs until the device has begun the oldest timed block noted since the queue
  // was cleared (the device's own progress wakes it; cancelling waits cuts it short). True when it
  // has begun.
  bool WaitForSoundToBegin(std::uint32_t maxMs) const;
  // How many blocks wait for the feeder.
  int PendingBlocks() const { return queued_.load(std::memory_order_acquire); }

  // Holds the feeder: queued blocks wait until it is released. The engine holds it while it
  // gathers pictures before showing the first, so that the sound starts with them.
  void HoldFeeder(bool hold);

  // Pause: the queued blocks wait and the device holds the sound it has, so that sound and
  // pictures go on together. The device is paused on the feeder's thread.
  void PauseSound(bool paused);

  // Has the feeder open the output's device with this format (a new format), also when it is
  // open. The device is opened and closed on the feeder's thread: a sound server that is slow to
  // answer holds neither the window nor the pictures.
  void RequestDevice(int bitsPerSample, int samplesPerSecond);
  // With use, has the feeder open the device with the last format unless it is open and well (a
  // device missing or given up is tried again); without, has it close the device, so that
  // nothing runs for sound while nothing plays.
  void UseDevice(bool use);

  // Cuts short the waits of WaitForAudio and FramePacer until AllowWaits: the engine is about to
  // stop, pause or open, and the window thread waits for the worker meanwhile.
  void CancelWaits();
  void AllowWaits() { waitsCancelled_.store(false, std::memory_order_release); }
  bool WaitsCancelled() const { return waitsCancelled_.load(std::memory_order_acquire); }

  // Owner's thread.
  bool StartFeeder();
  // Returns once the feeder's current call (and its Play) has returned.
  void StopFeeder();
  bool IsFeeding() const { return feeder_.IsRunning(); }

 private:
  static bool FeederStep(void* self);
  // One turn of the feeder: waits for a block (or a device request), then plays it. False once
  // the feeder is stopping.
  bool Feed();
  bool AudioGivenUp() const;
  // Wakes WaitForClockStart after a change it waits for.
  void WakeClockWaiters() const;
  // Wakes WaitForAudio after a change it waits for (lock_ not held).
  void WakeQueueWaiters();
  // Feeder: plays the current block and notes where it lies in the device's byte stream. A flush
  // that came after the block was taken drops it from the device again.
  void PlayCurrent(VAudio* audio, unsigned generation);

  // A block on the device: its first byte in the device's stream and its recording time.
  struct TimedBlock {
    long long start = 0;
    int length = 0;
    int mediaMs = 0;
    int speed = 4;
  };
  static constexpr int kTimedBlocks = 8;

  // Any thread.
  std::atomic<VAudio*> audio_{nullptr};
  std::atomic<int> queued_{0};  // the queue's count, for tests without the lock
  std::atomic<bool> held_{false};
  std::atomic<bool> waitsCancelled_{false};
  std::atomic<bool> deviceOpening_{false};  // the feeder is in the device's Open
  std::atomic<bool> timedPushed_{false};    // a block with a time was queued since the last clear
  // Counts the clears and flushes: a block taken before one is stale.
  std::atomic<unsigned> generation_{0};

  // Engine's worker, window and feeder, under lock_. The feeder sleeps on feederWake_ until a
  // block, a device request or the stop comes.
  mutable CSync lock_{"none"};
  std::condition_variable_any feederWake_;
  // WaitForAudio sleeps on it until the feeder has taken the blocks, or what it waits for changed.
  std::condition_variable_any queueTaken_;
  CLumArrBase<_packet_pcm> queue_;
  bool stopping_ = false;
  bool paused_ = false;
  bool devicePaused_ = false;  // what the device was last told
  bool deviceWanted_ = false;  // open or close the device on the feeder's thread
  bool deviceForced_ = false;  // open it even when it is open and well
  bool deviceUse_ = false;     // the device is wanted open
  int deviceBits_ = 16;
  int deviceRate_ = 8000;

  // Feeder thread (writes) and clock readers, under clockLock_.
  mutable CSync clockLock_{"clock"};
  TimedBlock timed_[kTimedBlocks];
  int timedCount_ = 0;          // the newest kTimedBlocks blocks, oldest first
  int bytesPerSecond_ = 16000;  // 8000 Hz 16-bit mono unless told otherwise
  int nextMediaMs_ = -1;        // where a block without a time of its own starts
  // WaitForClockStart sleeps on it until a timed block is on the device.
  mutable std::condition_variable_any clockWake_;

  // Feeder thread.
  _packet_pcm current_{};
  std::uint32_t lastDeviceTry_ = 0;
  CSingleThread feeder_{"MediaSync"};  // declared last: its thread stops before the rest goes
};

// Paces one front picture; the engine calls it just before the picture is decoded, with the
// picture's recording time (-1 unknown). While the sync's clock is usable and within half a
// second of the picture, sleeps until the clock reaches the picture's time (no sleep when the
// picture is late). Otherwise waits for the sound (WaitForAudio, skipped when sync is null),
// then releases the picture one frame period (1000 / frontRate ms; a rate of 0 or less counts
// as 30) after the previous one's turn, so that the pictures keep the frame rate however long
// each one's work took; the first picture, and the first after a pause or after work that fell
// more than a period behind, goes at once. Prints "[00] dif <gap>, mean <mean> : <wait> msec"
// with the time since the previous release (at most 60), the mean of the last 24 of those, and
// the ms waited. The state is process-wide (one engine per process). Returns how many ms the
// sync's clock was past the picture's time when the picture came (0: in time, or paced without
// the clock).
int FramePacer(CMediaSync* sync, int frontRate, int pictureMs = -1);
// Forgets the gaps and the last release (tests, or a new engine).
void FramePacerReset();
