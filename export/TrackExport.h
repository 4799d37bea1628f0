// SPDX-License-Identifier: GPL-3.0-or-later
// Writing recordings' tracks to files that other programs read: GPX 1.1 and KML 2.2 (map and GPS
// programs, gpsbabel, Google Earth) and SubRip subtitles (a video player shows each second's clock,
// speed and position under the converted recording).
//
// Each file is written under a temporary name beside its place, flushed to the disk and renamed
// into place (platform/WholeFile), so a failure leaves the earlier file or none, never half of
// one. Numbers are written the same whatever the process's locale: latitude and longitude with 7
// decimals. Times are UTC in GPX and KML; the subtitles show the camera's clock (UTC + 9 h), as
// the picture's own clock does. Runs on any thread; nothing is shared.
#pragma once

#include <string>
#include <vector>

#include "telemetry/Track.h"

// GPX 1.1 (creator "Roadeye"): one trk per track, named as the track, one trkseg per segment; each
// trkpt with lat, lon and time, its speed (m/s) and course (degrees) in the extensions as Garmin's
// TrackPointExtension v2 (gpxtpx:speed, gpxtpx:course). False with *error (may be null) filled
// when the file could not be written.
bool WriteGpx(const std::vector<Track>& tracks, const std::string& path, std::string* error);
// KML 2.2: one Placemark per track, named as the track, holding a gx:MultiTrack with a gx:Track
// (when and gx:coord for every point) per segment, and each point's speed (m/s) as the track's
// extended data. A track without points is a Placemark without geometry.
bool WriteKml(const std::vector<Track>& tracks, const std::string& path, std::string* error);
// SubRip: one cue per second of a recording of durationMs (cue k from k s to k + 1 s, the last
// ending with the recording), showing the first fix of the track recorded in that second: the
// camera's date and time, the speed in km/h and the position; "no GPS" for a second without one.
bool WriteSrt(const Track& track, int durationMs, const std::string& path, std::string* error);
