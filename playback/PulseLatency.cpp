// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/PulseLatency.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#if ROADEYE_HAVE_PULSE
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include "support/Diag.h"

struct CPulseLatency::Impl {
  CPulseLatency* owner = nullptr;
  int rate = 0;
  int channels = 0;
  std::string pid;

  pa_threaded_mainloop* loop = nullptr;
  pa_mainloop_api* api = nullptr;
  // The main loop's thread only, from Start's hand-over on.
  pa_context* context = nullptr;
  pa_time_event* timer = nullptr;
  int queries = 0;
  bool found = false;  // this round of the sink-input list held our stream
  int figures[kFigures] = {};
  int figureCount = 0;  // figures kept, up to kFigures
  int nextFigure = 0;

  ~Impl() {
    if (loop == nullptr) return;
    pa_threaded_mainloop_stop(loop);
    if (timer != nullptr) api->time_free(timer);
    DropContext();
    pa_threaded_mainloop_free(loop);
  }

  void DropContext() {
    if (context == nullptr) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }

  // Main loop's thread (or Start, before the loop runs).
  void Connect() {
    DropContext();
    context = pa_context_new(api, "roadeye latency");
    if (context == nullptr) return;
    pa_context_set_state_callback(context, &Impl::OnContext, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) DropContext();
  }

  void Arm(unsigned ms) {
    timeval tv{};
    pa_timeval_add(pa_gettimeofday(&tv), pa_usec_t(ms) * 1000);
    if (timer == nullptr) {
      timer = api->time_new(api, &tv, &Impl::OnTimer, this);
    } else {
      api->time_restart(timer, &tv);
    }
  }

  void Query() {
    if (context == nullptr || pa_context_get_state(context) != PA_CONTEXT_READY) return;
    found = false;
    pa_operation* op = pa_context_get_sink_input_info_list(context, &Impl::OnSinkInput, this);
    if (op != nullptr) pa_operation_unref(op);
  }

  void Note(int micros) {
    figures[nextFigure] = micros;
    nextFigure = (nextFigure + 1) % kFigures;
    figureCount = std::min(figureCount + 1, kFigures);
    // The median of the figures kept, by insertion into a sorted copy.
    int sorted[kFigures] = {};
    for (int i = 0; i < figureCount; ++i) {
      int at = i;
      for (; at > 0 && sorted[at - 1] > figures[i]; --at) sorted[at] = sorted[at - 1];
      sorted[at] = figures[i];
    }
    owner->latency_.store(sorted[figureCount / 2], std::memory_order_release);
  }

  void Forget() {
    figureCount = 0;
    nextFigure = 0;
    owner->latency_.store(-1, std::memory_order_release);
  }

  static void OnContext(pa_context* c, void* user) {
    auto* self = static_cast<Impl*>(user);
    const pa_context_state_t state = pa_context_get_state(c);
    if (state == PA_CONTEXT_READY) {
      self->Query();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
      // The server went away: the figure no longer holds. The next refresh connects again.
      self->Forget();
      self->owner->NoteAnswer(true);
    }
  }

  static void OnTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* user) {
    auto* self = static_cast<Impl*>(user);
    if (self->context == nullptr || !PA_CONTEXT_IS_GOOD(pa_context_get_state(self->context))) {
      self->queries = 0;
      self->Connect();
    } else {
      self->Query();
    }
    ++self->queries;
    self->Arm(self->queries < kSettleQueries ? kSettleRefreshMs : kRefreshMs);
  }

  static void OnSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* user) {
    auto* self = static_cast<Impl*>(user);
    if (eol != 0) {
      if (!self->found) self->Forget();
      self->owner->NoteAnswer(true);
      return;
    }
    if (info == nullptr || self->found) return;
    const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    if (pid == nullptr || self->pid != pid || int(info->sample_spec.rate) != self->rate ||
        int(info->sample_spec.channels) != self->channels || info->corked) {
      return;
    }
    self->found = true;
    // The server asks for each device buffer as it needs it, so the stream's own buffer reads
    // the same at every callback; the sink's part moves with its block and is smoothed by the
    // median.
    const long long figure = static_cast<long long>(info->buffer_usec + info->sink_usec);
    if (figure > kMaxLatencyMicros) return;
    self->Note(static_cast<int>(figure));
  }
};

bool CPulseLatency::Supported() { return true; }

bool CPulseLatency::Start(int rate, int channels) {
  Stop();
  if (rate <= 0 || channels <= 0) return false;
  NoteAnswer(false);
  auto impl = std::make_unique<Impl>();
  impl->owner = this;
  impl->rate = rate;
  impl->channels = channels;
  impl->pid = std::to_string(::getpid());
  impl->loop = pa_threaded_mainloop_new();
  if (impl->loop == nullptr) return false;
  impl->api = pa_threaded_mainloop_get_api(impl->loop);
  pa_threaded_mainloop_set_name(impl->loop, "PulseLatency");
  impl->Connect();
  impl->Arm(kSettleRefreshMs);
  if (impl->timer == nullptr || pa_threaded_mainloop_start(impl->loop) < 0) {
    DiagPrintf("[CPulseLatency] the latency query could not start\n");
    NoteAnswer(true);
    return false;
  }
  impl_ = std::move(impl);
  return true;
}

void CPulseLatency::SetPaused(bool paused) {
  if (!impl_) return;
  pa_threaded_mainloop_lock(impl_->loop);
  if (paused) {
    impl_->api->time_restart(impl_->timer, nullptr);  // disarmed
  } else {
    impl_->queries = 0;
    impl_->Arm(kSettleRefreshMs);
  }
  pa_threaded_mainloop_unlock(impl_->loop);
}

void CPulseLatency::Stop() {
  // The impl's destructor stops the main loop (joining its thread) before it frees the rest.
  impl_.reset();
  latency_.store(-1, std::memory_order_release);
  NoteAnswer(true);
}

#else  // no libpulse: no figure, and the clock stays as SDL sees it

struct CPulseLatency::Impl {};

bool CPulseLatency::Supported() { return false; }

bool CPulseLatency::Start(int, int) { return false; }

void CPulseLatency::SetPaused(bool) {}

void CPulseLatency::Stop() { latency_.store(-1, std::memory_order_release); }

#endif

CPulseLatency::CPulseLatency() = default;

void CPulseLatency::NoteAnswer(bool answered) {
  {
    std::lock_guard<std::mutex> hold(answerLock_);
    answered_ = answered;
  }
  if (answered) answerCame_.notify_all();
}

bool CPulseLatency::WaitForFirstAnswer(unsigned maxMs) {
  std::unique_lock<std::mutex> hold(answerLock_);
  return answerCame_.wait_for(hold, std::chrono::milliseconds(maxMs), [this] { return answered_; });
}

CPulseLatency::~CPulseLatency() { Stop(); }
