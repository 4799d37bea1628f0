// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/TimeStretch.h"

#include <SoundTouch.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace {

// Debian builds SoundTouch with 32-bit float samples (SOUNDTOUCH_FLOAT_SAMPLES); the conversions
// below assume it, so an integer build fails here instead of playing noise.
static_assert(sizeof(soundtouch::SAMPLETYPE) == sizeof(float) &&
                  static_cast<soundtouch::SAMPLETYPE>(0.5) != 0,
              "SoundTouch must be built with float samples");

// WSOLA settings for a dash camera's sound: speech in the cabin and road noise, 8000 Hz mono.
// SoundTouch's defaults (a sequence chosen by tempo, up to 90 ms when slowing down) suit music;
// on speech, long pieces repeat or drop whole phonemes and slowed sound gets an echo.
// - 40 ms pieces are shorter than a syllable yet hold several periods of a voice (80..400 Hz),
//   so the joins fall inside a sound rather than between words.
// - A 15 ms seek window covers more than one period of the lowest voice (12.5 ms at 80 Hz), so a
//   join can always line up with the waveform; a wider one lets the pitch wander audibly.
// - 8 ms of cross-fade hides the join in broadband road noise without smearing consonants.
// Together they hold back 20..85 ms of input, depending on the tempo and where the current
// piece stands.
constexpr int kSequenceMs = 40;
constexpr int kSeekWindowMs = 15;
constexpr int kOverlapMs = 8;

// Frames handed to SoundTouch at a time, so the float copy stays small whatever the block size.
constexpr int kChunkFrames = 1024;

float ToFloat(std::int16_t s) { return static_cast<float>(s) * (1.0f / 32768.0f); }

// Overlapping pieces can sum slightly past full scale: clip rather than wrap.
std::int16_t ToInt16(float f) {
  const float scaled = std::nearbyint(f * 32768.0f);
  return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

}  // namespace

TimeStretch::TimeStretch() = default;
TimeStretch::~TimeStretch() = default;

bool TimeStretch::Configure(int sampleRate, int channels) {
  ResetBuffers();
  stretcher_.reset();
  sampleRate_ = 0;
  channels_ = 0;
  stretching_ = false;
  if (sampleRate < kMinRate || sampleRate > kMaxRate || channels < 1 || channels > kMaxChannels)
    return false;
  try {
    stretcher_ = std::make_unique<soundtouch::SoundTouch>();
    scratch_.resize(static_cast<std::size_t>(kChunkFrames) * channels);
  } catch (...) {
    stretcher_.reset();
    return false;
  }
  sampleRate_ = sampleRate;
  channels_ = channels;
  if (tempo_ != 1.0 && !StartStretcher()) {
    stretcher_.reset();
    sampleRate_ = 0;
    channels_ = 0;
    return false;
  }
  return true;
}

bool TimeStretch::StartStretcher() {
  try {
    stretcher_->setSampleRate(static_cast<unsigned>(sampleRate_));
    stretcher_->setChannels(static_cast<unsigned>(channels_));
    stretcher_->setSetting(SETTING_USE_QUICKSEEK, 0);  // the full search is cheap at these rates
    stretcher_->setSetting(SETTING_SEQUENCE_MS, kSequenceMs);
    stretcher_->setSetting(SETTING_SEEKWINDOW_MS, kSeekWindowMs);
    stretcher_->setSetting(SETTING_OVERLAP_MS, kOverlapMs);
    stretcher_->setTempo(tempo_);
    stretcher_->clear();
  } catch (...) {
    stretching_ = false;
    return false;
  }
  heldInput_ = 0;
  stretching_ = true;
  return true;
}

void TimeStretch::SetTempo(double tempo) {
  const double next = std::isnan(tempo) ? 1.0 : std::clamp(tempo, kMinTempo, kMaxTempo);
  if (next == tempo_) return;
  tempo_ = next;
  if (!Configured()) return;
  if (next == 1.0) {
    PushOutStretcher();
    stretching_ = false;
  } else if (!stretching_) {
    StartStretcher();
  } else {
    try {
      stretcher_->setTempo(next);
    } catch (...) {
      stretching_ = false;
    }
  }
}

bool TimeStretch::Put(const std::int16_t* samples, int frames) {
  if (!Configured() || frames < 0 || (samples == nullptr && frames > 0)) return false;
  if (frames == 0) return true;
  const std::int64_t limit = static_cast<std::int64_t>(kMaxBufferedSeconds) * sampleRate_;
  if (BufferedInputFrames() + frames > limit) return false;
  try {
    if (!stretching_) {
      AppendReady(samples, frames, 1.0);
      return true;
    }
    for (int done = 0; done < frames;) {
      const int n = std::min(kChunkFrames, frames - done);
      const std::int16_t* in = samples + static_cast<std::size_t>(done) * channels_;
      const std::size_t count = static_cast<std::size_t>(n) * channels_;
      for (std::size_t i = 0; i < count; ++i) scratch_[i] = ToFloat(in[i]);
      stretcher_->putSamples(scratch_.data(), static_cast<unsigned>(n));
      heldInput_ += n;
      // Taking the output at once means it was made at the tempo now in force.
      DrainStretcher(tempo_);
      done += n;
    }
  } catch (...) {
    Clear();
    return false;
  }
  return true;
}

void TimeStretch::DrainStretcher(double inputPerFrame) {
  while (stretcher_->numSamples() > 0) {
    const unsigned got = stretcher_->receiveSamples(scratch_.data(), kChunkFrames);
    if (got == 0) break;
    const std::size_t count = static_cast<std::size_t>(got) * channels_;
    const std::size_t at = ready_.size();
    ready_.resize(at + count);
    for (std::size_t i = 0; i < count; ++i) ready_[at + i] = ToInt16(scratch_[i]);
    AppendRun(got, inputPerFrame);
    heldInput_ -= got * inputPerFrame;
  }
}

void TimeStretch::PushOutStretcher() {
  if (!stretching_ || !stretcher_) return;
  try {
    stretcher_->flush();
    // Whatever the flush gives out stands for all the input still held back.
    const unsigned out = stretcher_->numSamples();
    const double held = std::max(heldInput_, 0.0);
    const double perFrame = out > 0 ? held / out : 0.0;
    DrainStretcher(perFrame);
    stretcher_->clear();
  } catch (...) {
    // Out of memory: what was held back is lost, the stream goes on.
  }
  heldInput_ = 0;
}

void TimeStretch::Flush() {
  if (!Configured() || !stretching_) return;
  PushOutStretcher();
  // The next Put starts a new stream: the stretcher begins afresh.
  StartStretcher();
}

void TimeStretch::Clear() {
  ResetBuffers();
  if (stretching_) StartStretcher();
}

int TimeStretch::Receive(std::int16_t* out, int maxFrames) {
  if (!Configured() || out == nullptr || maxFrames <= 0) return 0;
  const int take = std::min(maxFrames, ReadyFrames());
  if (take == 0) return 0;
  const std::size_t count = static_cast<std::size_t>(take) * channels_;
  std::copy_n(ready_.begin() + static_cast<std::ptrdiff_t>(readHead_), count, out);
  readHead_ += count;
  for (std::int64_t left = take; left > 0 && !runs_.empty();) {
    Run& run = runs_.front();
    const std::int64_t n = std::min(left, run.frames);
    readyInput_ -= static_cast<double>(n) * run.inputPerFrame;
    run.frames -= n;
    left -= n;
    if (run.frames == 0) runs_.pop_front();
  }
  if (runs_.empty()) readyInput_ = 0;  // no rounding drift left over once all is received
  return take;
}

int TimeStretch::ReadyFrames() const {
  if (channels_ == 0) return 0;
  return static_cast<int>((ready_.size() - readHead_) / static_cast<std::size_t>(channels_));
}

std::int64_t TimeStretch::BufferedInputFrames() const {
  return std::max<std::int64_t>(0, std::llround(std::max(heldInput_, 0.0) + readyInput_));
}

std::int64_t TimeStretch::LatencyFrames() const {
  return stretching_ ? std::llround(std::max(heldInput_, 0.0)) : 0;
}

void TimeStretch::AppendReady(const std::int16_t* samples, std::int64_t frames,
                              double inputPerFrame) {
  const std::size_t count = static_cast<std::size_t>(frames) * channels_;
  ready_.insert(ready_.end(), samples, samples + count);
  AppendRun(frames, inputPerFrame);
}

void TimeStretch::AppendRun(std::int64_t frames, double inputPerFrame) {
  // Called after the frames were added: drop what has been received once it is most of the
  // buffer, so the vector does not grow with the stream's length.
  if (readHead_ > 0 && readHead_ * 2 >= ready_.size()) {
    ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(readHead_));
    readHead_ = 0;
  }
  if (!runs_.empty() && runs_.back().inputPerFrame == inputPerFrame)
    runs_.back().frames += frames;
  else
    runs_.push_back({frames, inputPerFrame});
  readyInput_ += static_cast<double>(frames) * inputPerFrame;
}

void TimeStretch::ResetBuffers() {
  ready_.clear();
  readHead_ = 0;
  runs_.clear();
  readyInput_ = 0;
  heldInput_ = 0;
}
