// SPDX-License-Identifier: GPL-3.0-or-later
// The time-stretch between the sound decoder and the sound device: it makes 16-bit PCM play
// `tempo` times faster or slower (1/2 .. 2) while keeping its pitch, with SoundTouch's WSOLA
// (cut the sound into short overlapping pieces, drop or repeat some, join them where the waveforms
// line up best). At tempo 1.0 it is an exact pass-through: the same samples, ready as soon as they
// are put, with no SoundTouch in the path.
//
// Mapping output back to media time (what the engine's clock needs). Let `end` be the media
// position, in input frames, just past the last frame given to Put. Then:
//   - the next frame Receive returns stands for input position  end - BufferedInputFrames();
//   - each output frame stands for `tempo` input frames (the tempo in force when the frame was
//     made), so output duration = input duration / tempo; the frames pushed out when the tempo
//     returns to 1.0, or by Flush, share the input held back at that moment. Either way, what
//     BufferedInputFrames() drops by across a Receive is the input the received frames stand for;
//   - BufferedInputFrames() = LatencyFrames() + the input the ready frames stand for, where
//     LatencyFrames() is the input still held back inside the stretcher (0 at tempo 1.0;
//     otherwise it rises and falls with each 40 ms piece, between about 20 and 85 ms of input at
//     8000 Hz with the settings chosen in the .cpp, see kSequenceMs).
// The stretcher joins its pieces where they fit best, so a given output frame may come from up to
// about one piece (40 ms) away from the position this rule gives; the rule never drifts, and after
// Flush the output of a stream stretched at one tempo is round(input / tempo) frames long.
//
// Changing the tempo mid-stream: between two tempos other than 1.0 the stretcher carries on. Going
// to 1.0, the stretcher's held-back input is pushed out first (stretched at the old tempo), then
// the sound passes through untouched. Coming from 1.0, the stretcher starts afresh and holds back
// its latency before the first stretched frame.
//
// Memory is bounded: at most kMaxBufferedSeconds of input may be waiting inside (Put refuses more).
// Nothing throws. Not thread-safe: one thread (the sound feeder) makes every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace soundtouch {
class SoundTouch;
}

class TimeStretch {
 public:
  static constexpr double kMinTempo = 0.5;
  static constexpr double kMaxTempo = 2.0;
  static constexpr int kMinRate = 8000;
  static constexpr int kMaxRate = 48000;
  static constexpr int kMaxChannels = 2;
  // Input (in seconds of sound) that may be waiting inside, held back or ready to Receive: the
  // feeder keeps well under a second queued, so this only stops a caller that never receives.
  static constexpr int kMaxBufferedSeconds = 10;

  TimeStretch();
  ~TimeStretch();
  TimeStretch(const TimeStretch&) = delete;
  TimeStretch& operator=(const TimeStretch&) = delete;

  // Sets the format of the interleaved 16-bit samples (8000..48000 Hz, 1 or 2 channels) and forgets
  // everything buffered; the tempo is kept. False (and unconfigured: Put refuses) when the format
  // is out of range or the stretcher could not be made.
  bool Configure(int sampleRate, int channels);
  bool Configured() const { return channels_ > 0; }

  // Playback speed: 2.0 plays twice as fast. Values are clamped to [kMinTempo, kMaxTempo]; a value
  // that is not a number leaves the tempo at 1.0. May be called at any time, also before Configure.
  void SetTempo(double tempo);
  double Tempo() const { return tempo_; }

  // Adds `frames` frames (frames * channels samples). False, taking nothing, when unconfigured,
  // when samples is null with frames > 0, frames < 0, or when the input waiting inside would pass
  // kMaxBufferedSeconds.
  bool Put(const std::int16_t* samples, int frames);
  // Copies up to maxFrames ready frames to out (room for maxFrames * channels samples) and returns
  // how many it copied; 0 when none is ready.
  int Receive(std::int16_t* out, int maxFrames);
  // Frames Receive can give now.
  int ReadyFrames() const;

  // A seek: forgets every frame put and not yet received, and the stretcher's state.
  void Clear();
  // End of stream: pushes the held-back input out as ready frames (the stretcher pads the last
  // piece and trims the result to the stream's length), so that Receive returns everything.
  void Flush();

  // Input frames put whose sound has not been received yet (held back plus ready), as defined in
  // the mapping above. Never negative.
  std::int64_t BufferedInputFrames() const;
  // Input frames held back inside the stretcher, not yet turned into ready output: the latency the
  // stretcher adds, in input frames. 0 at tempo 1.0 once any earlier stretch has been pushed out.
  std::int64_t LatencyFrames() const;

 private:
  // A run of ready output frames that each stand for the same number of input frames.
  struct Run {
    std::int64_t frames;
    double inputPerFrame;
  };

  bool StartStretcher();
  void PushOutStretcher();
  // Moves what the stretcher has made into the ready frames, each standing for inputPerFrame
  // input frames.
  void DrainStretcher(double inputPerFrame);
  void AppendReady(const std::int16_t* samples, std::int64_t frames, double inputPerFrame);
  void AppendRun(std::int64_t frames, double inputPerFrame);
  void ResetBuffers();

  int sampleRate_ = 0;
  int channels_ = 0;
  double tempo_ = 1.0;
  // Whether input goes through SoundTouch: configured and the tempo is not 1.0.
  bool stretching_ = false;
  std::unique_ptr<soundtouch::SoundTouch> stretcher_;
  // Input frames given to the stretcher minus the input worth of what it has output so far.
  double heldInput_ = 0;
  // Ready frames, interleaved; readHead_ is the first sample not yet received.
  std::vector<std::int16_t> ready_;
  std::size_t readHead_ = 0;
  std::deque<Run> runs_;
  double readyInput_ = 0;  // sum of runs_ frames * inputPerFrame
  std::vector<float> scratch_;
};
