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

#include "platform/Threads.h"
#include "playback/VAudio.h"
#include "support/LumArray.h"

// One queued block of sound: up to 3840 bytes of samples and how many of them are used.
struct _packet_pcm {
  char data[3840];
  int length;
  int mediaMs;  // the recording time of the first sample; -1 unknown (follows the block before)
};

class CMediaSync {
 public:
  // Bytes in one block: 240 ms of 16-bit mono sound at 8000 Hz, one device buffer.
  static constexpr int kBlockBytes = 3840;
  // Blocks queued at most (about 15 s of sound). The engine keeps the queue near its 700 ms
  // prebuffer; the limit only stops a feeder that cannot play from letting it grow without end.
  // A push into a full queue drops the oldest block.
  static constexpr int kMaxBlocks = 64;
  // WaitForAudio's polling interval and the idle feeder's pause, in ms.
  static constexpr unsigned kWaitPollMs = 10;
  static constexpr unsigned kIdleFeederMs = 1;

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
  // as 0. False only when no memory could be had.
  bool PushPcm(const char* data, int length, int mediaMs = -1);
  // The sound's format, for turning bytes into time; set when a recording opens.
  void SetFormat(int bitsPerSample, int samplesPerSecond);
  // Returns when at most one block is left for the feeder, testing every 10 ms. Returns at once
  // when there is no audio output, when the feeder is not running or is held, when the output has
  // given up its device (pictures then follow the frame rate), or when waits are cancelled.
  void WaitForAudio();

  // Feeder (or tests).
  // Takes the oldest block: its bytes into destination (3840 bytes of room), its length and,
  // when asked, its recording time (-1 unknown). False when the queue is empty.
  bool PopPcm(char* destination, int* length, int* mediaMs = nullptr);

  // Any thread.
  // Empties the queue and forgets the blocks' times (a new recording starts).
  void ClearPcm();
  // The recording time, in ms, of the sound leaving the device now; -1 when there is none to
  // tell by (no output, a device given up, no timed block on the device yet). When the device
  // has played everything it was given the clock stands at the end of the last block.
  int MediaClockMs() const;
  // True while timed sound waits to reach the device for the first time since the queue was
  // cleared: the clock is about to start, so a picture may wait a moment for it.
  bool ClockStarting() const;
  // How many blocks wait for the feeder.
  int PendingBlocks() const { return queued_.load(std::memory_order_acquire); }

  // Holds the feeder: queued blocks wait until it is released. The engine holds it while it
  // gathers pictures before showing the first, so that the sound starts with them.
  void HoldFeeder(bool hold) { held_.store(hold, std::memory_order_release); }

  // Cuts short the waits of WaitForAudio and FramePacer until AllowWaits: the engine is about to
  // stop, pause or open, and the window thread waits for the worker meanwhile.
  void CancelWaits() { waitsCancelled_.store(true, std::memory_order_release); }
  void AllowWaits() { waitsCancelled_.store(false, std::memory_order_release); }
  bool WaitsCancelled() const { return waitsCancelled_.load(std::memory_order_acquire); }

  // Owner's thread.
  bool StartFeeder();
  // Returns once the feeder's current call (and its Play) has returned.
  void StopFeeder();
  bool IsFeeding() const { return feeder_.IsRunning(); }

 private:
  static bool FeederStep(void* self);
  bool AudioGivenUp() const;
  // Feeder: plays the current block and notes where it lies in the device's byte stream.
  void PlayCurrent(VAudio* audio);

  // A block on the device: its first byte in the device's stream and its recording time.
  struct TimedBlock {
    long long start = 0;
    int length = 0;
    int mediaMs = 0;
  };
  static constexpr int kTimedBlocks = 8;

  // Any thread.
  std::atomic<VAudio*> audio_{nullptr};
  std::atomic<int> queued_{0};  // the queue's count, for tests without the lock
  std::atomic<bool> held_{false};
  std::atomic<bool> waitsCancelled_{false};
  std::atomic<bool> timedPushed_{false};  // a block with a time was queued since the last clear

  // Engine's worker and feeder, under lock_.
  CSync lock_{"none"};
  CLumArrBase<_packet_pcm> queue_;

  // Feeder thread (writes) and clock readers, under clockLock_.
  mutable CSync clockLock_{"clock"};
  TimedBlock timed_[kTimedBlocks];
  int timedCount_ = 0;          // the newest kTimedBlocks blocks, oldest first
  int bytesPerSecond_ = 16000;  // 8000 Hz 16-bit mono unless told otherwise
  int nextMediaMs_ = -1;        // where a block without a time of its own starts

  // Feeder thread.
  _packet_pcm current_{};
  CSingleThread feeder_{"MediaSync"};  // declared last: its thread stops before the rest goes
};

// Paces one front picture; the engine calls it just before the picture is decoded, with the
// picture's recording time (-1 unknown). While the sync's clock is usable and within half a
// second of the picture, sleeps until the clock reaches the picture's time (no sleep when the
// picture is late). Otherwise waits for the sound (WaitForAudio, skipped when sync is null),
// then sleeps for the frame period (1000 / frontRate ms; a rate of 0 or less counts as 30) less
// the mean of the last 24 gaps between one picture's release and the next one's turn, less
// 2 ms. Prints "[00] dif <gap>, mean <mean> : <wait> msec". The state is process-wide (one
// engine per process).
void FramePacer(CMediaSync* sync, int frontRate, int pictureMs = -1);
// Forgets the gaps and the last release (tests, or a new engine).
void FramePacerReset();
// What FramePacer sleeps for a wait: nothing when it is 0 or less, at most one period.
int FramePacerSleepMs(int wait, int period);
