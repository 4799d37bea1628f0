// SPDX-License-Identifier: GPL-3.0-or-later
// The SDL2 implementation of the wave-output layer.
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "playback/WaveOut.h"
#include "support/Diag.h"

namespace {

// How many outputs hold SDL's audio subsystem; SDL's init and quit calls are not made from two
// threads at once.
std::mutex gSubsystemLock;
int gSubsystemUsers = 0;

// Scales the samples of a device buffer in place by q / 65536 (q in 0..65536), rounding toward
// minus infinity.
void ApplyGain(std::uint8_t* stream, int length, int bits, int q) {
  if (q >= 65536) return;
  if (bits == 8) {
    for (int i = 0; i < length; ++i) {
      const int centred = static_cast<int>(stream[i]) - 128;
      stream[i] = static_cast<std::uint8_t>(((centred * q) >> 16) + 128);
    }
    return;
  }
  for (int i = 0; i + 1 < length; i += 2) {
    std::int16_t s;
    std::memcpy(&s, stream + i, sizeof s);
    s = static_cast<std::int16_t>((static_cast<std::int32_t>(s) * q) >> 16);
    std::memcpy(stream + i, &s, sizeof s);
  }
}

// SDL keeps per-thread data (its error text) for every thread that calls it, and frees it for
// its own threads only. Our device is opened and closed on the sound feeder's thread; this frees
// that thread's data when it ends.
struct SdlThreadData {
  bool used = false;
  ~SdlThreadData() {
    if (used) SDL_TLSCleanup();
  }
};
thread_local SdlThreadData tSdlThreadData;

// True when the latency past the device is to be read from the sound server (the default).
bool LatencyCorrectionWanted() {
  const char* value = std::getenv("ROADEYE_LATENCY_CORRECTION");
  return value == nullptr || std::strcmp(value, "0") != 0;
}

std::int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool CWaveOutSdl::AudioSubsystem::Acquire() {
  if (held_) return true;
  std::lock_guard<std::mutex> hold(gSubsystemLock);
  if (gSubsystemUsers == 0 && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    DiagPrintf("[CWaveOutSdl] no sound system: %s\n", SDL_GetError());
    return false;
  }
  ++gSubsystemUsers;
  held_ = true;
  return true;
}

void CWaveOutSdl::ChooseDriver(const char* driver) {
  std::lock_guard<std::mutex> hold(gSubsystemLock);
  if (driver != nullptr) {
    setenv("SDL_AUDIODRIVER", driver, 1);
  } else {
    unsetenv("SDL_AUDIODRIVER");
  }
}

void CWaveOutSdl::AudioSubsystem::Release() {
  if (!held_) return;
  held_ = false;
  std::lock_guard<std::mutex> hold(gSubsystemLock);
  if (--gSubsystemUsers == 0) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

int CWaveOutSdl::Device::Open(const WaveFormat& format, CWaveOutSdl* owner) {
  Close();
  SDL_AudioSpec want;
  SDL_zero(want);
  want.freq = format.rate;
  want.format = format.bits == 8 ? AUDIO_U8 : AUDIO_S16LSB;
  want.channels = static_cast<Uint8>(format.channels);
  want.samples = static_cast<Uint16>(DeviceSamplesFor(format.rate));
  want.callback = &CWaveOutSdl::FillThunk;
  want.userdata = owner;
  SDL_AudioSpec have;
  // No allowed changes: the callback always sees the format asked for, and SDL converts.
  id_.store(SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0), std::memory_order_release);
  if (!IsOpen()) {
    DiagPrintf("[CWaveOutSdl] no sound device: %s\n", SDL_GetError());
    return kWaveErrNoDriver;
  }
  return kWaveOk;
}

void CWaveOutSdl::Device::Start() {
  if (IsOpen()) SDL_PauseAudioDevice(id_.load(std::memory_order_acquire), 0);
}

void CWaveOutSdl::Device::Pause() {
  if (IsOpen()) SDL_PauseAudioDevice(id_.load(std::memory_order_acquire), 1);
}

bool CWaveOutSdl::Device::Lost() const {
  const std::uint32_t id = id_.load(std::memory_order_acquire);
  return id != 0 && SDL_GetAudioDeviceStatus(id) == SDL_AUDIO_STOPPED;
}

void CWaveOutSdl::Device::Close() {
  const std::uint32_t id = id_.exchange(0, std::memory_order_acq_rel);
  if (id != 0) SDL_CloseAudioDevice(id);
}

CWaveOutSdl::~CWaveOutSdl() { Close(); }

int CWaveOutSdl::Open(const WaveFormat& format, WaveDoneCallback done, void* user) {
  std::lock_guard<std::mutex> control(control_);
  tSdlThreadData.used = true;
  latency_.Stop();
  if (device_.IsOpen()) {
    {
      std::lock_guard<std::mutex> hold(queueLock_);
      accepting_ = false;
    }
    device_.Close();
    DropQueued();
  }
  if (lost_.exchange(false)) {
    // SDL's driver may hold a connection to a server that has gone; the last user starts the
    // audio subsystem again, which connects afresh.
    subsystem_.Release();
  }
  if ((format.bits != 8 && format.bits != 16) || format.rate <= 0 || format.channels < 1 ||
      format.channels > 2) {
    subsystem_.Release();
    return kWaveErrBadFormat;
  }
  if (!subsystem_.Acquire()) return kWaveErrNoDriver;
  // The callback thread starts with Device::Open (paused), so these are in place before it.
  format_ = format;
  done_ = done;
  user_ = user;
  const int status = device_.Open(format, this);
  if (status != kWaveOk) {
    subsystem_.Release();
    return status;
  }
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    head_ = 0;
    count_ = 0;
    playedBefore_ = 0;
    lastFillBytes_ = 0;
    lastFillMicros_ = NowMicros();
    fills_ = 0;
    accepting_ = true;
  }
  device_.Start();
  const char* driver = SDL_GetCurrentAudioDriver();
  if (driver != nullptr && std::strcmp(driver, "pulseaudio") == 0) {
    // A sound server asks for the first device buffer at once, then for the next only once its
    // new stream runs, which on an idle sink can take half a second: long enough for a writer
    // waiting on a full device to give it up. Open returns once the stream runs.
    std::unique_lock<std::mutex> hold(queueLock_);
    started_.wait_for(hold, std::chrono::milliseconds(kStartLimitMs),
                      [this] { return fills_ >= 2; });
    hold.unlock();
    if (LatencyCorrectionWanted() && latency_.Start(format.rate, format.channels)) {
      // The first figure is had before the first sound goes, which the first picture waits for.
      latency_.WaitForFirstAnswer(kFirstLatencyMs);
    }
  }
  return kWaveOk;
}

int CWaveOutSdl::Write(const char* data, int length) {
  if (length < 0 || (data == nullptr && length > 0)) return kWaveErrInvalidParam;
  if (device_.Lost()) {
    // The sound server dropped the device: give it up until it is opened again.
    if (!lost_.exchange(true)) DiagPrintf("[CWaveOutSdl] the sound device was lost\n");
    return kWaveErrNoDriver;
  }
  std::lock_guard<std::mutex> hold(queueLock_);
  if (!accepting_) return kWaveErrInvalidHandle;
  if (count_ >= kMaxQueued) return kWaveErrNoMem;
  Queued& slot = ring_[(head_ + count_) % kMaxQueued];
  slot.data = data;
  slot.length = length;
  slot.offset = 0;
  ++count_;
  return kWaveOk;
}

int CWaveOutSdl::Close() {
  std::lock_guard<std::mutex> control(control_);
  latency_.Stop();
  if (!device_.IsOpen()) return kWaveErrInvalidHandle;
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    accepting_ = false;
  }
  progress_.notify_all();
  // Waits for a running callback; none comes after it.
  device_.Close();
  DropQueued();
  subsystem_.Release();
  return kWaveOk;
}

int CWaveOutSdl::Flush() {
  Queued dropped[kMaxQueued];
  int droppedCount = 0;
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    if (!accepting_) return kWaveErrInvalidHandle;
    while (count_ > 0) {
      const Queued& q = ring_[head_];
      // Counted as played, so that the play position and the written bytes stay in step.
      playedBefore_ += q.length - q.offset;
      dropped[droppedCount++] = q;
      head_ = (head_ + 1) % kMaxQueued;
      --count_;
    }
  }
  progress_.notify_all();
  for (int i = 0; i < droppedCount; ++i) {
    if (done_ != nullptr) done_(user_, dropped[i].data, dropped[i].length);
  }
  return kWaveOk;
}

bool CWaveOutSdl::WaitForPlayed(long long above, std::uint32_t maxMs) {
  std::unique_lock<std::mutex> hold(queueLock_);
  const unsigned wakes = wakes_;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  // First until a callback has taken the byte (its next callback wakes the wait) ...
  const auto taken = [&] { return playedBefore_ + lastFillBytes_ > above; };
  const auto woken = [&] { return wakes_ != wakes || !accepting_; };
  progress_.wait_until(hold, limit, [&] { return taken() || woken(); });
  if (!taken() || woken()) return PlayedLocked() > above;
  // ... then until the device, playing what that callback took at the format's rate, reaches it.
  const long long frame = static_cast<long long>(format_.bits / 8) * format_.channels;
  const long long bytesPerSecond = frame * format_.rate;
  if (frame > 0 && bytesPerSecond > 0) {
    long long into = above + 1 - playedBefore_;
    into = (into + frame - 1) / frame * frame;
    const std::int64_t due =
        lastFillMicros_ + (into * 1000000 + bytesPerSecond - 1) / bytesPerSecond;
    const auto at = std::chrono::steady_clock::time_point(std::chrono::microseconds(due));
    progress_.wait_until(hold, std::min(at, limit), woken);
  }
  return PlayedLocked() > above;
}

void CWaveOutSdl::WakeWaiters() {
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    ++wakes_;
  }
  progress_.notify_all();
}

void CWaveOutSdl::SetPaused(bool paused) {
  std::lock_guard<std::mutex> control(control_);
  if (paused) {
    device_.Pause();
  } else {
    device_.Start();
  }
  latency_.SetPaused(paused);
}

void CWaveOutSdl::SetVolume(float gain) {
  const float clamped = std::clamp(std::isnan(gain) ? 0.0f : gain, 0.0f, 1.0f);
  gainQ16_.store(static_cast<int>(std::lround(clamped * 65536.0f)), std::memory_order_relaxed);
}

long long CWaveOutSdl::PlayedBytes() const {
  std::lock_guard<std::mutex> hold(queueLock_);
  return PlayedLocked();
}

long long CWaveOutSdl::PlayedLocked() const {
  const long long frame = static_cast<long long>(format_.bits / 8) * format_.channels;
  const long long bytesPerSecond = frame * format_.rate;
  if (frame <= 0 || bytesPerSecond <= 0) return playedBefore_;
  const long long elapsed = std::max<std::int64_t>(0, NowMicros() - lastFillMicros_);
  long long into = elapsed * bytesPerSecond / 1000000;
  into = std::min<long long>(into - into % frame, lastFillBytes_);
  return playedBefore_ + into;
}

void CWaveOutSdl::FillThunk(void* self, std::uint8_t* stream, int length) {
  static_cast<CWaveOutSdl*>(self)->Fill(stream, length);
}

void CWaveOutSdl::Fill(std::uint8_t* stream, int length) {
  Queued finished[kMaxQueued];
  int finishedCount = 0;
  int at = 0;
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    playedBefore_ += lastFillBytes_;
    lastFillMicros_ = NowMicros();
    while (count_ > 0 && at < length) {
      Queued& q = ring_[head_];
      const int n = std::min(length - at, q.length - q.offset);
      if (n > 0) std::memcpy(stream + at, q.data + q.offset, static_cast<std::size_t>(n));
      at += n;
      q.offset += n;
      if (q.offset >= q.length) {
        finished[finishedCount++] = q;
        head_ = (head_ + 1) % kMaxQueued;
        --count_;
      }
    }
    lastFillBytes_ = at;
    if (fills_ < 2 && ++fills_ == 2) started_.notify_all();
  }
  progress_.notify_all();
  if (at < length) {
    const int silence = format_.bits == 8 ? 0x80 : 0;
    std::memset(stream + at, silence, static_cast<std::size_t>(length - at));
  }
  ApplyGain(stream, at, format_.bits, gainQ16_.load(std::memory_order_relaxed));
  // Reported outside the queue lock, so that the owner may write again from its own thread.
  for (int i = 0; i < finishedCount; ++i) {
    if (done_ != nullptr) done_(user_, finished[i].data, finished[i].length);
  }
}

void CWaveOutSdl::DropQueued() {
  Queued dropped[kMaxQueued];
  int droppedCount = 0;
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    while (count_ > 0) {
      dropped[droppedCount++] = ring_[head_];
      head_ = (head_ + 1) % kMaxQueued;
      --count_;
    }
  }
  for (int i = 0; i < droppedCount; ++i) {
    if (done_ != nullptr) done_(user_, dropped[i].data, dropped[i].length);
  }
}
