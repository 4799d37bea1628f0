// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-convert --list and --trips: the recordings and trips of a card of any family (or of one
// recording file), for people or, with json, one JSON object a line for scripts.
#pragma once

#include <string>

namespace tools {

// Lists the card folder or the file at `path` on standard output, oldest first; returns the
// program's exit status (2 for a path that is neither a readable folder nor a file).
int ListCardRecordings(const std::string& path, bool json);
// Lists the card's trips (cards/Trips.h) the same way, oldest first: one line (or JSON object)
// per trip with its clock, length, recordings, distance along its GPS track and events.
int ListCardTrips(const std::string& path, bool json);

}  // namespace tools
