// SPDX-License-Identifier: GPL-3.0-or-later
// What a recording of a sample card holds, stream by stream, whatever the layout of the card: the
// drive it belongs to (TripDrive.h), its front and rear pictures drawn (RoadScene.h) and encoded
// (CardEncoder.h), its sound, a GPS fix for each whole second and the G-sensor samples. A card's
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

// A GPS fix as the receiver gives it.
struct GpsFix {
  DateTime utc;
  double latitude = 0, longitude = 0;  // decimal degrees, north and east positive
  double kmh = 0;
  double course = 0;  // degrees clockwise from north
};

class RecordingStreams {
 public:
  // The streams of `plan`, whose trip offset must lie within 0..TripDrive::kMaxSeconds. Every
  // keyInterval-th picture, from the first on, is a key picture.
  RecordingStreams(const CardOptions& options, const RecordingPlan& plan, int keyInterval);
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

  // Sound samples [first, first + n) at kSoundRate, 16-bit mono little-endian, asked for in order.
  void Sound(std::int64_t first, int n, std::vector<std::uint8_t>* pcm) {
    sound_.Generate(first, n, pcm);
  }

  // The fix at whole second `second` of the recording.
  GpsFix Fix(int second) const;

  // G-sensor sample k (0, 1, ... in turn, kGsensorPerSecond a second): a byte per axis, 128
  // meaning no force and 40 counts a g, that swing with the car's turning and braking, and a
  // collision's jolt at each of the card's jolt seconds (or in the middle of an event recording
  // when the card names none).
  std::array<std::uint8_t, 3> Gsensor(int k);

 private:
  const int fps_;
  const DateTime start_;
  const DateTime utcStart_;
  const TripDrive route_;
  Rng gsensorRng_;
  SoundSynth sound_;
  std::vector<int> jolts_;  // first samples of the jolts, ascending
  H264Settings frontEncoding_, rearEncoding_;
  RoadScene frontScene_;
  std::unique_ptr<RoadScene> rearScene_;  // null without a rear camera
  H264Encoder frontEncoder_, rearEncoder_;
};

}  // namespace tools
