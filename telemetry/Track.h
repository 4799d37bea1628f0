// SPDX-License-Identifier: GPL-3.0-or-later
// A recording's GPS track: its valid fixes in media-time order, split into segments wherever the
// line must break (an invalid fix, or a jump between two fixes that no car can make).
//
// The track is read ahead of playback from the recording's text stream through a parser of its own,
// so the map can draw the whole trip at open and a click on it can seek. Reading runs on a worker;
// nothing here touches a window.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "telemetry/CGPSData.h"

struct TrackPoint {
  int timeMs = 0;            // media time of the fix's text record, ms from the recording's start
  double latitude = 0;       // decimal degrees, negative south
  double longitude = 0;      // decimal degrees, negative west
  double speedKmh = 0;       // speed over ground
  double course = 0;         // degrees
  std::int64_t utcTime = 0;  // the fix's clock as seconds since 1970, UTC (camera clock less 9 h)
};

struct Track {
  std::string name;  // the recording's name as listed ("REC_20140301_120000_D.avi")
  std::vector<std::vector<TrackPoint>> segments;
  // The camera's clock against UTC: the VEX camera's is UTC + 9; another camera's as its fixes
  // and its name tell (clockKnown false: they do not), described as "camera clock UTC+9".
  bool clockKnown = true;
  int clockOffsetMinutes = 9 * 60;
  std::string clockText = "camera clock UTC+9";
  // The format the fixes were read from ("vex", or another camera's: "freegps", "gpmf", ...).
  std::string format = "vex";

  // Points over all segments.
  int PointCount() const;
  bool Empty() const { return PointCount() == 0; }
  // The distance driven along the segments, in metres; a break between segments adds nothing.
  double LengthMetres() const;
  // The media time of the point nearest to (latitude, longitude) by distance on the ground; -1
  // when the track is empty or the position is not finite.
  int NearestTimeMs(double latitude, double longitude) const;
};

// Fastest believable speed between two fixes; a jump faster than this breaks the line.
inline constexpr double kTrackMaxSpeedKmh = 300.0;

// Builds a track from fixes in arrival order.
class TrackBuilder {
 public:
  // Adds one fix delivered at media time `timeMs`. An invalid fix (status not 'A', a position out
  // of range or not finite, or no date and time: a sentence cut short) ends the current segment; a
  // valid one whose distance from the previous point needs more than kTrackMaxSpeedKmh in the
  // media time between their records starts a new segment (a jump at the limit exactly does not).
  void Add(const CGPSData& fix, int timeMs);
  Track Take(std::string name);

 private:
  Track track_;
  bool open_ = false;  // the last segment may be continued
};

// The distance driven along tracks that follow each other (a trip's recordings): each one's length,
// and the step from one's last point to the next one's first where a car can make it in the time
// between their fixes.
double JoinedLengthMetres(const std::vector<Track>& tracks);

// Great-circle distance in metres.
double GroundDistanceMetres(double lat1, double lon1, double lat2, double lon2);
