// SPDX-License-Identifier: GPL-3.0-or-later
// A sound output that plays blocks of mono PCM at the device's own pace: Play returns once the
// block is queued on the device, waiting while the device is full.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

class VAudio {
 public:
  virtual bool Open(int bitsPerSample, int samplesPerSecond) = 0;
  // 1 on success, -1 when the device refused.
  virtual int Close() = 0;
  virtual void Reserved3(int, int) {}
  // Opens the device again with the last format; the device status (0 success).
  virtual int Reopen() = 0;
  virtual bool Reserved5() { return true; }
  virtual void Reserved6() {}
  virtual void Play(const char* data, int length) = 0;
  virtual void Reserved8(int) {}
  virtual void Reserved9() {}
  virtual void Reserved10(int) {}
  virtual void Reserved11(int) {}
  virtual ~VAudio() = default;
  // Looks at a device status and returns it; statuses that mean the device is gone stop output
  // until the next successful Open.
  virtual int CheckResult(int status) = 0;
  // Bytes of sound Play has put on the device since it was last opened, and how far the device
  // has played into them; -1 when the output cannot tell. Together they say which block's sound
  // is leaving the device now, the clock the pictures follow.
  virtual long long WrittenBytes() const { return -1; }
  virtual long long PlayedBytes() const { return -1; }
  // Drops the sound on the device that has not been heard yet (a seek or a new recording: it
  // belongs to pictures that will not be shown). The device stays open.
  virtual void Flush() {}
  // Holds the device where it is, or lets it go on (Pause and Resume of the player).
  virtual void SetPaused(bool paused) { (void)paused; }
  // False once the output has given its device up (it failed, stalled or was closed); Play then
  // returns at once until the next successful Open.
  virtual bool IsOk() const { return true; }
  // How long, in µs, the sound at the play position (PlayedBytes) still takes to be heard: the
  // sound server's buffers past the device. -1 when the output cannot tell (the clock then takes
  // the play position as heard).
  virtual int OutputLatencyMicros() const { return -1; }
  // Waits until the device has begun to play the byte after `above` of what Play put on it, for
  // at most maxMs, or until WakeWaiters; true when it has. The device's own progress wakes the
  // wait. The default, for an output that cannot tell, waits maxMs and answers from PlayedBytes.
  virtual bool WaitForPlayed(long long above, std::uint32_t maxMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(maxMs));
    return PlayedBytes() > above;
  }
  // Cuts every WaitForPlayed under way short (the player pausing, stopping or opening).
  virtual void WakeWaiters() {}
};
