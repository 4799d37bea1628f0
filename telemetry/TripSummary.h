// SPDX-License-Identifier: GPL-3.0-or-later
// A card's trips as the list and the command line show them: the recordings of each (cards/Trips.h)
// with the distance driven along their GPS tracks.
//
// Threads: reads every recording's track, so it runs on a worker of the caller's (or in a
// command-line program); `cancel` (may be null) ends the reading early.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "cards/Trips.h"
#include "telemetry/Track.h"
#include "vexlib/vexlib.h"

struct TripSummary {
  cards::Trip trip;
  std::vector<std::string> names;  // the recordings' names as listed, in order
  double metres = 0;               // along the GPS tracks (JoinedLengthMetres)
};

// A recording's GPS track: a VEX recording's through the card library (`library` may be null:
// none), another camera's from its front file's own data under `root`. `cancel` (may be null)
// ends the reading early.
Track ReadListedTrack(const std::string& root, const cards::CardRecording& recording,
                      VexHandle library, const std::atomic<bool>* cancel = nullptr);

// The trips among `recordings` (listed and described, as FindTrips takes them), oldest first.
// Cancelled, the trips read so far.
std::vector<TripSummary> SummariseTrips(const std::string& root,
                                        const std::vector<cards::CardRecording>& recordings,
                                        VexHandle library, const std::atomic<bool>* cancel);
