// SPDX-License-Identifier: GPL-3.0-or-later
// Event marks: the seconds of a recording where the car was jolted, found in its G-sensor samples
// (TrackReader.h reads them ahead), for the seek slider to show and the keys to jump between.
//
// A jump is the change of the acceleration vector between two consecutive samples: the length of
// (x, y, z) of a sample less (x, y, z) of the one before it, in the sensor's counts (about 40 a g,
// 128 - byte per axis, CGSensorData.h). A jump longer than the threshold of the camera's impact
// sensitivity ("acc_level" of blackbox.cfg) marks the whole second of the later sample's media
// time. A jolt that runs over neighbouring seconds gives one mark, at its first second: a marked
// second is left out when the second before it holds a jump too. Marks are thus at least two
// seconds apart.
//
// Thresholds, in counts of jump length (40 a g):
//   acc_level 5 (most sensitive)   32 (0.8 g)
//   acc_level 3 (middle)           64 (1.6 g), also for a missing or unknown level
//   acc_level 1 (least sensitive) 120 (3.0 g)
// Ordinary driving stays well under the lowest: braking at up to 2.8 m/s², pulling away, rounding
// corners and the sensor's noise (±2.5 counts an axis) change the vector by at most 15 counts
// from one sample to the next (a tenth of a second) in the card tool's drives. A collision swings
// it by 180 counts or more, which every level marks.
//
// Pure functions of their arguments; any thread.
#pragma once

#include <utility>
#include <vector>

#include "telemetry/CGSensorData.h"

// The marks of one recording.
struct EventMarks {
  // Whole seconds of media time, ascending, at most one a second.
  std::vector<int> markSeconds;
  // For an event recording: the second of its strongest jump (the first such, when several are
  // equal), even one under the threshold, since the camera saved the recording for it; when that
  // jump is part of a mark, the mark's second. -1: not an event recording, or fewer than two
  // samples (no jump to measure).
  int triggerSecond = -1;
};

// The jump length a sample must exceed to be marked, in counts, for an "acc_level" value of the
// camera's settings file (1, 3 or 5; anything else: the middle). CameraSettings::impactLevel holds
// the settings dialog's slider position 1 ... 3 instead: its level is 2 * position - 1.
int EventJumpThreshold(int accLevel);

// The marks of the G-sensor samples of one recording (media time in ms, in file order). Samples
// with a negative time are passed over. `eventRecording` asks for the trigger second.
EventMarks FindEventMarks(const std::vector<std::pair<int, CGSensorData>>& samples, int accLevel,
                          bool eventRecording);

// A mark within this many ms before the playing position counts as the one being shown, so that
// "previous" pressed just after a jump to a mark (playback having moved on a little) goes to the
// mark before it instead of back to the same one. Under the two seconds between marks, so a
// position exactly on a mark never skips the mark before it.
inline constexpr int kCurrentMarkSlackMs = 1500;

// The first mark strictly after `positionMs`, as a second; -1 when there is none.
int NextMarkSecond(const std::vector<int>& markSeconds, int positionMs);
// The last mark more than kCurrentMarkSlackMs before `positionMs`, as a second; -1 when there is
// none. `markSeconds` ascending, as FindEventMarks gives them.
int PreviousMarkSecond(const std::vector<int>& markSeconds, int positionMs);
