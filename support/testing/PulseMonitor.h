// SPDX-License-Identifier: GPL-3.0-or-later
// Records what a PulseAudio sink plays, from its monitor source, and says when each recorded
// sample was played: the "heard" side of a lip-sync measurement. The includer links libpulse.
//
// The record stream runs on libpulse's threaded main loop (a thread of its own). Each chunk that
// arrives is stamped with the steady clock and the stream's latency at that moment (for a monitor
// it is negative: the sink hands its sound to the monitor a little before it plays it), so the
// chunk's first sample was played at now - latency. The recording's time line is the median of
// those stamps, which takes the capture's own delay and the jitter of its deliveries off.
#pragma once

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace roadeye_test {

class PulseMonitor {
 public:
  // The recording's format: 16-bit mono at the null sink's own rate, so nothing is resampled.
  static constexpr int kRate = 48000;
  // How long Start waits for the stream to run, in ms.
  static constexpr int kStartLimitMs = 5000;
  // How long Start waits for the first 20 ms of sound to be recorded, in ms.
  static constexpr int kSettleLimitMs = 4000;

  PulseMonitor() = default;
  ~PulseMonitor() { Stop(); }
  PulseMonitor(const PulseMonitor&) = delete;
  PulseMonitor& operator=(const PulseMonitor&) = delete;

  // Starts recording source (a sink's "<name>.monitor") on the server PULSE_SERVER names; true
  // once the stream runs.
  bool Start(const std::string& source) {
    Stop();
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "roadeye monitor");
    if (context_ == nullptr) return Fail();
    pa_context_set_state_callback(context_, &PulseMonitor::OnContext, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return Fail();
    pa_threaded_mainloop_lock(loop_);
    if (pa_threaded_mainloop_start(loop_) < 0) {
      pa_threaded_mainloop_unlock(loop_);
      return Fail();
    }
    bool ok = WaitLocked([this] {
                const pa_context_state_t s = pa_context_get_state(context_);
                return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
              }) &&
              pa_context_get_state(context_) == PA_CONTEXT_READY;
    if (ok) {
      const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 1};
      stream_ = pa_stream_new(context_, "roadeye monitor", &spec, nullptr);
      ok = stream_ != nullptr;
    }
    if (ok) {
      pa_stream_set_state_callback(stream_, &PulseMonitor::OnStream, this);
      pa_stream_set_read_callback(stream_, &PulseMonitor::OnRead, this);
      pa_buffer_attr attr{};
      attr.maxlength = static_cast<std::uint32_t>(-1);
      attr.fragsize = kRate * 2 / 100;  // 10 ms per delivery
      const auto flags = static_cast<pa_stream_flags_t>(
          PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
      ok = pa_stream_connect_record(stream_, source.c_str(), &attr, flags) == 0 &&
           WaitLocked([this] {
             const pa_stream_state_t s = pa_stream_get_state(stream_);
             return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
           }) &&
           pa_stream_get_state(stream_) == PA_STREAM_READY;
    }
    pa_threaded_mainloop_unlock(loop_);
    if (!ok) return Fail();
    // An idle null sink renders two seconds ahead and sleeps; it takes up the low latency the
    // recording asks for only when it wakes, and only then is the first sound recorded. Until
    // then a new stream would wait that long for its sound to be asked for, so Start returns once
    // the recording runs.
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (recorded_.wait_for(hold, std::chrono::milliseconds(kSettleLimitMs),
                             [&] { return samples_.size() >= std::size_t(kRate / 50); })) {
        return true;
      }
    }
    return Fail();
  }

  // Ends the recording; what was recorded stays.
  void Stop() {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_stop(loop_);
    if (stream_ != nullptr) {
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
      stream_ = nullptr;
    }
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
  }

  std::vector<std::int16_t> Samples() const {
    std::lock_guard<std::mutex> hold(lock_);
    return samples_;
  }

  // When sample `index` of the recording was played, in ms on the steady clock; -1 before any
  // chunk was stamped.
  double PlayedAtMs(long index) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (stamps_.empty()) return -1;
    std::vector<double> offsets;
    offsets.reserve(stamps_.size());
    for (const Stamp& s : stamps_) offsets.push_back(s.ms - double(s.index) * 1000.0 / kRate);
    std::nth_element(offsets.begin(), offsets.begin() + long(offsets.size() / 2), offsets.end());
    return offsets[offsets.size() / 2] + double(index) * 1000.0 / kRate;
  }

  // When each burst began: the first sample louder than threshold after at least quietMs of
  // samples no louder than it, in ms on the steady clock.
  std::vector<double> OnsetsMs(int threshold, double quietMs) const {
    const std::vector<std::int16_t> samples = Samples();
    const long quiet = long(quietMs * kRate / 1000);
    std::vector<double> onsets;
    long last = -quiet - 1;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (std::abs(int(samples[i])) <= threshold) continue;
      if (long(i) - last > quiet) onsets.push_back(PlayedAtMs(long(i)));
      last = long(i);
    }
    return onsets;
  }

 private:
  struct Stamp {
    long index;  // the first sample of a chunk
    double ms;   // when it was played
  };

  static double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  bool Fail() {
    if (loop_ != nullptr) Stop();
    return false;
  }

  // Waits on the main loop's condition (its lock held) until done() holds or the limit passes.
  template <class Done>
  bool WaitLocked(Done done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      pa_threaded_mainloop_wait(loop_);
    }
    return true;
  }

  static void OnContext(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseMonitor*>(self)->loop_, 0);
  }
  static void OnStream(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseMonitor*>(self)->loop_, 0);
  }

  static void OnRead(pa_stream* stream, std::size_t, void* user) {
    auto* self = static_cast<PulseMonitor*>(user);
    for (;;) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      pa_usec_t latency = 0;
      int negative = 0;
      const bool timed = pa_stream_get_latency(stream, &latency, &negative) == 0;
      const double now = NowMs();
      {
        std::lock_guard<std::mutex> hold(self->lock_);
        const long index = long(self->samples_.size());
        if (timed) {
          const double ms = double(latency) / 1000.0;
          self->stamps_.push_back(Stamp{index, negative ? now + ms : now - ms});
        }
        const std::size_t count = bytes / 2;
        if (data == nullptr) {
          self->samples_.insert(self->samples_.end(), count, 0);  // a hole in the recording
        } else {
          const auto* s = static_cast<const std::int16_t*>(data);
          self->samples_.insert(self->samples_.end(), s, s + count);
        }
      }
      self->recorded_.notify_all();
      pa_stream_drop(stream);
    }
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;

  // The main loop's thread appends; readers copy, under lock_.
  mutable std::mutex lock_;
  std::condition_variable recorded_;  // samples_ grew
  std::vector<std::int16_t> samples_;
  std::vector<Stamp> stamps_;
};

}  // namespace roadeye_test
