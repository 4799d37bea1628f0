// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/TripTrack.h"

#include <wx/filename.h>

#include <algorithm>
#include <utility>

#include "app/ViewerDialogs.h"
#include "export/TrackExport.h"
#include "map/gui/CMapView.h"
#include "playback/CNOVMediaPlayer.h"
#include "settings/CameraSettings.h"
#include "support/Diag.h"

wxDEFINE_EVENT(EVT_TRACK, wxThreadEvent);

namespace {

constexpr char kTextNothingToExport[] = "Tick the recordings whose tracks to export, or play one.";
constexpr char kTextNoFixes[] = "The chosen recordings hold no GPS position: nothing was written.";
constexpr char kTextExportCaption[] = "Export track";
constexpr char kTextOneForSubtitles[] =
    "Subtitles are written for one recording at a time: tick only one.";

enum class TrackFormat { kGpx, kKml, kSrt };

// The format a chosen file name asks for; a name without a known ending gets ".gpx".
TrackFormat FormatOfPath(std::string* path) {
  const wxFileName name(wxString::FromUTF8(*path));
  const wxString ext = name.GetExt().Lower();
  if (ext == "kml") return TrackFormat::kKml;
  if (ext == "srt") return TrackFormat::kSrt;
  if (ext != "gpx") *path += ".gpx";
  return TrackFormat::kGpx;
}

// The export's default file name: the recording's name with the GPX ending, or "tracks.gpx"
// for several.
wxString DefaultExportName(const std::vector<std::string>& names) {
  if (names.size() != 1) return "tracks.gpx";
  wxFileName name(wxString::FromUTF8(names.front()));
  name.SetExt("gpx");
  return name.GetFullName();
}

// Whole seconds a track covers: up to and including its last fix's second.
int TrackSpanMs(const std::vector<Track>& tracks) {
  int last = -1;
  for (const auto& track : tracks) {
    for (const auto& segment : track.segments) {
      for (const auto& p : segment) last = std::max(last, p.timeMs);
    }
  }
  return last < 0 ? 0 : (last / 1000 + 1) * 1000;
}

}  // namespace

TripTrack::TripTrack(wxEvtHandler* window, Host* host, ViewerDialogs* dialogs, Follower* follower,
                     CNOVMediaPlayer* engine, CMapView* map)
    : window_(window),
      host_(host),
      dialogs_(dialogs),
      follower_(follower),
      engine_(engine),
      map_(map) {}

void TripTrack::Load(const std::string& name) {
  const bool event = !name.empty() && (name[0] == 'E' || name[0] == 'e');
  Request(name, {name}, {}, event);
}

void TripTrack::LoadTrip(const std::string& listed, std::vector<std::string> names,
                         std::vector<int> startMs) {
  bool event = false;
  for (const std::string& n : names) event = event || (!n.empty() && (n[0] == 'E' || n[0] == 'e'));
  Request(listed, std::move(names), std::move(startMs), event);
}

void TripTrack::Request(const std::string& playing, std::vector<std::string> names,
                        std::vector<int> startMs, bool event) {
  track_ = Track{};
  playingName_ = playing;
  map_->ClearTrack();
  follower_->TrackCleared();
  const long serial = ++trackSerial_;
  // The marks' threshold follows the camera's impact sensitivity, read on the worker too.
  const std::string settingsPath = host_->SettingsPath();
  trackLoader_.Request(
      host_->Library(), std::move(names),
      [window = window_, serial, settingsPath, event, startMs = std::move(startMs)](
          std::vector<RecordingTelemetry>&& read, TrackReadResult) {
        auto* update = new wxThreadEvent(EVT_TRACK);
        update->SetInt(kTrackForMap);
        update->SetExtraLong(serial);
        TrackReport report;
        // A trip's recordings are one track on its timeline.
        if (!startMs.empty()) read = {JoinTripTelemetry(std::move(read), startMs)};
        if (!read.empty()) {
          CameraSettings settings;
          // The file holds 1, 3 or 5; the settings keep the slider's 1 to 3.
          const int accLevel = !settingsPath.empty() && LoadCameraSettings(settingsPath, &settings)
                                   ? 2 * settings.impactLevel - 1
                                   : 3;
          report.marks = FindEventMarks(read.front().gsensor, accLevel, event);
          report.track = std::move(read.front().track);
        }
        update->SetPayload(report);
        wxQueueEvent(window, update);
      });
}

void TripTrack::Drop() {
  ++trackSerial_;
  trackLoader_.Cancel();
  track_ = Track{};
  playingName_.clear();
  map_->ClearTrack();
  follower_->TrackCleared();
}

void TripTrack::Stop() {
  trackLoader_.Stop();
  exportLoader_.Stop();
}

void TripTrack::OnEvent(wxThreadEvent& event) {
  const TrackReport report = event.GetPayload<TrackReport>();
  if (event.GetInt() == kTrackExported) {
    if (report.ok) {
      DiagPrintf("Track exported => %s\n", report.path.c_str());
    }
    dialogs_->ShowMessage(wxString::FromUTF8(report.message),
                          wxString::FromUTF8(kTextExportCaption),
                          wxOK | (report.ok ? wxICON_INFORMATION : wxICON_ERROR));
    if (exportObserver_) exportObserver_(report.ok, report.path);
    return;
  }
  // Only the answer for the recording still open.
  if (event.GetExtraLong() != trackSerial_) return;
  track_ = report.track;
  ++tracksRead_;
  DiagPrintf("Track => %d points in %d segments\n", track_.PointCount(),
             static_cast<int>(track_.segments.size()));
  map_->SetTrack(track_);
  follower_->MarksFound(report.marks);
}

void TripTrack::OnTrackClicked(double latitude, double longitude) {
  if (host_->DownloadBusy() || !host_->RecordingOpen()) return;
  const int timeMs = track_.NearestTimeMs(latitude, longitude);
  if (timeMs < 0) return;
  const int durationMs = engine_->GetDurationMs();
  const int target = durationMs > 0 ? std::min(timeMs, durationMs) : timeMs;
  DiagPrintf("Track clicked => %d ms\n", target);
  engine_->SeekToMs(target);
  // The read-outs move at once, not at the next tick.
  host_->ShowPosition(target / 1000, durationMs / 1000);
}

void TripTrack::ExportTracks(int row) {
  if (host_->DownloadBusy() || host_->CardDrive() == 0) return;
  std::vector<std::string> names = host_->TickedRecordings();
  if (names.empty()) {
    if (std::optional<std::string> name = host_->RecordingInRow(row)) names.push_back(*name);
  }
  for (std::string& name : names) name = host_->TelemetryName(name);
  if (names.empty() && !playingName_.empty()) names.push_back(playingName_);
  if (names.empty()) {
    dialogs_->ShowMessage(wxString::FromUTF8(kTextNothingToExport),
                          wxString::FromUTF8(kTextExportCaption), wxOK | wxICON_INFORMATION);
    return;
  }
  wxString chosen;
  if (!exportRunner_(DefaultExportName(names), &chosen) || chosen.empty()) return;
  std::string path = chosen.utf8_string();
  const TrackFormat format = FormatOfPath(&path);
  // The playing recording's subtitles cover its whole length; others' their last fix.
  const int playingMs =
      names.size() == 1 && names.front() == playingName_ ? engine_->GetDurationMs() : 0;
  exportLoader_.Request(
      host_->Library(), names,
      [window = window_, path, format, playingMs](std::vector<RecordingTelemetry>&& read,
                                                  TrackReadResult) {
        std::vector<Track> tracks;
        for (auto& recording : read) tracks.push_back(std::move(recording.track));
        TrackReport report;
        report.path = path;
        int points = 0;
        for (const auto& track : tracks) points += track.PointCount();
        std::string error;
        if (points == 0) {
          report.message = kTextNoFixes;
        } else if (format == TrackFormat::kSrt && tracks.size() > 1) {
          report.message = kTextOneForSubtitles;
        } else {
          switch (format) {
            case TrackFormat::kGpx:
              report.ok = WriteGpx(tracks, path, &error);
              break;
            case TrackFormat::kKml:
              report.ok = WriteKml(tracks, path, &error);
              break;
            case TrackFormat::kSrt:
              report.ok =
                  WriteSrt(tracks.front(), std::max(playingMs, TrackSpanMs(tracks)), path, &error);
              break;
          }
          report.message = report.ok ? "Saved " + std::to_string(points) + " positions to " + path
                                     : "Could not write " + path + ": " + error;
        }
        auto* event = new wxThreadEvent(EVT_TRACK);
        event->SetInt(kTrackExported);
        event->SetPayload(report);
        wxQueueEvent(window, event);
      });
}
