// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/EventMarks.h"

#include <algorithm>

namespace {

// Jump thresholds in counts (40 a g); see the header for how they were chosen.
constexpr int kThresholdMostSensitive = 32;    // acc_level 5
constexpr int kThresholdMiddle = 64;           // acc_level 3
constexpr int kThresholdLeastSensitive = 120;  // acc_level 1

// The squared length of the change from a to b. Axes lie in -127 ... 128: at most 3 * 255².
int SquaredJump(const CGSensorData& a, const CGSensorData& b) {
  const int dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
  return dx * dx + dy * dy + dz * dz;
}

}  // namespace

int EventJumpThreshold(int accLevel) {
  switch (accLevel) {
    case 1:
      return kThresholdLeastSensitive;
    case 5:
      return kThresholdMostSensitive;
    default:
      return kThresholdMiddle;
  }
}

EventMarks FindEventMarks(const std::vector<std::pair<int, CGSensorData>>& samples, int accLevel,
                          bool eventRecording) {
  const int threshold = EventJumpThreshold(accLevel);
  const int limit = threshold * threshold;
  // Seconds holding a jump over the threshold, and the strongest jump of all.
  std::vector<int> jumpSeconds;
  int strongest = -1, strongestSecond = -1;
  const std::pair<int, CGSensorData>* previous = nullptr;
  for (const auto& sample : samples) {
    if (sample.first < 0) continue;
    if (previous != nullptr) {
      const int jump = SquaredJump(previous->second, sample.second);
      const int second = sample.first / 1000;
      if (jump > strongest) {
        strongest = jump;
        strongestSecond = second;
      }
      if (jump > limit) jumpSeconds.push_back(second);
    }
    previous = &sample;
  }
  std::sort(jumpSeconds.begin(), jumpSeconds.end());
  jumpSeconds.erase(std::unique(jumpSeconds.begin(), jumpSeconds.end()), jumpSeconds.end());
  auto jumpedIn = [&](int second) {
    return std::binary_search(jumpSeconds.begin(), jumpSeconds.end(), second);
  };

  EventMarks marks;
  for (int second : jumpSeconds) {
    if (!jumpedIn(second - 1)) marks.markSeconds.push_back(second);
  }
  if (eventRecording && strongestSecond >= 0) {
    int second = strongestSecond;
    if (strongest > limit) {
      while (jumpedIn(second - 1)) --second;
    }
    marks.triggerSecond = second;
  }
  return marks;
}

int NextMarkSecond(const std::vector<int>& markSeconds, int positionMs) {
  // Marks are whole seconds: the first one after positionMs is the first above its second.
  const int second = positionMs < 0 ? -1 : positionMs / 1000;
  const auto it = std::upper_bound(markSeconds.begin(), markSeconds.end(), second);
  return it == markSeconds.end() ? -1 : *it;
}

int PreviousMarkSecond(const std::vector<int>& markSeconds, int positionMs) {
  // The last mark s with s * 1000 < positionMs - slack, computed without overflow.
  const long long before = static_cast<long long>(positionMs) - kCurrentMarkSlackMs;
  int found = -1;
  for (int second : markSeconds) {
    if (static_cast<long long>(second) * 1000 >= before) break;
    found = second;
  }
  return found;
}
