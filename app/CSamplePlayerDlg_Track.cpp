// The trip on the map and track export: the open recording's track read on a worker and drawn on
// the map, a click on it seeking there, and the tracks of chosen recordings written as GPX, KML
// or SubRip subtitles.
#include <wx/filename.h>
#include <wx/listctrl.h>
#include <wx/menu.h>

#include <algorithm>
#include <utility>

#include "app/CSamplePlayerDlg.h"
#include "export/TrackExport.h"
#include "map/gui/CMapView.h"
#include "settings/CameraSettings.h"
#include "skin/CBitmapSlider.h"
#include "support/Diag.h"

wxDEFINE_EVENT(EVT_TRACK, wxThreadEvent);

namespace {

constexpr char kTextExportTrack[] = "Export track (GPX, KML, SRT)...";
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

void CSamplePlayerDlg::LoadTrack(const std::string& name) {
  track_ = Track{};
  playingName_ = name;
  map_->ClearTrack();
  ClearMoment();
  const long serial = ++trackSerial_;
  // The marks' threshold follows the camera's impact sensitivity, read on the worker too.
  const std::string settingsPath = settingsPath_;
  const bool event = !name.empty() && (name[0] == 'E' || name[0] == 'e');
  trackLoader_.Request(
      library_, {name},
      [this, serial, settingsPath, event](std::vector<RecordingTelemetry>&& read, TrackReadResult) {
        auto* update = new wxThreadEvent(EVT_TRACK);
        update->SetInt(kTrackForMap);
        update->SetExtraLong(serial);
        TrackReport report;
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
        wxQueueEvent(this, update);
      });
}

void CSamplePlayerDlg::ClearMoment() {
  marks_ = EventMarks{};
  seek_->SetMarks({});
  clipInMs_ = clipOutMs_ = -1;
}

void CSamplePlayerDlg::DropTrack() {
  ++trackSerial_;
  trackLoader_.Cancel();
  track_ = Track{};
  playingName_.clear();
  map_->ClearTrack();
  ClearMoment();
}

void CSamplePlayerDlg::OnTrackEvent(wxThreadEvent& event) {
  const TrackReport report = event.GetPayload<TrackReport>();
  if (event.GetInt() == kTrackExported) {
    if (report.ok) {
      DiagPrintf("Track exported => %s\n", report.path.c_str());
    }
    messageBox_(wxString::FromUTF8(report.message), wxString::FromUTF8(kTextExportCaption),
                wxOK | (report.ok ? wxICON_INFORMATION : wxICON_ERROR));
    if (exportObserver_) exportObserver_(report.ok, report.path);
    return;
  }
  if (event.GetInt() == kClipExported) {
    clipBusy_ = false;
    JoinClipWorker();
    DiagPrintf("Clip => %s\n", report.ok ? report.path.c_str() : report.message.c_str());
    messageBox_(wxString::FromUTF8(report.message), "Export clip",
                wxOK | (report.ok ? wxICON_INFORMATION : wxICON_ERROR));
    if (clipObserver_) clipObserver_(report.ok, report.message);
    return;
  }
  // Only the answer for the recording still open.
  if (event.GetExtraLong() != trackSerial_) return;
  track_ = report.track;
  ++tracksRead_;
  DiagPrintf("Track => %d points in %d segments\n", track_.PointCount(),
             static_cast<int>(track_.segments.size()));
  map_->SetTrack(track_);
  marks_ = report.marks;
  seek_->SetMarks(marks_.markSeconds, marks_.triggerSecond);
  DiagPrintf("Event marks => %d, trigger %d\n", static_cast<int>(marks_.markSeconds.size()),
             marks_.triggerSecond);
}

void CSamplePlayerDlg::OnTrackClicked(double latitude, double longitude) {
  if (DownloadBusy() || !tick_.IsRunning()) return;
  const int timeMs = track_.NearestTimeMs(latitude, longitude);
  if (timeMs < 0) return;
  const int durationMs = engine_.GetDurationMs();
  const int target = durationMs > 0 ? std::min(timeMs, durationMs) : timeMs;
  DiagPrintf("Track clicked => %d ms\n", target);
  engine_.SeekToMs(target);
  // The read-outs move at once, not at the next tick.
  seek_->SetPos(target / 1000);
  UpdateTimeLabels(target / 1000, durationMs / 1000);
}

void CSamplePlayerDlg::OnListContextMenu(wxListEvent& event) {
  const int row = static_cast<int>(event.GetIndex());
  wxMenu menu;
  menu.Append(kIdExportTrack, wxString::FromUTF8(kTextExportTrack));
  menu.Bind(
      wxEVT_MENU, [this, row](wxCommandEvent&) { ExportTracks(row); }, kIdExportTrack);
  list_->PopupMenu(&menu);
}

void CSamplePlayerDlg::ExportTracks(int row) {
  if (DownloadBusy() || cardDrive_ == 0) return;
  std::vector<std::string> names;
  for (long r = 0; r < list_->GetItemCount(); ++r) {
    if (list_->IsItemChecked(r)) names.push_back(list_->GetItemText(r, 1).utf8_string());
  }
  if (names.empty() && row >= 0 && row < list_->GetItemCount()) {
    names.push_back(list_->GetItemText(row, 1).utf8_string());
  }
  if (names.empty() && !playingName_.empty()) names.push_back(playingName_);
  if (names.empty()) {
    messageBox_(wxString::FromUTF8(kTextNothingToExport), wxString::FromUTF8(kTextExportCaption),
                wxOK | wxICON_INFORMATION);
    return;
  }
  wxString chosen;
  if (!exportRunner_(DefaultExportName(names), &chosen) || chosen.empty()) return;
  std::string path = chosen.utf8_string();
  const TrackFormat format = FormatOfPath(&path);
  // The playing recording's subtitles cover its whole length; others' their last fix.
  const int playingMs =
      names.size() == 1 && names.front() == playingName_ ? engine_.GetDurationMs() : 0;
  exportLoader_.Request(
      library_, names,
      [this, path, format, playingMs](std::vector<RecordingTelemetry>&& read, TrackReadResult) {
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
        wxQueueEvent(this, event);
      });
}
