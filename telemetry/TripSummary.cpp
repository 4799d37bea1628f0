// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/TripSummary.h"

#include "media/CContainerParser.h"
#include "telemetry/TrackReader.h"

Track ReadListedTrack(const std::string& root, const cards::CardRecording& recording,
                      VexHandle library, const std::atomic<bool>* cancel) {
  Track track;
  if (recording.family == cards::Family::kVex) {
    if (library != nullptr) ReadRecordingTrack(library, recording.name.c_str(), &track, cancel);
  } else if (!recording.files.empty()) {
    const std::string name = ContainerRecordingName({root + "/" + recording.files.front().path});
    ReadRecordingTrack(nullptr, name.c_str(), &track, cancel);
  }
  return track;
}

std::vector<TripSummary> SummariseTrips(const std::string& root,
                                        const std::vector<cards::CardRecording>& recordings,
                                        VexHandle library, const std::atomic<bool>* cancel) {
  std::vector<TripSummary> out;
  for (const cards::Trip& trip : cards::FindTrips(recordings)) {
    TripSummary s;
    s.trip = trip;
    std::vector<Track> tracks;
    for (std::size_t i : trip.recordings) {
      if (cancel != nullptr && cancel->load()) return out;
      tracks.push_back(ReadListedTrack(root, recordings[i], library, cancel));
      s.names.push_back(recordings[i].name);
    }
    s.metres = JoinedLengthMetres(tracks);
    out.push_back(std::move(s));
  }
  return out;
}
