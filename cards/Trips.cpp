// SPDX-License-Identifier: GPL-3.0-or-later
#include "cards/Trips.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace cards {

Clock Trip::End() const { return ClockFromSeconds(std::int64_t(std::llround(endSeconds))); }

std::vector<Trip> FindTrips(const std::vector<CardRecording>& recordings) {
  std::vector<std::size_t> order(recordings.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  // By clock whatever order the list is in; recordings of one second keep the list's order.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return recordings[a].startSeconds < recordings[b].startSeconds;
  });
  std::vector<Trip> trips;
  bool open = false;  // the last trip may be continued
  for (std::size_t i : order) {
    const CardRecording& r = recordings[i];
    if (!r.HasClock()) continue;
    if (r.kind == Kind::kParking) {
      open = false;
      continue;
    }
    // A length read from a damaged container may be anything; none is less than nothing.
    const double length = std::isfinite(r.seconds) && r.seconds > 0 ? r.seconds : 0;
    if (!open || double(r.startSeconds) - trips.back().endSeconds >= kTripGapSeconds) {
      Trip trip;
      trip.startSeconds = r.startSeconds;
      trip.endSeconds = double(r.startSeconds);
      trips.push_back(trip);
      open = true;
    }
    Trip& trip = trips.back();
    trip.recordings.push_back(i);
    // An event recording may overlap the driving recording it was cut from.
    trip.endSeconds = std::max(trip.endSeconds, double(r.startSeconds) + length);
    trip.seconds += length;
    if (r.kind == Kind::kEvent || r.hasEvent) ++trip.events;
  }
  return trips;
}

}  // namespace cards
