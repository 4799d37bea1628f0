// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RecordingStreams.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <numbers>

namespace tools {

namespace {

constexpr double kPi = std::numbers::pi;

// Counts per g of the G-sensor bytes.
constexpr double kGsensorCountsPerG = 40;
// The samples of a collision's jolt.
constexpr int kJoltSamples = 4;

bool Parked(const RecordingPlan& plan) { return plan.kind == "PARKING"; }

// The seed of the plan's trip: its own seed for a recording that is a trip of its own.
std::uint64_t TripSeed(const RecordingPlan& plan) {
  return plan.tripSeed != 0 ? plan.tripSeed : plan.seed;
}

// How a camera of the card encodes its pictures: the front at the card's bit rate, the others at
// a third of it.
H264Settings Encoding(const CardOptions& options, const StreamFormat& format, VideoSize size,
                      bool front, int keyInterval) {
  H264Settings s;
  s.codec = format.codec;
  s.globalHeader = format.globalHeader;
  s.width = size.width;
  s.height = size.height;
  s.fps = options.fps;
  s.keyInterval = keyInterval;
  s.bitrateKbps = front ? options.bitrateKbps : options.bitrateKbps / 3;
  s.high = options.realistic;
  return s;
}

}  // namespace

RecordingStreams::RecordingStreams(const CardOptions& options, const RecordingPlan& plan,
                                   int keyInterval, const StreamFormat& format)
    : fps_(options.fps),
      lateMs_(std::clamp(format.camerasLateMs, 0, kMaxCameraLateMs)),
      start_(plan.start),
      utcStart_(AddSeconds(plan.start, -kClockAheadOfUtcSeconds)),
      route_(TripSeed(plan) * 7919ull + 17, plan.tripOffsetSeconds, plan.seconds, Parked(plan)),
      gsensorRng_(plan.seed * 104729ull + 3),
      sound_(plan.seed * 1299709ull + 5, route_, Parked(plan), format.soundRate) {
  std::vector<VideoSize> sizes = format.cameras;
  if (sizes.empty()) {
    sizes.push_back(options.front);
    if (plan.rear) sizes.push_back(options.rear);
  }
  cameras_ = std::vector<Camera>(sizes.size());
  for (std::size_t c = 0; c < sizes.size(); ++c) {
    const bool front = c == 0;
    cameras_[c].encoding = Encoding(options, format, sizes[c], front, keyInterval);
    cameras_[c].scene = std::make_unique<RoadScene>(
        sizes[c].width, sizes[c].height, front, plan.seed + std::uint32_t(c), options.realistic);
    if (format.flashEveryCamera) cameras_[c].scene->ShowFlash(true);
  }
  for (int second : options.joltSeconds) jolts_.push_back(second * kGsensorPerSecond);
  if (options.joltSeconds.empty() && plan.kind == "EVENT") {
    jolts_.push_back(plan.seconds * kGsensorPerSecond / 2);
  }
  std::sort(jolts_.begin(), jolts_.end());
}

bool RecordingStreams::Open(std::string* error) {
  for (Camera& camera : cameras_) {
    if (!camera.encoder.Open(camera.encoding, error)) return false;
  }
  return true;
}

bool RecordingStreams::EncodePicture(int n, std::vector<std::deque<AccessUnit>>* out,
                                     std::string* error) {
  if (out->size() < cameras_.size()) out->resize(cameras_.size());
  for (std::size_t c = 0; c < cameras_.size(); ++c) {
    // Picture n is taken at `ticks` thousandths of a picture period after the front camera's
    // first; the flash shows in the first picture at or after each whole second.
    const std::int64_t ticks = std::int64_t(n) * 1000 + (c == 0 ? 0 : std::int64_t(lateMs_) * fps_);
    const std::int64_t second = std::int64_t(fps_) * 1000;
    const double t = double(ticks) / double(second);
    const DateTime now = AddSeconds(start_, ticks / second);
    char clock[32];
    std::snprintf(clock, sizeof clock, "%04d.%02d.%02d %02d:%02d:%02d", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);
    const int kmh = int(route_.SpeedKmh(t));
    // The trip's distance, so that the road's marks run on from the recording before.
    const double metres = route_.Metres(t);
    Picture picture;
    if (!cameras_[c].encoder.NextPicture(&picture, error)) return false;
    const bool flashes = c == 0 || cameras_[c].scene->ShowsFlash();
    cameras_[c].scene->Draw(picture, n, t, metres, clock, kmh, flashes && ticks % second < 1000);
    if (!cameras_[c].encoder.Encode(n, &(*out)[c], error)) return false;
  }
  return true;
}

bool RecordingStreams::Drain(std::vector<std::deque<AccessUnit>>* out, std::string* error) {
  if (out->size() < cameras_.size()) out->resize(cameras_.size());
  for (std::size_t c = 0; c < cameras_.size(); ++c) {
    if (!cameras_[c].encoder.Drain(&(*out)[c], error)) return false;
  }
  return true;
}

// The front and rear cameras' queues for the two-camera calls, and back.
namespace {
std::vector<std::deque<AccessUnit>> Queues(std::deque<AccessUnit>* front,
                                           std::deque<AccessUnit>* rear) {
  std::vector<std::deque<AccessUnit>> q(2);
  q[0].swap(*front);
  q[1].swap(*rear);
  return q;
}
void Unqueue(std::vector<std::deque<AccessUnit>>* q, std::deque<AccessUnit>* front,
             std::deque<AccessUnit>* rear) {
  front->swap((*q)[0]);
  rear->swap((*q)[1]);
}
}  // namespace

bool RecordingStreams::EncodePicture(int n, std::deque<AccessUnit>* front,
                                     std::deque<AccessUnit>* rear, std::string* error) {
  std::vector<std::deque<AccessUnit>> q = Queues(front, rear);
  const bool ok = EncodePicture(n, &q, error);
  Unqueue(&q, front, rear);
  return ok;
}

bool RecordingStreams::Drain(std::deque<AccessUnit>* front, std::deque<AccessUnit>* rear,
                             std::string* error) {
  std::vector<std::deque<AccessUnit>> q = Queues(front, rear);
  const bool ok = Drain(&q, error);
  Unqueue(&q, front, rear);
  return ok;
}

GpsFix RecordingStreams::Fix(int second) const { return FixAt(second); }

GpsFix RecordingStreams::FixAt(double seconds) const {
  GpsFix fix;
  fix.utc = AddSeconds(utcStart_, std::int64_t(std::floor(seconds)));
  fix.latitude = route_.Latitude(seconds);
  fix.longitude = route_.Longitude(seconds);
  fix.kmh = route_.SpeedKmh(seconds);
  fix.course = route_.Course(seconds);
  return fix;
}

// The car's braking and turning as small swings around 128, and a collision's jolt over the
// kJoltSamples samples from each of jolts_.
std::array<std::uint8_t, 3> RecordingStreams::Gsensor(int k) {
  static constexpr std::uint8_t kJolt[kJoltSamples][3] = {
      {3, 251, 14}, {249, 6, 241}, {24, 228, 62}, {196, 74, 150}};
  auto after = std::upper_bound(jolts_.begin(), jolts_.end(), k);
  if (after != jolts_.begin() && k < *std::prev(after) + kJoltSamples) {
    const auto* j = kJolt[k - *std::prev(after)];
    return {j[0], j[1], j[2]};
  }
  double t = double(k) / kGsensorPerSecond;
  double along = (route_.SpeedKmh(t + 0.1) - route_.SpeedKmh(std::max(0.0, t - 0.1))) / 0.2 / 3.6;
  double turn = route_.Course(t + 0.1) - route_.Course(std::max(0.0, t - 0.1));
  if (turn > 180) turn -= 360;
  if (turn < -180) turn += 360;
  double across = route_.SpeedKmh(t) / 3.6 * (turn / 0.2 * kPi / 180);
  auto axis = [&](double metresPerSecond2) {
    double counts = metresPerSecond2 / 9.81 * kGsensorCountsPerG + gsensorRng_.Range(-2.5, 2.5);
    return std::uint8_t(std::clamp(128 - std::lround(counts), 1L, 254L));
  };
  return {axis(across), axis(along), axis(0)};
}

}  // namespace tools
