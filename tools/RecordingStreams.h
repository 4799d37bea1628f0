// SPDX-License-Identifier: GPL-3.0-or-later
// What a recording of a sample card holds, stream by stream, whatever the layout of the card: the
// drive it belongs to (TripDrive.h), its cameras' pictures drawn (RoadScene.h) and encoded
// (CardEncoder.h), its sound, a GPS fix for each whole second and the G-sensor samples. A VEX
// recording has a front camera and maybe a rear one; other families' recordings may have more
// (an interior camera, Tesla's four), each drawn as a view away from the road ahead. A card's
// layout (CardLayout.h) asks for each stream's pieces in order and puts them into its file in
// time order. Each recording's thread makes and uses its own.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/CardEncoder.h"
#include "tools/CardWriter.h"
#include "tools/Rng.h"
#include "tools/RoadScene.h"
#include "tools/TripDrive.h"

namespace tools {

// G-sensor samples per second.
inline constexpr int kGsensorPerSecond = 10;

// How far the cameras' clock (the one in the file names) runs ahead of UTC: they keep Korean time,
// while GPS fixes carry UTC.
inline constexpr int kClockAheadOfUtcSeconds = 9 * 3600;

// A GPS fix as the receiver gives it.
struct GpsFix {
  DateTime utc;
  double latitude = 0, longitude = 0;  // decimal degrees, north and east positive
  double kmh = 0;
  double course = 0;  // degrees clockwise from north
};

// How a recording's streams are encoded for the container that holds them.
struct StreamFormat {
  VideoCodec codec = VideoCodec::kH264;
  bool globalHeader = false;  // parameter sets in the encoders' headers too
  int soundRate = kSoundRate;
  // The cameras' picture sizes, the front camera (the one that sees the flash and the number
  // plate) first; empty: the front and, when the plan has one, the rear camera at the card's
  // sizes.
  std::vector<VideoSize> cameras;
  // Every camera's picture carries the whole-second flash, not the front one's alone (other
  // families' cards, whose cameras' files are each timed on their own).
  bool flashEveryCamera = false;
  // How many ms after the front camera's the other cameras' pictures are taken (CardOptions).
  int camerasLateMs = 0;
};

class RecordingStreams {
 public:
  // The streams of `plan`, whose trip offset must lie within 0..TripDrive::kMaxSeconds. Every
  // keyInterval-th picture, from the first on, is a key picture.
  RecordingStreams(const CardOptions& options, const RecordingPlan& plan, int keyInterval,
                   const StreamFormat& format = StreamFormat());
  RecordingStreams(const RecordingStreams&) = delete;
  RecordingStreams& operator=(const RecordingStreams&) = delete;

  // Opens the encoders, before the first picture. On failure fills *error and returns false.
  bool Open(std::string* error);

  // Draws picture n (0, 1, ... in turn) of the front camera, and of the rear one when the plan has
  // it, encodes each, and collects what comes out of the encoders into `front` and `rear`.
  bool EncodePicture(int n, std::deque<AccessUnit>* front, std::deque<AccessUnit>* rear,
                     std::string* error);
  // Flushes the encoders at the end of the recording into `front` and `rear`.
  bool Drain(std::deque<AccessUnit>* front, std::deque<AccessUnit>* rear, std::string* error);

  // The same for every camera: out[c] collects camera c's pictures (out holds Cameras() queues).
  bool EncodePicture(int n, std::vector<std::deque<AccessUnit>>* out, std::string* error);
  bool Drain(std::vector<std::deque<AccessUnit>>* out, std::string* error);

  int Cameras() const { return int(cameras_.size()); }
  // Camera c's open encoder, for a muxer to copy its parameters from.
  const AVCodecContext* Encoder(int c) const { return cameras_[std::size_t(c)].encoder.context(); }

  // Sound samples [first, first + n) at the format's sound rate (kSoundRate unless asked),
  // 16-bit mono little-endian, asked for in order.
  void Sound(std::int64_t first, int n, std::vector<std::uint8_t>* pcm) {
    sound_.Generate(first, n, pcm);
  }

  // The fix at whole second `second` of the recording.
  GpsFix Fix(int second) const;
  // Where the car is at any time of the recording (its utc the whole second before).
  GpsFix FixAt(double seconds) const;

  // G-sensor sample k (0, 1, ... in turn, kGsensorPerSecond a second): a byte per axis, 128
  // meaning no force and 40 counts a g, that swing with the car's turning and braking, and a
  // collision's jolt at each of the card's jolt seconds (or in the middle of an event recording
  // when the card names none).
  std::array<std::uint8_t, 3> Gsensor(int k);

 private:
  const int fps_;
  const int lateMs_;  // the other cameras', 0..kMaxCameraLateMs
  const DateTime start_;
  const DateTime utcStart_;
  const TripDrive route_;
  Rng gsensorRng_;
  SoundSynth sound_;
  std::vector<int> jolts_;  // first samples of the jolts, ascending
  struct Camera {
    H264Settings encoding;
    std::unique_ptr<RoadScene> scene;
    H264Encoder encoder;
  };
  std::vector<Camera> cameras_;  // the front camera first
};

}  // namespace tools
