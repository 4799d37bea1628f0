// SPDX-License-Identifier: GPL-3.0-or-later
// A card's trips: the drives its camera cut into recordings of a few minutes each. Recordings
// that follow each other, each starting less than kTripGapSeconds after the last one's end (a
// camera restarting after a short stop), are one trip; a longer gap or a parking recording (the
// car stands) starts another. Driving, event and manual recordings are all made on the road, so
// all three join trips; a parking recording is never part of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cards/CardListing.h"

namespace cards {

inline constexpr double kTripGapSeconds = 120;

struct Trip {
  std::vector<std::size_t> recordings;  // indices into the listed recordings, by their clocks
  std::int64_t startSeconds = 0;        // ClockSeconds of the first recording's start
  double endSeconds = 0;                // the latest end: a recording's start plus its length
  double seconds = 0;                   // the recordings' lengths added up
  int events = 0;                       // event recordings and clips kept for an event

  Clock Start() const { return ClockFromSeconds(startSeconds); }
  // The end rounded to the second.
  Clock End() const;
};

// The trips among `recordings` (listed and described: a recording not yet described counts as
// no length), oldest first. Recordings without a clock belong to none.
std::vector<Trip> FindTrips(const std::vector<CardRecording>& recordings);

}  // namespace cards
