// SPDX-License-Identifier: GPL-3.0-or-later
// The trip on the map and track export: the open recording's track is read on a worker when it
// opens and drawn on the map, with the event marks found in its G-sensor samples handed on; a
// click on the track seeks there; and the tracks of chosen recordings are written as GPX, KML or
// SubRip subtitles through a reader of their own. The readers answer through EVT_TRACK events to
// the window, which hands them to OnEvent.
//
// Threads: everything here runs on the window thread except the readers' callbacks, which run on
// the readers' workers, touch only what they were given and post an event.
#pragma once

#include <wx/event.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/EventMarks.h"
#include "telemetry/Track.h"
#include "telemetry/TrackLoader.h"
#include "vexlib/vexlib.h"

class CMapView;
class CNOVMediaPlayer;
class ViewerDialogs;

// Posted by the track readers' worker: the event's int is a TrackUpdate, its extra long the
// serial of the request, its payload a TrackReport.
wxDECLARE_EVENT(EVT_TRACK, wxThreadEvent);

enum TrackUpdate : int {
  kTrackForMap,    // the open recording's track was read
  kTrackExported,  // an export ended (written or not)
};

// What a track reader's worker hands the window.
struct TrackReport {
  Track track;          // kTrackForMap: the track read
  EventMarks marks;     // kTrackForMap: the jolts in its G-sensor samples
  bool ok = false;      // kTrackExported: the file was written
  std::string path;     // kTrackExported: the file
  std::string message;  // kTrackExported: what to tell the user
};

// The export's file types, as the save dialog offers them.
inline constexpr char kTrackFileTypes[] =
    "GPX track (*.gpx)|*.gpx|KML track (*.kml)|*.kml|SubRip subtitles (*.srt)|*.srt";

class TripTrack {
 public:
  // What is told of the marks found with the open recording's track (window thread).
  class Follower {
   public:
    virtual ~Follower() = default;
    // Another recording's track was asked for, or the track was dropped: what was found with
    // the last one no longer holds.
    virtual void TrackCleared() = 0;
    // The event marks read with the open recording's track.
    virtual void MarksFound(const EventMarks& marks) = 0;
  };

  // What the track asks of the window it belongs to (window thread).
  class Host {
   public:
    virtual ~Host() = default;
    // The card library's handle, which the readers read through.
    virtual VexHandle Library() const = 0;
    // The card's drive letter; 0 while no card is in.
    virtual char CardDrive() const = 0;
    // Whether a file download holds the window's commands.
    virtual bool DownloadBusy() const = 0;
    // Whether a recording is open (from its open to its stop).
    virtual bool RecordingOpen() const = 0;
    // The names of the recordings ticked in the list, from the top.
    virtual std::vector<std::string> TickedRecordings() const = 0;
    // The recording in a row of the list; none for a row the list does not have.
    virtual std::optional<std::string> RecordingInRow(int row) const = 0;
    // What a listed recording's telemetry is read by: the name itself on a VEX card, the
    // "files:" name of its front camera's file on another camera's card.
    virtual std::string TelemetryName(const std::string& listed) const = 0;
    // The card's settings file (empty while none was found): the camera's impact sensitivity.
    virtual const std::string& SettingsPath() const = 0;
    // The read-outs at a second of the recording: the seek slider's thumb and the two times.
    virtual void ShowPosition(int seconds, int totalSeconds) = 0;
  };

  // Runs the export's save dialog with its default file name; true with the chosen path.
  using ExportDialogRunner = std::function<bool(const wxString& defaultName, wxString* path)>;

  // window: where the readers' events go. All of these stay the caller's and outlive the track.
  TripTrack(wxEvtHandler* window, Host* host, ViewerDialogs* dialogs, Follower* follower,
            CNOVMediaPlayer* engine, CMapView* map);
  TripTrack(const TripTrack&) = delete;
  TripTrack& operator=(const TripTrack&) = delete;

  // The recording `name` was opened: its track is asked for (the one drawn goes).
  void Load(const std::string& name);
  // A trip was opened: the tracks of its recordings (their telemetry names, `startMs` where each
  // starts on its timeline) are asked for and drawn as one, with the marks over the whole trip.
  // `listed` names it (PlayingName) until then.
  void LoadTrip(const std::string& listed, std::vector<std::string> names,
                std::vector<int> startMs);
  // Playback stopped: the track and the request for it go.
  void Drop();
  // Ends both readers; returns once they have. Before the library handle is released.
  void Stop();
  // The window's side of the readers' events (EVT_TRACK).
  void OnEvent(wxThreadEvent& event);
  // A click on the track on the map: the recording seeks to the nearest point's time.
  void OnTrackClicked(double latitude, double longitude);
  // The export command (key T, the list's context menu): the tracks of the ticked recordings, or
  // of `row` (-1: the playing recording) when none is ticked, to a GPX, KML or SRT file that the
  // save dialog names. The reading and writing run on a worker; a message tells the outcome.
  void ExportTracks(int row = -1);

  // The open recording's track (empty until it was read).
  const Track& CurrentTrack() const { return track_; }
  // Tracks of opened recordings read so far (tests wait for the next one).
  int TracksRead() const { return tracksRead_; }
  // The recording whose track is asked for or shown; empty after Drop.
  const std::string& PlayingName() const { return playingName_; }
  void SetExportDialogRunner(ExportDialogRunner runner) { exportRunner_ = std::move(runner); }
  // Called on the window thread when an export ended: written or not, and the file.
  void SetExportObserver(std::function<void(bool ok, const std::string& path)> observer) {
    exportObserver_ = std::move(observer);
  }

 private:
  // Asks for the telemetry of `names` (joined on a trip's timeline when `startMs` is given);
  // `playing` becomes PlayingName.
  void Request(const std::string& playing, std::vector<std::string> names, std::vector<int> startMs,
               bool event);

  wxEvtHandler* window_;
  Host* host_;
  ViewerDialogs* dialogs_;
  Follower* follower_;
  CNOVMediaPlayer* engine_;
  CMapView* map_;

  // The open recording's track and the requests for it; export's own reader.
  TrackLoader trackLoader_;
  TrackLoader exportLoader_;
  Track track_;
  long trackSerial_ = 0;
  int tracksRead_ = 0;
  std::string playingName_;
  ExportDialogRunner exportRunner_;
  std::function<void(bool, const std::string&)> exportObserver_;
};
