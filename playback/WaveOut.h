// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-output layer: a sound device that plays caller-owned PCM buffers one after the other
// and reports each buffer it has finished with. It stands in for the classic wave-out device
// (open, write, block-done notification, close, volume).
//
// One interface, VWaveOut, with two implementations: CWaveOutSdl over SDL2 audio, and
// CWaveOutFake, a test double whose blocks finish when a test says so or at the real rate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Threads.h"
#include "playback/PulseLatency.h"

// Device statuses, as the classic wave-out calls numbered them; 0 is success.
inline constexpr int kWaveOk = 0;
inline constexpr int kWaveErrInvalidHandle = 5;  // the output is not open
inline constexpr int kWaveErrNoDriver = 6;       // no sound system or no device
inline constexpr int kWaveErrNoMem = 7;          // no room for another queued buffer
inline constexpr int kWaveErrInvalidParam = 11;  // a null buffer or a negative length
inline constexpr int kWaveErrBadFormat = 32;     // a format the output cannot play
inline constexpr int kWaveErrUnprepared = 34;    // a buffer was not prepared

// Linear PCM, interleaved: 8-bit unsigned or 16-bit signed little-endian samples.
struct WaveFormat {
  int rate = 0;  // samples per second per channel
  int bits = 0;  // 8 or 16
  int channels = 0;
};

// Called once for every written buffer, in the order they were written, when the output has
// finished with it; data and length are those given to Write. It runs on the output's own thread
// (or, for buffers still queued when the output closes, on the thread that closes it), so it must
// be short and must not call back into the output.
using WaveDoneCallback = void (*)(void* user, const char* data, int length);

class VWaveOut {
 public:
  virtual ~VWaveOut() = default;

  // Opens the output with the exact format (no conversion is asked of the caller) and starts it;
  // until something is written it plays silence. An open output is closed first. A status.
  virtual int Open(const WaveFormat& format, WaveDoneCallback done, void* user) = 0;
  // Queues a buffer to play after those already queued. The output reads the bytes in place:
  // the caller keeps them unchanged until the buffer is reported done. A status; a buffer that
  // was refused is never reported.
  virtual int Write(const char* data, int length) = 0;
  // Stops the output. Buffers still queued are dropped and reported done before Close returns;
  // no report comes after it. A status (kWaveErrInvalidHandle when it was not open).
  virtual int Close() = 0;
  // A linear gain, 0 (silent) to 1 (as written), applied to every sample played from now on,
  // also after a later Open. Values outside [0, 1] are clamped.
  virtual void SetVolume(float gain) = 0;
  // How far the output has played into the written buffers since Open, in bytes: the position
  // of the sound leaving it now. Silence played while nothing was queued does not count. -1 when
  // the output cannot tell.
  virtual long long PlayedBytes() const { return -1; }
  // Drops every queued buffer at once, as if it had been played: each is reported done (on the
  // calling thread, before Flush returns) and the play position moves to the end of what was
  // written. The output stays open and plays what is written next. A status
  // (kWaveErrInvalidHandle when it is not open).
  virtual int Flush() = 0;
  // Holds the output where it is (paused) or lets it go on; the queued buffers stay and play
  // when it goes on. An open output starts going.
  virtual void SetPaused(bool paused) { (void)paused; }
  // How long, in µs, the sound at PlayedBytes still takes to be heard (a sound server's buffers
  // after the device); -1 when the output cannot tell.
  virtual int OutputLatencyMicros() const { return -1; }
  // Waits until the output has taken the byte after `above` of the written stream to play (it is
  // leaving the output now), for at most maxMs, or until WakeWaiters; true when it has. The
  // output's own work wakes the wait (each callback of the SDL device, each finished buffer of the
  // test double): nothing looks at a clock meanwhile. The default, for an output that cannot
  // tell, waits maxMs and answers from PlayedBytes.
  virtual bool WaitForPlayed(long long above, std::uint32_t maxMs);
  // Cuts every WaitForPlayed under way short.
  virtual void WakeWaiters() {}
};

// Thread use for both implementations: Open, Close and SetVolume on the owner's threads (one at
// a time), Write on one other thread (the sound feeder). Write racing Close returns
// kWaveErrInvalidHandle or queues a buffer that Close then drops and reports.

// The SDL2 audio output. Open asks for exactly the given format with a 256-sample device buffer
// (32 ms at 8000 Hz), letting SDL convert to whatever the sound card takes. SDL's audio callback
// copies the queued buffers in order into the device, scales them by the gain, pads with silence
// when nothing is queued and reports each finished buffer. The audio subsystem is initialised at
// the first open in the process and shut down after the last close.
//
// On SDL's pulseaudio driver (PulseAudio, or PipeWire's Pulse server) the sound the callback has
// taken still waits in the server; a CPulseLatency watch started with the device reads how long,
// for OutputLatencyMicros. ROADEYE_LATENCY_CORRECTION=0 in the environment leaves it off (the
// clock then takes the callback's position as heard, as on the other drivers). A device the
// server drops (the server ended) is reported by Write as kWaveErrNoDriver; the next Open starts
// SDL's audio afresh (when no other output holds it), so that a server that came back is found
// again.
//
// SDL_AUDIODRIVER picks SDL's backend: "dummy" consumes sound at the real rate without a sound
// card; "disk" writes what is played, silence included, to SDL_DISKAUDIOFILE (default
// "sdlaudio.raw" in the working folder), in the opened format: the file's sample n left the
// device about n / rate seconds after Open. Samples are scaled as sample * round(gain * 65536)
// / 65536, rounded down (8-bit samples about their midpoint 128).
class CWaveOutSdl final : public VWaveOut {
 public:
  CWaveOutSdl() = default;
  ~CWaveOutSdl() override;
  CWaveOutSdl(const CWaveOutSdl&) = delete;
  CWaveOutSdl& operator=(const CWaveOutSdl&) = delete;

  int Open(const WaveFormat& format, WaveDoneCallback done, void* user) override;
  int Write(const char* data, int length) override;
  int Close() override;
  int Flush() override;
  void SetPaused(bool paused) override;
  void SetVolume(float gain) override;
  // Counted in the device callback; between two callbacks the position moves on at the format's
  // rate through what the last callback took from our buffers, so it advances smoothly rather
  // than in device-buffer steps.
  long long PlayedBytes() const override;
  int OutputLatencyMicros() const override { return latency_.LatencyMicros(); }
  bool WaitForPlayed(long long above, std::uint32_t maxMs) override;
  void WakeWaiters() override;

  // Sets SDL_AUDIODRIVER for the outputs that start SDL's audio from now on, while none is
  // starting it (SDL reads the variable then): a test that makes a sound system appear while a
  // feeder keeps trying to open its device. Null unsets it.
  static void ChooseDriver(const char* driver);

  // Samples per channel in one device buffer: small, so that little sound waits in the device;
  // 32 ms at the VEX card's 8000 Hz. At higher rates the largest power of two that lasts no more
  // than that (1024 at 48000 Hz), so that the device is not woken every few milliseconds.
  static constexpr int kDeviceSamples = 256;
  static int DeviceSamplesFor(int rate) {
    int samples = kDeviceSamples;
    while (static_cast<long long>(samples) * 2 * 1000 <= 32LL * rate) samples *= 2;
    return samples;
  }
  // Buffers queued at most; more are refused with kWaveErrNoMem.
  static constexpr int kMaxQueued = 8;
  // On a sound server, how long Open waits at most for the new stream to run, in ms.
  static constexpr int kStartLimitMs = 1000;
  // Then how long it waits at most for the server's first latency figure, in ms.
  static constexpr unsigned kFirstLatencyMs = 250;

 private:
  // One reference on SDL's audio subsystem; the process-wide count decides when SDL is started
  // and shut down.
  class AudioSubsystem {
   public:
    AudioSubsystem() = default;
    ~AudioSubsystem() { Release(); }
    AudioSubsystem(const AudioSubsystem&) = delete;
    AudioSubsystem& operator=(const AudioSubsystem&) = delete;
    bool Acquire();
    void Release();

   private:
    bool held_ = false;
  };

  // An open SDL audio device; closing it waits for its callback to return.
  class Device {
   public:
    Device() = default;
    ~Device() { Close(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    // A status; the device starts paused.
    int Open(const WaveFormat& format, CWaveOutSdl* owner);
    void Start();
    void Pause();
    void Close();
    bool IsOpen() const { return id_.load(std::memory_order_acquire) != 0; }
    // True once SDL has dropped the open device (its sound server went away).
    bool Lost() const;

   private:
    // SDL_AudioDeviceID; changed by the owner's threads, read by Write's test for a lost device.
    std::atomic<std::uint32_t> id_{0};
  };

  struct Queued {
    const char* data = nullptr;
    int length = 0;
    int offset = 0;  // bytes already handed to the device
  };

  static void FillThunk(void* self, std::uint8_t* stream, int length);
  // PlayedBytes with queueLock_ held.
  long long PlayedLocked() const;
  void Fill(std::uint8_t* stream, int length);
  // Takes every queued buffer out (the device must be stopped) and reports it done.
  void DropQueued();

  // Owner's threads (Open, Close), serialised by control_.
  std::mutex control_;
  AudioSubsystem subsystem_;  // declared before device_: released after it
  Device device_;
  CPulseLatency latency_;  // runs while the device is open on the pulseaudio driver
  // Set by Write (feeder) when SDL dropped the device; Open then starts SDL's audio afresh.
  std::atomic<bool> lost_{false};

  // Set by Open before the device runs; read by the device callback and by Close.
  WaveFormat format_{};
  WaveDoneCallback done_ = nullptr;
  void* user_ = nullptr;

  // Shared by the feeder (Write), the device callback (Fill) and Close, under queueLock_.
  mutable std::mutex queueLock_;
  std::condition_variable started_;   // the device's second callback, for Open
  std::condition_variable progress_;  // each callback, a flush, a close and WakeWaiters
  unsigned wakes_ = 0;                // WakeWaiters calls
  int fills_ = 0;                     // callbacks since Open, counted up to 2
  long long playedBefore_ = 0;        // bytes of our buffers taken by the callbacks before the last
  int lastFillBytes_ = 0;             // bytes of our buffers the last callback took
  std::int64_t lastFillMicros_ = 0;   // when it ran, on the steady clock
  bool accepting_ = false;            // open and not closing
  Queued ring_[kMaxQueued];
  int head_ = 0;
  int count_ = 0;

  // Any thread.
  std::atomic<int> gainQ16_{65536};  // gain as a 16.16 fraction, 0..65536
};

// The test double. In manual pace, written buffers wait until the test finishes them with
// FinishOne/FinishAll (the callback runs on the test's thread). In real-time pace, a thread
// "WaveOutFake" finishes each buffer when a device playing at the format's rate would have.
// Every written buffer is also kept, copied, for the test to read.
class CWaveOutFake final : public VWaveOut {
 public:
  enum class Pace { kManual, kRealTime };

  explicit CWaveOutFake(Pace pace = Pace::kManual);
  ~CWaveOutFake() override;
  CWaveOutFake(const CWaveOutFake&) = delete;
  CWaveOutFake& operator=(const CWaveOutFake&) = delete;

  int Open(const WaveFormat& format, WaveDoneCallback done, void* user) override;
  int Write(const char* data, int length) override;
  int Close() override;
  // Reports every queued buffer done at once (counted apart from those played).
  int Flush() override;
  void SetVolume(float gain) override;
  // Bytes of the buffers reported done since the last Open.
  long long PlayedBytes() const override;
  // What SetOutputLatencyMicros set; -1 (none) until then.
  int OutputLatencyMicros() const override {
    return latencyMicros_.load(std::memory_order_acquire);
  }
  // Stands in for a sound server's latency past the device, in µs.
  void SetOutputLatencyMicros(int micros) {
    latencyMicros_.store(micros, std::memory_order_release);
  }
  // Woken by each finished buffer: the play position moves a buffer at a time.
  bool WaitForPlayed(long long above, std::uint32_t maxMs) override;
  void WakeWaiters() override;

  // What the next Opens and Writes return (kWaveOk: behave normally). A refused call changes
  // nothing.
  void SetOpenStatus(int status);
  void SetWriteStatus(int status);
  // Reports the oldest queued buffer done; false when none is queued.
  bool FinishOne();
  // Reports every queued buffer done; how many.
  int FinishAll();

  bool IsOpen() const;
  WaveFormat Format() const;  // of the last successful Open
  float Volume() const;
  int OpenCount() const;     // successful Opens so far
  int Pending() const;       // buffers written and not yet done
  int DoneCount() const;     // buffers reported done so far, played or flushed
  int FlushedCount() const;  // buffers dropped by Flush so far
  // Every accepted buffer's bytes, in the order written.
  std::vector<std::string> Written() const;

 private:
  struct Queued {
    const char* data;
    int length;
    std::uint32_t endTick;  // real-time pace: when the buffer has been played
  };
  // The real-time pace's thread: sleeps until the oldest buffer's end (or a write, or the
  // close), then reports it done.
  void RunPacer();
  void StopPacer();
  // Takes the oldest queued buffer out (lock_ held); false when none is.
  bool TakeOldestLocked(Queued* out, WaveDoneCallback* done, void** user);
  bool TakeOldest(Queued* out, WaveDoneCallback* done, void** user);

  const Pace pace_;
  // Owner's threads; the pacing thread runs between Open and Close.
  std::thread pacer_;

  // Shared by every thread, under lock_.
  mutable std::mutex lock_;
  std::condition_variable paceWake_;  // a write or the close, for the pacing thread
  std::condition_variable progress_;  // a finished buffer, an open or WakeWaiters
  unsigned wakes_ = 0;                // WakeWaiters calls
  bool pacing_ = false;
  bool open_ = false;
  WaveFormat format_{};
  WaveDoneCallback done_ = nullptr;
  void* user_ = nullptr;
  std::vector<Queued> queued_;
  std::vector<std::string> written_;
  std::uint32_t playedUntil_ = 0;  // real-time pace: when the last queued buffer ends
  int openStatus_ = kWaveOk;
  int writeStatus_ = kWaveOk;
  int openCount_ = 0;
  int doneCount_ = 0;
  int flushedCount_ = 0;
  long long doneBytes_ = 0;
  float volume_ = 1.0f;
  std::atomic<int> latencyMicros_{-1};  // any thread
};
