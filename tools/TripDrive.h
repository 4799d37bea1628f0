// SPDX-License-Identifier: GPL-3.0-or-later
// The car's motion in the sample cards: a trip round the streets of CityRoute.h, from Seoul City
// Hall, as a driver makes it. The car keeps each street's pace (varied by the driver's habit and
// the traffic's ebb and flow), slows for the turns, whose corners it rounds, and stops at red
// lights: it brakes at 2 to 2.8 m/s², stands until the light turns green and the driver reacts,
// and pulls away at 1.6 to 2.4 m/s². The trip starts under way at the pace of Sejong-daero.
//
// A trip is a function of its seed alone: the driver's habits and the lights' cycles come from it,
// and the trip is driven from its start in steps of 50 ms up to the part asked for, so the
// recordings of one trip, each made from (seed, offset), join up wherever and on whichever
// thread each is made. Any thread may make and read its own TripDrive.
#pragma once

#include <cstdint>
#include <vector>

namespace tools {

class TripDrive {
 public:
  // The trip's longest reach: a year of seconds.
  static constexpr int kMaxSeconds = 366 * 86400;

  // The seconds [offsetSeconds, offsetSeconds + seconds] of the trip made from `seed` (both
  // clamped to 0..kMaxSeconds). A parked car stands all that time where the trip was at
  // offsetSeconds, facing the way it went.
  TripDrive(std::uint64_t seed, int offsetSeconds, int seconds, bool parked);

  // At t seconds from offsetSeconds, clamped to the part made:
  double SpeedKmh(double t) const;
  // Degrees clockwise from north, 0 up to 360.
  double Course(double t) const;
  // Decimal degrees, north and east positive.
  double Latitude(double t) const;
  double Longitude(double t) const;
  // Metres driven since the trip started.
  double Metres(double t) const;

 private:
  struct Sample {
    double metres = 0;  // since the trip started
    double speed = 0;   // m/s
  };
  // The samples around t: the index of the one at or before it and how far t lies towards the next.
  void Locate(double t, std::size_t* index, double* fraction) const;

  std::vector<Sample> samples_;  // one per step from offsetSeconds on
};

}  // namespace tools
